#include "queue.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace marnel::sim {

namespace {

constexpr std::uint32_t magic = 0x6d726e31; // "mrn1"
constexpr const char *state_name = "queue";

} // namespace

// Two copies of the counters, and `current` says which one is live: an
// operation writes the other copy and then flips `current` with one store,
// so a process killed at any instant (pushwell always is) leaves either the
// old state or the new one, never half of each.
struct Shared {
	std::uint32_t magic;
	std::uint32_t capacity;
	std::uint32_t unloaded;
	std::uint32_t current;
	pthread_mutex_t mutex;
	Counters copy[2];

	std::int32_t *values()
	{
		return reinterpret_cast<std::int32_t *>(this + 1);
	}
	static std::size_t bytes(std::uint32_t capacity)
	{
		return sizeof(Shared) + capacity * sizeof(std::int32_t);
	}
	Counters &live() { return copy[current & 1]; }
	void commit(const Counters &next)
	{
		copy[(current & 1) ^ 1] = next;
		std::atomic_ref<std::uint32_t>(current).store(
			current ^ 1, std::memory_order_release);
	}
};

std::string state_dir()
{
	if (const char *dir = getenv("MARNEL_SIM_DIR"); dir && *dir)
		return dir;
	if (const char *run = getenv("XDG_RUNTIME_DIR"); run && *run)
		return std::string(run) + "/marnel-sim";
	return "/tmp/marnel-sim-" + std::to_string(geteuid());
}

static std::string state_path(const std::string &dir)
{
	return dir + "/" + state_name;
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
	// A shared folder such as /tmp could hold someone else's folder or link.
	struct stat st {};
	if (lstat(dir.c_str(), &st) != 0) {
		int err = errno;
		why = dir;
		return err;
	}
	if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid() ||
	    (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
		why = dir + " is not a private folder of this user";
		return EPERM;
	}

	std::string tmp = dir + "/.queue.XXXXXX";
	int fd = mkstemp(tmp.data());
	if (fd < 0) {
		int err = errno;
		why = dir;
		return err;
	}
	std::size_t size = Shared::bytes(capacity);
	int err = 0;
	void *map = MAP_FAILED;
	if (ftruncate(fd, static_cast<off_t>(size)) != 0)
		err = errno;
	else if ((map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED,
			     fd, 0)) == MAP_FAILED)
		err = errno;
	close(fd);
	if (err == 0) {
		auto *s = new (map) Shared{};
		pthread_mutexattr_t attr;
		pthread_mutexattr_init(&attr);
		pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
		pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
		pthread_mutex_init(&s->mutex, &attr);
		pthread_mutexattr_destroy(&attr);
		s->capacity = capacity;
		s->magic = magic;
		munmap(map, size);
		// link() refuses an existing name, so two loads cannot both win.
		if (link(tmp.c_str(), state_path(dir).c_str()) != 0) {
			err = errno;
			why = err == EEXIST ? "already loaded in " + dir : dir;
		}
	} else {
		why = tmp;
	}
	unlink(tmp.c_str());
	return err;
}

int unload(const std::string &dir)
{
	Queue q;
	if (int err = q.attach(dir); err != 0)
		return err;
	if (int err = q.mark_unloaded(); err != 0)
		return err;
	return unlink(state_path(dir).c_str()) == 0 ? 0 : errno;
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

Queue::Queue(Queue &&other) noexcept
	: shared_(std::exchange(other.shared_, nullptr)),
	  size_(std::exchange(other.size_, 0))
{
}

Queue &Queue::operator=(Queue &&other) noexcept
{
	if (this != &other) {
		if (shared_)
			munmap(shared_, size_);
		shared_ = std::exchange(other.shared_, nullptr);
		size_ = std::exchange(other.size_, 0);
	}
	return *this;
}

Queue::~Queue()
{
	if (shared_)
		munmap(shared_, size_);
}

int Queue::attach(const std::string &dir)
{
	int fd = open(state_path(dir).c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
	if (fd < 0)
		return errno == ELOOP ? EIO : errno;
	struct stat st {};
	int err = 0;
	void *map = MAP_FAILED;
	if (fstat(fd, &st) != 0)
		err = errno;
	else if (static_cast<std::size_t>(st.st_size) < sizeof(Shared))
		err = EIO;
	else if ((map = mmap(nullptr, static_cast<std::size_t>(st.st_size),
			     PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0)) ==
		 MAP_FAILED)
		err = errno;
	close(fd);
	if (err != 0)
		return err;
	auto *s = static_cast<Shared *>(map);
	auto size = static_cast<std::size_t>(st.st_size);
	if (s->magic != magic || s->capacity == 0 ||
	    s->capacity > max_capacity || Shared::bytes(s->capacity) > size) {
		munmap(map, size);
		return EIO;
	}
	*this = Queue();
	shared_ = s;
	size_ = size;
	return 0;
}

int Queue::lock()
{
	if (!shared_)
		return EBADF;
	int err = pthread_mutex_lock(&shared_->mutex);
	// The owner died holding the lock; the double counters keep the
	// state whole, so it can simply be taken over.
	if (err == EOWNERDEAD)
		err = pthread_mutex_consistent(&shared_->mutex);
	if (err == 0 && shared_->unloaded) {
		pthread_mutex_unlock(&shared_->mutex);
		err = EIO;
	}
	return err;
}

void Queue::unlock()
{
	pthread_mutex_unlock(&shared_->mutex);
}

// Through the kernel, which answers EFAULT for a bad address instead of
// faulting.
static int copy_caller(void *to, const void *from, std::size_t n, bool in)
{
	if (n == 0)
		return 0;
	iovec local{in ? to : const_cast<void *>(from), n};
	iovec remote{in ? const_cast<void *>(from) : to, n};
	ssize_t done = in ? process_vm_readv(getpid(), &local, 1, &remote, 1, 0)
			  : process_vm_writev(getpid(), &local, 1, &remote, 1, 0);
	if (done == static_cast<ssize_t>(n))
		return 0;
	if (done < 0 && (errno == ENOSYS || errno == EPERM)) {
		memcpy(to, from, n); // no such call here: trust the address
		return 0;
	}
	return EFAULT;
}

int copy_from_caller(void *to, const void *from, std::size_t n)
{
	return copy_caller(to, from, n, true);
}

int copy_to_caller(void *to, const void *from, std::size_t n)
{
	return copy_caller(to, from, n, false);
}

int Queue::enqueue(const void *buf, std::size_t count)
{
	if (count != 8) {
		if (int err = lock(); err != 0)
			return err;
		Counters next = shared_->live();
		next.refused_malformed++;
		shared_->commit(next);
		unlock();
		return EINVAL;
	}
	char record[8];
	if (copy_from_caller(record, buf, sizeof record) != 0)
		return EFAULT;
	std::int32_t value = 0;
	bool ok = parse_record(record, value);

	if (int err = lock(); err != 0)
		return err;
	Counters next = shared_->live();
	int err = 0;
	if (!ok) {
		next.refused_malformed++;
		err = EINVAL;
	} else if (next.depth == shared_->capacity) {
		next.refused_full++;
		err = ENOSPC;
	} else {
		// The slot past the tail is not live until the commit.
		shared_->values()[(next.head + next.depth) % shared_->capacity] =
			value;
		next.depth++;
		next.accepted++;
	}
	shared_->commit(next);
	unlock();
	return err;
}

int Queue::dequeue(void *buf, std::size_t count, std::string &delivered)
{
	if (int err = lock(); err != 0)
		return err;
	Counters next = shared_->live();
	bool empty = next.depth == 0;
	std::string text = empty ? "-1" : std::to_string(shared_->values()[next.head]);
	int err = 0;
	if (count < text.size())
		err = EINVAL;
	// Copy out before the commit: a bad buffer leaves the value queued.
	else if (copy_to_caller(buf, text.c_str(),
				  count > text.size() ? text.size() + 1
						      : text.size()) != 0)
		err = EFAULT;
	else if (empty)
		next.end_markers++;
	else {
		next.head = (next.head + 1) % shared_->capacity;
		next.depth--;
		next.delivered++;
	}
	if (err == 0) {
		shared_->commit(next);
		delivered = std::move(text);
	}
	unlock();
	return err;
}

int Queue::mark_unloaded()
{
	if (int err = lock(); err != 0)
		return err;
	shared_->unloaded = 1;
	unlock();
	return 0;
}

int Queue::status(std::string &text)
{
	if (int err = lock(); err != 0)
		return err;
	std::uint32_t capacity = shared_->capacity;
	Counters c = shared_->live();
	unlock();
	text = "capacity: " + std::to_string(capacity) +
	       "\ndepth: " + std::to_string(c.depth) +
	       "\naccepted: " + std::to_string(c.accepted) +
	       "\nrefused_full: " + std::to_string(c.refused_full) +
	       "\nrefused_malformed: " + std::to_string(c.refused_malformed) +
	       "\ndelivered: " + std::to_string(c.delivered) +
	       "\nend_markers: " + std::to_string(c.end_markers) + "\n";
	return 0;
}

} // namespace marnel::sim
