// marnel-stress: whatever serves /proc/marnel (the kernel module, or the
// simulated driver with this program run under `marnel-sim run`) must lose,
// invent, duplicate and wedge nothing while processes die and the driver
// comes and goes. A longer run is the same command with a larger count.
//
//   marnel-stress kill ROUNDS
//	Each round starts copies of pushwell (a value each) and drawwell, and
//	SIGKILLs each at a random instant in 0-20 ms, while a writer of unique
//	values and a recording reader keep working. After each round: nothing
//	hangs, the driver answers within a second, accepted = delivered +
//	depth, and every value read was written, unique ones once.
//   marnel-stress concurrent SECONDS [CYCLES UNLOAD-COMMAND LOAD-COMMAND]
//	4 writers, each an increasing sequence of its own, and 4 readers.
//	Every value is delivered at most once and, per writer, in order. With
//	CYCLES, the driver is unloaded and loaded that often meanwhile:
//	old descriptors must get EIO and no value written before an unload may
//	come out of the new queue.
//   marnel-stress balanced WRITES
//	4 processes that each write a value and then read one, WRITES in all:
//	the queue never holds more values than there are processes, so no
//	write may be refused with ENOSPC.
//   marnel-stress fault UNLOAD-COMMAND
//	The unload command, run while a reader's buffer is held in a page
//	fault (userfaultfd), completes within 2 s once the fault is resolved,
//	and the held reader then gets a value. (That the held reader holds up
//	no other caller is marnel-conformance's.)
//   marnel-stress usercopy
//	A kernel with fault injection: each entry point's call made to fail
//	at each of its injection points in turn (/proc/thread-self/fail-nth).
//	A failed call gives EFAULT and leaves the status as it was; a dequeue
//	whose copy under the lock fails faults the buffer in and tries again,
//	so it may instead deliver the value, once.
//   marnel-stress load-faults MODULE PARAMS
//	finit_module made to fail at each injection point in turn (with the
//	allocations counted: failslab and fail_page_alloc set so): each
//	failed load leaves neither /proc/marnel nor the module behind, and
//	the first load to pass them all works.
//
// Prints one summary line; exit status 0 when every check held.
#include <fcntl.h>
#include <linux/userfaultfd.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const char *const enqueue = "/proc/marnel/enqueue";
const char *const dequeue = "/proc/marnel/dequeue";

constexpr int writers = 4;
constexpr int readers = 4;
constexpr int max_epochs = 4096;
constexpr std::uint32_t span = 10'000'000; // values per writer: w*span + seq
constexpr std::uint32_t unique_base = 50'000'000; // the kill rounds' unique writer

// Shared by every process of a run: set up before the first fork.
struct Shared {
	std::atomic<bool> stop;
	std::atomic<int> epoch;
	std::atomic<std::uint32_t> attempted[writers]; // highest seq a writer tried
	std::atomic<std::uint32_t> next[writers]; // where a restarted writer goes on
	std::atomic<std::uint32_t> first_seq[writers][max_epochs];
	std::atomic<std::uint64_t> delivered;
	std::atomic<std::uint64_t> eio;
	std::atomic<std::uint64_t> enospc;
	std::atomic<std::uint64_t> faults;
	char fault[256];
	std::atomic<std::uint8_t> seen[writers * span / 8];
};
Shared *shared;

void fault(const char *fmt, long a = 0, long b = 0)
{
	if (shared->faults.fetch_add(1) == 0)
		snprintf(shared->fault, sizeof shared->fault, fmt, a, b);
}

bool mark_seen(std::uint32_t index)
{
	std::uint8_t bit = static_cast<std::uint8_t>(1U << (index % 8));
	return shared->seen[index / 8].fetch_or(bit) & bit;
}

// With open and read: stdio's own opens are not all a preloaded driver's.
std::map<std::string, long long> status()
{
	std::map<std::string, long long> m;
	int fd = open("/proc/marnel/status", O_RDONLY);
	if (fd < 0)
		return m;
	std::string text;
	char buf[256];
	ssize_t n;
	while ((n = read(fd, buf, sizeof buf)) > 0)
		text.append(buf, static_cast<std::size_t>(n));
	close(fd);
	for (std::size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
		std::string line = text.substr(at, end - at);
		auto colon = line.find(": ");
		if (colon != std::string::npos)
			m[line.substr(0, colon)] = atoll(line.c_str() + colon + 2);
	}
	return m;
}

// Runs start from an empty queue, whatever an earlier run left.
void drain()
{
	int fd = open(dequeue, O_RDONLY);
	char text[12] = {};
	while (fd >= 0 && read(fd, text, 11) == 0 && strcmp(text, "-1") != 0) {
	}
	close(fd);
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

// Writer w: w*span + 0, 1, 2, ... each seq once it is accepted.
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
			if (!ok && error != ENOSPC)
				fault("writer: write failed with errno %ld", error);
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

pid_t spawn(const std::vector<std::string> &argv)
{
	pid_t pid = fork();
	if (pid == 0) {
		std::vector<char *> args;
		for (auto &a : argv)
			args.push_back(const_cast<char *>(a.c_str()));
		args.push_back(nullptr);
		int null = open("/dev/null", O_WRONLY);
		dup2(null, 1);
		execvp(args[0], args.data());
		_exit(127);
	}
	return pid;
}

template <class Fn> pid_t child(Fn fn)
{
	pid_t pid = fork();
	if (pid == 0)
		fn();
	return pid;
}

// Waits for pids until deadline; whatever is left is killed and reported.
bool reap(std::vector<pid_t> &pids, Clock::duration limit)
{
	auto deadline = Clock::now() + limit;
	bool all = true;
	for (pid_t p : pids) {
		while (waitpid(p, nullptr, WNOHANG) == 0) {
			if (Clock::now() > deadline) {
				kill(p, SIGKILL);
				waitpid(p, nullptr, 0);
				all = false;
				break;
			}
			usleep(200);
		}
	}
	pids.clear();
	return all;
}

// A status read in a child: the driver must answer within a second.
bool answers_within_a_second()
{
	std::vector<pid_t> p{child([] { _exit(status().empty() ? 1 : 0); })};
	return reap(p, std::chrono::seconds(1));
}

void conserved()
{
	auto s = status();
	if (s.empty() || s["accepted"] != s["delivered"] + s["depth"])
		fault("accepted %ld != delivered + depth %ld", static_cast<long>(s["accepted"]),
		      static_cast<long>(s["delivered"] + s["depth"]));
}

int kill_rounds(long rounds)
{
	std::mt19937 rng(static_cast<unsigned>(time(nullptr)));
	std::uniform_int_distribution<long> instant(0, 20'000'000);
	long long before = status()["accepted"];
	double slowest = 0;
	for (long r = 0; r < rounds && !shared->faults; r++) {
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
	long long moved = status()["accepted"] - before;
	printf("kill: %ld rounds, %lld values moved, slowest round %.0f ms, %s\n", rounds, moved,
	       slowest, shared->faults ? shared->fault : "no faults");
	return shared->faults ? 1 : 0;
}

int concurrent(double seconds, long cycles, const char *unload, const char *load)
{
	std::vector<pid_t> pids;
	for (int w = 0; w < writers; w++)
		pids.push_back(child([w] { writer(w, span); }));
	for (int r = 0; r < readers; r++)
		pids.push_back(child([] { reader(span, writers); }));
	auto end = Clock::now() + std::chrono::duration<double>(seconds);
	for (long c = 0; c < cycles; c++) {
		auto at = Clock::now() + std::chrono::duration<double>(seconds / static_cast<double>(cycles + 1));
		while (Clock::now() < at)
			usleep(1000);
		if (system(unload) != 0)
			fault("cycle %ld: the unload command failed", c);
		// Before the load, so every open that reaches the new queue sees it.
		shared->epoch++;
		if (system(load) != 0)
			fault("cycle %ld: the load command failed", c);
	}
	while (Clock::now() < end)
		usleep(1000);
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
	       static_cast<unsigned long long>(shared->eio.load()),
	       shared->faults ? shared->fault : "no faults");
	return shared->faults ? 1 : 0;
}

int balanced(long writes)
{
	std::vector<pid_t> pids;
	for (int p = 0; p < writers; p++)
		pids.push_back(child([writes] {
			int in = open(enqueue, O_WRONLY);
			int out = open(dequeue, O_RDONLY);
			char text[11];
			for (long i = 0; i < writes / writers; i++) {
				if (write(in, "7\0\0\0\0\0\0", 8) != 8 && errno == ENOSPC)
					shared->enospc++;
				if (read(out, text, sizeof text) != 0)
					fault("read %ld: not a value (errno %ld)", i, errno);
			}
			_exit(0);
		}));
	if (!reap(pids, std::chrono::minutes(10)))
		fault("a process did not end");
	if (shared->enospc)
		fault("%ld writes refused as if %d values filled the queue",
		      static_cast<long>(shared->enospc.load()), writers);
	conserved();
	printf("balanced: %d processes, %ld writes, %llu refused with ENOSPC, %s\n", writers,
	       writes / writers * writers, static_cast<unsigned long long>(shared->enospc.load()),
	       shared->faults ? shared->fault : "no faults");
	return shared->faults ? 1 : 0;
}

int held_fault(const char *unload)
{
	int uffd = static_cast<int>(syscall(SYS_userfaultfd, O_CLOEXEC));
	uffdio_api api{UFFD_API, 0, 0};
	long page = sysconf(_SC_PAGESIZE);
	void *area = mmap(nullptr, static_cast<std::size_t>(page), PROT_READ | PROT_WRITE,
			  MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
	uffdio_register reg{{reinterpret_cast<std::uintptr_t>(area), static_cast<std::uint64_t>(page)},
			    UFFDIO_REGISTER_MODE_MISSING, 0};
	if (uffd < 0 || ioctl(uffd, UFFDIO_API, &api) || area == MAP_FAILED ||
	    ioctl(uffd, UFFDIO_REGISTER, &reg)) {
		printf("fault: userfaultfd: %s\n", strerror(errno));
		return 1;
	}
	int in = open(enqueue, O_WRONLY);
	if (write(in, "5\0\0\0\0\0\0", 8) != 8)
		fault("the write before the fault failed");
	ssize_t held = -2;
	std::thread reader([&] {
		int fd = open(dequeue, O_RDONLY);
		held = read(fd, area, 11);
	});
	pollfd p{uffd, POLLIN, 0};
	uffd_msg msg{};
	if (poll(&p, 1, 2000) != 1 || read(uffd, &msg, sizeof msg) != sizeof msg)
		fault("the reader's buffer never faulted");

	std::vector<pid_t> pids{spawn({"sh", "-c", unload})};
	usleep(200'000);
	uffdio_zeropage zero{{reinterpret_cast<std::uintptr_t>(area), static_cast<std::uint64_t>(page)},
			     0, 0};
	if (ioctl(uffd, UFFDIO_ZEROPAGE, &zero))
		fault("UFFDIO_ZEROPAGE: errno %ld", errno);
	if (!reap(pids, std::chrono::seconds(2)))
		fault("the unload did not complete once the fault was resolved");
	reader.join();
	if (held != 0)
		fault("the held reader got %ld, not a value", held);
	printf("fault: an unload while a reader was held in a page fault, %s\n",
	       shared->faults ? shared->fault : "no faults");
	return shared->faults ? 1 : 0;
}

// Arms the n-th injection point of this thread's next calls.
void arm(int nth, int n)
{
	std::string text = std::to_string(n);
	if (pwrite(nth, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size()))
		fault("fail-nth: errno %ld", errno);
}

// Whether the armed failure was injected, then disarms. Reading the count
// passes one more injection point: a read that fails was the last one.
bool injected(int nth)
{
	char text[16] = {};
	bool fired = pread(nth, text, sizeof text - 1, 0) > 0 && text[0] == '0';
	(void)!pwrite(nth, "0", 1, 0);
	return fired;
}

int usercopy()
{
	int nth = open("/proc/thread-self/fail-nth", O_RDWR);
	int in = open(enqueue, O_WRONLY), out = open(dequeue, O_RDONLY);
	long page = sysconf(_SC_PAGESIZE);
	auto *buf = static_cast<char *>(mmap(nullptr, static_cast<std::size_t>(page),
					      PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
	if (nth < 0 || in < 0 || out < 0 || buf == MAP_FAILED) {
		printf("usercopy: fail-nth or an entry: %s\n", strerror(errno));
		return 1;
	}
	int st = -1;
	struct Call {
		std::string name;
		bool unmapped; // the buffer's page dropped first, so the copy faults
		std::function<ssize_t()> call;
	} calls[] = {
		{"write", false, [&] { return write(in, "3\0\0\0\0\0\0", 8); }},
		{"read", false, [&] { return read(out, buf, 11); }},
		{"read into an unmapped page", true, [&] { return read(out, buf, 11); }},
		{"status", false, [&] { return read(st, buf, static_cast<std::size_t>(page)); }},
	};
	long failed = 0, retried = 0;
	for (auto &c : calls) {
		for (int n = 1; n < 100 && !shared->faults; n++) {
			drain();
			if (write(in, "3\0\0\0\0\0\0", 8) != 8)
				fault((c.name + ": the write before failure %ld failed").c_str(), n);
			st = open("/proc/marnel/status", O_RDONLY);
			if (c.unmapped)
				madvise(buf, static_cast<std::size_t>(page), MADV_DONTNEED);
			auto before = status();
			arm(nth, n);
			ssize_t r = c.call();
			int error = errno;
			bool fired = injected(nth);
			auto after = status();
			close(st);
			if (after["accepted"] != after["delivered"] + after["depth"])
				fault((c.name + ", failure %ld: accepted != delivered + depth").c_str(), n);
			if (!fired) {
				if (r < 0)
					fault((c.name + ": errno %ld with no failure injected").c_str(), error);
				break;
			}
			if (r < 0 && error == EFAULT && after == before)
				failed++;
			else if (c.name.starts_with("read") && r == 0 &&
				 after["delivered"] == before["delivered"] + 1 && after["depth"] == 0)
				retried++;
			else
				fault((c.name + ", failure %ld: not EFAULT with the status as it was "
						 "(result %ld)").c_str(), n, r);
		}
	}
	drain();
	printf("usercopy: %ld injected failures gave EFAULT, %ld reads retried and delivered once, %s\n",
	       failed, retried, shared->faults ? shared->fault : "no faults");
	return shared->faults || failed == 0 ? 1 : 0;
}

int load_faults(const char *path, const char *params)
{
	int nth = open("/proc/thread-self/fail-nth", O_RDWR);
	int ko = open(path, O_RDONLY | O_CLOEXEC);
	if (nth < 0 || ko < 0) {
		printf("load-faults: %s: %s\n", nth < 0 ? "fail-nth" : path, strerror(errno));
		return 1;
	}
	std::map<int, long> errors;
	long passed = 0; // a failure the kernel worked around
	int n = 1;
	for (; n < 100'000 && !shared->faults; n++) {
		arm(nth, n);
		long r = syscall(SYS_finit_module, ko, params, 0);
		int error = errno;
		bool fired = injected(nth);
		if (r == 0) {
			if (access("/proc/marnel/status", R_OK) != 0)
				fault("load %ld: loaded without /proc/marnel", n);
			if (syscall(SYS_delete_module, "marnel", O_NONBLOCK) != 0)
				fault("load %ld: the module did not unload (errno %ld)", n, errno);
			if (!fired)
				break;
			passed++;
			continue;
		}
		if (!fired)
			fault("load %ld failed with errno %ld, no failure injected", n, error);
		errors[error]++;
		if (access("/proc/marnel", F_OK) == 0 || access("/sys/module/marnel", F_OK) == 0)
			fault("load %ld failed (errno %ld) and left the module or its entries", n, error);
	}
	std::string by;
	for (auto [e, count] : errors)
		by += " " + std::to_string(count) + " " + strerrorname_np(e);
	printf("load-faults: %d injection points, failed loads:%s, %ld loaded despite theirs, %s\n",
	       n - 1, by.c_str(), passed, shared->faults ? shared->fault : "no faults");
	return shared->faults ? 1 : 0;
}

} // namespace

int main(int argc, char *argv[])
{
	void *m = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS,
		       -1, 0);
	if (m == MAP_FAILED)
		return 2;
	shared = new (m) Shared{};
	for (auto &w : shared->first_seq)
		for (auto &e : w)
			e = UINT32_MAX;
	std::string mode = argc > 1 ? argv[1] : "";
	drain();
	if (mode == "kill" && argc == 3)
		return kill_rounds(atol(argv[2]));
	if (mode == "concurrent" && (argc == 3 || argc == 6))
		return concurrent(atof(argv[2]), argc == 6 ? atol(argv[3]) : 0,
				  argc == 6 ? argv[4] : "", argc == 6 ? argv[5] : "");
	if (mode == "balanced" && argc == 3)
		return balanced(atol(argv[2]));
	if (mode == "fault" && argc == 3)
		return held_fault(argv[2]);
	if (mode == "usercopy" && argc == 2)
		return usercopy();
	if (mode == "load-faults" && argc == 4)
		return load_faults(argv[2], argv[3]);
	fprintf(stderr, "usage: marnel-stress kill ROUNDS\n"
			"       marnel-stress concurrent SECONDS [CYCLES UNLOAD-COMMAND LOAD-COMMAND]\n"
			"       marnel-stress balanced WRITES\n"
			"       marnel-stress fault UNLOAD-COMMAND\n"
			"       marnel-stress usercopy\n"
			"       marnel-stress load-faults MODULE PARAMS\n");
	return 2;
}
