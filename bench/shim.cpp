// Preloaded by the benchmarks: /proc/marnel/enqueue and dequeue open
// /dev/null, so a tool makes its real system calls with no driver behind
// them. Built with BENCH_TURNS, calls on those descriptors make no system
// call at all, and the program ends after $BENCH_TURNS turns: reads deliver
// "42" that often, then the end marker; writes end the process. That makes
// a run's instruction count a function of its turns.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace {

int mapped_fd = -1;

int map(const char *path, int flags)
{
	if (!path || (strcmp(path, "/proc/marnel/enqueue") != 0 &&
		      strcmp(path, "/proc/marnel/dequeue") != 0))
		return -2;
	auto real = reinterpret_cast<int (*)(const char *, int, ...)>(dlsym(RTLD_NEXT, "open"));
	mapped_fd = real("/dev/null", flags & O_ACCMODE);
	return mapped_fd;
}

} // namespace

extern "C" {

int open(const char *path, int flags, ...)
{
	int fd = map(path, flags);
	if (fd != -2)
		return fd;
	// Only called without a mode by the programs this is preloaded into.
	auto real = reinterpret_cast<int (*)(const char *, int, ...)>(dlsym(RTLD_NEXT, "open"));
	return real(path, flags, 0);
}

#ifdef BENCH_TURNS
namespace {
long turns_left = [] {
	const char *n = getenv("BENCH_TURNS");
	return n ? atol(n) : 0;
}();
}

ssize_t write(int fd, const void *buf, size_t count)
{
	if (fd != mapped_fd) {
		auto real = reinterpret_cast<ssize_t (*)(int, const void *, size_t)>(
			dlsym(RTLD_NEXT, "write"));
		return real(fd, buf, count);
	}
	if (turns_left-- <= 0)
		_exit(0);
	return static_cast<ssize_t>(count);
}

ssize_t read(int fd, void *buf, size_t count)
{
	if (fd != mapped_fd) {
		auto real = reinterpret_cast<ssize_t (*)(int, void *, size_t)>(
			dlsym(RTLD_NEXT, "read"));
		return real(fd, buf, count);
	}
	memcpy(buf, turns_left-- > 0 ? "42" : "-1", 3);
	return 0;
}
#endif
}
