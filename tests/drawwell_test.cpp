// drawwell through the real binary, with the driver's reads scripted so
// that every branch is reached: exact stdout, exit status, reads made.
#include "support.hpp"

#include <gtest/gtest.h>

using namespace marnel::test;

namespace {

struct Case {
	const char *name;
	std::string reads; // MARNEL_SIM_READS; the queue itself is empty
	std::string out;
	size_t turns;      // reads made before it ended
};

TEST(Drawwell, EndsOnTheEndMarkerOrAFailedRead)
{
	const std::vector<Case> cases = {
		{"end marker first", "0:2d3100", "", 1},
		{"3, 7, then -1", "0:3300;0:3700;0:2d3100", "", 3},
		{"a positive count is a failure", "11:32310000000000000000", "read fail\n", 1},
		{"a short count is a failure", "2:3231", "read fail\n", 1},
		{"a failure wins over -1", "-5:2d3100", "read fail\n", 1},
		{"an error without data", "-22", "read fail\n", 1},
		{"blanks before -1", "0:20202d3100", "", 1},
		{"a tab and a plus sign", "0:092b3500;0:2d3100", "", 2},
		{"-1 and a newline", "0:2d310a00", "", 1},
		{"zero and text go on", "0:3000;0:616263;0:2d3100", "", 3},
		{"-12 is not -1", "0:2d313200;0:2d3100", "", 2},
		{"eleven digits, no terminator", "0:3132333435363738393031;0:2d3100", "", 2},
		// Wrapped to 32 bits, each of these would read as -1.
		{"2^32-1 saturates", "0:34323934393637323935;0:2d3100", "", 2},
		{"-(2^32+1) saturates", "0:2d34323934393637323937;0:2d3100", "", 2},
		{"beyond 64 bits", "0:3939393939393939393939;0:2d3100", "", 2},
		// A lone "-" after "21" must not combine into "-1": the third
		// read reaches the empty queue's real end marker.
		{"short unterminated delivery", "0:3231;0:2d", "", 3},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		SimDriver d;
		d.load();
		Outcome o = d.run({DRAWWELL}, 0, {"MARNEL_SIM_READS=" + c.reads});
		EXPECT_TRUE(o.exited);
		EXPECT_EQ(o.status, 255);
		EXPECT_EQ(o.out, c.out);
		EXPECT_EQ(o.err, "");
		auto trace = d.trace();
		ASSERT_FALSE(trace.empty());
		EXPECT_EQ(trace[0], "open /proc/marnel/dequeue flags=0x0 -> 3");
		auto reads = lines_starting(trace, "read ");
		EXPECT_EQ(reads.size(), c.turns);
		EXPECT_EQ(reads.size() + 1, trace.size());
		for (const auto &r : reads)
			EXPECT_TRUE(r.starts_with("read count=11 -> ")) << r;
	}
}

TEST(Drawwell, ArgumentsAreIgnored)
{
	for (const std::vector<std::string> &argv :
	     {std::vector<std::string>{DRAWWELL}, {DRAWWELL, "x"}, {DRAWWELL, "-1", "--help"}}) {
		SimDriver d;
		d.load();
		Outcome o = d.run(argv, 0, {"MARNEL_SIM_READS=0:3500"});
		EXPECT_EQ(o.status, 255);
		EXPECT_EQ(o.out, "");
		EXPECT_EQ(lines_starting(d.trace(), "read ").size(), 2U);
	}
}

TEST(Drawwell, DriverNotLoadedIsAReadFailure)
{
	SimDriver d;
	Outcome o = d.run({DRAWWELL});
	EXPECT_EQ(o.status, 255);
	EXPECT_EQ(o.out, "read fail\n");
	EXPECT_EQ(o.err, "");
	EXPECT_EQ(d.trace(), std::vector<std::string>{
				     "open /proc/marnel/dequeue flags=0x0 -> -1 ENOENT"});
}

} // namespace
