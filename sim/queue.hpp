// The simulated queue driver's state: a bounded ring of 32-bit values in a
// small mapped file, shared by every process that opens the entries.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "profile.hpp"

// The code inside MARNEL_FAULT(...) is in the test-only faulty build alone
// (tests/drivers/sim-faults.hpp); the shipped library has none of it.
#ifdef MARNEL_SIM_FAULTS
#include "sim-faults.hpp"
#define MARNEL_FAULT(...) __VA_ARGS__
#else
#define MARNEL_FAULT(...)
#endif

namespace marnel::sim {


// Where the state lives: MARNEL_SIM_DIR, else a per-user folder under
// XDG_RUNTIME_DIR, else under /tmp.
std::string state_dir();

// Creates the state ("loads the driver") and the mirror of /proc/marnel
// beside it (paths.hpp); 0 or an errno (EEXIST: loaded).
// The driver answers as profile says (its capacity too); name is what
// status calls it ("default" for ours).
int load(const std::string &dir, const Profile &profile, const std::string &name,
	 std::string &why);
// Marks the state unloaded for every open descriptor and removes it.
int unload(const std::string &dir);

// The text of the kernel's kstrtoint in base 10: optional sign, digits, at
// most one trailing newline. The record's text ends at its first NUL or
// after its 8th byte.
bool parse_record(const char (&record)[8], std::int32_t &value);
// The same after blanks around the text are dropped (a profile's
// `record-text trimmed`).
bool parse_trimmed(const char (&record)[8], std::int32_t &value);

// Reach the caller's memory as copy_from_user/copy_to_user do: 0, or EFAULT
// for an address that is not mapped as needed.
int copy_from_caller(void *to, const void *from, std::size_t n);
int copy_to_caller(void *to, const void *from, std::size_t n);
// Looks up what those need for the calling thread (its stack's bounds),
// which is not async-signal-safe: done here, a later call from a signal
// handler need not.
void prepare_caller_access();
// The caller's [p, p + n) can be read and written: 0 or EFAULT.
int caller_writable(void *p, std::size_t n);

// The state file: this header, then `capacity` 64-bit slots. Positions
// count from 0 and never wrap: tail is every value accepted, head every
// value delivered. A slot holds a value in its low half and, in its high
// half, the lap (position / capacity) it was written for, plus one, so a
// file of zeros is an empty queue. ring.cpp says how they are used.
struct Shared {
	std::uint32_t magic;
	std::uint32_t capacity;
	std::atomic<std::uint32_t> unloaded;
	// Random at load: a descriptor inherited across exec reattaches only
	// to the load it was opened on.
	std::uint32_t load_id;
	// The faults' shared count, in the padding before tail: the layout
	// stays the shipped library's.
	MARNEL_FAULT(std::atomic<std::uint32_t> fault_turn;)
	// Writers and readers each hammer their own line.
	alignas(64) std::atomic<std::uint64_t> tail;
	alignas(64) std::atomic<std::uint64_t> head;
	alignas(64) std::atomic<std::uint64_t> refused_full;
	std::atomic<std::uint64_t> refused_malformed;
	std::atomic<std::uint64_t> end_markers;
	// Written before the state is linked into place, never changed after.
	alignas(64) Profile profile;
	char profile_name[256];

	std::atomic<std::uint64_t> *slots()
	{
		return reinterpret_cast<std::atomic<std::uint64_t> *>(this + 1);
	}
	static std::size_t bytes(std::uint32_t capacity)
	{
		return sizeof(Shared) + capacity * sizeof(std::uint64_t);
	}
};
MARNEL_FAULT(static_assert(offsetof(Shared, fault_turn) + 4 <= offsetof(Shared, tail));)

// What one delivery placed: the text and how many bytes of it (with the
// NUL when it fit) went to the caller.
struct Delivery {
	char text[12];
	std::size_t placed;
	MARNEL_FAULT(bool value;) // not the end marker
};

// Large enough for every status line with 20-digit counters.
inline constexpr std::size_t status_size = 256;

// One process's mapping of the state, for the life of one open descriptor.
class Queue {
public:
	Queue() = default;
	Queue(const Queue &) = delete;
	Queue &operator=(const Queue &) = delete;
	~Queue();

	// 0, ENOENT when not loaded (or the folder is not this user's own
	// private one), EIO for a state file that is not this user's own
	// private file or does not hold a queue, or another errno.
	int attach(const std::string &dir);

	// Each returns 0 or an errno, as the driver's entries do. buf is the
	// caller's memory and is reached as a kernel reaches user memory: a
	// bad address gives EFAULT, not a crash. A state found inconsistent
	// gives EIO.
	// taken: the bytes a success reports (8, or count).
	int enqueue(const void *buf, std::size_t count, std::size_t &taken);
	int dequeue(void *buf, std::size_t count, Delivery &done);
	int status(char (&text)[status_size], std::size_t &len);
	int status(std::string &text);
	// Every later call on any descriptor of this state fails with EIO.
	int mark_unloaded();
	bool unloaded() const;
	std::uint32_t load_id() const { return shared_ ? shared_->load_id : 0; }
	// This load's answers, checked when attached.
	const Profile &profile() const { return profile_; }
	// What status calls the profile.
	std::string profile_name() const;

private:
	void release();
	Shared *shared_ = nullptr;
	std::size_t size_ = 0;
	std::uint32_t capacity_ = 0; // read once: the file's copy could change
	Profile profile_;
};

} // namespace marnel::sim
