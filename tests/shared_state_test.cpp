// The simulated driver's shared state, against clients stopped at any
// instant and against state files that someone planted or corrupted.
#include "queue.hpp"
#include "support.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <utility>

using namespace marnel::test;
using marnel::sim::Shared;

namespace {

using Clock = std::chrono::steady_clock;

double since(Clock::time_point t)
{
	return std::chrono::duration<double>(Clock::now() - t).count();
}

// `marnel-sim ARGS` on dir, killed if it is not done in 5 s.
Outcome sim_on(const std::string &dir, std::vector<std::string> args,
	       const std::string &trace = "")
{
	args.insert(args.begin(), MARNEL_SIM);
	Command c{args, {"MARNEL_SIM_DIR=" + dir}, 5, SIGKILL};
	if (!trace.empty())
		c.env.push_back("MARNEL_SIM_TRACE=" + trace);
	return run(c);
}

Command run_on(const SimDriver &d, std::vector<std::string> argv,
	       const std::string &trace = "")
{
	argv.insert(argv.begin(), {MARNEL_SIM, "run", "--"});
	Command c{argv, {"MARNEL_SIM_DIR=" + d.dir()}};
	if (!trace.empty())
		c.env.push_back("MARNEL_SIM_TRACE=" + d.dir() + "/" + trace);
	return c;
}

off_t size_of(const std::string &path)
{
	struct stat st {};
	return stat(path.c_str(), &st) == 0 ? st.st_size : 0;
}

// Until the kernel shows pid stopped (or gone).
bool wait_stopped(pid_t pid)
{
	for (int i = 0; i < 10000; i++) {
		std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
		std::string stat;
		std::getline(in, stat);
		auto paren = stat.rfind(')');
		if (paren == std::string::npos || paren + 2 >= stat.size() ||
		    std::strchr("TtZ", stat[paren + 2]))
			return true;
		usleep(100);
	}
	return false;
}

// A status that ran, or one clear line and status 1.
void expect_sane_status(const Outcome &o, bool may_fail)
{
	if (o.status != 0 || !may_fail) {
		EXPECT_EQ(o.status, may_fail ? 1 : 0) << o.err;
		if (o.status != 0) {
			EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << o.err;
			return;
		}
	}
	auto s = parse_status(o.out);
	EXPECT_EQ(s["accepted"], s["delivered"] + s["depth"]) << o.out;
	EXPECT_LE(s["depth"], s["capacity"]) << o.out;
}

// A pushwell and a drawwell are stopped and continued at random instants.
// While one is stopped, status, a second writer and a second reader must
// all get through: a lock in shared memory would hold them all up.
TEST(SharedState, AStoppedClientHoldsUpNoOne)
{
	const char *env = getenv("MARNEL_STOP_CYCLES");
	const int cycles = env ? atoi(env) : 300;
	SimDriver d;
	d.load(16);
	const std::string out = d.dir() + "/out"; // everyone's output
	const std::string wrote = d.dir() + "/w2", read = d.dir() + "/r2";
	// Whatever happens, none of them outlives the test.
	struct Clients {
		pid_t writer = 0, second_writer = 0, readers[2] = {};
		~Clients()
		{
			for (pid_t p : {writer, second_writer, readers[0], readers[1]})
				if (p > 0 && kill(p, SIGKILL) == 0)
					waitpid(p, nullptr, 0);
		}
	} c;
	c.writer = spawn(run_on(d, {PUSHWELL, "42"}), out);
	c.second_writer = spawn(run_on(d, {PUSHWELL, "7"}, "w2"), out);
	c.readers[0] = spawn(run_on(d, {DRAWWELL}), out);
	c.readers[1] = spawn(run_on(d, {DRAWWELL}, "r2"), out);
	// A drawwell that found the queue empty is started again.
	auto keep_reading = [&](int i) {
		int ws = 0;
		if (waitpid(c.readers[i], &ws, WNOHANG) != c.readers[i])
			return;
		c.readers[i] = 0;
		EXPECT_EQ(WIFEXITED(ws) ? WEXITSTATUS(ws) : -1, 255);
		c.readers[i] = spawn(run_on(d, {DRAWWELL}, i ? "r2" : ""), out);
	};

	std::mt19937 rng(7);
	std::uniform_int_distribution<useconds_t> pause(0, 2000);
	double worst = 0;
	for (int i = 0; i < cycles; i++) {
		keep_reading(0);
		pid_t target = i % 2 ? c.writer : c.readers[0];
		usleep(pause(rng));
		kill(target, SIGSTOP);
		ASSERT_TRUE(wait_stopped(target));
		auto start = Clock::now();
		off_t wrote_before = size_of(wrote), read_before = size_of(read);
		Outcome s = sim_on(d.dir(), {"status"});
		while ((size_of(wrote) == wrote_before || size_of(read) == read_before) &&
		       since(start) < 5 * slowdown()) {
			keep_reading(1);
			usleep(100);
		}
		double took = since(start);
		worst = std::max(worst, took);
		kill(target, SIGCONT);
		SCOPED_TRACE("cycle " + std::to_string(i));
		expect_sane_status(s, false);
		ASSERT_LT(took, slowdown()) << "held up behind a stopped client";
	}
	printf("longest wait while a client was stopped: %.1f ms\n", worst * 1000);

	for (pid_t *p : {&c.writer, &c.second_writer, &c.readers[0], &c.readers[1]}) {
		kill(*p, SIGINT);
		Outcome o = finish(std::exchange(*p, 0));
		EXPECT_TRUE(o.signal == SIGINT || o.status == 255);
	}
	std::ifstream printed(out);
	EXPECT_EQ(std::string(std::istreambuf_iterator<char>(printed), {}), "");
	EXPECT_EQ(d.run({DRAWWELL}).status, 255);
	auto s = d.status();
	EXPECT_EQ(s["depth"], 0);
	EXPECT_EQ(s["accepted"], s["delivered"]);
}

// Someone else's folder or file where the state should be, or ours open
// to others: no queue there (ENOENT) or an unusable one (EIO), never
// someone else's queue.
TEST(SharedState, AStateNotPrivatelyOursIsRefused)
{
	struct Case {
		const char *name;
		std::function<std::string(const std::string &dir)> plant;
		const char *error; // at open, in the trace
	};
	const std::vector<Case> cases = {
		{"state file of another user",
		 [](const std::string &dir) {
			 EXPECT_EQ(chown((dir + "/queue").c_str(), 65534, 65534), 0);
			 return dir;
		 }, "EIO"},
		{"state file others can read",
		 [](const std::string &dir) {
			 EXPECT_EQ(chmod((dir + "/queue").c_str(), 0644), 0);
			 return dir;
		 }, "EIO"},
		{"state file is a link",
		 [](const std::string &dir) {
			 EXPECT_EQ(rename((dir + "/queue").c_str(), (dir + "/real").c_str()), 0);
			 EXPECT_EQ(symlink("real", (dir + "/queue").c_str()), 0);
			 return dir;
		 }, "EIO"},
		{"folder of another user",
		 [](const std::string &dir) {
			 EXPECT_EQ(chown(dir.c_str(), 65534, 65534), 0);
			 return dir;
		 }, "ENOENT"},
		{"folder others can read",
		 [](const std::string &dir) {
			 EXPECT_EQ(chmod(dir.c_str(), 0755), 0);
			 return dir;
		 }, "ENOENT"},
		{"folder is a link",
		 [](const std::string &dir) {
			 EXPECT_EQ(symlink(dir.c_str(), (dir + "/link").c_str()), 0);
			 return dir + "/link";
		 }, "ENOENT"},
		{"folder is a file", [](const std::string &dir) { return dir + "/queue"; },
		 "ENOENT"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		SimDriver d;
		d.load();
		if (geteuid() != 0 && std::strstr(c.name, "another user"))
			continue; // only root can give a file away
		std::string dir = c.plant(d.dir());
		expect_sane_status(sim_on(dir, {"status"}), true);
		// Preloaded directly: marnel-sim run refuses such a folder itself.
		Outcome r = run({{DRAWWELL},
				 {"MARNEL_SIM_DIR=" + dir, "LD_PRELOAD=" MARNEL_SIM_LIBRARY,
				  "MARNEL_SIM_TRACE=" + d.dir() + "/trace"},
				 5,
				 SIGKILL});
		EXPECT_EQ(r.status, 255);
		EXPECT_EQ(r.out, "read fail\n");
		auto trace = d.trace();
		ASSERT_FALSE(trace.empty());
		EXPECT_EQ(trace[0], std::string("open /proc/marnel/dequeue flags=0x0 -> -1 ") +
					    c.error);
		expect_sane_status(sim_on(dir, {"unload"}), true);
		struct stat st {};
		EXPECT_EQ(lstat((d.dir() + "/queue").c_str(), &st), 0) << "unload removed it";
	}
}

// Each field of a queue's file damaged in turn: status, drawwell and
// pushwell fail cleanly or go on, but never crash or hang, and a damaged
// header, head or tail is always found out.
TEST(SharedState, ACorruptedStateFailsCleanly)
{
	SimDriver d;
	d.load(4);
	d.run({PUSHWELL, "42"}, 0.05);
	const std::string path = d.dir() + "/queue";
	std::ifstream in(path, std::ios::binary);
	const std::string clean(std::istreambuf_iterator<char>(in), {});
	ASSERT_EQ(clean.size(), Shared::bytes(4));
	const std::vector<std::function<std::uint64_t(std::uint64_t)>> damage = {
		[](std::uint64_t) { return ~0ULL; },
		[](std::uint64_t v) { return v + 0x500000005ULL; },
	};
	std::vector<std::size_t> fields = {
		offsetof(Shared, magic), offsetof(Shared, unloaded),
		offsetof(Shared, tail), offsetof(Shared, head),
		offsetof(Shared, refused_full), offsetof(Shared, refused_malformed),
		offsetof(Shared, end_markers)};
	for (std::size_t at = sizeof(Shared); at < clean.size(); at += 8)
		fields.push_back(at); // the slots
	for (std::size_t at : fields) {
		for (const auto &change : damage) {
			SCOPED_TRACE("word at " + std::to_string(at));
			std::uint64_t word;
			memcpy(&word, clean.data() + at, 8);
			word = change(word);
			std::string bad = clean;
			memcpy(bad.data() + at, &word, 8);
			std::ofstream(path, std::ios::binary | std::ios::in) << bad;
			// The header's first line (magic, capacity, the unloaded
			// flag), head and tail.
			bool found = at <= offsetof(Shared, unloaded) ||
				     at == offsetof(Shared, head) ||
				     at == offsetof(Shared, tail);

			Outcome s = sim_on(d.dir(), {"status"});
			expect_sane_status(s, true);
			if (found) {
				EXPECT_EQ(s.status, 1);
			}
			Outcome r = d.run({DRAWWELL}, 5);
			EXPECT_TRUE(r.exited) << "signal " << r.signal;
			EXPECT_EQ(r.status, 255);
			if (found || r.out != "") {
				EXPECT_EQ(r.out, "read fail\n");
			}
			unlink((d.dir() + "/trace").c_str());
			// Stopped after its first traced write or a failed open, or
			// after 2 s: a fixed short stop missed the first write under
			// ASan.
			Outcome w = d.run_until({{PUSHWELL, "5"}, {}, 2, SIGINT, [&d] {
				auto t = d.trace();
				return !lines_starting(t, "write ").empty() ||
				       (!t.empty() && t[0].find("-> -1") != std::string::npos);
			}});
			EXPECT_EQ(w.signal, SIGINT);
			auto trace = d.trace();
			if (trace.empty() || trace[0].find("-> -1") != std::string::npos)
				continue; // not opened (yet): nothing to write to
			auto writes = lines_starting(trace, "write ");
			EXPECT_FALSE(writes.empty()) << "pushwell's writes never returned";
			for (const auto &l : writes) {
				if (found) {
					ASSERT_NE(l.find("-> -1 EIO"), std::string::npos) << l;
				}
			}
		}
	}
}

// Forked readers of one open status or fixed entry, at one instant, one
// of them stopped for a while: as seq_file gives it, every byte of the one
// snapshot once, in order, and no reader waits for the stopped one. The
// fixed text repeats no byte, so each chunk's place is checked too.
TEST(SharedState, ReadersOfOneOpenEntryShareOneSnapshot)
{
	SimDriver d;
	std::string letters;
	for (char c = '!'; c <= '~'; c++)
		if (c != '#')
			letters += c;
	const std::string profile = d.dir() + "/letters.profile";
	std::ofstream(profile) << "entry letters " << letters << "\n";
	ASSERT_EQ(d.sim({"load", "--profile", profile}).status, 0);
	const char *env = getenv("MARNEL_SHARED_READ_ROUNDS");
	const std::string rounds = env ? env : "200";
	for (const char *entry : {"status", "letters"}) {
		SCOPED_TRACE(entry);
		Command c = run_on(d, {MARNEL_SHARED_READ, std::string("/proc/marnel/") + entry,
				       "6", rounds});
		c.stop_after = 60 * slowdown();
		c.stop_signal = SIGKILL;
		Outcome o = run(c);
		EXPECT_EQ(o.status, 0) << o.out << o.err;
		EXPECT_TRUE(o.out.ends_with("ok\n")) << o.out;
	}
}

} // namespace
