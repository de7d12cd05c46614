// pushwell and drawwell together on the simulated driver.
#include "support.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <random>
#include <thread>

using namespace marnel::test;

namespace {

void expect_conserved(const std::map<std::string, long long> &s)
{
	EXPECT_EQ(s.at("accepted"), s.at("delivered") + s.at("depth"));
}

size_t count_ending(const std::vector<std::string> &lines, const std::string &tail)
{
	size_t n = 0;
	for (const auto &l : lines)
		n += l.ends_with(tail);
	return n;
}

TEST(EndToEnd, PushwellFillsAndDrawwellDrains)
{
	SimDriver d;
	d.load(64);
	Outcome p = d.run({PUSHWELL, "42"}, 0.3, {}, "push");
	EXPECT_EQ(p.signal, SIGINT);
	EXPECT_EQ(p.out + p.err, "");
	auto s = d.status();
	EXPECT_EQ(s["depth"], 64);
	EXPECT_EQ(s["accepted"], 64);
	EXPECT_GT(s["refused_full"], 0);
	expect_conserved(s);

	Outcome o = d.run({DRAWWELL}, 0, {}, "draw");
	EXPECT_EQ(o.status, 255);
	EXPECT_EQ(o.out + o.err, "");
	auto reads = lines_starting(d.trace("draw"), "read ");
	ASSERT_EQ(reads.size(), 65U);
	EXPECT_EQ(count_ending(reads, "-> 0 data=343200"), 64U);
	EXPECT_EQ(reads.back(), "read count=11 -> 0 data=2d3100");

	s = d.status();
	EXPECT_EQ(s["depth"], 0);
	EXPECT_EQ(s["delivered"], 64);
	EXPECT_EQ(s["end_markers"], 1);
	expect_conserved(s);
}

TEST(EndToEnd, TwoWritersAndTwoReadersLoseAndDuplicateNothing)
{
	SimDriver d;
	d.load(32);
	std::atomic<bool> writing{true};
	std::vector<std::thread> threads;
	for (const char *v : {"7", "9"})
		threads.emplace_back([&, v] {
			d.run({PUSHWELL, v}, 1.0, {}, "writers");
		});
	std::atomic<int> reader_runs{0};
	for (int r = 0; r < 2; r++)
		threads.emplace_back([&] {
			while (writing) {
				Outcome o = d.run({DRAWWELL}, 0, {}, "readers");
				EXPECT_EQ(o.status, 255);
				EXPECT_EQ(o.out, "");
				reader_runs++;
			}
		});
	threads[0].join();
	threads[1].join();
	writing = false;
	threads[2].join();
	threads[3].join();
	d.run({DRAWWELL}, 0, {}, "readers");

	auto writes = d.trace("writers");
	auto reads = d.trace("readers");
	size_t in7 = count_ending(writes, "-> 8 data=3700000000000000");
	size_t in9 = count_ending(writes, "-> 8 data=3900000000000000");
	EXPECT_GT(in7, 0U);
	EXPECT_GT(in9, 0U);
	EXPECT_EQ(count_ending(reads, "-> 0 data=3700"), in7);
	EXPECT_EQ(count_ending(reads, "-> 0 data=3900"), in9);
	auto s = d.status();
	EXPECT_EQ(s["accepted"], static_cast<long long>(in7 + in9));
	EXPECT_EQ(s["depth"], 0);
	expect_conserved(s);
	EXPECT_GT(reader_runs.load(), 1);
}

// pushwell is always ended by a signal, possibly inside the driver's
// critical section; no instant of death may wedge or corrupt the queue.
TEST(EndToEnd, ProcessesKilledAtAnyInstantLeaveTheQueueWhole)
{
	SimDriver d;
	d.load(256);
	std::mt19937 rng(12345);
	std::uniform_real_distribution<double> when(0.002, 0.03);
	for (int round = 0; round < 25; round++) {
		double a = when(rng), b = when(rng);
		std::thread writer([&] {
			run({{MARNEL_SIM, "run", "--", PUSHWELL, "5"},
			     {"MARNEL_SIM_DIR=" + d.dir()}, a, SIGKILL});
		});
		std::thread reader([&] {
			run({{MARNEL_SIM, "run", "--", DRAWWELL},
			     {"MARNEL_SIM_DIR=" + d.dir()}, b, SIGKILL});
		});
		writer.join();
		reader.join();
		expect_conserved(d.status());
	}
	Outcome o = d.run({DRAWWELL});
	EXPECT_EQ(o.status, 255);
	EXPECT_EQ(o.out, "");
	auto s = d.status();
	EXPECT_EQ(s["depth"], 0);
	expect_conserved(s);
}

TEST(EndToEnd, UnloadWhilePushwellWritesThenLoadAgain)
{
	SimDriver d;
	d.load(8);
	std::thread writer([&] {
		Outcome o = d.run({PUSHWELL, "3"}, 1.0);
		EXPECT_EQ(o.signal, SIGINT); // did not crash, kept going
		EXPECT_EQ(o.out + o.err, "");
	});
	std::this_thread::sleep_for(std::chrono::milliseconds(300));
	EXPECT_EQ(d.sim({"unload"}).status, 0);
	d.load(8);
	writer.join();

	auto writes = lines_starting(d.trace(), "write ");
	ASSERT_FALSE(writes.empty());
	EXPECT_NE(writes.back().find("-> -1 EIO"), std::string::npos) << writes.back();
	// The descriptor opened before the unload does not reach the new queue.
	EXPECT_EQ(d.status()["accepted"], 0);
}

} // namespace
