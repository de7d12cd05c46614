#include "support.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

extern char **environ;

namespace marnel::test {

// Forks and execs c with out and err as its standard output and error.
static pid_t launch(const Command &c, int out, int err)
{
	std::vector<std::string> env;
	for (char **e = environ; *e; ++e)
		env.emplace_back(*e);
	for (const auto &kv : c.env) {
		std::string name = kv.substr(0, kv.find('=') + 1);
		std::erase_if(env, [&](const std::string &e) { return e.starts_with(name); });
		env.push_back(kv);
	}
	std::vector<char *> argv, envp;
	for (const auto &a : c.argv)
		argv.push_back(const_cast<char *>(a.c_str()));
	argv.push_back(nullptr);
	for (const auto &e : env)
		envp.push_back(const_cast<char *>(e.c_str()));
	envp.push_back(nullptr);

	pid_t pid = fork();
	if (pid == 0) {
		// Its own process group, signalled as a whole, as a terminal
		// signals the foreground job.
		setpgid(0, 0);
		dup2(out, 1);
		dup2(err, 2);
		int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
		dup2(in, 0);
		// Default dispositions, whatever the test runner inherited.
		signal(SIGINT, SIG_DFL);
		signal(SIGPIPE, SIG_DFL);
		sigset_t none;
		sigemptyset(&none);
		sigprocmask(SIG_SETMASK, &none, nullptr);
		// Only 0, 1 and 2, as from a shell.
		close_range(3, ~0U, 0);
		execve(argv[0], argv.data(), envp.data());
		_exit(127);
	}
	setpgid(pid, pid); // also here, so no signal can race the child's own
	return pid;
}

static void reap(pid_t pid, Outcome &o)
{
	int ws = 0;
	while (waitpid(pid, &ws, 0) < 0 && errno == EINTR) {
	}
	o.exited = WIFEXITED(ws);
	o.status = o.exited ? WEXITSTATUS(ws) : -1;
	o.signal = WIFSIGNALED(ws) ? WTERMSIG(ws) : 0;
}

pid_t spawn(const Command &c, const std::string &out)
{
	int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
	if (fd < 0)
		throw std::runtime_error("open " + out);
	pid_t pid = launch(c, fd, fd);
	close(fd);
	return pid;
}

Outcome finish(pid_t pid)
{
	Outcome o;
	reap(pid, o);
	return o;
}

double slowdown()
{
	const char *env = getenv("MARNEL_TEST_SLOWDOWN");
	double factor = env ? atof(env) : 1;
	return factor >= 1 ? factor : 1;
}

Outcome run(const Command &c)
{
	int out[2], err[2];
	if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
		throw std::runtime_error("pipe");
	pid_t pid = launch(c, out[1], err[1]);
	close(out[1]);
	close(err[1]);

	using clock = std::chrono::steady_clock;
	auto start = clock::now();
	bool stopped = false;
	Outcome o;
	pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
	int open_pipes = 2;
	while (open_pipes > 0) {
		double elapsed = std::chrono::duration<double>(clock::now() - start).count();
		if (!stopped && ((c.stop_after > 0 && elapsed >= c.stop_after * slowdown()) ||
				 (c.stop_when && c.stop_when()))) {
			kill(-pid, c.stop_signal);
			stopped = true;
		}
		if (elapsed > (c.stop_after + 60) * slowdown()) // a hung tool must not hang the suite
			kill(-pid, SIGKILL);
		if (poll(fds, 2, 10) < 0)
			continue;
		for (int i = 0; i < 2; i++) {
			if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP)))
				continue;
			char buf[4096];
			ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
			if (n > 0) {
				(i == 0 ? o.out : o.err).append(buf, static_cast<size_t>(n));
			} else {
				close(fds[i].fd);
				fds[i].fd = -1;
				open_pipes--;
			}
		}
	}
	reap(pid, o);
	return o;
}

SimDriver::SimDriver()
{
	std::string tmpl = (std::filesystem::temp_directory_path() / "marnel-test.XXXXXX").string();
	if (!mkdtemp(tmpl.data()))
		throw std::runtime_error("mkdtemp");
	dir_ = tmpl;
}

SimDriver::~SimDriver()
{
	std::error_code ec;
	std::filesystem::remove_all(dir_, ec);
}

Outcome SimDriver::sim(std::vector<std::string> args) const
{
	args.insert(args.begin(), MARNEL_SIM);
	return marnel::test::run({args, {"MARNEL_SIM_DIR=" + dir_}});
}

void SimDriver::load(unsigned capacity) const
{
	Outcome o = sim({"load", "--capacity", std::to_string(capacity)});
	ASSERT_EQ(o.status, 0) << o.err;
}

std::map<std::string, long long> SimDriver::status() const
{
	Outcome o = sim({"status"});
	EXPECT_EQ(o.status, 0) << o.err;
	return parse_status(o.out);
}

std::map<std::string, long long> parse_status(const std::string &text)
{
	std::map<std::string, long long> m;
	std::istringstream in(text);
	std::string key, value;
	// Counters are 64-bit unsigned; past LLONG_MAX they read negative.
	while (in >> key >> value)
		if (key != "profile:") // marnel-sim status names the profile last
			m[key.substr(0, key.size() - 1)] =
			static_cast<long long>(std::stoull(value));
	return m;
}

Outcome SimDriver::run(std::vector<std::string> argv, double stop_after,
		       std::vector<std::string> env, const std::string &trace_name) const
{
	return run_until({std::move(argv), std::move(env), stop_after}, trace_name);
}

Outcome SimDriver::run_until(Command c, const std::string &trace_name) const
{
	c.argv.insert(c.argv.begin(), {MARNEL_SIM, "run", "--"});
	c.env.push_back("MARNEL_SIM_DIR=" + dir_);
	c.env.push_back("MARNEL_SIM_TRACE=" + dir_ + "/" + trace_name);
	return marnel::test::run(c);
}

std::vector<std::string> SimDriver::trace(const std::string &name) const
{
	std::ifstream in(dir_ + "/" + name);
	std::vector<std::string> lines;
	for (std::string line; std::getline(in, line);)
		lines.push_back(line);
	return lines;
}

std::vector<std::string> lines_starting(const std::vector<std::string> &lines,
					const std::string &prefix)
{
	std::vector<std::string> found;
	for (const auto &l : lines)
		if (l.starts_with(prefix))
			found.push_back(l);
	return found;
}

} // namespace marnel::test
