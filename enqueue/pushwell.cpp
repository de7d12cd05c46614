// pushwell: write one enqueue record into the queue driver, endlessly.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

int main(int argc, char *argv[])
{
	// The driver sees an open on every run, also on one refused below.
	int fd = open("/proc/marnel/enqueue", O_WRONLY);

	if (argc != 2) {
		printf("pushwell: invalid argument");
		return -1;
	}

	// At most the first 8 bytes of the argument; the zeroed rest is the
	// NUL and filler, so nothing past the argument is ever read.
	char record[8] = {};
	memcpy(record, argv[1], strnlen(argv[1], sizeof record));

	// Results are not looked at: a refused or partial write is followed by
	// the same whole record, until a signal ends the process.
	for (;;)
		(void)!write(fd, record, sizeof record);
}
