// marnel-bench: the measuring half of bench/run.sh, one number per run on
// standard output (its unit after it, where that is a terminal). Run it
// under `marnel-sim run` for the simulated driver; in the VM it meets the
// kernel module; a driver of your own answers it as well. The programs it
// starts inherit the environment, preload included. Only `rate ... status`
// reads the status entry (this project's counters).
//
// Times are CPU time (user and system) of the measured process, not wall
// time: on a machine busy with other work, wall time measures the others.
//
//   rate SECONDS syscw|status CMD...  records CMD writes per CPU second, run
//	for SECONDS, counted by its syscw in /proc/PID/io or by the driver
//   fill                    writes "1" until the queue refuses (any error);
//	prints the count
//   time CMD...             CPU seconds CMD takes
//   filldrain VALUES        fills and drains the queue until VALUES values
//	went through; prints CPU nanoseconds per value
//   turns SECONDS WRITERS PATH|-   write(2) calls per CPU second, over
//	WRITERS processes writing records to PATH at once for SECONDS of CPU
//	time in all (- : to no descriptor, a failing call)
//   rss SECONDS CMD...      CMD's peak resident set (KiB) after SECONDS
//   growth T1 T2 CMD...     CMD's resident set (KiB) at T1 and at T2 seconds
//   zeros COUNT             CPU seconds of COUNT 1-byte reads of /dev/zero:
//	what the preload library costs a descriptor that is not the driver's
//   rates [SECONDS]         a driver author's question: the driver's write
//	and read rates against the baseline of 1-byte reads of /dev/zero, as
//	ratios, over about SECONDS of CPU (default 3)
//
// Where it opens the entries itself and nothing serves them: status 4.
#include "cli.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/personality.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

pid_t child = -1; // a program that runs until stopped must not outlive a failure
kit::Progress *progress;

[[noreturn]] void die(const char *what)
{
	fprintf(stderr, "marnel-bench: %s: %s\n", what, strerror(errno));
	if (child > 0)
		kill(child, SIGKILL);
	exit(1);
}

// Filling and draining stop here, so that a driver that never refuses or
// never ends cannot keep a measurement going.
constexpr long fill_limit = 1048576;

int open_entry(const char *path, int flags)
{
	int fd = open(path, flags);
	if (fd < 0 && errno == ENOENT) {
		fprintf(stderr, "marnel-bench: nothing serves /proc/marnel: %s: %s\n", path,
			strerror(errno));
		exit(4);
	}
	if (fd < 0)
		die(path);
	return fd;
}

double cpu_now()
{
	timespec ts;
	clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
	return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double seconds_of(const timeval &tv)
{
	return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) * 1e-6;
}

// Waits for the child; its CPU seconds. shown: a progress line meanwhile.
double reap(pid_t pid, int *status = nullptr, bool shown = false)
{
	int ignored;
	rusage ru{};
	auto start = std::chrono::steady_clock::now();
	pid_t got;
	while ((got = wait4(pid, status ? status : &ignored, shown && progress->on() ? WNOHANG : 0,
			    &ru)) == 0) {
		progress->show("%s running for %.0f s", "the command",
			       std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
		usleep(50'000);
	}
	progress->clear();
	if (got != pid)
		die("wait4");
	return seconds_of(ru.ru_utime) + seconds_of(ru.ru_stime);
}

void sleep_for(double seconds)
{
	timespec ts{static_cast<time_t>(seconds),
		    static_cast<long>((seconds - static_cast<double>(static_cast<time_t>(seconds))) * 1e9)};
	while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
	}
}

// On a terminal, in steps that keep the progress line going.
void nap(double seconds)
{
	if (!progress->on())
		return sleep_for(seconds);
	auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
	for (double left = seconds; left > 0;
	     left = std::chrono::duration<double>(end - std::chrono::steady_clock::now()).count()) {
		progress->show("%.1f s left", left);
		sleep_for(std::min(left, 0.1));
	}
	progress->clear();
}

// The figure, and on a terminal what it counts.
void figure(const char *number, const char *unit)
{
	if (isatty(1) == 1)
		printf("%s %s\n", number, unit);
	else
		printf("%s\n", number);
}

void figure(double value, int decimals, const char *unit)
{
	char text[64];
	snprintf(text, sizeof text, "%.*f", decimals, value);
	figure(text, unit);
}

// fixed: the same addresses every run, for the resident set: with random
// ones, which pages a program touches varies by a tenth. Rates and times
// keep random addresses: fixed ones lay the stack out by the length of the
// paths and environment, which moved one program's rate by 5 % against
// another's in one folder and not in the next.
pid_t start(char **argv, bool fixed = false)
{
	pid_t pid = fork();
	if (pid < 0)
		die("fork");
	if (pid == 0) {
		if (fixed)
			personality(ADDR_NO_RANDOMIZE);
		execvp(argv[0], argv);
		fprintf(stderr, "marnel-bench: %s: %s\n", argv[0], strerror(errno));
		_exit(127);
	}
	child = pid;
	return pid;
}

// Stopped first, so what is read next is what it did in the CPU time that
// reap reports.
void pause_child(pid_t pid)
{
	int status;
	kill(pid, SIGSTOP);
	if (waitpid(pid, &status, WUNTRACED) != pid || !WIFSTOPPED(status))
		die("SIGSTOP");
}

double stop(pid_t pid)
{
	kill(pid, SIGKILL);
	return reap(pid);
}

// The sum of the values after "key:" for each key, from one read of a
// small text file (one snapshot). open and read, not stdio: the simulated
// driver answers only those.
long long fields(const char *path, std::initializer_list<const char *> keys)
{
	int fd = open(path, O_RDONLY);
	if (fd < 0)
		die(path);
	std::string text;
	char chunk[512];
	ssize_t n;
	while ((n = read(fd, chunk, sizeof chunk)) > 0)
		text.append(chunk, static_cast<size_t>(n));
	close(fd);
	text.insert(0, "\n");
	long long sum = 0;
	for (const char *key : keys) {
		std::string prefix = std::string("\n") + key + ":";
		size_t at = text.find(prefix);
		if (at == std::string::npos) {
			errno = ENOENT;
			die(key);
		}
		sum += atoll(text.c_str() + at + prefix.size());
	}
	return sum;
}

// Write calls the driver answered, whatever it answered: this project's
// counters.
long long driver_writes()
{
	if (access("/proc/marnel/status", R_OK) != 0)
		die("rate ... status counts by /proc/marnel/status (use syscw)");
	return fields("/proc/marnel/status", {"accepted", "refused_full", "refused_malformed"});
}

// The whole run, start included: the tool and its baseline start alike.
int rate(double seconds, bool syscw, char **argv)
{
	long long c0 = syscw ? 0 : driver_writes();
	pid_t pid = start(argv);
	nap(seconds);
	pause_child(pid);
	std::string io = "/proc/" + std::to_string(pid) + "/io";
	long long c1 = syscw ? fields(io.c_str(), {"syscw"}) : driver_writes();
	double cpu = stop(pid);
	figure(static_cast<double>(c1 - c0) / cpu, 0, "writes per CPU second");
	return 0;
}

// A full queue may refuse with any error.
long fill(int fd)
{
	const char record[8] = "1";
	long n = 0;
	while (n < fill_limit && write(fd, record, sizeof record) == sizeof record)
		n++;
	return n;
}

int time_of(char **argv)
{
	int status;
	double cpu = reap(start(argv), &status, true);
	figure(cpu, 6, "CPU seconds");
	return WIFEXITED(status) && WEXITSTATUS(status) == 127;
}

// The values read before the end marker, at most most of them.
long drain(int fd, long most = fill_limit)
{
	char text[12] = {};
	for (long n = 0; n <= most; n++) {
		if (read(fd, text, 11) != 0)
			die("read");
		if (strcmp(text, "-1") == 0)
			return n;
	}
	fprintf(stderr, "marnel-bench: no end marker after %ld values\n", most);
	exit(1);
}

int filldrain(long values)
{
	int in = open_entry("/proc/marnel/enqueue", O_WRONLY);
	int out = open_entry("/proc/marnel/dequeue", O_RDONLY);
	drain(out); // from empty
	long moved = 0;
	double t0 = cpu_now();
	while (moved < values) {
		progress->show("%ld of %ld values", moved, values);
		long filled = fill(in);
		long drained = drain(out, filled);
		if (filled == 0 || drained != filled) {
			fprintf(stderr, "marnel-bench: filled %ld, drained %ld\n", filled, drained);
			return 1;
		}
		moved += filled;
	}
	progress->clear();
	figure((cpu_now() - t0) * 1e9 / static_cast<double>(moved), 2, "CPU nanoseconds per value");
	return 0;
}

// The driver's writes and reads per CPU second of this process, each timed
// on its own in fill and drain turns, and as a ratio to 1-byte reads of
// /dev/zero, about the cheapest call a character device answers: machines
// differ ten-fold in what a system call costs, the ratios far less.
int rates(double seconds)
{
	int in = open_entry("/proc/marnel/enqueue", O_WRONLY);
	int out = open_entry("/proc/marnel/dequeue", O_RDONLY);
	int zero = open("/dev/zero", O_RDONLY);
	if (zero < 0)
		die("/dev/zero");
	long stale = drain(out);
	double share = seconds / 3, t0 = cpu_now(), base_cpu;
	long calls = 0;
	char byte;
	while ((base_cpu = cpu_now() - t0) < share) {
		progress->show("baseline: %.1f of %.1f CPU s", base_cpu, share);
		for (int i = 0; i < 4096; i++, calls++)
			if (read(zero, &byte, 1) != 1)
				die("read /dev/zero");
	}
	double write_cpu = 0, read_cpu = 0;
	long written = 0, delivered = 0, filled = 0, drained = 0;
	while (write_cpu + read_cpu < 2 * share) {
		progress->show("the driver: %.1f of %.1f CPU s", write_cpu + read_cpu, 2 * share);
		double a = cpu_now();
		filled = fill(in);
		double b = cpu_now();
		drained = drain(out, filled);
		double c = cpu_now();
		if (filled == 0 || drained != filled) {
			fprintf(stderr, "marnel-bench: filled %ld, drained %ld\n", filled, drained);
			return 1;
		}
		write_cpu += b - a;
		read_cpu += c - b;
		written += filled;
		delivered += drained;
	}
	progress->clear();
	double base = static_cast<double>(calls) / base_cpu;
	double w = static_cast<double>(written) / write_cpu;
	double r = static_cast<double>(delivered) / read_cpu;
	if (stale)
		printf("# drained %ld values queued before the run\n", stale);
	printf("baseline: %.0f 1-byte reads of /dev/zero per CPU second\n", base);
	printf("write: %.0f records per CPU second, ratio %.3f\n", w, w / base);
	printf("read: %.0f values per CPU second, ratio %.3f\n", r, r / base);
	printf("# %ld values through a queue of %ld in %.1f CPU s; ratios against the baseline\n",
	       written, filled, base_cpu + write_cpu + read_cpu);
	return 0;
}

volatile sig_atomic_t stopped;

void on_timer(int)
{
	stopped = 1;
}

// Each writer counts its own turns until its CPU timer ends them.
int turns(double seconds, int writers, const char *path)
{
	int go[2], results[2];
	if (pipe(go) != 0 || pipe(results) != 0)
		die("pipe");
	for (int i = 0; i < writers; i++) {
		pid_t pid = fork();
		if (pid < 0)
			die("fork");
		if (pid > 0)
			continue;
		int fd = strcmp(path, "-") == 0 ? -1 : open(path, O_WRONLY);
		if (fd < 0 && strcmp(path, "-") != 0)
			die(path);
		signal(SIGPROF, on_timer);
		char byte;
		close(go[1]);
		if (read(go[0], &byte, 1) != 0)
			_exit(1);
		double share = seconds / writers;
		itimerval timer{};
		timer.it_value.tv_sec = static_cast<time_t>(share);
		timer.it_value.tv_usec = static_cast<suseconds_t>(
			(share - static_cast<double>(timer.it_value.tv_sec)) * 1e6);
		const char record[8] = "42";
		long long n = 0;
		double t0 = cpu_now();
		setitimer(ITIMER_PROF, &timer, nullptr);
		while (!stopped) {
			(void)!write(fd, record, sizeof record);
			n++;
		}
		double calls[2] = {static_cast<double>(n), cpu_now() - t0};
		_exit(::write(results[1], calls, sizeof calls) == sizeof calls ? 0 : 1);
	}
	close(go[0]);
	close(go[1]); // every writer starts now
	close(results[1]);
	double n = 0, cpu = 0, calls[2];
	int got = 0;
	auto start = std::chrono::steady_clock::now();
	for (pollfd p{results[0], POLLIN, 0}; progress->on() && poll(&p, 1, 100) == 0;)
		progress->show("%d writers for %.0f s", writers,
			       std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
	progress->clear();
	while (read(results[0], calls, sizeof calls) == sizeof calls) {
		n += calls[0];
		cpu += calls[1];
		got++;
	}
	while (wait(nullptr) > 0) {
	}
	if (got != writers) {
		fprintf(stderr, "marnel-bench: %d of %d writers reported\n", got, writers);
		return 1;
	}
	figure(n / cpu, 0, "write calls per CPU second");
	return 0;
}

// VmHWM, not the child's ru_maxrss: that one also counts this program's
// own pages in the child before its exec.
int rss(double seconds, char **argv)
{
	pid_t pid = start(argv, true);
	std::string status = "/proc/" + std::to_string(pid) + "/status";
	nap(seconds);
	long long peak = fields(status.c_str(), {"VmHWM"});
	stop(pid);
	figure(static_cast<double>(peak), 0, "KiB at the peak");
	return 0;
}

int growth(double t1, double t2, char **argv)
{
	pid_t pid = start(argv, true);
	std::string status = "/proc/" + std::to_string(pid) + "/status";
	nap(t1);
	long long r1 = fields(status.c_str(), {"VmRSS"});
	nap(t2 - t1);
	long long r2 = fields(status.c_str(), {"VmRSS"});
	stop(pid);
	figure((std::to_string(r1) + " " + std::to_string(r2)).c_str(), "KiB then and later");
	return 0;
}

int zeros(long count)
{
	int fd = open("/dev/zero", O_RDONLY);
	if (fd < 0)
		die("/dev/zero");
	char byte;
	double t0 = cpu_now();
	for (long i = 0; i < count; i++) {
		if (read(fd, &byte, 1) != 1)
			die("read /dev/zero");
		if (i % 65536 == 0)
			progress->show("%ld of %ld reads", i, count);
	}
	progress->clear();
	figure(cpu_now() - t0, 6, "CPU seconds");
	return 0;
}

const char help[] =
	"usage: marnel-bench rate SECONDS syscw|status CMD...\n"
	"       marnel-bench fill\n"
	"       marnel-bench time CMD...\n"
	"       marnel-bench filldrain VALUES\n"
	"       marnel-bench turns SECONDS WRITERS PATH|-\n"
	"       marnel-bench rss SECONDS CMD...\n"
	"       marnel-bench growth T1 T2 CMD...\n"
	"       marnel-bench zeros COUNT\n"
	"       marnel-bench rates [SECONDS]\n"
	"       marnel-bench --help | --version\n"
	"\n"
	"Measures one figure against whatever serves /proc/marnel and prints it\n"
	"alone on standard output (its unit after it on a terminal). Times are\n"
	"CPU time of the measured process.\n"
	"\n"
	"  rate       CMD's writes per CPU second over SECONDS: counted by its\n"
	"             syscw in /proc/PID/io, or by the driver's status counters\n"
	"             (accepted, refused_full, refused_malformed)\n"
	"  fill       writes records until the queue refuses one; the count\n"
	"  time       CPU seconds CMD takes\n"
	"  filldrain  fills and drains the queue until VALUES values went\n"
	"             through; CPU nanoseconds per value\n"
	"  turns      write calls per CPU second of WRITERS processes writing\n"
	"             records to PATH (- : a call that fails) for SECONDS of CPU\n"
	"  rss        CMD's peak resident set (KiB) after SECONDS\n"
	"  growth     CMD's resident set (KiB) at T1 and at T2 seconds\n"
	"  zeros      CPU seconds of COUNT 1-byte reads of /dev/zero\n"
	"  rates      the driver's write and read rates against 1-byte reads of\n"
	"             /dev/zero, as ratios, over about SECONDS of CPU (default 3)\n"
	"\n"
	"Exit status: 0 measured, 1 the measurement failed, 2 bad usage, 4 nothing\n"
	"serves /proc/marnel.\n";

} // namespace

int main(int argc, char *argv[])
{
	kit::options(argc, argv, "marnel-bench", help);
	kit::Progress shown;
	progress = &shown;
	if (argc < 2)
		kit::usage_error("a measurement is needed: rates, rate, fill, time, filldrain, turns, rss, growth or zeros");
	std::string what = argv[1];
	auto needs = [&](bool ok, const char *args) {
		if (!ok)
			kit::usage_error("%s takes %s", what.c_str(), args);
	};
	if (what == "rate") {
		needs(argc > 4, "SECONDS syscw|status CMD...");
		if (strcmp(argv[3], "syscw") != 0 && strcmp(argv[3], "status") != 0)
			kit::usage_error("rate counts by syscw or status, not '%s'", argv[3]);
		return rate(kit::seconds("SECONDS", argv[2]), strcmp(argv[3], "syscw") == 0, argv + 4);
	}
	if (what == "fill") {
		needs(argc == 2, "nothing");
		int fd = open_entry("/proc/marnel/enqueue", O_WRONLY);
		figure(std::to_string(fill(fd)).c_str(), "values taken before a refusal");
		return 0;
	}
	if (what == "time") {
		needs(argc > 2, "CMD...");
		return time_of(argv + 2);
	}
	if (what == "filldrain") {
		needs(argc == 3, "VALUES");
		return filldrain(kit::whole("VALUES", argv[2], 1));
	}
	if (what == "turns") {
		needs(argc == 5, "SECONDS WRITERS PATH|-");
		return turns(kit::seconds("SECONDS", argv[2]),
			     static_cast<int>(kit::whole("WRITERS", argv[3], 1, 1024)), argv[4]);
	}
	if (what == "rss") {
		needs(argc > 3, "SECONDS CMD...");
		return rss(kit::seconds("SECONDS", argv[2]), argv + 3);
	}
	if (what == "growth") {
		needs(argc > 4, "T1 T2 CMD...");
		double t1 = kit::seconds("T1", argv[2]), t2 = kit::seconds("T2", argv[3]);
		if (t2 < t1)
			kit::usage_error("T2 must not come before T1");
		return growth(t1, t2, argv + 4);
	}
	if (what == "rates") {
		needs(argc <= 3, "at most SECONDS");
		return rates(argc == 3 ? kit::seconds("SECONDS", argv[2]) : 3);
	}
	if (what == "zeros") {
		needs(argc == 3, "COUNT");
		return zeros(kit::whole("COUNT", argv[2], 1));
	}
	kit::usage_error("unknown measurement '%s'", argv[1]);
}
