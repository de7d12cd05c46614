// A driver profile: how a queue driver answers each open choice of the
// /proc contract (docs/queue-driver.md), so that the simulated driver can
// answer as that driver does. Text form: one `key value...` line per
// choice, `#` comment lines; marnel-probe --profile writes one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace marnel::sim {

inline constexpr std::uint32_t default_capacity = 1024;
inline constexpr std::uint32_t max_capacity = 1U << 20;

// A plain value kept in the shared state file: no pointers, fixed sizes.
// An errno field of 0 means the other answer its key allows (first-record,
// cut, allow).
struct Profile {
	static constexpr std::uint32_t max_entries = 4;
	static constexpr std::size_t name_size = 32;  // with its NUL
	static constexpr std::size_t text_size = 200; // one line, without "\n"

	std::uint32_t capacity = 1024;
	std::int32_t full_error = 0;	 // open.full-error
	std::int32_t short_error = 0;	 // open.write-count, fewer than 8 bytes
	std::int32_t long_error = 0;	 // open.write-count, more; 0: first-record
	std::uint32_t trimmed = 0;	 // open.record-text: blanks dropped first
	std::int32_t record_error = 0;	 // open.record-text
	std::int32_t read_short_error = 0; // open.read-short; 0: cut
	std::int32_t wrong_open_error = 0; // open.wrong-direction-open; 0: allow
	std::int32_t wrong_call_error = 0; // open.wrong-direction-call
	std::uint32_t nonseekable = 0;	 // open.lseek
	std::uint32_t enqueue_mode = 0;	 // open.modes
	std::uint32_t dequeue_mode = 0;
	std::uint32_t status_counters = 0; // open.entries: the status entry
	std::uint32_t entry_count = 0;	   // open.entries: fixed entries
	struct Fixed {
		char name[name_size];
		char text[text_size + 1];
		bool operator==(const Fixed &) const = default;
	} entries[max_entries] = {};

	bool operator==(const Profile &) const = default;
};

// Our module's answers.
Profile default_profile();

// Strict: every line a known key with allowed values, each key at most
// once (entry once per name); keys not given keep the default's answer.
// On error, why is one printable line "line N: ...".
bool parse_profile(std::string_view text, Profile &out, std::string &why);

// Every key, one line each, in the documented order; parses back equal.
std::string format_profile(const Profile &p);

// Whether a profile read from shared memory is one parse_profile could
// have made: the simulated driver uses no other.
bool valid_profile(const Profile &p);

// The content of a fixed entry, or nullptr when p has none of that name.
const char *fixed_entry(const Profile &p, std::string_view name);

} // namespace marnel::sim
