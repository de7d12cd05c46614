#include "queue.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

namespace marnel::sim {

// The queue takes no lock. The kernel module's lock cannot be held by a
// stopped process, but a lock in shared memory can: a client stopped by
// SIGSTOP, Ctrl-Z or a debugger while holding it would stop everyone.
// Every change is instead one compare-and-swap on one 64-bit word, so a
// process stopped or killed between any two instructions has either made
// its change whole or not at all, and the others go on without it.
//
// - enqueue at position t = tail: slot[t % capacity] is free for t when it
//   holds lap(t) - 1, i.e. the value of position t - capacity, and that
//   value is gone (t - head < capacity). One CAS puts (value, lap(t))
//   there; that is the commit. Then tail moves t -> t + 1 by CAS, by the
//   writer or by whoever finds the slot filled for t first (a writer
//   killed in between leaves that to the next caller). A write returns
//   only once tail is past t.
// - dequeue at h = head < tail: slot[h % capacity] holds lap(h) until head
//   passes h, since no writer may reuse it before. Its text is placed in
//   the caller's buffer first, then head moves h -> h + 1 by CAS; losing
//   that race to another reader puts the caller's bytes back and tries
//   the next value. A bad buffer fails before the CAS, so nothing moves.
// - head and tail are 64-bit and only grow: no CAS on them can succeed on
//   a stale value (ABA). A slot's lap is 32 bits: a writer's CAS could
//   wrongly succeed only if, between its read and its CAS, the slot went
//   round exactly a multiple of 2^32 laps (at least 2^32 x capacity
//   values) and came back holding the same value.
// - Every step that finds the state impossible (head past tail, more than
//   capacity queued, a slot of the wrong lap) reads again: a value that
//   moved means another caller got there first, one that did not means
//   the file is corrupted, and the call fails with EIO. So no loop spins
//   on a corrupted file: each turn needs another caller's progress.
// - unload sets a flag every call checks first. A call under way then may
//   still finish on the old state; a newly loaded queue is another file,
//   so nothing of the old one reaches it.

namespace {

constexpr std::uint32_t magic = 0x6d726e32; // "mrn2"
constexpr const char *state_name = "queue";

std::uint64_t pack(std::int32_t value, std::uint32_t lap)
{
	return static_cast<std::uint64_t>(lap) << 32 | static_cast<std::uint32_t>(value);
}

std::uint32_t lap_of(std::uint64_t slot)
{
	return static_cast<std::uint32_t>(slot >> 32);
}

// The process's pid, for process_vm_readv/writev, without a getpid per
// call. It lives in a page the kernel clears in a forked child (even one
// made by a raw clone), where it is then looked up again.
std::atomic<pid_t> *pid_cache = [] {
	void *page = mmap(nullptr, 4096, PROT_READ | PROT_WRITE,
			  MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
	if (page != MAP_FAILED && madvise(page, 4096, MADV_WIPEONFORK) == 0)
		return new (page) std::atomic<pid_t>(0);
	if (page != MAP_FAILED)
		munmap(page, 4096);
	static std::atomic<pid_t> fallback{0};
	pthread_atfork(nullptr, nullptr, [] { fallback.store(0); });
	return &fallback;
}();

pid_t self()
{
	pid_t pid = pid_cache->load(std::memory_order_relaxed);
	if (pid == 0) {
		pid = getpid();
		pid_cache->store(pid, std::memory_order_relaxed);
	}
	return pid;
}

// This thread's stack, looked up at its first use (pthread_getattr_np is
// not async-signal-safe: the preload library asks for it at open).
struct Stack {
	std::uintptr_t low = 0, high = 0;
	bool known = false;
};
thread_local Stack stack __attribute__((tls_model("initial-exec")));

// [p, p + n) lies between the current frame and the top of this thread's
// stack: memory the thread has already run through, so mapped and
// writable, and reached without a system call. pushwell's record and
// drawwell's area are there. Off the thread's stack (a signal stack, a
// coroutine's) nothing is assumed.
void find_stack()
{
	if (!stack.known) {
		pthread_attr_t attr;
		if (pthread_getattr_np(pthread_self(), &attr) == 0) {
			void *addr = nullptr;
			std::size_t size = 0;
			if (pthread_attr_getstack(&attr, &addr, &size) == 0) {
				stack.low = reinterpret_cast<std::uintptr_t>(addr);
				stack.high = stack.low + size;
			}
			pthread_attr_destroy(&attr);
		}
		stack.known = true;
	}
}

bool on_live_stack(const void *p, std::size_t n)
{
	find_stack();
	auto frame = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
	auto a = reinterpret_cast<std::uintptr_t>(p);
	return stack.low <= frame && frame < stack.high && a >= frame &&
	       a < stack.high && n <= stack.high - a;
}

// Where process_vm_* is refused (qemu-user has none, a seccomp filter may
// forbid it), a pipe: the kernel copies through the bad address just as
// well, and answers EFAULT for it. Raw calls, past this library's wrappers.
int through_pipe(const void *from, void *to, std::size_t n)
{
	int fd[2];
	if (syscall(SYS_pipe2, fd, O_CLOEXEC) != 0)
		return ENOSYS; // out of descriptors: the address is trusted
	auto *src = static_cast<const char *>(from);
	auto *dst = static_cast<char *>(to);
	int err = 0;
	while (n > 0 && err == 0) {
		std::size_t chunk = std::min<std::size_t>(n, 4096); // fits any pipe
		auto want = static_cast<long>(chunk);
		if (syscall(SYS_write, fd[1], src, chunk) != want ||
		    syscall(SYS_read, fd[0], dst, chunk) != want)
			err = EFAULT;
		src += chunk;
		dst += chunk;
		n -= chunk;
	}
	syscall(SYS_close, fd[0]);
	syscall(SYS_close, fd[1]);
	return err;
}

// Through the kernel, which answers EFAULT for a bad address instead of
// faulting.
int through_kernel(const iovec &local, const iovec &remote, bool in)
{
	ssize_t done = in ? process_vm_readv(self(), &local, 1, &remote, 1, 0)
			  : process_vm_writev(self(), &local, 1, &remote, 1, 0);
	if (done == static_cast<ssize_t>(local.iov_len))
		return 0;
	if (done < 0 && (errno == ENOSYS || errno == EPERM))
		return in ? through_pipe(remote.iov_base, local.iov_base, local.iov_len)
			  : through_pipe(local.iov_base, remote.iov_base, local.iov_len);
	return EFAULT;
}

// The caller's [p, p + n) can be read and written, checked with at most
// one system call that copies it onto itself.
int caller_writable(void *p, std::size_t n)
{
	if (n == 0 || on_live_stack(p, n))
		return 0;
	int err = through_kernel({p, n}, {p, n}, false);
	return err == ENOSYS ? 0 : err;
}

// The value last read from `now` is out of date: another caller moved it.
// Otherwise the state that made the caller look again is the file's own.
bool overtaken(std::uint64_t seen, const std::atomic<std::uint64_t> &now)
{
	return now.load(std::memory_order_acquire) != seen;
}

// What a call gets before it starts: EBADF with no state attached, EIO once
// the driver was unloaded.
int unusable(const Shared *s)
{
	if (!s)
		return EBADF;
	return s->unloaded.load(std::memory_order_acquire) != 0 ? EIO : 0;
}

} // namespace

void prepare_caller_access()
{
	find_stack();
}

int copy_from_caller(void *to, const void *from, std::size_t n)
{
	if (n == 0)
		return 0;
	if (!on_live_stack(from, n)) {
		int err = through_kernel({to, n}, {const_cast<void *>(from), n}, true);
		if (err != ENOSYS)
			return err;
	}
	memcpy(to, from, n);
	return 0;
}

int copy_to_caller(void *to, const void *from, std::size_t n)
{
	if (n == 0)
		return 0;
	if (!on_live_stack(to, n)) {
		int err = through_kernel({const_cast<void *>(from), n}, {to, n}, false);
		if (err != ENOSYS)
			return err;
	}
	memcpy(to, from, n);
	return 0;
}

std::string state_dir()
{
	if (const char *dir = getenv("MARNEL_SIM_DIR"); dir && *dir)
		return dir;
	if (const char *run = getenv("XDG_RUNTIME_DIR"); run && *run)
		return std::string(run) + "/marnel-sim";
	return "/tmp/marnel-sim-" + std::to_string(geteuid());
}

// Private: a folder (0700) or a regular file (0600) of this user, not a
// link. Under /tmp anyone could have made the name first.
static bool is_private(const struct stat &st, bool folder)
{
	bool kind = folder ? S_ISDIR(st.st_mode) : S_ISREG(st.st_mode);
	return kind && st.st_uid == geteuid() && (st.st_mode & 077) == 0;
}

// The state folder, opened without following a link; -1 with errno.
static int open_dir(const std::string &dir)
{
	int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
	struct stat st {};
	if (fd >= 0 && (fstat(fd, &st) != 0 || !is_private(st, true))) {
		close(fd);
		errno = EPERM;
		return -1;
	}
	return fd;
}

// The state file, checked as this user's private file; 0 or an errno.
static int open_state(const std::string &dir, int &fd, struct stat &st)
{
	int dfd = open_dir(dir);
	if (dfd < 0)
		return ENOENT; // no usable folder: not loaded there
	fd = openat(dfd, state_name, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
	int err = fd < 0 ? errno : 0;
	close(dfd);
	if (err != 0)
		return err == ENOENT ? ENOENT : EIO;
	if (fstat(fd, &st) != 0 || !is_private(st, false)) {
		close(fd);
		return EIO;
	}
	return 0;
}

// The folder name of the mirror of /proc/marnel; paths.cpp's mirror_of.
constexpr const char *mirror_name = "marnel";

// Makes the writable mode of a mirror folder first: it is 0555, as in
// procfs, and its files must go.
static void remove_mirror(int dfd, const char *name)
{
	(void)!fchmodat(dfd, name, 0700, 0);
	int fd = openat(dfd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
	if (fd >= 0) {
		for (const char *e : {"enqueue", "dequeue", "status"})
			unlinkat(fd, e, 0);
		close(fd);
	}
	unlinkat(dfd, name, AT_REMOVEDIR);
}

// The entries as empty files with the module's default modes, owned by
// the loading user, in a folder of mode 0555: stat, access and readdir
// then get the kernel's own answers for them.
static int make_mirror(int dfd, const std::string &name)
{
	remove_mirror(dfd, name.c_str());
	if (mkdirat(dfd, name.c_str(), 0700) != 0)
		return errno;
	int fd = openat(dfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
	if (fd < 0)
		return errno;
	int err = 0;
	for (auto [e, mode] : {std::pair{"enqueue", 0200}, {"dequeue", 0400}, {"status", 0444}}) {
		int f = openat(fd, e, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
		if (f < 0 || fchmod(f, static_cast<mode_t>(mode)) != 0)
			err = errno;
		if (f >= 0)
			close(f);
	}
	if (err == 0 && fchmod(fd, 0555) != 0)
		err = errno;
	close(fd);
	return err;
}

int load(const std::string &dir, std::uint32_t capacity, std::string &why)
{
	if (capacity == 0 || capacity > max_capacity) {
		why = "capacity must be 1 to " + std::to_string(max_capacity);
		return EINVAL;
	}
	if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
		int err = errno;
		why = dir;
		return err;
	}
	int dfd = open_dir(dir);
	if (dfd < 0) {
		int err = errno;
		why = err == EPERM || err == ELOOP || err == ENOTDIR
			      ? dir + " is not a private folder of this user"
			      : dir;
		return err == ENOENT ? ENOENT : EPERM;
	}

	// A name only this process uses; one left by a killed load goes.
	std::string tmp = ".queue." + std::to_string(getpid());
	unlinkat(dfd, tmp.c_str(), 0);
	int fd = openat(dfd, tmp.c_str(),
			O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
	if (fd < 0) {
		int err = errno;
		why = dir + "/" + tmp;
		close(dfd);
		return err;
	}
	std::size_t size = Shared::bytes(capacity);
	int err = 0;
	void *map = MAP_FAILED;
	if (fchmod(fd, 0600) != 0 || ftruncate(fd, static_cast<off_t>(size)) != 0)
		err = errno;
	else if ((map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED,
			     fd, 0)) == MAP_FAILED)
		err = errno;
	close(fd);
	if (err == 0) {
		// Zeros are an empty queue at position 0.
		auto *s = new (map) Shared{};
		s->capacity = capacity;
		s->magic = magic;
		if (getrandom(&s->load_id, sizeof s->load_id, 0) != sizeof s->load_id)
			s->load_id = static_cast<std::uint32_t>(getpid() ^ time(nullptr));
		munmap(map, size);
		err = make_mirror(dfd, "." + tmp);
		if (err != 0)
			why = dir + "/." + tmp;
	} else {
		why = dir + "/" + tmp;
	}
	if (err == 0) {
		// link() refuses an existing name, so two loads cannot both win.
		if (linkat(dfd, tmp.c_str(), dfd, state_name, 0) != 0) {
			err = errno;
			why = err == EEXIST ? "already loaded in " + dir : dir;
		} else {
			// A mirror left by an unload that was killed goes first.
			remove_mirror(dfd, mirror_name);
			if (renameat(dfd, ("." + tmp).c_str(), dfd, mirror_name) != 0) {
				err = errno;
				why = dir + "/" + mirror_name;
				unlinkat(dfd, state_name, 0);
			}
		}
	}
	remove_mirror(dfd, ("." + tmp).c_str());
	unlinkat(dfd, tmp.c_str(), 0);
	close(dfd);
	return err;
}

int unload(const std::string &dir)
{
	Queue q;
	int err = q.attach(dir);
	if (err == 0)
		err = q.mark_unloaded();
	// A corrupted state of this user's own can still be removed, or it
	// would block every later load.
	if (err == EIO) {
		int fd = -1;
		struct stat st {};
		if (open_state(dir, fd, st) == 0) {
			close(fd);
			err = 0;
		}
	}
	if (err != 0)
		return err;
	if (int dfd = open_dir(dir); dfd >= 0) {
		remove_mirror(dfd, mirror_name);
		close(dfd);
	}
	return unlink((dir + "/" + state_name).c_str()) == 0 ? 0 : errno;
}

bool parse_record(const char (&record)[8], std::int32_t &value)
{
	std::size_t len = strnlen(record, sizeof record);
	std::size_t i = 0;
	bool negative = false;
	if (i < len && (record[i] == '+' || record[i] == '-'))
		negative = record[i++] == '-';
	std::size_t first = i;
	std::int64_t v = 0; // 8 bytes of text cannot leave the int32 range
	while (i < len && record[i] >= '0' && record[i] <= '9')
		v = v * 10 + (record[i++] - '0');
	if (i == first)
		return false;
	if (i < len && record[i] == '\n')
		i++;
	if (i != len)
		return false;
	value = static_cast<std::int32_t>(negative ? -v : v);
	return true;
}

Queue::~Queue()
{
	release();
}

void Queue::release()
{
	if (shared_)
		munmap(shared_, size_);
	shared_ = nullptr;
	size_ = 0;
	capacity_ = 0;
}

int Queue::attach(const std::string &dir)
{
	release();
	int fd = -1;
	struct stat st {};
	if (int err = open_state(dir, fd, st); err != 0)
		return err;
	std::uint32_t head[2] = {}; // magic, capacity
	static_assert(offsetof(Shared, capacity) == sizeof head[0]);
	int err = 0;
	void *map = MAP_FAILED;
	auto size = static_cast<std::size_t>(st.st_size);
	// Checked before it is mapped: a short file would fault on access.
	if (pread(fd, head, sizeof head, 0) != static_cast<ssize_t>(sizeof head) ||
	    head[0] != magic || head[1] == 0 || head[1] > max_capacity ||
	    size != Shared::bytes(head[1]))
		err = EIO;
	else if ((map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED,
			     fd, 0)) == MAP_FAILED)
		err = errno;
	close(fd);
	if (err != 0)
		return err;
	shared_ = static_cast<Shared *>(map);
	size_ = size;
	capacity_ = head[1];
	if (shared_->unloaded.load(std::memory_order_acquire) != 0) {
		release();
		return ENOENT;
	}
	return 0;
}

int Queue::enqueue(const void *buf, std::size_t count)
{
	Shared *s = shared_;
	if (int err = unusable(s))
		return err;
	char record[8];
	std::int32_t value = 0;
	if (count == 8 && copy_from_caller(record, buf, sizeof record) != 0)
		return EFAULT;
	if (count != 8 || !parse_record(record, value) MARNEL_FAULT(|| faults::refuses(record))) {
		s->refused_malformed.fetch_add(1, std::memory_order_relaxed);
		return EINVAL;
	}
	const std::uint64_t cap = capacity_;
	for (;;) {
		std::uint64_t t = s->tail.load(std::memory_order_acquire);
		std::uint64_t h = s->head.load(std::memory_order_acquire);
		// Read after t, h can only be ahead of it if tail moved on.
		if (h > t) {
			if (!overtaken(t, s->tail))
				return EIO;
			continue;
		}
		if (t - h > cap)
			return EIO;
		std::uint32_t lap = static_cast<std::uint32_t>(t / cap + 1);
		auto &slot = s->slots()[t % cap];
		std::uint64_t seen = slot.load(std::memory_order_acquire);
		if (lap_of(seen) == lap) {
			// Filled for t by a writer that has not moved tail yet.
			s->tail.compare_exchange_strong(t, t + 1,
							std::memory_order_acq_rel);
			continue;
		}
		if (lap_of(seen) != lap - 1) {
			if (!overtaken(t, s->tail))
				return EIO;
			continue;
		}
		if (t - h == cap) {
			MARNEL_FAULT(if (faults::on(faults::write_blocks_full)) {
				faults::nap();
				continue;
			})
			s->refused_full.fetch_add(1, std::memory_order_relaxed);
			return ENOSPC;
		}
		MARNEL_FAULT(if (faults::on(faults::write_drops) && s->fault_turn.fetch_add(1) % 2 == 1)
				     return 0;)
		if (slot.compare_exchange_strong(seen, pack(value, lap),
						 std::memory_order_acq_rel)) {
			s->tail.compare_exchange_strong(t, t + 1,
							std::memory_order_acq_rel);
			return 0;
		}
	}
}

int Queue::dequeue(void *buf, std::size_t count, Delivery &done)
{
	Shared *s = shared_;
	if (int err = unusable(s))
		return err;
	const std::uint64_t cap = capacity_;
	// The caller's bytes that a delivery may cover, to put back when
	// another reader takes the value first.
	char saved[sizeof done.text];
	std::size_t span = count < sizeof saved ? count : sizeof saved;
	bool checked = false;
	for (;;) {
		std::uint64_t h = s->head.load(std::memory_order_acquire);
		std::uint64_t t = s->tail.load(std::memory_order_acquire);
		if (t < h)
			return EIO; // read after h, t cannot be behind it
		if (t - h > cap) {
			if (!overtaken(h, s->head))
				return EIO;
			continue;
		}
		bool empty = t == h;
		std::uint64_t pos = empty ? t : h;
		MARNEL_FAULT(if (!empty && faults::on(faults::lifo)) pos = t - 1;)
		std::uint32_t lap = static_cast<std::uint32_t>(pos / cap + 1);
		std::uint64_t seen = s->slots()[pos % cap].load(std::memory_order_acquire);
		if (empty && lap_of(seen) == lap) {
			// A value is in but tail has not moved yet.
			s->tail.compare_exchange_strong(t, t + 1,
							std::memory_order_acq_rel);
			continue;
		}
		if (lap_of(seen) != (empty ? lap - 1 : lap)) {
			if (!overtaken(pos, empty ? s->tail : s->head))
				return EIO;
			continue;
		}
		MARNEL_FAULT(if (empty && faults::on(faults::read_blocks)) {
			faults::nap();
			continue;
		})
		std::int32_t value = empty ? -1 : static_cast<std::int32_t>(seen);
		MARNEL_FAULT(if (empty && faults::on(faults::no_end_marker)) value = 0;)
		MARNEL_FAULT(if (!empty && faults::on(faults::changed_value))
				     value = static_cast<std::int32_t>(static_cast<std::uint32_t>(value) + 1);)
		auto [end, ec] = std::to_chars(done.text, done.text + 11, value);
		auto len = static_cast<std::size_t>(end - done.text);
		*end = '\0';
		MARNEL_FAULT(if (!empty && faults::on(faults::no_text_end)) *end = '7';)
		MARNEL_FAULT(done.value = !empty;)
		if (count < len) {
			// The value stays: only when it really was the head.
			if (!empty && overtaken(h, s->head))
				continue;
			return EINVAL;
		}
		done.placed = count > len ? len + 1 : len;
		if (!checked) {
			if (caller_writable(buf, span) != 0)
				return EFAULT;
			memcpy(saved, buf, span);
			checked = true;
		}
		memcpy(buf, done.text, done.placed);
		if (empty) {
			s->end_markers.fetch_add(1, std::memory_order_relaxed);
			return 0;
		}
		MARNEL_FAULT(if (pos != h) { // lifo's newest value: it leaves by the tail
			s->slots()[pos % cap].store(pack(0, lap - 1));
			s->tail.store(pos);
			return 0;
		})
		MARNEL_FAULT(if (faults::on(faults::duplicate) && s->fault_turn.fetch_add(1) % 3 == 2)
				     return 0;)
		if (s->head.compare_exchange_strong(h, h + 1, std::memory_order_acq_rel))
			return 0;
		memcpy(buf, saved, done.placed);
	}
}

bool Queue::unloaded() const
{
	return !shared_ || shared_->unloaded.load(std::memory_order_acquire) != 0;
}

int Queue::mark_unloaded()
{
	if (!shared_)
		return EBADF;
	shared_->unloaded.store(1, std::memory_order_seq_cst);
	return 0;
}

// head and tail read as a pair that held at one instant: two passes that
// agree. Each pass reads the other counters between them. Under a
// constant stream of calls the passes may never agree; after a bounded
// number the last one is used, depth held to what the queue can hold.
int Queue::status(char (&text)[status_size], std::size_t &len)
{
	Shared *s = shared_;
	if (int err = unusable(s))
		return err;
	const std::uint64_t cap = capacity_;
	std::uint64_t h = 0, t = 0, full = 0, malformed = 0, ends = 0;
	for (int pass = 0; pass < 1000; pass++) {
		h = s->head.load(std::memory_order_acquire);
		t = s->tail.load(std::memory_order_acquire);
		full = s->refused_full.load(std::memory_order_relaxed);
		malformed = s->refused_malformed.load(std::memory_order_relaxed);
		ends = s->end_markers.load(std::memory_order_relaxed);
		if (s->head.load(std::memory_order_acquire) == h &&
		    s->tail.load(std::memory_order_acquire) == t) {
			if (t < h || t - h > cap)
				return EIO;
			break;
		}
	}
	if (t < h)
		return EIO;
	if (t - h > cap)
		h = t - cap; // head passed this value while the pass ran
	const struct {
		const char *key;
		std::uint64_t value;
	} lines[] = {
		{"capacity", cap},      {"depth", t - h},
		{"accepted", t},        {"refused_full", full},
		{"refused_malformed", malformed},
		{"delivered", h},       {"end_markers", ends},
	};
	char *p = text;
	char *last = text + status_size;
	for (const auto &l : lines) {
		std::size_t k = strlen(l.key);
		if (last - p < static_cast<std::ptrdiff_t>(k + 24))
			return EIO;
		memcpy(p, l.key, k);
		p += k;
		*p++ = ':';
		*p++ = ' ';
		p = std::to_chars(p, last, l.value).ptr;
		*p++ = '\n';
	}
	len = static_cast<std::size_t>(p - text);
	return 0;
}

int Queue::status(std::string &text)
{
	char buf[status_size];
	std::size_t len = 0;
	int err = status(buf, len);
	if (err == 0)
		text.assign(buf, len);
	return err;
}

} // namespace marnel::sim
