// The simulated driver's open files. The kernel keeps one open file
// description per open, shared by every descriptor that reaches it
// through dup, fork and exec. Here that is a page of an unlinked file in
// the state folder; the descriptor number the program holds is an O_PATH
// descriptor of it, so the number survives exec and fork natively, and a
// call that bypasses the library (a raw system call, mmap, sendfile) fails
// with EBADF instead of reaching some other file.
#pragma once

#include "queue.hpp"

#include <sys/stat.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <string>

namespace marnel::sim {

// status: the counters; fixed: a profile's entry of fixed text.
enum class Entry : std::uint32_t { enqueue, dequeue, status, fixed };

// A status or fixed entry's seq_file: the text of the last snapshot, the
// position it was read up to, and the file position.
struct SeqState {
	bool generated;
	std::uint32_t len;
	std::int64_t read_pos;
	std::int64_t f_pos;
	char text[status_size];
};

// Processes that share a description read it at once, and any of them
// may be stopped or killed halfway. The kernel's seq_file takes a lock;
// here each change is a whole new record, made current by one
// compare-and-swap. A record is words of 32 bits of the state and the
// 32 low bits of its ticket, written only over older tickets, so a writer
// that resumes late cannot spoil a newer record, and a reader that finds
// another ticket in any word has seen the record reused and starts again.
// Records are taken round by ticket: the current one is safe from reuse
// while fewer than about records / 2 reads of the description are under
// way (running, stopped or killed) at once.
namespace seq {
inline constexpr std::size_t header_words = 5; // len and generated, read_pos, f_pos
inline constexpr std::size_t words = header_words + (status_size + 3) / 4;
inline constexpr std::size_t records = 32;
struct Record {
	std::atomic<std::uint64_t> w[words];
};
static_assert(std::atomic<std::uint64_t>::is_always_lock_free);
} // namespace seq

struct Description {
	std::uint32_t magic;
	Entry entry;
	std::uint32_t load_id;
	std::atomic<int> flags; // what F_GETFL shows
	struct stat st;		// fstat's answer, the mirror file's at open
	char name[Profile::name_size]; // the entry's name in the folder
	// The read-only entry's seq_file (SeqState): the ticket of the current
	// record and the last ticket taken.
	std::atomic<std::uint64_t> seq_current;
	std::atomic<std::uint64_t> seq_tickets;
	seq::Record seq[seq::records];
	char dir[PATH_MAX]; // the state folder of the load it was opened on
};

// The current state; never waits for a read stopped or killed halfway.
// What it gives is the state at some instant during the call: its ticket.
std::uint64_t seq_load(Description &d, SeqState &s);
// s becomes the current state if the one of ticket `seen` still is.
bool seq_publish(Description &d, std::uint64_t seen, const SeqState &s);

// This process's view of one description, shared by its duplicates here.
struct Open {
	Entry entry;
	Description *desc;
	Queue queue;
	bool gone; // the load it was opened on ended before an exec
	std::atomic<int> refs;
	Open *retired_next;
};

// A new description and its descriptor, at the lowest free number:
// the descriptor, or -1 with errno.
int create_description(Entry entry, const std::string &name, const std::string &dir, int flags,
		       const struct stat &st, Open *&open);

// The descriptor table: one atomic pointer per number, so calls find an
// entry without a lock, also from a signal handler that interrupted the
// library, and a foreign descriptor costs two loads.
namespace fds {
inline constexpr int max_fds = 1 << 20;
// Reserved (not touched) up to max_fds when the first entry opens.
extern std::atomic<std::atomic<Open *> *> table;
Open *enter_slot(std::atomic<Open *> &slot);
// The entry behind fd, held until leave(); nullptr for a foreign one,
// found inline with two loads.
inline Open *enter(int fd)
{
	auto *t = table.load(std::memory_order_acquire);
	if (!t || static_cast<unsigned>(fd) >= static_cast<unsigned>(max_fds) ||
	    !t[fd].load(std::memory_order_relaxed))
		return nullptr;
	return enter_slot(t[fd]);
}
void leave();
// fd now reaches o (one more reference); what it reached before is let go.
void install(int fd, Open *o);
// fd reaches nothing any more.
void drop(int fd);
// Every descriptor from first to last that reaches an entry is dropped.
void drop_range(unsigned first, unsigned last);
// Descriptors inherited across exec, found once as the library starts.
void adopt_inherited();
// Whether this process owns its memory: not so in a vfork child, which
// must leave the parent's table alone.
bool owner();
} // namespace fds

} // namespace marnel::sim
