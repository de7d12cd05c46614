// What marnel-stress and the VM scenario's marnel-stress-faults share:
// the first fault found by any process of a run, the status counters where
// a driver has them, and starting and reaping processes with a deadline.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace stress {

using Clock = std::chrono::steady_clock;

inline const char *const enqueue = "/proc/marnel/enqueue";
inline const char *const dequeue = "/proc/marnel/dequeue";
inline const char *const status_entry = "/proc/marnel/status";

// In memory every process of a run shares: set up before the first fork.
struct Faults {
	std::atomic<std::uint64_t> count;
	char first[256];
};
inline Faults *faults;

inline void fault(const char *fmt, long a = 0, long b = 0)
{
	if (faults->count.fetch_add(1) == 0)
		snprintf(faults->first, sizeof faults->first, fmt, a, b);
}

inline const char *verdict()
{
	return faults->count ? faults->first : "no faults";
}

// The status entry's "key: value" lines; empty when the driver has none.
// With open and read: stdio's own opens are not all a preloaded driver's.
inline std::map<std::string, long long> status()
{
	std::map<std::string, long long> m;
	int fd = open(status_entry, O_RDONLY);
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

// Whether the driver publishes this project's counters, so that
// accepted = delivered + depth can be checked.
inline bool counters(const std::map<std::string, long long> &s)
{
	return s.contains("accepted") && s.contains("delivered") && s.contains("depth");
}

// Runs start from an empty queue, whatever an earlier run left.
inline void drain()
{
	int fd = open(dequeue, O_RDONLY);
	char text[12] = {};
	while (fd >= 0 && read(fd, text, 11) == 0 && strcmp(text, "-1") != 0) {
	}
	close(fd);
}

// A program by PATH, its standard output discarded.
inline pid_t spawn(const std::vector<std::string> &argv)
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

// Waits for pids until the deadline; whatever is left is killed, and
// the answer is false.
inline bool reap(std::vector<pid_t> &pids, Clock::duration limit)
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

} // namespace stress
