// marnel-bench: the measuring half of bench/run.sh, one number per run on
// standard output. Run it under `marnel-sim run` for the simulated driver;
// in the VM it meets the kernel module. The programs it starts inherit the
// environment, preload included.
//
// Times are CPU time (user and system) of the measured process, not wall
// time: on a machine busy with other work, wall time measures the others.
//
//   rate SECONDS syscw|status CMD...  records CMD writes per CPU second, run
//	for SECONDS, counted by its syscw in /proc/PID/io or by the driver
//   fill                    writes "1" until the queue refuses; prints the count
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
#include <fcntl.h>
#include <signal.h>
#include <sys/personality.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

pid_t child = -1; // a program that runs until stopped must not outlive a failure

[[noreturn]] void die(const char *what)
{
	fprintf(stderr, "marnel-bench: %s: %s\n", what, strerror(errno));
	if (child > 0)
		kill(child, SIGKILL);
	exit(1);
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

// Waits for the child; its CPU seconds.
double reap(pid_t pid, int *status = nullptr)
{
	int ignored;
	rusage ru{};
	if (wait4(pid, status ? status : &ignored, 0, &ru) != pid)
		die("wait4");
	return seconds_of(ru.ru_utime) + seconds_of(ru.ru_stime);
}

void nap(double seconds)
{
	timespec ts{static_cast<time_t>(seconds),
		    static_cast<long>((seconds - static_cast<double>(static_cast<time_t>(seconds))) * 1e9)};
	while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
	}
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

// Write calls the driver answered, whatever it answered.
long long driver_writes()
{
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
	printf("%.0f\n", static_cast<double>(c1 - c0) / cpu);
	return 0;
}

long fill(int fd)
{
	const char record[8] = "1";
	long n = 0;
	while (write(fd, record, sizeof record) == sizeof record)
		n++;
	if (errno != ENOSPC)
		die("fill");
	return n;
}

int time_of(char **argv)
{
	int status;
	double cpu = reap(start(argv), &status);
	printf("%.6f\n", cpu);
	return WIFEXITED(status) && WEXITSTATUS(status) == 127;
}

long drain(int fd)
{
	long n = 0;
	char text[12];
	for (;;) {
		if (read(fd, text, sizeof text) != 0)
			die("read");
		if (strcmp(text, "-1") == 0)
			return n;
		n++;
	}
}

int filldrain(long values)
{
	int in = open("/proc/marnel/enqueue", O_WRONLY);
	int out = open("/proc/marnel/dequeue", O_RDONLY);
	if (in < 0 || out < 0)
		die("open /proc/marnel");
	drain(out); // from empty
	long moved = 0;
	double t0 = cpu_now();
	while (moved < values) {
		long filled = fill(in);
		long drained = drain(out);
		if (filled == 0 || drained != filled) {
			fprintf(stderr, "marnel-bench: filled %ld, drained %ld\n", filled, drained);
			return 1;
		}
		moved += filled;
	}
	printf("%.2f\n", (cpu_now() - t0) * 1e9 / static_cast<double>(moved));
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
	printf("%.0f\n", n / cpu);
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
	printf("%lld\n", peak);
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
	printf("%lld %lld\n", r1, r2);
	return 0;
}

int zeros(long count)
{
	int fd = open("/dev/zero", O_RDONLY);
	if (fd < 0)
		die("/dev/zero");
	char byte;
	double t0 = cpu_now();
	for (long i = 0; i < count; i++)
		if (read(fd, &byte, 1) != 1)
			die("read /dev/zero");
	printf("%.6f\n", cpu_now() - t0);
	return 0;
}

int usage()
{
	fprintf(stderr, "usage: marnel-bench rate|fill|time|filldrain|turns|rss|growth|zeros ...\n");
	return 2;
}

} // namespace

int main(int argc, char *argv[])
{
	if (argc < 2)
		return usage();
	std::string what = argv[1];
	if (what == "rate" && argc > 4)
		return rate(atof(argv[2]), strcmp(argv[3], "syscw") == 0, argv + 4);
	if (what == "fill" && argc == 2) {
		int fd = open("/proc/marnel/enqueue", O_WRONLY);
		if (fd < 0)
			die("open /proc/marnel/enqueue");
		printf("%ld\n", fill(fd));
		return 0;
	}
	if (what == "time" && argc > 2)
		return time_of(argv + 2);
	if (what == "filldrain" && argc == 3)
		return filldrain(atol(argv[2]));
	if (what == "turns" && argc == 5)
		return turns(atof(argv[2]), atoi(argv[3]), argv[4]);
	if (what == "rss" && argc > 3)
		return rss(atof(argv[2]), argv + 3);
	if (what == "growth" && argc > 4)
		return growth(atof(argv[2]), atof(argv[3]), argv + 4);
	if (what == "zeros" && argc == 3)
		return zeros(atol(argv[2]));
	return usage();
}
