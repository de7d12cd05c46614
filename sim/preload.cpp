// libmarnel-sim.so: loaded with LD_PRELOAD, it answers the /proc/marnel
// entries inside the calling process, the way the kernel module would, and
// hands every other call to libc untouched.
#include "queue.hpp"
#include "reads.hpp"

#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#if __has_include(<valgrind/memcheck.h>)
#include <valgrind/memcheck.h>
#else
#define VALGRIND_CHECK_MEM_IS_DEFINED(addr, len) 0
#endif

using namespace marnel::sim;

extern "C" {
int __open_2(const char *path, int flags);
int __open64_2(const char *path, int flags);
int __openat_2(int dirfd, const char *path, int flags);
int __openat64_2(int dirfd, const char *path, int flags);
ssize_t __read_chk(int fd, void *buf, size_t nbytes, size_t buflen);
[[noreturn]] void __chk_fail();
}

namespace {

template <class Fn> Fn *next(const char *name)
{
	return reinterpret_cast<Fn *>(dlsym(RTLD_NEXT, name));
}
#define REAL(fn)                                                          \
	([] {                                                             \
		static auto *p = next<decltype(fn)>(#fn);                 \
		return p;                                                 \
	}())

enum class Entry { enqueue, dequeue, status };

struct Open {
	int fd;
	Entry entry;
	Queue queue;
	std::string text; // the status entry's snapshot, taken at the first read
	bool snapped = false;
	std::size_t offset = 0;
};

// Never destroyed: an atexit handler or another thread may still call
// read or write after this library's destructors have run.
std::mutex &table_mutex = *new std::mutex;
std::atomic<int> open_count{0}; // lets foreign descriptors skip the lock
std::vector<std::unique_ptr<Open>> &table = *new std::vector<std::unique_ptr<Open>>;
std::vector<ScriptedRead> &script = *new std::vector<ScriptedRead>;
std::size_t script_next = 0;

bool entry_of(const char *path, Entry &e)
{
	if (!path)
		return false;
	if (strcmp(path, "/proc/marnel/enqueue") == 0)
		e = Entry::enqueue;
	else if (strcmp(path, "/proc/marnel/dequeue") == 0)
		e = Entry::dequeue;
	else if (strcmp(path, "/proc/marnel/status") == 0)
		e = Entry::status;
	else
		return false;
	return true;
}

std::string hex(const void *p, std::size_t n)
{
	static const char digits[] = "0123456789abcdef";
	std::string out;
	for (std::size_t i = 0; i < n; i++) {
		auto c = static_cast<const unsigned char *>(p)[i];
		out += digits[c >> 4];
		out += digits[c & 15];
	}
	return out;
}

int trace_fd()
{
	static int fd = [] {
		const char *path = getenv("MARNEL_SIM_TRACE");
		if (!path || !*path)
			return -1;
		return REAL(open)(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC,
				  0600);
	}();
	return fd;
}

// While tracing, a call and its trace line are one step, as a system call
// is for signals: a process stopped by SIGINT leaves no untraced call.
class TracedCall {
public:
	TracedCall()
	{
		if (trace_fd() >= 0) {
			sigset_t all;
			sigfillset(&all);
			held_ = pthread_sigmask(SIG_BLOCK, &all, &old_) == 0;
		}
	}
	~TracedCall()
	{
		if (held_)
			pthread_sigmask(SIG_SETMASK, &old_, nullptr);
	}
	TracedCall(const TracedCall &) = delete;
	TracedCall &operator=(const TracedCall &) = delete;

private:
	sigset_t old_{};
	bool held_ = false;
};

void trace(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void trace(const char *fmt, ...)
{
	int fd = trace_fd();
	if (fd < 0)
		return;
	char line[512];
	va_list ap;
	va_start(ap, fmt);
	int n = vsnprintf(line, sizeof line - 1, fmt, ap);
	va_end(ap);
	if (n < 0)
		return;
	n = n > static_cast<int>(sizeof line) - 2 ? static_cast<int>(sizeof line) - 2 : n;
	line[n++] = '\n';
	(void)!REAL(write)(fd, line, static_cast<std::size_t>(n)); // one line, one append
}

const char *name_of(int err)
{
	const char *name = strerrorname_np(err);
	return name ? name : "E?";
}

// The test hooks are checked as the program starts, so a mistake in them
// stops even a program that never reaches the driver. After the last
// scripted read, reads reach the queue again.
[[maybe_unused]] const bool hooks_checked = [] {
	std::string why;
	if (const char *env = getenv("MARNEL_SIM_READS");
	    env && !parse_reads(env, script, why)) {
		fprintf(stderr, "libmarnel-sim: %s\n", why.c_str());
		_exit(125);
	}
	// Only tried here: the trace itself opens at the first traced call,
	// so that it takes no descriptor number the program would get.
	if (const char *path = getenv("MARNEL_SIM_TRACE"); path && *path) {
		int fd = REAL(open)(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
		if (fd < 0) {
			fprintf(stderr, "libmarnel-sim: MARNEL_SIM_TRACE %s: %s\n", path,
				strerror(errno));
			_exit(125);
		}
		REAL(close)(fd);
	}
	return true;
}();

Open *find(int fd)
{
	for (auto &o : table)
		if (o->fd == fd)
			return o.get();
	return nullptr;
}

int fail(int err)
{
	errno = err;
	return -1;
}

int open_entry(Entry entry, const char *path, int flags)
{
	int access = flags & O_ACCMODE;
	int wanted = entry == Entry::enqueue ? O_WRONLY : O_RDONLY;
	auto o = std::make_unique<Open>();
	o->entry = entry;
	int err = o->queue.attach(state_dir());
	if (err == 0 && access != wanted)
		err = EACCES;
	int fd = -1;
	if (err == 0) {
		// A real descriptor reserves the number, so nothing else in
		// the process is handed the same one.
		fd = REAL(open)("/dev/null", access | (flags & O_CLOEXEC));
		if (fd < 0)
			err = errno;
	}
	if (err != 0) {
		trace("open %s flags=0x%x -> -1 %s", path, flags, name_of(err));
		return fail(err);
	}
	o->fd = fd;
	{
		std::lock_guard<std::mutex> lock(table_mutex);
		table.push_back(std::move(o));
		open_count++;
	}
	trace("open %s flags=0x%x -> %d", path, flags, fd);
	return fd;
}

ssize_t read_entry(Open &o, void *buf, std::size_t count)
{
	if (o.entry == Entry::enqueue)
		return fail(EBADF);
	if (o.entry == Entry::status) {
		if (!o.snapped) {
			if (int err = o.queue.status(o.text); err != 0)
				return fail(err);
			o.snapped = true;
		}
		std::size_t n = std::min(count, o.text.size() - o.offset);
		if (copy_to_caller(buf, o.text.data() + o.offset, n) != 0)
			return fail(EFAULT);
		o.offset += n;
		return static_cast<ssize_t>(n);
	}
	if (script_next < script.size()) {
		const ScriptedRead &r = script[script_next++];
		std::size_t n = std::min(count, r.bytes.size());
		if (copy_to_caller(buf, r.bytes.data(), n) != 0)
			return fail(EFAULT);
		if (r.result < 0) {
			trace("read count=%zu -> -1 %s scripted", count, name_of(r.error));
			return fail(r.error);
		}
		trace("read count=%zu -> %zd data=%s scripted", count, r.result,
		      hex(r.bytes.data(), n).c_str());
		return r.result;
	}
	std::string text;
	if (int err = o.queue.dequeue(buf, count, text); err != 0) {
		trace("read count=%zu -> -1 %s", count, name_of(err));
		return fail(err);
	}
	std::size_t placed = count > text.size() ? text.size() + 1 : text.size();
	trace("read count=%zu -> 0 data=%s", count,
	      hex(text.c_str(), placed).c_str());
	return 0;
}

ssize_t write_entry(Open &o, const void *buf, std::size_t count)
{
	if (o.entry != Entry::enqueue)
		return fail(EBADF);
	int err = o.queue.enqueue(buf, count);
	if (trace_fd() < 0)
		return err == 0 ? static_cast<ssize_t>(count) : fail(err);
	char shown[16];
	std::size_t n = std::min(count, sizeof shown);
	std::string data = copy_from_caller(shown, buf, n) == 0 ? hex(shown, n) : "?";
	if (err != 0) {
		trace("write count=%zu -> -1 %s data=%s", count, name_of(err),
		      data.c_str());
		return fail(err);
	}
	trace("write count=%zu -> %zu data=%s", count, count, data.c_str());
	return static_cast<ssize_t>(count);
}

int mode_arg(int flags, va_list ap)
{
	return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE
		       ? va_arg(ap, int)
		       : 0;
}

} // namespace

extern "C" {

int open(const char *path, int flags, ...)
{
	if (Entry e; entry_of(path, e))
		return open_entry(e, path, flags);
	va_list ap;
	va_start(ap, flags);
	int mode = mode_arg(flags, ap);
	va_end(ap);
	return REAL(open)(path, flags, mode);
}

int open64(const char *path, int flags, ...)
{
	if (Entry e; entry_of(path, e))
		return open_entry(e, path, flags);
	va_list ap;
	va_start(ap, flags);
	int mode = mode_arg(flags, ap);
	va_end(ap);
	return REAL(open64)(path, flags, mode);
}

int openat(int dirfd, const char *path, int flags, ...)
{
	if (Entry e; entry_of(path, e))
		return open_entry(e, path, flags);
	va_list ap;
	va_start(ap, flags);
	int mode = mode_arg(flags, ap);
	va_end(ap);
	return REAL(openat)(dirfd, path, flags, mode);
}

int openat64(int dirfd, const char *path, int flags, ...)
{
	if (Entry e; entry_of(path, e))
		return open_entry(e, path, flags);
	va_list ap;
	va_start(ap, flags);
	int mode = mode_arg(flags, ap);
	va_end(ap);
	return REAL(openat64)(dirfd, path, flags, mode);
}

int __open_2(const char *path, int flags)
{
	if (Entry e; entry_of(path, e))
		return open_entry(e, path, flags);
	return REAL(__open_2)(path, flags);
}

int __open64_2(const char *path, int flags)
{
	if (Entry e; entry_of(path, e))
		return open_entry(e, path, flags);
	return REAL(__open64_2)(path, flags);
}

int __openat_2(int dirfd, const char *path, int flags)
{
	if (Entry e; entry_of(path, e))
		return open_entry(e, path, flags);
	return REAL(__openat_2)(dirfd, path, flags);
}

int __openat64_2(int dirfd, const char *path, int flags)
{
	if (Entry e; entry_of(path, e))
		return open_entry(e, path, flags);
	return REAL(__openat64_2)(dirfd, path, flags);
}

ssize_t read(int fd, void *buf, size_t count)
{
	if (open_count.load(std::memory_order_relaxed) > 0) {
		std::lock_guard<std::mutex> lock(table_mutex);
		if (Open *o = find(fd)) {
			TracedCall step;
			return read_entry(*o, buf, count);
		}
	}
	return REAL(read)(fd, buf, count);
}

ssize_t __read_chk(int fd, void *buf, size_t nbytes, size_t buflen)
{
	if (open_count.load(std::memory_order_relaxed) > 0) {
		std::lock_guard<std::mutex> lock(table_mutex);
		if (Open *o = find(fd)) {
			if (nbytes > buflen)
				__chk_fail();
			TracedCall step;
			return read_entry(*o, buf, nbytes);
		}
	}
	return REAL(__read_chk)(fd, buf, nbytes, buflen);
}

ssize_t write(int fd, const void *buf, size_t count)
{
	if (open_count.load(std::memory_order_relaxed) > 0) {
		std::lock_guard<std::mutex> lock(table_mutex);
		if (Open *o = find(fd)) {
			// memcheck checks a real write's buffer; the driver's copy
			// of it would hide uninitialised bytes.
			(void)VALGRIND_CHECK_MEM_IS_DEFINED(buf, count);
			TracedCall step;
			return write_entry(*o, buf, count);
		}
	}
	return REAL(write)(fd, buf, count);
}

int close(int fd)
{
	if (open_count.load(std::memory_order_relaxed) > 0) {
		std::lock_guard<std::mutex> lock(table_mutex);
		for (auto it = table.begin(); it != table.end(); ++it) {
			if ((*it)->fd == fd) {
				table.erase(it);
				open_count--;
				trace("close %d", fd);
				break;
			}
		}
	}
	return REAL(close)(fd);
}

} // extern "C"
