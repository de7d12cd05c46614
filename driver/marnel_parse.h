/* SPDX-License-Identifier: GPL-2.0 */
/*
 * The record parser, in a header of its own so that the KUnit suite in
 * tests/drivers/ tests this very code without the module carrying it.
 */
#ifndef MARNEL_PARSE_H
#define MARNEL_PARSE_H

#include <linux/ctype.h>
#include <linux/string.h>
#include <linux/types.h>

#define MARNEL_RECORD_SIZE	8

/*
 * The record's text, which ends at its first NUL or after its 8th byte, as
 * kstrtoint(text, 10) takes it: one optional sign, one or more digits, at
 * most one trailing newline. Eight bytes always fit in an int. Written out
 * because every write of a full queue pays for it: kstrtoint's general
 * path costs more than the rest of the write.
 */
static inline bool marnel_parse(const char *record, int *value)
{
	size_t n = strnlen(record, MARNEL_RECORD_SIZE), i = 0;
	bool negative = false;
	int v = 0;

	if (i < n && (record[i] == '+' || record[i] == '-'))
		negative = record[i++] == '-';
	if (i == n || !isdigit(record[i]))
		return false;
	while (i < n && isdigit(record[i]))
		v = v * 10 + (record[i++] - '0');
	if (i < n && record[i] == '\n')
		i++;
	if (i != n)
		return false;
	*value = negative ? -v : v;
	return true;
}

#endif /* MARNEL_PARSE_H */
