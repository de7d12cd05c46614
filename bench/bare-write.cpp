// The baseline for pushwell: the same record to the same entry, in the
// tightest loop there is.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

int main(int argc, char *argv[])
{
	int fd = open("/proc/marnel/enqueue", O_WRONLY);
	char record[8] = {};
	if (argc > 1)
		memcpy(record, argv[1], strnlen(argv[1], sizeof record));
	for (;;)
		(void)!write(fd, record, sizeof record);
}
