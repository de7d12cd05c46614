// The baseline for drawwell: read 11 bytes, parse, stop at -1 or at a read
// that delivers nothing.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

int main()
{
	int fd = open("/proc/marnel/dequeue", O_RDONLY);
	char text[12] = {};
	while (read(fd, text, 11) == 0 && atoi(text) != -1) {
	}
	return 0;
}
