// The simulated queue driver's state: a bounded ring of 32-bit values in a
// small mapped file, shared by every process that opens the entries.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace marnel::sim {

inline constexpr std::uint32_t default_capacity = 1024;
inline constexpr std::uint32_t max_capacity = 1U << 20;

// Where the state lives: MARNEL_SIM_DIR, else a per-user folder under
// XDG_RUNTIME_DIR, else under /tmp.
std::string state_dir();

// Creates the state ("loads the driver"); 0 or an errno (EEXIST: loaded).
int load(const std::string &dir, std::uint32_t capacity, std::string &why);
// Marks the state unloaded for every open descriptor and removes it.
int unload(const std::string &dir);

// The text of the kernel's kstrtoint in base 10: optional sign, digits, at
// most one trailing newline. The record's text ends at its first NUL or
// after its 8th byte.
bool parse_record(const char (&record)[8], std::int32_t &value);

// Reach the caller's memory as copy_from_user/copy_to_user do: 0, or EFAULT
// for an address that is not mapped as needed.
int copy_from_caller(void *to, const void *from, std::size_t n);
int copy_to_caller(void *to, const void *from, std::size_t n);

struct Counters {
	std::uint32_t head;
	std::uint32_t depth;
	std::uint64_t accepted;
	std::uint64_t refused_full;
	std::uint64_t refused_malformed;
	std::uint64_t delivered;
	std::uint64_t end_markers;
};

struct Shared;

// One process's mapping of the state, for the life of one open descriptor.
class Queue {
public:
	Queue() = default;
	Queue(const Queue &) = delete;
	Queue &operator=(const Queue &) = delete;
	Queue(Queue &&other) noexcept;
	Queue &operator=(Queue &&other) noexcept;
	~Queue();

	// 0, ENOENT when not loaded, or another errno.
	int attach(const std::string &dir);

	// Each returns 0 or an errno, as the driver's entries do. buf is the
	// caller's memory and is reached as a kernel reaches user memory: a
	// bad address gives EFAULT, not a crash.
	int enqueue(const void *buf, std::size_t count);
	int dequeue(void *buf, std::size_t count, std::string &delivered);
	int status(std::string &text);
	// Every later call on any descriptor of this state fails with EIO.
	int mark_unloaded();

private:
	int lock();
	void unlock();
	Shared *shared_ = nullptr;
	std::size_t size_ = 0;
};

} // namespace marnel::sim
