// Running the real binaries: their exact output, exit status and, through
// the simulated driver's trace, the calls they make.
#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace marnel::test {

struct Outcome {
	bool exited = false;
	int status = -1; // exit status when exited
	int signal = 0;  // the signal that ended it otherwise
	std::string out;
	std::string err;
};

struct Command {
	std::vector<std::string> argv;
	std::vector<std::string> env;   // NAME=VALUE, added to this process's
	double stop_after = 0;          // seconds; 0 waits for it to end
	int stop_signal = 2;            // SIGINT, as from a terminal
	std::function<bool()> stop_when = {}; // polled; true stops it as stop_after does
};

Outcome run(const Command &c);
// How many times slower than a native run this machine runs the binaries
// (MARNEL_TEST_SLOWDOWN: an emulator's runs): stop_after and the tests'
// time bounds are stretched by it.
double slowdown();
// Starts c in the background, its output appended to the file `out`;
// finish() waits for it (the Outcome's out and err stay empty).
pid_t spawn(const Command &c, const std::string &out);
Outcome finish(pid_t pid);

// A private simulated driver: its own MARNEL_SIM_DIR, unloaded and removed
// at the end, so tests can run in parallel.
class SimDriver {
public:
	SimDriver();
	~SimDriver();
	SimDriver(const SimDriver &) = delete;
	SimDriver &operator=(const SimDriver &) = delete;

	Outcome sim(std::vector<std::string> args) const;
	void load(unsigned capacity = 1024) const;
	std::map<std::string, long long> status() const;
	// Runs a command with the driver preloaded, tracing into trace_name.
	Outcome run(std::vector<std::string> argv, double stop_after = 0,
		    std::vector<std::string> env = {},
		    const std::string &trace_name = "trace") const;
	// The same for a whole Command, its environment and its stops.
	Outcome run_until(Command c, const std::string &trace_name = "trace") const;
	std::vector<std::string> trace(const std::string &name = "trace") const;
	const std::string &dir() const { return dir_; }

private:
	std::string dir_;
};

// "key: value" lines, as status prints them.
std::map<std::string, long long> parse_status(const std::string &text);

std::vector<std::string> lines_starting(const std::vector<std::string> &lines,
					const std::string &prefix);

} // namespace marnel::test
