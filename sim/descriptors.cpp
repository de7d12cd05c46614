#include "descriptors.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

namespace marnel::sim {

namespace {

constexpr std::uint32_t desc_magic = 0x6d726e65; // "mrne": seq_file records
constexpr std::size_t desc_size = (sizeof(Description) + 4095) & ~std::size_t{4095};
// Names the description files; an inherited descriptor is recognised by it.
constexpr const char *desc_prefix = ".marnel-open-";

Description *map_description(int fd)
{
	void *p = mmap(nullptr, desc_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
	return p == MAP_FAILED ? nullptr : static_cast<Description *>(p);
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
	if (o->desc)
		munmap(o->desc, desc_size);
	o->~Open();
	munmap(o, sizeof(Open));
}

std::uint64_t tagged(std::uint32_t tag, std::uint32_t value)
{
	return static_cast<std::uint64_t>(tag) << 32 | value;
}

std::uint32_t tag_of(std::uint64_t word)
{
	return static_cast<std::uint32_t>(word >> 32);
}

// Tickets wrap in 32 bits: a is the later one when it is less than half
// the range ahead.
bool later(std::uint32_t a, std::uint32_t b)
{
	return static_cast<std::int32_t>(a - b) > 0;
}

std::size_t text_words(std::uint32_t len)
{
	return (std::min<std::size_t>(len, status_size) + 3) / 4;
}

using fds::max_fds;
using fds::table;
std::atomic<int> high_water{0};

// A closed entry may still be in use by a call on another thread or by
// the call a signal handler interrupted. Calls count themselves in
// `inflight` before they look the descriptor up, so an entry taken out of
// the table is freed once `inflight` has been seen at zero after that.
std::atomic<long> inflight{0};
std::atomic<Open *> retired{nullptr};

void push_retired(Open *first, Open *last)
{
	Open *top = retired.load(std::memory_order_relaxed);
	do
		last->retired_next = top;
	while (!retired.compare_exchange_weak(top, first, std::memory_order_release,
					      std::memory_order_relaxed));
}

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

void unref(Open *o)
{
	if (o->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
		push_retired(o, o);
		reclaim();
	}
}

std::atomic<Open *> *slot_of(int fd)
{
	auto *t = table.load(std::memory_order_acquire);
	if (!t || fd < 0 || fd >= max_fds)
		return nullptr;
	return &t[fd];
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

// getpid() is a system call; it is asked only when the table changes.
std::atomic<pid_t> owner_pid{0};

} // namespace

namespace fds {

bool owner()
{
	return getpid() == owner_pid.load(std::memory_order_relaxed);
}

std::atomic<std::atomic<Open *> *> table{nullptr};

Open *enter_slot(std::atomic<Open *> &slot)
{
	inflight.fetch_add(1, std::memory_order_seq_cst);
	Open *o = slot.load(std::memory_order_seq_cst);
	if (!o)
		inflight.fetch_sub(1, std::memory_order_release);
	return o;
}

void leave()
{
	inflight.fetch_sub(1, std::memory_order_release);
}

void install(int fd, Open *o)
{
	if (!make_table() || !owner())
		return;
	auto *slot = slot_of(fd);
	if (!slot)
		return;
	o->refs.fetch_add(1, std::memory_order_acq_rel);
	int hw = high_water.load(std::memory_order_relaxed);
	while (fd >= hw && !high_water.compare_exchange_weak(hw, fd + 1))
		;
	if (Open *old = slot->exchange(o, std::memory_order_seq_cst))
		unref(old);
}

void drop(int fd)
{
	auto *slot = slot_of(fd);
	if (!slot || !slot->load(std::memory_order_relaxed) || !owner())
		return;
	if (Open *o = slot->exchange(nullptr, std::memory_order_seq_cst))
		unref(o);
}

void drop_range(unsigned first, unsigned last)
{
	unsigned hw = static_cast<unsigned>(high_water.load(std::memory_order_relaxed));
	for (unsigned fd = first; fd <= last && fd < hw; fd++)
		drop(static_cast<int>(fd));
}

void adopt_inherited()
{
	owner_pid.store(getpid(), std::memory_order_relaxed);
	pthread_atfork(nullptr, nullptr,
		       [] { owner_pid.store(getpid(), std::memory_order_relaxed); });
	DIR *d = opendir("/proc/self/fd");
	if (!d)
		return;
	int self = dirfd(d);
	while (dirent *e = readdir(d)) {
		int fd = atoi(e->d_name);
		if (e->d_name[0] < '0' || e->d_name[0] > '9' || fd == self)
			continue;
		std::string link = "/proc/self/fd/" + std::string(e->d_name);
		char target[PATH_MAX];
		ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
		if (n <= 0)
			continue;
		target[n] = '\0';
		const char *slash = strrchr(target, '/');
		if (!slash || strncmp(slash + 1, desc_prefix, strlen(desc_prefix)) != 0)
			continue;
		int rw = open(link.c_str(), O_RDWR | O_CLOEXEC);
		struct stat st {};
		Description *desc = nullptr;
		if (rw >= 0 && fstat(rw, &st) == 0 && st.st_size == static_cast<off_t>(desc_size))
			desc = map_description(rw);
		if (rw >= 0)
			close(rw);
		if (!desc)
			continue;
		Open *o = desc->magic == desc_magic ? new_open() : nullptr;
		if (!o) {
			munmap(desc, desc_size);
			continue;
		}
		o->desc = desc;
		o->entry = desc->entry;
		desc->dir[sizeof desc->dir - 1] = '\0';
		desc->name[sizeof desc->name - 1] = '\0';
		// Only the load it was opened on: another is another driver.
		o->gone = o->queue.attach(desc->dir) != 0 ||
			  o->queue.load_id() != desc->load_id;
		install(fd, o);
	}
	closedir(d);
}

} // namespace fds

std::uint64_t seq_load(Description &d, SeqState &s)
{
	for (;;) {
		std::uint64_t ticket = d.seq_current.load(std::memory_order_acquire);
		const auto tag = static_cast<std::uint32_t>(ticket);
		const seq::Record &r = d.seq[ticket % seq::records];
		std::uint32_t v[seq::words];
		bool whole = true;
		std::size_t n = seq::header_words;
		for (std::size_t i = 0; i < n && whole; i++) {
			std::uint64_t w = r.w[i].load(std::memory_order_relaxed);
			whole = tag_of(w) == tag;
			v[i] = static_cast<std::uint32_t>(w);
			if (i == 0)
				n += text_words(v[0] & 0x7fffffff);
		}
		if (!whole)
			continue; // reused since: another read moved it on
		s.len = std::min<std::uint32_t>(v[0] & 0x7fffffff, status_size);
		s.generated = v[0] >> 31;
		s.read_pos = static_cast<std::int64_t>(static_cast<std::uint64_t>(v[2]) << 32 | v[1]);
		s.f_pos = static_cast<std::int64_t>(static_cast<std::uint64_t>(v[4]) << 32 | v[3]);
		memcpy(s.text, v + seq::header_words, s.len);
		return ticket;
	}
}

bool seq_publish(Description &d, std::uint64_t seen, const SeqState &s)
{
	std::uint64_t ticket;
	do // never the slot of the record it follows
		ticket = d.seq_tickets.fetch_add(1, std::memory_order_relaxed) + 1;
	while (ticket % seq::records == seen % seq::records);
	const auto tag = static_cast<std::uint32_t>(ticket);
	std::uint32_t v[seq::words] = {};
	const std::uint32_t len = std::min<std::uint32_t>(s.len, status_size);
	v[0] = len | static_cast<std::uint32_t>(s.generated) << 31;
	const auto read_pos = static_cast<std::uint64_t>(s.read_pos);
	const auto f_pos = static_cast<std::uint64_t>(s.f_pos);
	v[1] = static_cast<std::uint32_t>(read_pos);
	v[2] = static_cast<std::uint32_t>(read_pos >> 32);
	v[3] = static_cast<std::uint32_t>(f_pos);
	v[4] = static_cast<std::uint32_t>(f_pos >> 32);
	memcpy(v + seq::header_words, s.text, len);
	seq::Record &r = d.seq[ticket % seq::records];
	for (std::size_t i = 0; i < seq::header_words + text_words(len); i++) {
		std::uint64_t old = r.w[i].load(std::memory_order_relaxed);
		do
			if (!later(tag, tag_of(old)))
				return false; // a later ticket has the record
		while (!r.w[i].compare_exchange_weak(old, tagged(tag, v[i]),
						     std::memory_order_relaxed));
	}
	return d.seq_current.compare_exchange_strong(seen, ticket, std::memory_order_release,
						     std::memory_order_relaxed);
}

int create_description(Entry entry, const std::string &entry_name, const std::string &dir, int flags,
		       const struct stat &st, Open *&open_out)
{
	static std::atomic<unsigned> serial{0};
	Open *o = new_open();
	if (!o)
		return errno = ENOMEM, -1;
	int err = o->queue.attach(dir);
	std::string name = dir + "/" + desc_prefix + std::to_string(getpid()) + "-" +
			   std::to_string(serial.fetch_add(1));
	int rw = -1, path = -1;
	if (err == 0 && (dir.size() >= sizeof o->desc->dir ||
			 entry_name.size() >= sizeof o->desc->name))
		err = ENAMETOOLONG;
	if (err == 0) {
		rw = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
		if (rw < 0 || ftruncate(rw, desc_size) != 0 || !(o->desc = map_description(rw)))
			err = errno;
		else if ((path = ::open(name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC)) < 0)
			err = errno;
		unlink(name.c_str());
	}
	// The O_PATH descriptor takes the number the program would get.
	if (err == 0 && dup3(path, rw, flags & O_CLOEXEC) < 0)
		err = errno;
	if (path >= 0)
		close(path);
	if (err == 0 && rw >= max_fds)
		err = EMFILE;
	if (err != 0) {
		if (rw >= 0)
			close(rw);
		free_open(o);
		return errno = err, -1;
	}
	Description *d = o->desc;
	d->entry = entry;
	d->load_id = o->queue.load_id();
	// As the kernel's f_flags: O_LARGEFILE on 64-bit, no open-time flags.
	d->flags = (flags | O_LARGEFILE) & ~(O_CREAT | O_EXCL | O_NOCTTY | O_TRUNC | O_CLOEXEC);
	d->st = st;
	memcpy(d->dir, dir.c_str(), dir.size() + 1);
	memcpy(d->name, entry_name.c_str(), entry_name.size() + 1);
	d->magic = desc_magic;
	o->entry = entry;
	o->gone = false;
	fds::install(rw, o);
	open_out = o;
	return rw;
}

} // namespace marnel::sim
