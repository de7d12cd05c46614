// libmarnel-sim.so: loaded with LD_PRELOAD, it answers the /proc/marnel
// entries inside the calling process, the way the kernel module would, and
// hands every other call to libc untouched.
#include "queue.hpp"
#include "reads.hpp"

#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
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

// libc's own functions, looked up at load: dlsym is not async-signal-safe,
// so not in a signal handler's first call.
#define REAL_FUNCTIONS(X)                                                 \
	X(open) X(open64) X(openat) X(openat64) X(__open_2) X(__open64_2) \
	X(__openat_2) X(__openat64_2) X(read) X(__read_chk) X(write) X(close)
#define DECLARE_REAL(fn) std::atomic<void *> real_##fn{nullptr};
REAL_FUNCTIONS(DECLARE_REAL)

void *resolve(std::atomic<void *> &p, const char *name)
{
	void *f = p.load(std::memory_order_relaxed);
	if (!f) {
		f = dlsym(RTLD_NEXT, name);
		p.store(f, std::memory_order_relaxed);
	}
	return f;
}
#define REAL(fn) reinterpret_cast<decltype(&fn)>(resolve(real_##fn, #fn))

__attribute__((constructor)) void resolve_all()
{
#define RESOLVE_REAL(fn) resolve(real_##fn, #fn);
	REAL_FUNCTIONS(RESOLVE_REAL)
}

enum class Entry { enqueue, dequeue, status };

struct Open {
	Entry entry;
	Queue queue;
	// The status entry's snapshot, taken at the first read.
	char text[status_size];
	std::size_t len = 0;
	bool snapped = false;
	std::size_t offset = 0;
	Open *retired_next = nullptr;
};


// The descriptor table: one atomic pointer per descriptor number, so
// read, write and close find an entry without a lock, also from a signal
// handler that interrupted the library, and a foreign descriptor costs
// two loads. Reserved (not touched) up to max_fds at the first open.
constexpr int max_fds = 1 << 20;
std::atomic<std::atomic<Open *> *> table{nullptr};

// A closed entry may still be in use by a call on another thread or by
// the call a signal handler interrupted. Calls count themselves in
// `inflight` before they look the descriptor up, so an entry taken out of
// the table is freed once `inflight` has been seen at zero after that.
std::atomic<long> inflight{0};
std::atomic<Open *> retired{nullptr};

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

// The scripted reads, never destroyed (see the table below).
std::vector<ScriptedRead> &script_list = *new std::vector<ScriptedRead>;
const std::vector<ScriptedRead> &script() { return script_list; }

// The test hooks are checked as the program starts, so a mistake in them
// stops even a program that never reaches the driver. After the last
// scripted read, reads reach the queue again.
[[maybe_unused]] const bool hooks_checked = [] {
	std::string why;
	if (const char *env = getenv("MARNEL_SIM_READS");
	    env && !parse_reads(env, script_list, why)) {
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
std::atomic<std::size_t> script_next{0};

int fail(int err)
{
	errno = err;
	return -1;
}

// Open entries live in pages of their own, so that freeing one is a
// munmap, which a signal handler may call.
Open *new_open()
{
	void *p = mmap(nullptr, sizeof(Open), PROT_READ | PROT_WRITE,
		       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
	return p == MAP_FAILED ? nullptr : new (p) Open{};
}

void free_open(Open *o)
{
	o->~Open();
	munmap(o, sizeof(Open));
}

void push_retired(Open *first, Open *last)
{
	Open *top = retired.load(std::memory_order_relaxed);
	do
		last->retired_next = top;
	while (!retired.compare_exchange_weak(top, first, std::memory_order_release,
					      std::memory_order_relaxed));
}

// Frees the closed entries once no call can still hold one; otherwise
// they wait for a later open or close.
void reclaim()
{
	Open *list = retired.exchange(nullptr, std::memory_order_seq_cst);
	if (!list)
		return;
	if (inflight.load(std::memory_order_seq_cst) != 0) {
		Open *last = list;
		while (last->retired_next)
			last = last->retired_next;
		push_retired(list, last);
		return;
	}
	while (list) {
		Open *next = list->retired_next;
		free_open(list);
		list = next;
	}
}

std::atomic<Open *> *slot_of(int fd)
{
	auto *t = table.load(std::memory_order_acquire);
	if (!t || fd < 0 || fd >= max_fds)
		return nullptr;
	return &t[fd];
}

// The entry behind fd, counted in `inflight` until leave(); nullptr for a
// foreign descriptor, which costs no atomic write.
Open *enter(int fd)
{
	auto *slot = slot_of(fd);
	if (!slot || !slot->load(std::memory_order_relaxed))
		return nullptr;
	inflight.fetch_add(1, std::memory_order_seq_cst);
	Open *o = slot->load(std::memory_order_seq_cst);
	if (!o)
		inflight.fetch_sub(1, std::memory_order_release);
	return o;
}

void leave()
{
	inflight.fetch_sub(1, std::memory_order_release);
}

bool make_table()
{
	if (table.load(std::memory_order_acquire))
		return true;
	void *p = mmap(nullptr, max_fds * sizeof(std::atomic<Open *>),
		       PROT_READ | PROT_WRITE,
		       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
	if (p == MAP_FAILED)
		return false;
	std::atomic<Open *> *none = nullptr;
	if (!table.compare_exchange_strong(none, static_cast<std::atomic<Open *> *>(p)))
		munmap(p, max_fds * sizeof(std::atomic<Open *>)); // another thread won
	return true;
}

int open_entry(Entry entry, const char *path, int flags)
{
	reclaim();
	int access = flags & O_ACCMODE;
	int wanted = entry == Entry::enqueue ? O_WRONLY : O_RDONLY;
	prepare_caller_access();
	Open *o = make_table() ? new_open() : nullptr;
	int err = o ? o->queue.attach(state_dir()) : ENOMEM;
	if (err == 0 && access != wanted)
		err = EACCES;
	int fd = -1;
	if (err == 0) {
		// A real descriptor reserves the number, so nothing else in
		// the process is handed the same one.
		fd = REAL(open)("/dev/null", access | (flags & O_CLOEXEC));
		if (fd < 0)
			err = errno;
		else if (fd >= max_fds) {
			REAL(close)(fd);
			err = EMFILE;
		}
	}
	if (err != 0) {
		if (o)
			free_open(o);
		trace("open %s flags=0x%x -> -1 %s", path, flags, name_of(err));
		return fail(err);
	}
	o->entry = entry;
	slot_of(fd)->store(o, std::memory_order_seq_cst);
	trace("open %s flags=0x%x -> %d", path, flags, fd);
	return fd;
}

ssize_t read_entry(Open &o, void *buf, std::size_t count)
{
	if (o.entry == Entry::enqueue)
		return fail(EBADF);
	if (o.entry == Entry::status) {
		if (!o.snapped) {
			if (int err = o.queue.status(o.text, o.len); err != 0)
				return fail(err);
			o.snapped = true;
		}
		std::size_t n = std::min(count, o.len - o.offset);
		if (copy_to_caller(buf, o.text + o.offset, n) != 0)
			return fail(EFAULT);
		o.offset += n;
		return static_cast<ssize_t>(n);
	}
	if (!script().empty()) {
		std::size_t i = script_next.fetch_add(1);
		if (i < script().size()) {
			const ScriptedRead &r = script()[i];
			std::size_t n = std::min(count, r.bytes.size());
			if (copy_to_caller(buf, r.bytes.data(), n) != 0)
				return fail(EFAULT);
			if (r.result < 0) {
				trace("read count=%zu -> -1 %s scripted", count,
				      name_of(r.error));
				return fail(r.error);
			}
			trace("read count=%zu -> %zd data=%s scripted", count,
			      r.result, hex(r.bytes.data(), n).c_str());
			return r.result;
		}
	}
	Delivery done{};
	if (int err = o.queue.dequeue(buf, count, done); err != 0) {
		trace("read count=%zu -> -1 %s", count, name_of(err));
		return fail(err);
	}
	trace("read count=%zu -> 0 data=%s", count, hex(done.text, done.placed).c_str());
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
	if (Open *o = enter(fd)) {
		ssize_t r;
		{
			TracedCall step;
			r = read_entry(*o, buf, count);
		}
		leave();
		return r;
	}
	return REAL(read)(fd, buf, count);
}

ssize_t __read_chk(int fd, void *buf, size_t nbytes, size_t buflen)
{
	if (Open *o = enter(fd)) {
		if (nbytes > buflen)
			__chk_fail();
		ssize_t r;
		{
			TracedCall step;
			r = read_entry(*o, buf, nbytes);
		}
		leave();
		return r;
	}
	return REAL(__read_chk)(fd, buf, nbytes, buflen);
}

ssize_t write(int fd, const void *buf, size_t count)
{
	if (Open *o = enter(fd)) {
		ssize_t r;
		{
			// memcheck checks a real write's buffer; the driver's copy
			// of it would hide uninitialised bytes.
			(void)VALGRIND_CHECK_MEM_IS_DEFINED(buf, count);
			TracedCall step;
			r = write_entry(*o, buf, count);
		}
		leave();
		return r;
	}
	return REAL(write)(fd, buf, count);
}

int close(int fd)
{
	auto *slot = slot_of(fd);
	if (slot && slot->load(std::memory_order_relaxed)) {
		if (Open *o = slot->exchange(nullptr, std::memory_order_seq_cst)) {
			trace("close %d", fd);
			push_retired(o, o);
			reclaim();
		}
	}
	return REAL(close)(fd);
}

} // extern "C"
