// MARNEL_SIM_READS, the test hook that scripts what the next reads of the
// dequeue entry return.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

namespace marnel::sim {

struct ScriptedRead {
	ssize_t result; // -1 with error set, or what read returns
	int error;
	std::string bytes; // placed in the caller's buffer, as far as it holds
};

// "0:2d3100;11:3231;-5": entries separated by ';' (empty ones are skipped),
// each a decimal result (-1 to -4095 is -errno, else 0 or more) and, after
// a colon, the bytes to place as pairs of hex digits. On bad text, returns
// false and sets why to one printable line naming the entry.
bool parse_reads(std::string_view text, std::vector<ScriptedRead> &reads,
		 std::string &why);

} // namespace marnel::sim
