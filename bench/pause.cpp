// The memory baseline: a program that starts and waits.
#include <unistd.h>

int main()
{
	pause();
}
