// Path resolution of the simulated driver: every spelling the kernel
// resolves to /proc/marnel[/entry] maps to the mirror, and nothing else.
#include "paths.hpp"

#include <gtest/gtest.h>

namespace {

using namespace marnel::sim;

TEST(Paths, SpellingsMapToTheMirror)
{
	const struct {
		const char *base, *path, *mapped, *entry;
	} cases[] = {
		{"/", "/proc/marnel/enqueue", "/m/marnel/enqueue", "enqueue"},
		{"/", "/proc//marnel///dequeue", "/m/marnel/dequeue", "dequeue"},
		{"/", "/proc/./marnel/./status", "/m/marnel/status", "status"},
		{"/", "/proc/marnel/../marnel/enqueue", "/m/marnel/enqueue", "enqueue"},
		{"/", "/../../proc/marnel", "/m/marnel", ""},
		{"/", "/proc/marnel/", "/m/marnel/", ""},
		{"/", "/proc/marnel/enqueue/", "/m/marnel/enqueue/", ""},
		{"/", "/proc/marnel/enqueue/.", "/m/marnel/enqueue/", ""},
		{"/", "/proc/marnel/none", "/m/marnel/none", "none"},
		{"/proc", "marnel/enqueue", "/m/marnel/enqueue", "enqueue"},
		{"/proc/marnel", "status", "/m/marnel/status", "status"},
		{"/proc/marnel", "../marnel/dequeue", "/m/marnel/dequeue", "dequeue"},
		{"/proc/marnel", "../../proc/marnel/.", "/m/marnel/", ""},
		{"/tmp", "../proc/marnel/enqueue", "/m/marnel/enqueue", "enqueue"},
		{"/", "/proc/marnelx/enqueue", "", ""},
		{"/", "/proc/marnel/..", "", ""},
		{"/", "/proc", "", ""},
		{"/", "/tmp/proc/marnel/enqueue", "", ""},
		{"/proc/marnel", "..", "", ""},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(std::string(c.base) + " + " + c.path);
		std::string n = normalize(c.base, c.path);
		EXPECT_EQ(to_mirror(n, "/m/marnel"), c.mapped);
		if (*c.mapped) {
			EXPECT_EQ(entry_name(n), c.entry);
		}
	}
}

TEST(Paths, TheMirrorReadsBackAsProc)
{
	EXPECT_EQ(mirror_of("/s/"), "/s/marnel");
	EXPECT_EQ(from_mirror("/s/marnel", "/s/marnel"), "/proc/marnel");
	EXPECT_EQ(from_mirror("/s/marnel/x", "/s/marnel"), "/proc/marnel/x");
	EXPECT_EQ(from_mirror("/s/marnelx", "/s/marnel"), "/s/marnelx");
	EXPECT_EQ(from_mirror("/s", "/s/marnel"), "/s");
}

} // namespace
