// pushwell through the real binary: its output, exit status, and the calls
// the simulated driver saw.
#include "support.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>

using namespace marnel::test;

namespace {

TEST(Pushwell, WrongArgumentCountIsRefusedAfterTheOpenWithoutAWrite)
{
	const std::vector<std::vector<std::string>> cases = {{}, {"1", "2"}, {"", "", ""}};
	for (const auto &args : cases) {
		SimDriver d;
		d.load();
		std::vector<std::string> argv = {PUSHWELL};
		argv.insert(argv.end(), args.begin(), args.end());
		Outcome o = d.run(argv);
		SCOPED_TRACE(args.size());
		EXPECT_TRUE(o.exited);
		EXPECT_EQ(o.status, 255);
		EXPECT_EQ(o.out, "pushwell: invalid argument");
		EXPECT_EQ(o.err, "");
		EXPECT_EQ(d.trace(), std::vector<std::string>{
					     "open /proc/marnel/enqueue flags=0x1 -> 3"});
		EXPECT_EQ(d.status()["refused_malformed"], 0);
	}
}

TEST(Pushwell, SendsTheSameEightByteRecordUntilInterrupted)
{
	struct Case {
		std::string arg;
		std::string record; // hex of every write
		bool queued;        // whether the driver takes it
	};
	const std::vector<Case> cases = {
		{"", "0000000000000000", false},
		{"7", "3700000000000000", true},
		{"-1", "2d31000000000000", true},
		{"1234567", "3132333435363700", true},
		{"12345678", "3132333435363738", true},
		{"123456789012", "3132333435363738", true}, // the last 4 bytes never sent
		{"forty", "666f727479000000", false},       // sent unchanged
	};
	for (const auto &c : cases) {
		SCOPED_TRACE("argument '" + c.arg + "'");
		SimDriver d;
		d.load(4);
		Outcome o = d.run({PUSHWELL, c.arg}, 0.3);
		EXPECT_FALSE(o.exited);
		EXPECT_EQ(o.signal, SIGINT);
		EXPECT_EQ(o.out, "");
		EXPECT_EQ(o.err, "");

		auto trace = d.trace();
		ASSERT_FALSE(trace.empty());
		EXPECT_EQ(trace[0], "open /proc/marnel/enqueue flags=0x1 -> 3");
		auto writes = lines_starting(trace, "write ");
		// More writes than the queue holds: refusals do not stop it.
		EXPECT_GT(writes.size(), 8U);
		EXPECT_EQ(writes.size() + 1, trace.size());
		for (const auto &w : writes)
			ASSERT_TRUE(w.starts_with("write count=8 -> ") &&
				    w.ends_with(" data=" + c.record))
				<< w;

		auto s = d.status();
		EXPECT_EQ(s["accepted"], c.queued ? 4 : 0);
		EXPECT_EQ(s["depth"], c.queued ? 4 : 0);
		long long refused = c.queued ? s["refused_full"] : s["refused_malformed"];
		EXPECT_EQ(static_cast<size_t>(refused + s["accepted"]), writes.size());
	}
}

TEST(Pushwell, DriverNotLoadedRunsSilentlyUntilStopped)
{
	SimDriver d; // never loaded
	Outcome o = d.run({PUSHWELL, "5"}, 0.3);
	EXPECT_EQ(o.signal, SIGINT);
	EXPECT_EQ(o.out, "");
	EXPECT_EQ(o.err, "");
	EXPECT_EQ(d.trace(), std::vector<std::string>{
				     "open /proc/marnel/enqueue flags=0x1 -> -1 ENOENT"});
}

TEST(Pushwell, KeepsWritingToTheFailedDescriptor)
{
	if (system("command -v strace >/dev/null 2>&1") != 0)
		GTEST_SKIP() << "strace is not installed";
	SimDriver d;
	std::string log = d.dir() + "/strace";
	Outcome o = run({{"/usr/bin/strace", "-qq", "-e", "trace=openat,write", "-o", log,
			  PUSHWELL, "5"},
			 {},
			 0.5});
	EXPECT_EQ(o.out, "");
	std::ifstream in(log);
	std::string first;
	int failed_writes = 0;
	for (std::string line; std::getline(in, line);) {
		if (line.find("/proc/marnel/enqueue") != std::string::npos) {
			first = line;
		} else if (line.starts_with("write(")) {
			ASSERT_TRUE(line.starts_with(R"(write(-1, "5\0\0\0\0\0\0\0", 8))") &&
				    line.ends_with("= -1 EBADF (Bad file descriptor)"))
				<< line;
		}
		failed_writes += line.starts_with("write(");
	}
	EXPECT_NE(first.find("O_WRONLY) = -1 ENOENT"), std::string::npos) << first;
	EXPECT_GT(failed_writes, 10);
}

} // namespace
