// libmarnel-sim.so: loaded with LD_PRELOAD, it answers /proc/marnel inside
// the calling process the way the kernel module would, and hands every
// other call to libc untouched. Paths are mapped by paths.hpp to a mirror
// folder that load made, descriptors live in descriptors.hpp; this file is
// the entry points and the entries' answers.
#include "descriptors.hpp"
#include "paths.hpp"
#include "queue.hpp"
#include "reads.hpp"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
ssize_t __read(int fd, void *buf, size_t n);
ssize_t __write(int fd, const void *buf, size_t n);
ssize_t __read_chk(int fd, void *buf, size_t n, size_t buflen);
ssize_t __pread64(int fd, void *buf, size_t n, off64_t off);
ssize_t __pwrite64(int fd, const void *buf, size_t n, off64_t off);
ssize_t __pread_chk(int fd, void *buf, size_t n, off_t off, size_t buflen);
ssize_t __pread64_chk(int fd, void *buf, size_t n, off64_t off, size_t buflen);
off_t __lseek(int fd, off_t off, int whence);
int __close(int fd);
int __dup2(int fd, int to);
int __fcntl(int fd, int cmd, ...);
[[noreturn]] void __chk_fail();
extern FILE *_IO_list_all;
}

namespace {

// libc's own functions, looked up at load: dlsym is not async-signal-safe,
// so not in a signal handler's first call.
#define REAL_FUNCTIONS(X)                                                      \
	X(open) X(open64) X(openat) X(openat64) X(__open_2) X(__open64_2)      \
	X(__openat_2) X(__openat64_2) X(read) X(__read) X(__read_chk) X(write) \
	X(__write) X(pread) X(pread64) X(__pread64) X(__pread_chk)             \
	X(__pread64_chk) X(pwrite) X(pwrite64) X(__pwrite64) X(readv) X(writev) \
	X(preadv) X(preadv64) X(preadv2) X(preadv64v2) X(pwritev) X(pwritev64)  \
	X(pwritev2) X(pwritev64v2) X(lseek) X(lseek64) X(__lseek) X(close)     \
	X(__close) X(close_range) X(dup) X(dup2) X(__dup2) X(dup3) X(fcntl)    \
	X(fcntl64) X(__fcntl) X(fstat) X(fstat64) X(stat) X(stat64) X(lstat)   \
	X(lstat64) X(fstatat) X(fstatat64) X(statx) X(access) X(faccessat)     \
	X(eaccess) X(euidaccess) X(opendir) X(scandir) X(scandir64) X(chdir)   \
	X(fchdir) X(getcwd) X(fopen) X(fopen64) X(fdopen) X(fflush) X(fclose) X(setvbuf)       \
	X(getxattr) X(lgetxattr) X(listxattr) X(llistxattr) X(readlink)      \
	X(readlinkat) X(realpath) X(freopen) X(freopen64)
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

int fail(int err)
{
	errno = err;
	return -1;
}

// ---- tracing (MARNEL_SIM_TRACE) and scripted reads (MARNEL_SIM_READS)

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

// The scripted reads, never destroyed (a late call may still use them).
std::vector<ScriptedRead> &script_list = *new std::vector<ScriptedRead>;
std::atomic<std::size_t> script_next{0};

// The test hooks are checked as the program starts, so a mistake in them
// stops even a program that never reaches the driver; then descriptors
// inherited across exec are found. Run as the dynamic initializer after
// the ones above, which a constructor attribute would precede.
void start()
{
#define RESOLVE_REAL(fn) resolve(real_##fn, #fn);
	REAL_FUNCTIONS(RESOLVE_REAL)
	std::string why;
	if (const char *env = getenv("MARNEL_SIM_READS");
	    env && !parse_reads(env, script_list, why)) {
		fprintf(stderr, "libmarnel-sim: %s\n", why.c_str());
		_exit(125);
	}
	MARNEL_FAULT(if (!faults::choose(getenv("MARNEL_SIM_FAULT"), why)) {
		fprintf(stderr, "libmarnel-sim: %s\n", why.c_str());
		_exit(125);
	})
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
	fds::adopt_inherited();
}
[[maybe_unused]] const bool started = (start(), true);

// ---- paths

// Whether the working folder is under /proc or the mirror, where a
// relative path may name an entry without saying "marnel"; -1: not known
// since the last chdir.
std::atomic<int> cwd_special{-1};

std::string mirror()
{
	return mirror_of(state_dir());
}

std::string logical_cwd()
{
	char buf[PATH_MAX];
	if (!REAL(getcwd)(buf, sizeof buf))
		return "";
	return from_mirror(buf, mirror());
}

bool cwd_is_special()
{
	int s = cwd_special.load(std::memory_order_relaxed);
	if (s < 0) {
		std::string cwd = logical_cwd();
		s = cwd == "/proc" || cwd.starts_with("/proc/");
		cwd_special.store(s, std::memory_order_relaxed);
	}
	return s != 0;
}

// A path the library answers: the mirror path it maps to, and the entry
// it names, if any.
struct Target {
	std::string normalized;
	std::string mapped;
	std::string entry; // "enqueue", "dequeue", "status", a profile's own, or empty
	int error = 0;	   // ENOENT: no usable state folder
};

bool private_folder(const std::string &dir)
{
	struct stat st {};
	return REAL(lstat)(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
	       st.st_uid == geteuid() && (st.st_mode & 077) == 0;
}

bool resolve_path(int dirfd, const char *path, Target &t)
{
	if (!path || !*path)
		return false;
	std::string base = "/";
	if (path[0] != '/') {
		if (dirfd == AT_FDCWD) {
			if (!may_reach(path) && !cwd_is_special())
				return false;
			base = logical_cwd();
		} else {
			// A folder descriptor under /proc or the mirror, with a
			// name that could be an entry or climb to one.
			if (!may_reach(path) && path[0] != '.' && !strstr(path, "queue") &&
			    !strstr(path, "status"))
				return false;
			char buf[PATH_MAX];
			std::string link = "/proc/self/fd/" + std::to_string(dirfd);
			ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
			if (n <= 0 || buf[0] != '/')
				return false;
			base = from_mirror(std::string(buf, static_cast<std::size_t>(n)), mirror());
		}
		if (base.empty())
			return false;
	} else if (!strstr(path, "marnel")) {
		return false;
	}
	t.normalized = normalize(base, path);
	if (!t.normalized.starts_with(proc_folder) ||
	    (t.normalized.size() > proc_folder.size() && t.normalized[proc_folder.size()] != '/'))
		return false;
	std::string dir = state_dir();
	if (!private_folder(dir))
		t.error = ENOENT;
	t.mapped = to_mirror(t.normalized, mirror_of(dir));
	t.entry = entry_name(t.normalized);
	// A profile may add entries or leave out status: any file of the
	// mirror is one, and no other name is.
	struct stat st {};
	if (!t.entry.empty() && t.entry != "enqueue" && t.entry != "dequeue" &&
	    (t.error || REAL(lstat)(t.mapped.c_str(), &st) != 0 || !S_ISREG(st.st_mode)))
		t.entry.clear();
	return true;
}

bool is_folder(const Target &t)
{
	return t.normalized == proc_folder || t.normalized == "/proc/marnel/";
}

// ---- the entries' answers

ssize_t read_dequeue(Open &o, void *buf, std::size_t count)
{
	if (!script_list.empty()) {
		std::size_t i = script_next.fetch_add(1);
		if (i < script_list.size()) {
			const ScriptedRead &r = script_list[i];
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
	if (int err = o.gone ? EIO : o.queue.dequeue(buf, count, done); err != 0) {
		trace("read count=%zu -> -1 %s", count, name_of(err));
		return fail(err);
	}
	trace("read count=%zu -> 0 data=%s", count, hex(done.text, done.placed).c_str());
	MARNEL_FAULT(if (done.value && faults::on(faults::read_reports_count))
			     return static_cast<ssize_t>(strlen(done.text));)
	return 0;
}

// What the first read of a read-only entry takes: the counters, or a
// profile's fixed text.
int snapshot(Open &o, char (&text)[status_size], std::size_t &len)
{
	if (o.entry == Entry::status)
		return o.queue.status(text, len);
	if (o.queue.unloaded())
		return EIO;
	const char *fixed = fixed_entry(o.queue.profile(), o.desc->name);
	if (!fixed)
		return EIO;
	len = std::min(strlen(fixed), sizeof text - 1);
	memcpy(text, fixed, len);
	text[len++] = '\n';
	return 0;
}

// seq_file's traverse(): position 0 drops the text, so the next read
// takes a new snapshot; any other position takes one now.
int traverse(Open &o, SeqState &s, std::int64_t pos)
{
	s.generated = false;
	if (pos == 0)
		return 0;
	std::size_t len = 0;
	if (int err = snapshot(o, s.text, len); err != 0)
		return err;
	s.len = static_cast<std::uint32_t>(len);
	s.generated = true;
	return 0;
}

// One read at *pos, or at the file position and moving it. Where the
// kernel holds the seq_file's lock, this works on a copy of the state and
// makes it current, or starts again when another read or seek of the
// description came first; the caller's buffer is then written again.
ssize_t read_status(Open &o, void *buf, std::size_t count, const std::int64_t *pos)
{
	if (count == 0)
		return 0;
	Description &d = *o.desc;
	SeqState s;
	for (;;) {
		const std::uint64_t seen = seq_load(d, s);
		const std::int64_t at = pos ? *pos : s.f_pos;
		bool changed = false;
		int err = 0;
		std::size_t n = 0;
		if (at != s.read_pos) {
			changed = true;
			err = traverse(o, s, at);
			if (err == 0)
				s.read_pos = at;
		}
		if (err == 0 && !s.generated) {
			changed = true;
			err = traverse(o, s, -1);
		}
		if (err == 0) {
			std::size_t len = std::min<std::size_t>(s.len, sizeof s.text);
			auto from = static_cast<std::size_t>(s.read_pos);
			n = from < len ? std::min(count, len - from) : 0;
			if (copy_to_caller(buf, s.text + from, n) != 0)
				err = EFAULT;
		}
		if (err == 0 && n > 0) {
			changed = true;
			s.read_pos += static_cast<std::int64_t>(n);
			if (!pos)
				s.f_pos = at + static_cast<std::int64_t>(n);
		}
		if (!changed || seq_publish(d, seen, s))
			return err != 0 ? fail(err) : static_cast<ssize_t>(n);
	}
}

bool nonseekable(Open &o)
{
	return (o.entry == Entry::enqueue || o.entry == Entry::dequeue) &&
	       o.queue.profile().nonseekable;
}

bool dead(Open &o)
{
	return o.gone || o.queue.unloaded();
}

// pos: a pread's offset, or nullptr for the file position.
// What the kernel checks before the entry's own call: the descriptor's
// access mode, a positioned call's offset, a nonseekable entry.
int before_call(Open &o, bool reading, const std::int64_t *pos)
{
	if (pos && *pos < 0)
		return EINVAL;
	if (pos && nonseekable(o))
		return ESPIPE;
	int mode = o.desc->flags.load(std::memory_order_relaxed) & O_ACCMODE;
	if (mode == (reading ? O_WRONLY : O_RDONLY))
		return EBADF;
	// Opened both ways, or the other way where the profile allows it.
	if ((o.entry == Entry::enqueue) == reading)
		return o.entry == Entry::enqueue || o.entry == Entry::dequeue
			       ? o.queue.profile().wrong_call_error
			       : EBADF;
	return 0;
}

ssize_t entry_read(Open &o, void *buf, std::size_t count, const std::int64_t *pos)
{
	if (int err = before_call(o, true, pos))
		return fail(err);
	if (o.entry == Entry::dequeue)
		return read_dequeue(o, buf, count);
	if (dead(o))
		return fail(EIO);
	return read_status(o, buf, count, pos);
}

ssize_t entry_write(Open &o, const void *buf, std::size_t count, const std::int64_t *pos)
{
	if (int err = before_call(o, false, pos))
		return fail(err);
	// memcheck checks a real write's buffer; the driver's copy of it
	// would hide uninitialised bytes.
	(void)VALGRIND_CHECK_MEM_IS_DEFINED(buf, count);
	// The queue itself answers EIO once unloaded.
	std::size_t taken = count;
	int err = o.gone ? EIO : o.queue.enqueue(buf, count, taken);
	if (trace_fd() < 0)
		return err == 0 ? static_cast<ssize_t>(taken) : fail(err);
	char shown[16];
	std::size_t n = std::min(count, sizeof shown);
	std::string data = copy_from_caller(shown, buf, n) == 0 ? hex(shown, n) : "?";
	if (err != 0) {
		trace("write count=%zu -> -1 %s data=%s", count, name_of(err),
		      data.c_str());
		return fail(err);
	}
	trace("write count=%zu -> %zu data=%s", count, taken, data.c_str());
	return static_cast<ssize_t>(taken);
}

// procfs hands each segment to the entry as a call of its own and stops
// at the first that is not taken or filled whole.
template <typename Call>
ssize_t entry_vector(Open &o, bool reading, const iovec *iov, int count,
		     const std::int64_t *pos, Call call)
{
	int mode = o.desc->flags.load(std::memory_order_relaxed) & O_ACCMODE;
	if (pos && *pos < 0)
		return fail(EINVAL);
	if (pos && nonseekable(o))
		return fail(ESPIPE);
	if (mode == (reading ? O_WRONLY : O_RDONLY))
		return fail(EBADF);
	if (count < 0 || count > IOV_MAX)
		return fail(EINVAL);
	std::vector<iovec> v(static_cast<std::size_t>(count));
	if (count > 0 && copy_from_caller(v.data(), iov, v.size() * sizeof(iovec)) != 0)
		return fail(EFAULT);
	std::size_t left = 0;
	for (const iovec &s : v) {
		if (s.iov_len > SSIZE_MAX - left)
			return fail(EINVAL);
		left += s.iov_len;
	}
	ssize_t done = 0;
	for (std::size_t i = 0; i < v.size() && left > 0; i++) {
		ssize_t r = call(v[i].iov_base, v[i].iov_len);
		if (r < 0)
			return done == 0 ? -1 : done;
		done += r;
		left -= static_cast<std::size_t>(r);
		if (static_cast<std::size_t>(r) != v[i].iov_len)
			break;
	}
	return done;
}

ssize_t entry_readv(Open &o, const iovec *iov, int count, const std::int64_t *pos)
{
	std::int64_t at = pos ? *pos : 0;
	return entry_vector(o, true, iov, count, pos, [&](void *b, std::size_t n) {
		ssize_t r = entry_read(o, b, n, pos ? &at : nullptr);
		if (r > 0)
			at += r;
		return r;
	});
}

ssize_t entry_writev(Open &o, const iovec *iov, int count, const std::int64_t *pos)
{
	return entry_vector(o, false, iov, count, pos, [&](void *b, std::size_t n) {
		return entry_write(o, b, n, pos);
	});
}

// enqueue and dequeue take noop_llseek; status is a seq_file. After an
// unload procfs answers a seek with EINVAL.
off64_t entry_lseek(Open &o, off64_t off, int whence)
{
	if (nonseekable(o)) // nonseekable_open: before anything else
		return fail(ESPIPE);
	if (dead(o))
		return fail(EINVAL);
	if (o.entry == Entry::enqueue || o.entry == Entry::dequeue)
		return 0;
	if (whence != SEEK_SET && whence != SEEK_CUR)
		return fail(EINVAL);
	Description &d = *o.desc;
	SeqState s;
	for (;;) {
		const std::uint64_t seen = seq_load(d, s);
		off64_t to = whence == SEEK_CUR ? off + s.f_pos : off;
		if (to < 0)
			return fail(EINVAL);
		int err = 0;
		if (to != s.read_pos) {
			err = traverse(o, s, to);
			s.read_pos = err != 0 ? 0 : to;
		}
		s.f_pos = err != 0 ? 0 : to;
		if (seq_publish(d, seen, s))
			return err != 0 ? fail(err) : to;
	}
}

int entry_fstat(Open &o, struct stat *st)
{
	return copy_to_caller(st, &o.desc->st, sizeof *st) == 0 ? 0 : fail(EFAULT);
}

int entry_fcntl(Open &o, int fd, int cmd, void *arg, int (*real)(int, int, ...))
{
	switch (cmd) {
	case F_GETFL:
		return o.desc->flags.load();
	case F_SETFL: {
		// The flags F_SETFL may change, as the kernel's SETFL_MASK.
		constexpr int settable = O_APPEND | O_NONBLOCK | O_NDELAY | O_DIRECT | O_NOATIME |
					 O_ASYNC;
		int want = static_cast<int>(reinterpret_cast<intptr_t>(arg));
		int old = o.desc->flags.load();
		o.desc->flags.store((old & ~settable) | (want & settable));
		return 0;
	}
	case F_DUPFD:
	case F_DUPFD_CLOEXEC: {
		int r = real(fd, cmd, arg);
		if (r >= 0)
			fds::install(r, &o);
		return r;
	}
	default:
		return real(fd, cmd, arg);
	}
}

// On an entry descriptor: the entry's answer; otherwise libc's. A foreign
// descriptor costs the table lookup and nothing else: no lock, no write.
template <typename EntryCall, typename Real>
auto on_fd(int fd, EntryCall entry, Real real) -> decltype(real())
{
	if (Open *o = fds::enter(fd)) {
		decltype(real()) r;
		{
			TracedCall step;
			r = static_cast<decltype(real())>(entry(*o));
		}
		fds::leave();
		return r;
	}
	return real();
}

// ---- opening

// Whether an open in another direction must reach the driver to be
// judged: the enqueue and dequeue entries ask the profile.
bool allowed_other_way(Entry e)
{
	return e == Entry::enqueue || e == Entry::dequeue;
}

int open_entry(const Target &t, int flags, mode_t mode)
{
	if (t.error) {
		trace("open %s flags=0x%x -> -1 %s", t.normalized.c_str(), flags, name_of(t.error));
		return fail(t.error);
	}
	// The kernel checks the path and the modes before the entry's open:
	// a real open of the mirror file gives its EEXIST, ENOTDIR, EACCES.
	int probe = REAL(openat)(AT_FDCWD, t.mapped.c_str(), flags | O_CLOEXEC, mode);
	if (probe < 0) {
		int err = errno;
		trace("open %s flags=0x%x -> -1 %s", t.normalized.c_str(), flags, name_of(err));
		return fail(err);
	}
	struct stat st {};
	REAL(fstat)(probe, &st);
	REAL(close)(probe);
	if (flags & O_PATH)
		return REAL(openat)(AT_FDCWD, t.mapped.c_str(), flags, mode);
	Entry e = t.entry == "enqueue" ? Entry::enqueue :
		  t.entry == "dequeue" ? Entry::dequeue :
		  t.entry == "status"  ? Entry::status : Entry::fixed;
	int wanted = e == Entry::enqueue ? O_WRONLY : O_RDONLY;
	prepare_caller_access();
	int fd = -1;
	Open *o = nullptr;
	if ((flags & O_ACCMODE) != wanted && !allowed_other_way(e)) {
		errno = EACCES;
	} else {
		fd = create_description(e, t.entry, state_dir(), flags, st, o);
		// The profile is known once attached: a refusal then.
		if (fd >= 0 && (flags & O_ACCMODE) != wanted) {
			int refuse = o->queue.profile().wrong_open_error;
			if (e != Entry::enqueue && e != Entry::dequeue)
				refuse = EACCES;
			if (refuse != 0) {
				close(fd);
				fd = -1;
				errno = refuse;
			}
		}
	}
	if (fd < 0) {
		int err = errno;
		trace("open %s flags=0x%x -> -1 %s", t.normalized.c_str(), flags, name_of(err));
		return fail(err);
	}
	trace("open %s flags=0x%x -> %d", t.normalized.c_str(), flags, fd);
	return fd;
}

// Every open entry point: the path is the library's or libc's.
template <typename Real>
int open_at(int dirfd, const char *path, int flags, mode_t mode, Real real)
{
	Target t;
	if (!resolve_path(dirfd, path, t))
		return real();
	if (!t.entry.empty())
		return open_entry(t, flags, mode);
	if (t.error)
		return fail(t.error);
	// procfs makes no new names in the folder: ENOENT, as without O_CREAT.
	struct stat st {};
	if ((flags & O_CREAT) && REAL(stat)(t.mapped.c_str(), &st) != 0 && errno == ENOENT)
		return -1;
	return REAL(openat)(AT_FDCWD, t.mapped.c_str(), flags, mode);
}

mode_t mode_arg(int flags, va_list ap)
{
	return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE
		       ? static_cast<mode_t>(va_arg(ap, int))
		       : 0;
}

// ---- paths for stat, access, folders

template <typename Real, typename Mapped>
auto on_path(int dirfd, const char *path, Real real, Mapped mapped) -> decltype(real())
{
	Target t;
	if (!resolve_path(dirfd, path, t))
		return real();
	if (t.error)
		return fail(t.error);
	return mapped(t);
}

// procfs folders have size 0; the mirror's has its file system's size.
template <typename Stat>
int fix_folder(const Target &t, int r, Stat *st)
{
	if (r == 0 && is_folder(t)) {
		st->st_size = 0;
		st->st_blocks = 0;
	}
	return r;
}

// ---- stdio: a FILE whose descriptor is an entry

// glibc's stdio writes through its own internal write, which the library
// cannot see. fopen and fdopen of an entry hand out a cookie FILE whose
// calls come here; another FILE whose descriptor became an entry (stdout
// redirected by a shell) has its pending bytes written here when it is
// flushed, closed, or the program exits.
const void *cookie_vtable = nullptr;

const void *vtable_of(FILE *fp)
{
	return *reinterpret_cast<const void *const *>(reinterpret_cast<char *>(fp) + sizeof(FILE));
}

bool flush_entry_buffer(FILE *fp)
{
	if (!fp || fp->_fileno < 0 || vtable_of(fp) == cookie_vtable)
		return true;
	Open *o = fds::enter(fp->_fileno);
	if (!o)
		return true;
	fds::leave();
	char *b = fp->_IO_write_base, *p = fp->_IO_write_ptr;
	bool ok = true;
	while (b && p > b) {
		ssize_t r = write(fp->_fileno, b, static_cast<std::size_t>(p - b));
		if (r <= 0) {
			fp->_flags |= 0x20; // _IO_ERR_SEEN
			ok = false;
			break;
		}
		b += r;
	}
	if (fp->_IO_write_base)
		fp->_IO_write_ptr = fp->_IO_write_base;
	return ok;
}

void flush_all_entry_buffers()
{
	for (FILE *fp = _IO_list_all ? reinterpret_cast<FILE *>(_IO_list_all) : nullptr; fp;
	     fp = fp->_chain)
		if (ftrylockfile(fp) == 0) {
			flush_entry_buffer(fp);
			funlockfile(fp);
		}
}

// A line-buffered FILE (bash makes stdout one) writes each line through
// glibc's internal write; on an entry it is made fully buffered, so that
// its lines wait for the flush that comes here, and made line-buffered
// again when its descriptor leaves the entry.
constexpr int io_line_buf = 0x200, io_currently_putting = 0x800;
std::atomic<FILE *> unlined[8];

void adapt_files(int fd, bool entry)
{
	if (fd < 0 || fd > 2 || !fds::owner())
		return; // the standard streams: no other FILE is redirected so
	if (!entry && !unlined[fd].load())
		return;
	FILE *fp = fd == 0 ? stdin : fd == 1 ? stdout : stderr;
	// close and dup2 may be called from a signal handler: never wait for
	// the FILE's lock there.
	if (!fp || fp->_fileno != fd || vtable_of(fp) == cookie_vtable || ftrylockfile(fp) != 0)
		return;
	if (entry && (fp->_flags & io_line_buf)) {
		flush_entry_buffer(fp);
		fp->_flags &= ~io_line_buf;
		if (fp->_IO_buf_base && (fp->_flags & io_currently_putting))
			fp->_IO_write_end = fp->_IO_buf_end;
		unlined[fd].store(fp);
	} else if (!entry && unlined[fd].exchange(nullptr) == fp) {
		fp->_flags |= io_line_buf;
		fp->_IO_write_end = fp->_IO_write_ptr; // the next byte goes by overflow
	}
	funlockfile(fp);
}

__attribute__((destructor)) void finish()
{
	flush_all_entry_buffers();
}

FILE *cookie_file(int fd, const char *mode)
{
	static const cookie_io_functions_t calls = {
		[](void *c, char *b, size_t n) -> ssize_t {
			return read(static_cast<int>(reinterpret_cast<intptr_t>(c)), b, n);
		},
		// As glibc's own file write: a partial write is followed by one
		// of the rest, and a failure counts as the bytes written before
		// it (-1 would make fwrite count every item as written).
		[](void *c, const char *b, size_t n) -> ssize_t {
			size_t done = 0;
			while (done < n) {
				ssize_t r = write(static_cast<int>(reinterpret_cast<intptr_t>(c)),
						  b + done, n - done);
				if (r <= 0)
					break;
				done += static_cast<size_t>(r);
			}
			return static_cast<ssize_t>(done);
		},
		[](void *c, off64_t *pos, int whence) -> int {
			off64_t r = lseek64(static_cast<int>(reinterpret_cast<intptr_t>(c)), *pos, whence);
			if (r < 0)
				return -1;
			*pos = r;
			return 0;
		},
		[](void *c) { return close(static_cast<int>(reinterpret_cast<intptr_t>(c))); },
	};
	FILE *fp = fopencookie(reinterpret_cast<void *>(static_cast<intptr_t>(fd)), mode, calls);
	if (!fp)
		return nullptr;
	cookie_vtable = vtable_of(fp);
	// fileno() then names the entry, and libstdc++'s filebuf, which reads
	// and writes the descriptor itself, reaches it.
	fp->_fileno = fd;
	return fp;
}

int stdio_flags(const char *mode)
{
	int flags = 0;
	switch (mode[0]) {
	case 'r': flags = O_RDONLY; break;
	case 'w': flags = O_WRONLY | O_CREAT | O_TRUNC; break;
	case 'a': flags = O_WRONLY | O_CREAT | O_APPEND; break;
	default: return -1;
	}
	for (const char *m = mode + 1; *m && *m != ','; m++) {
		if (*m == '+')
			flags = (flags & ~O_ACCMODE) | O_RDWR;
		else if (*m == 'x')
			flags |= O_EXCL;
		else if (*m == 'e')
			flags |= O_CLOEXEC;
	}
	return flags;
}

// The entry opened as a stdio mode asks; -1 and errno when it cannot be.
int open_for_stdio(const Target &t, const char *mode)
{
	int flags = stdio_flags(mode);
	if (flags < 0) {
		errno = EINVAL;
		return -1;
	}
	return open_entry(t, flags, 0666);
}

template <typename Real>
FILE *fopen_at(const char *path, const char *mode, Real real)
{
	Target t;
	if (!mode || !resolve_path(AT_FDCWD, path, t) || t.entry.empty())
		return real();
	int fd = open_for_stdio(t, mode);
	if (fd < 0)
		return nullptr;
	FILE *fp = cookie_file(fd, mode);
	if (!fp) {
		int err = errno;
		close(fd);
		errno = err;
	}
	return fp;
}

// dup2 and dup3: the number reaches what fd reaches, entry or not.
template <typename Real>
int dup_to(int fd, int to, Real real)
{
	Open *o = fds::enter(fd);
	int r = real();
	if (r >= 0 && fd != to) {
		if (o)
			fds::install(to, o);
		else
			fds::drop(to);
		adapt_files(to, o != nullptr);
	}
	if (o)
		fds::leave();
	return r;
}

// glibc reopens through an internal open: the stream is reopened on
// /dev/null, whose number then becomes the entry, as dup2 makes it. Its
// writes reach the entry when flushed; what stdio reads or writes by
// itself fails with EBADF.
template <typename Real>
FILE *freopen_at(const char *path, const char *mode, FILE *fp, Real real)
{
	Target t;
	if (!path || !mode || !fp || !resolve_path(AT_FDCWD, path, t) || t.entry.empty())
		return real(path);
	int fd = open_for_stdio(t, mode);
	if (fd < 0)
		return nullptr;
	FILE *r = real("/dev/null");
	if (r && dup2(fd, fileno(r)) < 0)
		r = nullptr;
	int err = errno;
	close(fd);
	errno = err;
	return r;
}

} // namespace

extern "C" {

// ---- open

#define OPEN_WITH_MODE(name, dirfd_expr, ...)                                   \
	int name(__VA_ARGS__, int flags, ...)                                   \
	{                                                                       \
		va_list ap;                                                     \
		va_start(ap, flags);                                            \
		mode_t mode = mode_arg(flags, ap);                              \
		va_end(ap);                                                     \
		return open_at(dirfd_expr, path, flags, mode, [&] {             \
			return REAL(name)(OPEN_ARGS_##dirfd_expr, flags, mode); \
		});                                                             \
	}
#define OPEN_ARGS_AT_FDCWD path
#define OPEN_ARGS_dirfd dirfd, path
OPEN_WITH_MODE(open, AT_FDCWD, const char *path)
OPEN_WITH_MODE(open64, AT_FDCWD, const char *path)
OPEN_WITH_MODE(openat, dirfd, int dirfd, const char *path)
OPEN_WITH_MODE(openat64, dirfd, int dirfd, const char *path)

#define OPEN_FORTIFIED(name, dirfd_expr, ...)                                          \
	int name(__VA_ARGS__, int flags)                                               \
	{                                                                              \
		return open_at(dirfd_expr, path, flags, 0,                             \
			       [&] { return REAL(name)(OPEN_ARGS_##dirfd_expr, flags); }); \
	}
OPEN_FORTIFIED(__open_2, AT_FDCWD, const char *path)
OPEN_FORTIFIED(__open64_2, AT_FDCWD, const char *path)
OPEN_FORTIFIED(__openat_2, dirfd, int dirfd, const char *path)
OPEN_FORTIFIED(__openat64_2, dirfd, int dirfd, const char *path)

// ---- calls on a descriptor

#define ON_FD(real_call, entry_call) \
	return on_fd(fd, [&](Open &o) { return entry_call; }, [&] { return real_call; })

ssize_t read(int fd, void *buf, size_t n) { ON_FD(REAL(read)(fd, buf, n), entry_read(o, buf, n, nullptr)); }
ssize_t __read(int fd, void *buf, size_t n) { ON_FD(REAL(__read)(fd, buf, n), entry_read(o, buf, n, nullptr)); }
ssize_t __read_chk(int fd, void *buf, size_t n, size_t buflen)
{
	if (n > buflen && fds::enter(fd) && (fds::leave(), true))
		__chk_fail();
	ON_FD(REAL(__read_chk)(fd, buf, n, buflen), entry_read(o, buf, n, nullptr));
}
ssize_t write(int fd, const void *buf, size_t n) { ON_FD(REAL(write)(fd, buf, n), entry_write(o, buf, n, nullptr)); }
ssize_t __write(int fd, const void *buf, size_t n) { ON_FD(REAL(__write)(fd, buf, n), entry_write(o, buf, n, nullptr)); }
// clang-format off
#define AT std::int64_t at = off
ssize_t pread(int fd, void *buf, size_t n, off_t off) { AT; ON_FD(REAL(pread)(fd, buf, n, off), entry_read(o, buf, n, &at)); }
ssize_t pread64(int fd, void *buf, size_t n, off64_t off) { AT; ON_FD(REAL(pread64)(fd, buf, n, off), entry_read(o, buf, n, &at)); }
ssize_t __pread64(int fd, void *buf, size_t n, off64_t off) { AT; ON_FD(REAL(__pread64)(fd, buf, n, off), entry_read(o, buf, n, &at)); }
ssize_t __pread_chk(int fd, void *buf, size_t n, off_t off, size_t buflen)
{
	if (n > buflen && fds::enter(fd) && (fds::leave(), true))
		__chk_fail();
	AT; ON_FD(REAL(__pread_chk)(fd, buf, n, off, buflen), entry_read(o, buf, n, &at));
}
ssize_t __pread64_chk(int fd, void *buf, size_t n, off64_t off, size_t buflen)
{
	if (n > buflen && fds::enter(fd) && (fds::leave(), true))
		__chk_fail();
	AT; ON_FD(REAL(__pread64_chk)(fd, buf, n, off, buflen), entry_read(o, buf, n, &at));
}
ssize_t pwrite(int fd, const void *buf, size_t n, off_t off) { AT; ON_FD(REAL(pwrite)(fd, buf, n, off), entry_write(o, buf, n, &at)); }
ssize_t pwrite64(int fd, const void *buf, size_t n, off64_t off) { AT; ON_FD(REAL(pwrite64)(fd, buf, n, off), entry_write(o, buf, n, &at)); }
ssize_t __pwrite64(int fd, const void *buf, size_t n, off64_t off) { AT; ON_FD(REAL(__pwrite64)(fd, buf, n, off), entry_write(o, buf, n, &at)); }
ssize_t readv(int fd, const iovec *v, int c) { ON_FD(REAL(readv)(fd, v, c), entry_readv(o, v, c, nullptr)); }
ssize_t writev(int fd, const iovec *v, int c) { ON_FD(REAL(writev)(fd, v, c), entry_writev(o, v, c, nullptr)); }
ssize_t preadv(int fd, const iovec *v, int c, off_t off) { AT; ON_FD(REAL(preadv)(fd, v, c, off), entry_readv(o, v, c, &at)); }
ssize_t preadv64(int fd, const iovec *v, int c, off64_t off) { AT; ON_FD(REAL(preadv64)(fd, v, c, off), entry_readv(o, v, c, &at)); }
ssize_t pwritev(int fd, const iovec *v, int c, off_t off) { AT; ON_FD(REAL(pwritev)(fd, v, c, off), entry_writev(o, v, c, &at)); }
ssize_t pwritev64(int fd, const iovec *v, int c, off64_t off) { AT; ON_FD(REAL(pwritev64)(fd, v, c, off), entry_writev(o, v, c, &at)); }
// An offset of -1 is the file position, as readv and writev use.
#define AT2 std::int64_t at = off; const std::int64_t *pos = off == -1 ? nullptr : &at
ssize_t preadv2(int fd, const iovec *v, int c, off_t off, int fl) { AT2; ON_FD(REAL(preadv2)(fd, v, c, off, fl), entry_readv(o, v, c, pos)); }
ssize_t preadv64v2(int fd, const iovec *v, int c, off64_t off, int fl) { AT2; ON_FD(REAL(preadv64v2)(fd, v, c, off, fl), entry_readv(o, v, c, pos)); }
ssize_t pwritev2(int fd, const iovec *v, int c, off_t off, int fl) { AT2; ON_FD(REAL(pwritev2)(fd, v, c, off, fl), entry_writev(o, v, c, pos)); }
ssize_t pwritev64v2(int fd, const iovec *v, int c, off64_t off, int fl) { AT2; ON_FD(REAL(pwritev64v2)(fd, v, c, off, fl), entry_writev(o, v, c, pos)); }
off_t lseek(int fd, off_t off, int whence) { ON_FD(REAL(lseek)(fd, off, whence), entry_lseek(o, off, whence)); }
off64_t lseek64(int fd, off64_t off, int whence) { ON_FD(REAL(lseek64)(fd, off, whence), entry_lseek(o, off, whence)); }
off_t __lseek(int fd, off_t off, int whence) { ON_FD(REAL(__lseek)(fd, off, whence), entry_lseek(o, off, whence)); }
int fstat(int fd, struct stat *st) { ON_FD(REAL(fstat)(fd, st), entry_fstat(o, st)); }
int fstat64(int fd, struct stat64 *st) { ON_FD(REAL(fstat64)(fd, st), entry_fstat(o, reinterpret_cast<struct stat *>(st))); }
// clang-format on

#define FCNTL(name)                                                                    \
	int name(int fd, int cmd, ...)                                                 \
	{                                                                              \
		va_list ap;                                                            \
		va_start(ap, cmd);                                                     \
		void *arg = va_arg(ap, void *);                                        \
		va_end(ap);                                                            \
		auto *real = REAL(name);                                               \
		ON_FD(real(fd, cmd, arg), entry_fcntl(o, fd, cmd, arg, real));        \
	}
FCNTL(fcntl)
FCNTL(fcntl64)
FCNTL(__fcntl)

// ---- descriptors coming and going

#define CLOSE(name)                          \
	int name(int fd)                     \
	{                                    \
		fds::drop(fd);               \
		adapt_files(fd, false);      \
		return REAL(name)(fd);       \
	}
CLOSE(close)
CLOSE(__close)

int close_range(unsigned first, unsigned last, int flags)
{
	int r = REAL(close_range)(first, last, flags);
	if (r == 0 && !(static_cast<unsigned>(flags) & CLOSE_RANGE_CLOEXEC))
		fds::drop_range(first, last);
	return r;
}

int dup(int fd)
{
	int r = REAL(dup)(fd);
	if (r >= 0)
		if (Open *o = fds::enter(fd)) {
			fds::install(r, o);
			fds::leave();
		}
	return r;
}

int dup2(int fd, int to) { return dup_to(fd, to, [&] { return REAL(dup2)(fd, to); }); }
int __dup2(int fd, int to) { return dup_to(fd, to, [&] { return REAL(__dup2)(fd, to); }); }
int dup3(int fd, int to, int flags) { return dup_to(fd, to, [&] { return REAL(dup3)(fd, to, flags); }); }

// ---- paths

#define STAT_PATH(name, type, dirfd_expr, flags_expr, ...)                                 \
	int name(__VA_ARGS__)                                                              \
	{                                                                                  \
		if ((flags_expr) & AT_EMPTY_PATH && path && !*path)                        \
			if (Open *o = fds::enter(dirfd_expr)) {                            \
				int r = entry_fstat(*o, reinterpret_cast<struct stat *>(st)); \
				fds::leave();                                              \
				return r;                                                  \
			}                                                                  \
		return on_path(                                                            \
			dirfd_expr, path, [&] { return REAL(name)(STAT_ARGS_##name); },   \
			[&](const Target &t) {                                             \
				return fix_folder(t, REAL(fstatat##type)(AT_FDCWD, t.mapped.c_str(), st, (flags_expr) & ~AT_EMPTY_PATH), st); \
			});                                                                \
	}
#define STAT_ARGS_stat path, st
#define STAT_ARGS_stat64 path, st
#define STAT_ARGS_lstat path, st
#define STAT_ARGS_lstat64 path, st
#define STAT_ARGS_fstatat dirfd, path, st, flags
#define STAT_ARGS_fstatat64 dirfd, path, st, flags
STAT_PATH(stat, , AT_FDCWD, 0, const char *path, struct stat *st)
STAT_PATH(stat64, 64, AT_FDCWD, 0, const char *path, struct stat64 *st)
STAT_PATH(lstat, , AT_FDCWD, AT_SYMLINK_NOFOLLOW, const char *path, struct stat *st)
STAT_PATH(lstat64, 64, AT_FDCWD, AT_SYMLINK_NOFOLLOW, const char *path, struct stat64 *st)
STAT_PATH(fstatat, , dirfd, flags, int dirfd, const char *path, struct stat *st, int flags)
STAT_PATH(fstatat64, 64, dirfd, flags, int dirfd, const char *path, struct stat64 *st, int flags)

int statx(int dirfd, const char *path, int flags, unsigned mask, struct statx *stx)
{
	// glibc declares path nonnull, yet a caller may pass NULL with
	// AT_EMPTY_PATH as the kernel allows.
	const char *volatile p = path;
	if ((flags & AT_EMPTY_PATH) && (!p || !*p))
		if (Open *o = fds::enter(dirfd)) {
			// The mirror file's own answer, as fstat gives.
			std::string file = std::string(o->desc->dir) + "/marnel/" + o->desc->name;
			fds::leave();
			return REAL(statx)(AT_FDCWD, file.c_str(), flags & ~AT_EMPTY_PATH, mask, stx);
		}
	return on_path(
		dirfd, path, [&] { return REAL(statx)(dirfd, path, flags, mask, stx); },
		[&](const Target &t) {
			int r = REAL(statx)(AT_FDCWD, t.mapped.c_str(), flags, mask, stx);
			if (r == 0 && is_folder(t)) {
				stx->stx_size = 0;
				stx->stx_blocks = 0;
			}
			return r;
		});
}

int access(const char *path, int mode)
{
	return on_path(AT_FDCWD, path, [&] { return REAL(access)(path, mode); },
		       [&](const Target &t) { return REAL(access)(t.mapped.c_str(), mode); });
}

int faccessat(int dirfd, const char *path, int mode, int flags)
{
	return on_path(dirfd, path, [&] { return REAL(faccessat)(dirfd, path, mode, flags); },
		       [&](const Target &t) {
			       return REAL(faccessat)(AT_FDCWD, t.mapped.c_str(), mode, flags);
		       });
}

int eaccess(const char *path, int mode)
{
	return on_path(AT_FDCWD, path, [&] { return REAL(eaccess)(path, mode); },
		       [&](const Target &t) { return REAL(eaccess)(t.mapped.c_str(), mode); });
}

int euidaccess(const char *path, int mode)
{
	return on_path(AT_FDCWD, path, [&] { return REAL(euidaccess)(path, mode); },
		       [&](const Target &t) { return REAL(euidaccess)(t.mapped.c_str(), mode); });
}

DIR *opendir(const char *path)
{
	Target t;
	if (!resolve_path(AT_FDCWD, path, t))
		return REAL(opendir)(path);
	if (t.error) {
		errno = t.error;
		return nullptr;
	}
	return REAL(opendir)(t.mapped.c_str());
}

#define SCANDIR(name, type)                                                                   \
	int name(const char *path, type ***list, int (*filter)(const type *),                 \
		 int (*compar)(const type **, const type **))                                 \
	{                                                                                     \
		return on_path(AT_FDCWD, path, [&] { return REAL(name)(path, list, filter, compar); }, \
			       [&](const Target &t) {                                         \
				       return REAL(name)(t.mapped.c_str(), list, filter, compar); \
			       });                                                            \
	}
SCANDIR(scandir, dirent)
SCANDIR(scandir64, dirent64)

// ls -l asks for ACLs and security labels: the mirror has none either.
#define XATTR(name, ...)                                                            \
	ssize_t name(const char *path, __VA_ARGS__)                                 \
	{                                                                           \
		return on_path(AT_FDCWD, path, [&] { return REAL(name)(path, XATTR_ARGS_##name); }, \
			       [&](const Target &t) {                               \
				       return REAL(name)(t.mapped.c_str(), XATTR_ARGS_##name); \
			       });                                                  \
	}
#define XATTR_ARGS_getxattr key, value, size
#define XATTR_ARGS_lgetxattr key, value, size
#define XATTR_ARGS_listxattr list, size
#define XATTR_ARGS_llistxattr list, size
XATTR(getxattr, const char *key, void *value, size_t size)
XATTR(lgetxattr, const char *key, void *value, size_t size)
XATTR(listxattr, char *list, size_t size)
XATTR(llistxattr, char *list, size_t size)

// None of the paths is a symlink: the mirror's answer (EINVAL, ENOENT).
ssize_t readlink(const char *path, char *buf, size_t size)
{
	return on_path(AT_FDCWD, path, [&] { return REAL(readlink)(path, buf, size); },
		       [&](const Target &t) { return REAL(readlink)(t.mapped.c_str(), buf, size); });
}

ssize_t readlinkat(int dirfd, const char *path, char *buf, size_t size)
{
	return on_path(dirfd, path, [&] { return REAL(readlinkat)(dirfd, path, buf, size); },
		       [&](const Target &t) {
			       return REAL(readlinkat)(AT_FDCWD, t.mapped.c_str(), buf, size);
		       });
}

// glibc's realpath looks the path up by internal calls.
char *realpath(const char *path, char *resolved)
{
	Target t;
	if (!resolve_path(AT_FDCWD, path, t))
		return REAL(realpath)(path, resolved);
	struct stat st {};
	if (t.error || REAL(stat)(t.mapped.c_str(), &st) != 0) {
		errno = t.error ? t.error : errno;
		return nullptr;
	}
	std::string name = t.normalized;
	if (name.size() > 1 && name.back() == '/')
		name.pop_back();
	if (!resolved)
		return strdup(name.c_str());
	memcpy(resolved, name.c_str(), name.size() + 1); // PATH_MAX bytes, by contract
	return resolved;
}

int chdir(const char *path)
{
	cwd_special.store(-1, std::memory_order_relaxed);
	return on_path(AT_FDCWD, path, [&] { return REAL(chdir)(path); },
		       [&](const Target &t) { return REAL(chdir)(t.mapped.c_str()); });
}

int fchdir(int fd)
{
	cwd_special.store(-1, std::memory_order_relaxed);
	return REAL(fchdir)(fd);
}

// A working folder in the mirror is /proc/marnel to the program.
char *getcwd(char *buf, size_t size)
{
	char *r = REAL(getcwd)(buf, size);
	if (!r || !strstr(r, "/marnel"))
		return r;
	std::string shown = from_mirror(r, mirror());
	if (shown == r)
		return r;
	if (!buf) {
		free(r);
		return strdup(shown.c_str());
	}
	if (shown.size() + 1 > size) {
		errno = ERANGE;
		return nullptr;
	}
	memcpy(buf, shown.c_str(), shown.size() + 1);
	return buf;
}

// ---- stdio

FILE *fopen(const char *path, const char *mode)
{
	return fopen_at(path, mode, [&] { return REAL(fopen)(path, mode); });
}

FILE *fopen64(const char *path, const char *mode)
{
	return fopen_at(path, mode, [&] { return REAL(fopen64)(path, mode); });
}

FILE *freopen(const char *path, const char *mode, FILE *fp)
{
	return freopen_at(path, mode, fp, [&](const char *p) { return REAL(freopen)(p, mode, fp); });
}

FILE *freopen64(const char *path, const char *mode, FILE *fp)
{
	return freopen_at(path, mode, fp, [&](const char *p) { return REAL(freopen64)(p, mode, fp); });
}

FILE *fdopen(int fd, const char *mode)
{
	if (fds::enter(fd)) {
		fds::leave();
		return cookie_file(fd, mode);
	}
	return REAL(fdopen)(fd, mode);
}

// bash asks for line buffering as it starts, also when its standard
// output is an inherited entry.
int setvbuf(FILE *fp, char *buf, int mode, size_t size)
{
	int fd = fp->_fileno;
	if (mode == _IOLBF && fd >= 0 && fd <= 2 && vtable_of(fp) != cookie_vtable)
		if (fds::enter(fd)) {
			fds::leave();
			int r = REAL(setvbuf)(fp, buf, _IOFBF, size);
			if (r == 0)
				unlined[fd].store(fp);
			return r;
		}
	return REAL(setvbuf)(fp, buf, mode, size);
}

int fflush(FILE *fp)
{
	if (!fp) {
		flush_all_entry_buffers();
		return REAL(fflush)(fp);
	}
	flockfile(fp);
	bool ok = flush_entry_buffer(fp);
	funlockfile(fp);
	int r = REAL(fflush)(fp);
	return ok ? r : EOF;
}

int fclose(FILE *fp)
{
	// Both are declared nonnull: glibc itself faults on a null FILE.
	int fd = fp->_fileno;
	flockfile(fp);
	bool ok = flush_entry_buffer(fp);
	funlockfile(fp);
	// The descriptor goes with the FILE, behind the library's back.
	if (fd >= 0 && vtable_of(fp) != cookie_vtable)
		fds::drop(fd);
	int r = REAL(fclose)(fp);
	return ok ? r : EOF;
}

} // extern "C"
