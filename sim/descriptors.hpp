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

struct Description {
	std::uint32_t magic;
	Entry entry;
	std::uint32_t load_id;
	std::atomic<int> flags; // what F_GETFL shows
	struct stat st;		// fstat's answer, the mirror file's at open
	char name[Profile::name_size]; // the entry's name in the folder
	// The status entry's seq_file: the text of the last snapshot, the
	// position it was read up to, and the file position.
	std::uint32_t generated;
	std::uint32_t len;
	std::int64_t read_pos;
	std::int64_t f_pos;
	char text[status_size];
	char dir[PATH_MAX]; // the state folder of the load it was opened on
};

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
