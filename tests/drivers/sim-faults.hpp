// Broken simulated drivers, for tests alone: libmarnel-sim-faulty.so is
// sim/'s sources built with MARNEL_SIM_FAULTS, where the code inside
// MARNEL_FAULT(...) (queue.hpp) calls this. MARNEL_SIM_FAULT=NAME, read as
// the library starts, picks one fault from the table; unset or empty, the
// library is the sound driver. Each fault breaks one core clause of the
// contract (broken_sim_drivers in CMakeLists.txt pairs them), so the
// conformance kit can be shown to catch it.
#pragma once

#ifndef MARNEL_SIM_FAULTS
#error "the faults are built into libmarnel-sim-faulty.so alone"
#endif

#include <time.h>

#include <cstring>
#include <string>

namespace marnel::sim::faults {

enum Fault {
	none,
	read_reports_count,
	lifo,
	changed_value,
	write_drops,
	no_end_marker,
	duplicate,
	read_blocks,
	no_text_end,
	write_blocks_full,
	refuses_records,
};

inline constexpr struct {
	const char *name;
	Fault fault;
} table[] = {
	{"read-reports-count", read_reports_count}, // a delivery returns the text's length
	{"lifo", lifo},				     // the newest value leaves first
	{"changed-value", changed_value},	     // each value comes out one higher
	{"write-drops", write_drops},		     // every second accepted write is lost
	{"no-end-marker", no_end_marker},	     // an empty queue answers "0"
	{"duplicate", duplicate},		     // every third delivery stays at the head
	{"read-blocks", read_blocks},		     // a read of an empty queue waits for a value
	{"no-text-end", no_text_end},		     // '7' follows the text, not a NUL
	{"write-blocks-full", write_blocks_full},    // a write to a full queue waits for room
	{"refuses-records", refuses_records},	     // a record with a '-' gets EINVAL
};

inline Fault chosen = none;

inline bool on(Fault f)
{
	return chosen == f;
}

// False, with one line in why, for a name the table lacks.
inline bool choose(const char *name, std::string &why)
{
	if (!name || !*name)
		return true;
	for (const auto &f : table)
		if (strcmp(name, f.name) == 0) {
			chosen = f.fault;
			return true;
		}
	why = "unknown MARNEL_SIM_FAULT '" + std::string(name) + "'";
	return false;
}

// A blocking fault's wait: the queue has no lock to sleep on, so the
// caller looks again every millisecond.
inline void nap()
{
	timespec ms{0, 1000000};
	nanosleep(&ms, nullptr);
}

// refuses-records, on a record that parsed.
inline bool refuses(const char (&record)[8])
{
	return on(refuses_records) && record[0] == '-';
}

} // namespace marnel::sim::faults
