// SPDX-License-Identifier: GPL-2.0
/*
 * KUnit: marnel_parse() against kstrtoint(text, 10), the kernel's own
 * reading of the record's text. A module of its own, built and loaded only
 * by the VM tests on the debug kernels; the suite runs when it loads.
 */
#include <kunit/test.h>
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/prandom.h>

#include "marnel_parse.h"

#define MARNEL_TEST_RANDOM	200000

/* kstrtoint on the record's text: up to its first NUL or 8th byte. */
static bool marnel_test_reference(const char *record, int *value)
{
	char text[MARNEL_RECORD_SIZE + 1] = {};

	memcpy(text, record, strnlen(record, MARNEL_RECORD_SIZE));
	return kstrtoint(text, 10, value) == 0;
}

static void marnel_test_one(struct kunit *test, const char *record)
{
	int got = 0, want = 0;
	bool ok = marnel_parse(record, &got);

	KUNIT_EXPECT_EQ_MSG(test, ok, marnel_test_reference(record, &want),
			    "record %*ph", MARNEL_RECORD_SIZE, record);
	if (ok)
		KUNIT_EXPECT_EQ_MSG(test, got, want, "record %*ph",
				    MARNEL_RECORD_SIZE, record);
}

static void marnel_test_edges(struct kunit *test)
{
	static const char * const texts[] = {
		"", "0", "-0", "+0", "7", "42\n", "42\n\n", "\n", "-", "+",
		"-\n", "+-1", "-+1", "--1", " 1", "1 ", "1\t", "0x10", "1e3",
		"12345678", "99999999", "-9999999", "+9999999", "00000042",
		"-0000001", "4\n2", "a", "1a",
	};
	char record[MARNEL_RECORD_SIZE];
	size_t i;

	for (i = 0; i < ARRAY_SIZE(texts); i++) {
		memset(record, 0, sizeof(record));
		memcpy(record, texts[i], min(strlen(texts[i]), sizeof(record)));
		marnel_test_one(test, record);
	}
	/* The text ends at the first NUL: what follows it is filler. */
	memcpy(record, "5\0garbag", MARNEL_RECORD_SIZE);
	marnel_test_one(test, record);
	memcpy(record, "-1\n\0\xff\xff\xff\xff", MARNEL_RECORD_SIZE);
	marnel_test_one(test, record);
}

/* Records drawn from the bytes a parser can get wrong, with a fixed seed. */
static void marnel_test_random(struct kunit *test)
{
	static const char alphabet[] = "0123456789+-\n\n\0\0 \tax9";
	char record[MARNEL_RECORD_SIZE];
	struct rnd_state state;
	int i, j;

	prandom_seed_state(&state, 20261209);
	for (i = 0; i < MARNEL_TEST_RANDOM; i++) {
		for (j = 0; j < MARNEL_RECORD_SIZE; j++)
			record[j] = alphabet[prandom_u32_state(&state) %
					     (sizeof(alphabet) - 1)];
		marnel_test_one(test, record);
	}
}

static struct kunit_case marnel_test_cases[] = {
	KUNIT_CASE(marnel_test_edges),
	KUNIT_CASE(marnel_test_random),
	{}
};

static struct kunit_suite marnel_test_suite = {
	.name = "marnel_parse",
	.test_cases = marnel_test_cases,
};

kunit_test_suite(marnel_test_suite);

MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("KUnit suite of marnel's record parser");
