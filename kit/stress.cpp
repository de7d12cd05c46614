// marnel-stress: whatever serves /proc/marnel (the kernel module, the
// simulated driver with this program run under `marnel-sim run`, or a driver
// of your own) must lose, invent, duplicate and wedge nothing while
// processes die and the driver comes and goes. A longer run is the same
// command with a larger count. It needs only the enqueue and dequeue
// entries; where the driver's status entry has this project's counters,
// accepted = delivered + depth is checked too.
//
//   marnel-stress kill ROUNDS
//	Each round starts copies of pushwell (a value each) and drawwell, and
//	SIGKILLs each at a random instant in 0-20 ms, while a writer of unique
//	values and a recording reader keep working. After each round: nothing
//	hangs, the driver answers within a second, and every value read was
//	written, unique ones once.
//   marnel-stress concurrent SECONDS [CYCLES UNLOAD-COMMAND LOAD-COMMAND]
//	4 writers, each an increasing sequence of its own, and 4 readers.
//	Every value is delivered at most once and, per writer, in order. With
//	CYCLES, the driver is unloaded and loaded that often meanwhile:
//	old descriptors must get EIO (as a removed /proc entry answers) and no
//	value written before an unload may come out of the new queue.
//   marnel-stress balanced WRITES
//	4 processes that each write a value and then read one, WRITES in all:
//	the queue never holds more values than there are processes, so a
//	queue that takes 4 values may refuse no write.
//
// A refused write counts as a full queue whatever its errno (EIO aside:
// the driver went away). Prints one summary line; exit status 0 when every
// check held, 1 when one failed, 2 for bad usage, 4 when nothing serves
// /proc/marnel. The modes that need the module on a debug kernel are
// tests/stress-faults.cpp's.
#include "cli.hpp"
#include "stress.hpp"

#include <sys/mman.h>
#include <time.h>

#include <algorithm>
#include <new>
#include <random>

namespace {

using namespace stress;

constexpr int writers = 4;
constexpr int readers = 4;
constexpr int max_epochs = 4096;
constexpr std::uint32_t span = 10'000'000; // values per writer: w*span + seq
constexpr std::uint32_t unique_base = 50'000'000; // the kill rounds' unique writer
constexpr int max_errno = 134;

// Shared by every process of a run: set up before the first fork.
struct Shared {
	Faults faults;
	std::atomic<bool> stop;
	std::atomic<int> epoch;
	std::atomic<std::uint32_t> attempted[writers]; // highest seq a writer tried
	std::atomic<std::uint32_t> next[writers]; // where a restarted writer goes on
	std::atomic<std::uint32_t> first_seq[writers][max_epochs];
	std::atomic<std::uint64_t> delivered;
	std::atomic<std::uint64_t> eio;
	std::atomic<std::uint64_t> refused[max_errno + 1]; // by errno
	std::atomic<std::uint64_t> done; // balanced: writes so far, in steps
	std::atomic<std::uint8_t> seen[writers * span / 8];
};
Shared *shared;
bool counted; // the status entry has this project's counters

bool mark_seen(std::uint32_t index)
{
	std::uint8_t bit = static_cast<std::uint8_t>(1U << (index % 8));
	return shared->seen[index / 8].fetch_or(bit) & bit;
}

void refused(int error)
{
	shared->refused[std::clamp(error, 0, max_errno)]++;
}

// "12 ENOSPC, 3 EAGAIN", or "none".
std::string refusals()
{
	std::string by;
	for (int e = 0; e <= max_errno; e++)
		if (auto n = shared->refused[e].load()) {
			const char *name = strerrorname_np(e);
			by += (by.empty() ? "" : ", ") + std::to_string(n) + " " +
			      (name ? name : std::to_string(e));
		}
	return by.empty() ? "none" : by;
}

int open_entry(const char *path, int flags)
{
	for (;;) {
		int fd = open(path, flags);
		if (fd >= 0 || shared->stop)
			return fd;
		usleep(100); // unloaded: wait for the next load
	}
}

void put(int fd, std::uint32_t value, bool &ok, int &error)
{
	char rec[8] = {};
	std::string text = std::to_string(value);
	memcpy(rec, text.data(), std::min(text.size(), sizeof rec));
	ok = write(fd, rec, 8) == 8;
	error = ok ? 0 : errno;
}

// Writer w: w*span + 0, 1, 2, ... each seq once it is accepted. A refusal
// is a full queue, whatever its errno; EIO is the driver gone.
[[noreturn]] void writer(int w, std::uint32_t base)
{
	std::uint32_t seq = shared->next[w];
	while (!shared->stop) {
		int fd = open_entry(enqueue, O_WRONLY);
		// The first value this writer sent to the queue of this load.
		int e = shared->epoch;
		std::uint32_t unset = UINT32_MAX;
		if (e < max_epochs)
			shared->first_seq[w][e].compare_exchange_strong(unset, seq);
		while (!shared->stop) {
			shared->attempted[w] = seq;
			bool ok;
			int error;
			put(fd, base + static_cast<std::uint32_t>(w) * span + seq, ok, error);
			if (ok && (shared->next[w] = ++seq) >= span)
				_exit(0);
			if (!ok && error == EIO) {
				shared->eio++;
				break;
			}
			if (!ok)
				refused(error);
		}
		close(fd);
	}
	_exit(0);
}

// Reader: every value once, each writer's in increasing order, none from
// before the load this descriptor was opened under.
[[noreturn]] void reader(std::uint32_t base, int nwriters)
{
	while (!shared->stop) {
		int fd = open_entry(dequeue, O_RDONLY);
		int e = shared->epoch;
		std::vector<long long> last(static_cast<std::size_t>(nwriters), -1);
		while (!shared->stop) {
			char text[12] = {};
			if (read(fd, text, 11) != 0) {
				if (errno == EIO) {
					shared->eio++;
					break;
				}
				fault("reader: read failed with errno %ld", errno);
				continue;
			}
			long v = strtol(text, nullptr, 10);
			if (v == -1)
				continue;
			// long: the values fit in 32 bits, and fault() prints longs.
			const auto lo = static_cast<long>(base), width = static_cast<long>(span);
			if (v < lo || v >= lo + width * nwriters) {
				if (base != unique_base)
					fault("reader: value %ld was never written", v);
				continue; // a pushwell's value, in a kill round
			}
			auto w = static_cast<int>((v - lo) / width);
			auto seq = static_cast<std::uint32_t>((v - lo) % width);
			shared->delivered++;
			if (seq > shared->attempted[w])
				fault("reader: value %ld was never written", v);
			if (mark_seen(static_cast<std::uint32_t>(v - lo)))
				fault("reader: value %ld delivered twice", v);
			if (static_cast<long long>(seq) <= last[static_cast<std::size_t>(w)])
				fault("reader: value %ld after %ld from the same writer", v,
				      static_cast<long>(last[static_cast<std::size_t>(w)]));
			last[static_cast<std::size_t>(w)] = seq;
			if (e < max_epochs && seq < shared->first_seq[w][e])
				fault("reader: value %ld is from before the load", v);
		}
		close(fd);
	}
	_exit(0);
}

template <class Fn> pid_t child(Fn fn)
{
	pid_t pid = fork();
	if (pid == 0)
		fn();
	return pid;
}

// In a child, the driver must answer within a second: a status read where
// there are counters, else a write (which a full queue may refuse, but
// promptly). Its value is outside the steady writer's, as a pushwell's.
bool answers_within_a_second()
{
	std::vector<pid_t> p{child([] {
		if (counted)
			_exit(status().empty() ? 1 : 0);
		int fd = open(enqueue, O_WRONLY);
		(void)!write(fd, "100\0\0\0\0", 8);
		_exit(fd < 0 ? 1 : 0);
	})};
	return reap(p, std::chrono::seconds(1));
}

void conserved()
{
	if (!counted)
		return;
	auto s = status();
	if (!counters(s) || s["accepted"] != s["delivered"] + s["depth"])
		fault("accepted %ld != delivered + depth %ld", static_cast<long>(s["accepted"]),
		      static_cast<long>(s["delivered"] + s["depth"]));
}

// reap, showing progress meanwhile.
template <class Show> bool reap_showing(std::vector<pid_t> &pids, Clock::duration limit, Show show)
{
	auto deadline = Clock::now() + limit;
	while (!pids.empty() && Clock::now() < deadline) {
		std::erase_if(pids, [](pid_t p) { return waitpid(p, nullptr, WNOHANG) == p; });
		show();
		usleep(20'000);
	}
	return reap(pids, std::chrono::seconds(0));
}

int kill_rounds(long rounds)
{
	kit::Progress progress;
	std::mt19937 rng(static_cast<unsigned>(time(nullptr)));
	std::uniform_int_distribution<long> instant(0, 20'000'000);
	long long before = status()["accepted"];
	double slowest = 0;
	long r = 0;
	for (; r < rounds && !shared->faults.count; r++) {
		progress.show("kill round %ld of %ld, slowest %.0f ms", r + 1, rounds, slowest);
		auto start = Clock::now();
		shared->stop = false;
		std::vector<pid_t> steady{child([] { writer(0, unique_base); }),
					  child([] { reader(unique_base, 1); })};
		std::vector<pid_t> victims;
		for (int i = 0; i < 3; i++)
			victims.push_back(spawn({"pushwell", std::to_string(100 + i)}));
		for (int i = 0; i < 2; i++)
			victims.push_back(spawn({"drawwell"}));
		std::vector<std::pair<long, pid_t>> order;
		for (pid_t p : victims)
			order.emplace_back(instant(rng), p);
		std::sort(order.begin(), order.end());
		long slept = 0;
		for (auto [at, p] : order) {
			timespec ts{0, at - slept};
			nanosleep(&ts, nullptr);
			slept = at;
			kill(p, SIGKILL);
		}
		if (!reap(victims, std::chrono::seconds(2)))
			fault("round %ld: a killed process did not end", r);
		shared->stop = true;
		if (!reap(steady, std::chrono::seconds(2)))
			fault("round %ld: the steady writer or reader hung", r);
		if (!answers_within_a_second())
			fault("round %ld: the driver did not answer within a second", r);
		conserved();
		double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
		slowest = std::max(slowest, ms);
	}
	progress.clear();
	if (counted)
		printf("kill: %ld rounds, %lld values moved, slowest round %.0f ms, %s\n", r,
		       status()["accepted"] - before, slowest, verdict());
	else
		printf("kill: %ld rounds, %llu values read by the steady reader (no status counters), "
		       "slowest round %.0f ms, %s\n",
		       r, static_cast<unsigned long long>(shared->delivered.load()), slowest, verdict());
	return shared->faults.count ? 1 : 0;
}

int concurrent(double seconds, long cycles, const char *unload, const char *load)
{
	kit::Progress progress;
	std::vector<pid_t> pids;
	for (int w = 0; w < writers; w++)
		pids.push_back(child([w] { writer(w, span); }));
	for (int r = 0; r < readers; r++)
		pids.push_back(child([] { reader(span, writers); }));
	auto start = Clock::now();
	auto end = start + std::chrono::duration<double>(seconds);
	long c = 0;
	auto wait_until = [&](auto at) {
		while (Clock::now() < at) {
			progress.show("concurrent %.0f of %.0f s, %llu values delivered, %ld of %ld reloads",
				      std::chrono::duration<double>(Clock::now() - start).count(), seconds,
				      static_cast<unsigned long long>(shared->delivered.load()), c, cycles);
			usleep(1000);
		}
	};
	for (; c < cycles; c++) {
		wait_until(Clock::now() + std::chrono::duration<double>(seconds / static_cast<double>(cycles + 1)));
		if (system(unload) != 0)
			fault("cycle %ld: the unload command failed", c);
		// Before the load, so every open that reaches the new queue sees it.
		shared->epoch++;
		if (system(load) != 0)
			fault("cycle %ld: the load command failed", c);
	}
	wait_until(end);
	progress.clear();
	shared->stop = true;
	if (!reap(pids, std::chrono::seconds(5)))
		fault("a writer or reader did not end");
	conserved();
	if (cycles > 0 && shared->eio < static_cast<std::uint64_t>(cycles))
		fault("%ld unloads but only %ld EIO answers", cycles, static_cast<long>(shared->eio));
	printf("concurrent: %d writers, %d readers, %.0f s, %ld reloads, %llu values delivered, "
	       "%llu EIO, %s\n",
	       writers, readers, seconds, cycles,
	       static_cast<unsigned long long>(shared->delivered.load()),
	       static_cast<unsigned long long>(shared->eio.load()), verdict());
	return shared->faults.count ? 1 : 0;
}

// How many values, up to want, an empty queue takes before a refusal; it
// is left empty again.
long room(long want)
{
	int in = open(enqueue, O_WRONLY);
	long n = 0;
	while (n < want && write(in, "7\0\0\0\0\0\0", 8) == 8)
		n++;
	close(in);
	drain();
	return n;
}

int balanced(long writes)
{
	kit::Progress progress;
	// A queue of capacity under 4 may rightly be full here.
	bool roomy = room(writers) == writers;
	long each = writes / writers;
	std::vector<pid_t> pids;
	for (int p = 0; p < writers; p++)
		pids.push_back(child([each] {
			int in = open(enqueue, O_WRONLY);
			int out = open(dequeue, O_RDONLY);
			char text[11];
			for (long i = 0; i < each; i++) {
				if (write(in, "7\0\0\0\0\0\0", 8) != 8)
					refused(errno);
				if (read(out, text, sizeof text) != 0)
					fault("read %ld: not a value (errno %ld)", i, errno);
				if (i % 1024 == 1023)
					shared->done += 1024;
			}
			_exit(0);
		}));
	if (!reap_showing(pids, std::chrono::minutes(10), [&] {
		    progress.show("balanced %llu of %ld writes",
				  static_cast<unsigned long long>(shared->done.load()), each * writers);
	    }))
		fault("a process did not end");
	progress.clear();
	std::uint64_t refusals_seen = 0;
	for (auto &r : shared->refused)
		refusals_seen += r;
	if (roomy && refusals_seen)
		fault("%ld writes refused as if %d values filled the queue",
		      static_cast<long>(refusals_seen), writers);
	conserved();
	printf("balanced: %d processes, %ld writes, refused: %s%s, %s\n", writers, each * writers,
	       refusals().c_str(), roomy ? "" : " (the queue takes fewer than 4 values)", verdict());
	return shared->faults.count ? 1 : 0;
}

const char help[] =
	"usage: marnel-stress kill ROUNDS\n"
	"       marnel-stress concurrent SECONDS [CYCLES UNLOAD-COMMAND LOAD-COMMAND]\n"
	"       marnel-stress balanced WRITES\n"
	"       marnel-stress --help | --version\n"
	"\n"
	"Stresses whatever serves /proc/marnel: nothing may be lost, invented,\n"
	"duplicated or wedged.\n"
	"\n"
	"  kill        each round SIGKILLs 3 pushwells and 2 drawwells (found on\n"
	"              PATH) at random instants while a writer and a reader work\n"
	"  concurrent  4 writers and 4 readers for SECONDS; with CYCLES, the\n"
	"              driver is unloaded and loaded that often meanwhile by the\n"
	"              two shell commands\n"
	"  balanced    4 processes each write a value and read one, WRITES in all:\n"
	"              a queue that takes 4 values may refuse none\n"
	"\n"
	"Needs only the enqueue and dequeue entries; where the status entry has\n"
	"the counters accepted, delivered and depth, accepted = delivered + depth\n"
	"is checked as well. Prints one summary line. Exit status: 0 no fault,\n"
	"1 a fault (the first is printed), 2 bad usage, 4 nothing serves\n"
	"/proc/marnel.\n";

} // namespace

int main(int argc, char *argv[])
{
	kit::options(argc, argv, "marnel-stress", help);
	if (argc < 2)
		kit::usage_error("a mode is needed: kill, concurrent or balanced");
	std::string mode = argv[1];
	long rounds = 0, writes = 0, cycles = 0;
	double seconds = 0;
	if (mode == "kill") {
		if (argc != 3)
			kit::usage_error("kill takes ROUNDS");
		rounds = kit::whole("ROUNDS", argv[2], 1);
	} else if (mode == "concurrent") {
		if (argc != 3 && argc != 6)
			kit::usage_error("concurrent takes SECONDS [CYCLES UNLOAD-COMMAND LOAD-COMMAND]");
		seconds = kit::seconds("SECONDS", argv[2]);
		if (argc == 6)
			cycles = kit::whole("CYCLES", argv[3], 0, max_epochs - 1);
	} else if (mode == "balanced") {
		if (argc != 3)
			kit::usage_error("balanced takes WRITES");
		writes = kit::whole("WRITES", argv[2], writers);
	} else {
		kit::usage_error("unknown mode '%s'", argv[1]);
	}

	for (const char *entry : {enqueue, dequeue}) {
		int fd = open(entry, entry == enqueue ? O_WRONLY : O_RDONLY);
		if (fd < 0) {
			fprintf(stderr, "marnel-stress: nothing serves /proc/marnel: %s: %s\n", entry,
				strerror(errno));
			return 4;
		}
		close(fd);
	}
	void *m = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS,
		       -1, 0);
	if (m == MAP_FAILED) {
		perror("marnel-stress: mmap");
		return 1;
	}
	shared = new (m) Shared{};
	faults = &shared->faults;
	for (auto &w : shared->first_seq)
		for (auto &e : w)
			e = UINT32_MAX;
	counted = counters(status());
	drain();
	if (mode == "kill")
		return kill_rounds(rounds);
	if (mode == "concurrent")
		return concurrent(seconds, cycles, argc == 6 ? argv[4] : "", argc == 6 ? argv[5] : "");
	return balanced(writes);
}
