// drawwell: drain the queue driver until the end marker -1 or a failed read.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main()
{
	int fd = open("/proc/marnel/dequeue", O_RDONLY);

	// 11 bytes for the driver and a 12th that stays NUL, so the parse
	// always ends inside the area.
	char area[12];

	for (;;) {
		// Cleared each turn: a short unterminated delivery must not
		// combine with the previous value (a lone "-" after "21" is not -1).
		memset(area, 0, sizeof area);
		ssize_t status = read(fd, area, 11);

		// Parsed like atoi, but out-of-range text does not wrap: it
		// stays out of range, so no text but that of -1 can end the
		// drain (saturating it to int would compare the same).
		long value = strtol(area, nullptr, 10);

		// The driver reports a delivered value with 0; anything else,
		// a byte count included, is a failure and wins over -1.
		if (status != 0) {
			puts("read fail");
			return -1;
		}
		if (value == -1)
			return -1;
	}
}
