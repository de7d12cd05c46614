// marnel-conformance: checks whatever serves /proc/marnel against the queue
// driver contract, clause by clause, and reports in KTAP as the kernel's own
// test programs do. Every case runs in a child process of its own, bounded
// in time, so a driver that blocks or loops fails the clause it breaks and
// the rest still run. The core level touches nothing but the two entries.
#include <fcntl.h>
#include <fnmatch.h>
#include <linux/userfaultfd.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

extern "C" {
int __open_2(const char *path, int flags);
int __open64_2(const char *path, int flags);
int __openat_2(int dirfd, const char *path, int flags);
int __openat64_2(int dirfd, const char *path, int flags);
ssize_t __read_chk(int fd, void *buf, size_t nbytes, size_t buflen);
}

namespace {

const char *const enqueue_path = "/proc/marnel/enqueue";
const char *const dequeue_path = "/proc/marnel/dequeue";
const char *const status_path = "/proc/marnel/status";
// Filling and draining stop here: past it a capacity is not measured.
constexpr long fill_limit = 1048576;
constexpr int skip_status = 3;

double now()
{
	timespec ts{};
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::string shown(const std::string &s)
{
	std::string out = "\"";
	for (char ch : s) {
		auto c = static_cast<unsigned char>(ch);
		char b[8];
		if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\') {
			out += static_cast<char>(c);
		} else {
			snprintf(b, sizeof b, "\\x%02x", c);
			out += b;
		}
	}
	return out + "\"";
}

// What a case has to work with, and where its findings go: each line is
// written to the parent at once, so a case that hangs still told what it
// saw.
struct Ctx {
	int report = -1;
	long capacity = 0; // 0: not measured
	double timeout = 10;
	bool failed = false;
	int lines = 0;

	void say(const std::string &line)
	{
		if (++lines > 6)
			return;
		std::string l = (lines == 6 ? std::string("... more") : line) + "\n";
		(void)!write(report, l.data(), l.size());
	}
	__attribute__((format(printf, 2, 3))) void fail(const char *fmt, ...)
	{
		char b[512];
		va_list ap;
		va_start(ap, fmt);
		vsnprintf(b, sizeof b, fmt, ap);
		va_end(ap);
		failed = true;
		say(b);
	}
	__attribute__((format(printf, 2, 3))) void note(const char *fmt, ...)
	{
		char b[512];
		va_list ap;
		va_start(ap, fmt);
		vsnprintf(b, sizeof b, fmt, ap);
		va_end(ap);
		say(b);
	}
	[[noreturn]] void skip(const std::string &why)
	{
		std::string l = "\x01" + why + "\n";
		(void)!write(report, l.data(), l.size());
		_exit(skip_status);
	}
	// Values a case writes to find what needs capacity: all of it, within
	// reason, else a small count.
	long room(long most) const { return capacity > 0 ? std::min(capacity, most) : 8; }
};

struct Res {
	ssize_t ret;
	int err;
};

std::string errname(int e)
{
	if (!e)
		return "no error";
	const char *name = strerrorname_np(e);
	return name ? name : std::to_string(e);
}

std::string said(Res r)
{
	return r.ret < 0 ? "-1 (" + errname(r.err) + ")" : std::to_string(r.ret);
}

int must_open(Ctx &c, const char *path, int flags)
{
	int fd = open(path, flags);
	if (fd < 0) {
		c.fail("open %s: %s", path, strerror(errno));
		_exit(1);
	}
	return fd;
}

Res put(int fd, const std::string &text, size_t count = 8)
{
	char record[64] = {};
	memcpy(record, text.data(), std::min(text.size(), sizeof record));
	errno = 0;
	ssize_t r = write(fd, record, count);
	return {r, r < 0 ? errno : 0};
}

// One read; `text` is what it placed, up to a NUL or the count.
Res get(int fd, std::string &text, size_t count = 11, char fill = '\0')
{
	std::string buf(count, fill);
	errno = 0;
	ssize_t r = read(fd, buf.data(), count);
	text = r < 0 ? "" : buf.substr(0, buf.find('\0'));
	return {r, r < 0 ? errno : 0};
}

// Reads until the end marker, at most `most` reads; false if it never came.
bool drain(int fd, long most = fill_limit)
{
	std::string t;
	for (long i = 0; i < most; i++) {
		if (get(fd, t).ret < 0)
			return false;
		if (t == "-1")
			return true;
	}
	return false;
}

// The values a case reads back: until the end marker, at most `most`
// reads. A read that places text counts whatever it returns: whether it
// reports 0 is one clause's business, not every clause's.
std::vector<std::string> take_all(int fd, long most)
{
	std::vector<std::string> got;
	std::string t;
	for (long i = 0; i < most; i++) {
		if (get(fd, t).ret < 0 || t == "-1")
			break;
		got.push_back(t);
	}
	return got;
}

// --- the core: what every queue driver must do ---------------------------
//
// The survey left the queue empty, and each case reads back just the values
// it queued: a case reads the empty queue only where that is its clause, so
// a driver whose empty reads block fails that clause alone.

void entries_open(Ctx &c)
{
	for (auto [path, flags, name] : {std::tuple{enqueue_path, O_WRONLY, "O_WRONLY"},
					 std::tuple{dequeue_path, O_RDONLY, "O_RDONLY"}}) {
		int fd = open(path, flags);
		if (fd < 0)
			c.fail("open %s %s: %s", path, name, strerror(errno));
		else
			close(fd);
	}
}

void write_accepts_record(Ctx &c)
{
	int in = must_open(c, enqueue_path, O_WRONLY), out = must_open(c, dequeue_path, O_RDONLY);
	std::string t;
	for (const char *v : {"0", "7", "42", "-5", "999", "-1234567", "1234567", "12345678",
			      "99999999", "-9999999"}) {
		Res r = put(in, v);
		if (r.ret != 8)
			c.fail("write of the record %s (8 bytes): expected 8, the driver answered %s",
			       shown(v).c_str(), said(r).c_str());
		else
			get(out, t);
	}
}

void write_queues(Ctx &c)
{
	int in = must_open(c, enqueue_path, O_WRONLY), out = must_open(c, dequeue_path, O_RDONLY);
	long n = c.room(64), queued = 0;
	for (long i = 0; i < n; i++)
		queued += put(in, std::to_string(100 + i)).ret == 8;
	auto got = take_all(out, queued);
	if (static_cast<long>(got.size()) < queued)
		c.fail("%ld writes reported success, %zu values came out before -1", queued, got.size());
}

void read_reports_zero(Ctx &c)
{
	int in = must_open(c, enqueue_path, O_WRONLY), out = must_open(c, dequeue_path, O_RDONLY);
	std::string t;
	for (const char *v : {"42", "-7", "12345678"}) {
		if (put(in, v).ret != 8)
			c.skip(std::string("the driver did not take ") + v);
		Res r = get(out, t);
		if (r.ret != 0)
			c.fail("a read of 11 bytes that delivered %s: expected 0, the driver answered %s",
			       shown(t).c_str(), said(r).c_str());
	}
}

// The text, then a byte that is not a digit, in a buffer of 11 '7's.
void expect_text(Ctx &c, const std::string &want, const std::string &buf)
{
	bool ended = want.size() == 11 || !isdigit(static_cast<unsigned char>(buf[want.size()]));
	if (buf.compare(0, want.size(), want) != 0 || !ended)
		c.fail("expected the text %s and then a byte that is not a digit, in a buffer of 11 "
		       "'7's the driver placed %s",
		       shown(want).c_str(), shown(buf).c_str());
}

void read_places_text(Ctx &c)
{
	int in = must_open(c, enqueue_path, O_WRONLY), out = must_open(c, dequeue_path, O_RDONLY);
	for (const std::string v : {"5", "-42", "12345678", "-9999999"}) {
		if (put(in, v).ret != 8)
			c.skip("the driver did not take " + v);
		std::string buf(11, '7');
		if (read(out, buf.data(), 11) < 0)
			c.fail("read of %s: %s", v.c_str(), strerror(errno));
		else if (buf.rfind(v, 0) == 0) // another value: core.value-unchanged's
			expect_text(c, v, buf);
	}
}

// Every value that comes out is one that went in; a value's neighbour
// (v + 1, v - 1) never did, so a driver that shifts values shows.
void value_unchanged(Ctx &c)
{
	int in = must_open(c, enqueue_path, O_WRONLY), out = must_open(c, dequeue_path, O_RDONLY);
	const std::vector<std::string> values = {"0",       "42",       "-42",      "1000",
						 "65536",   "-1234567", "1234567",  "12345678",
						 "99999999", "-9999999"};
	std::map<std::string, int> written;
	size_t batch = static_cast<size_t>(c.room(10)), compared = 0;
	for (size_t at = 0; at < values.size(); at += batch) {
		long queued = 0;
		for (size_t i = at; i < std::min(at + batch, values.size()); i++)
			if (put(in, values[i]).ret == 8)
				written[values[i]]++, queued++;
		for (auto &t : take_all(out, queued)) {
			compared++;
			if (!written.count(t))
				c.fail("the driver delivered %s, which was never written", shown(t).c_str());
		}
	}
	if (!compared)
		c.skip("no value written came out: see core.write-queues");
}

// Distinct values, written, then read back: the order of those that came
// out as written.
void fifo_order(Ctx &c)
{
	int in = must_open(c, enqueue_path, O_WRONLY), out = must_open(c, dequeue_path, O_RDONLY);
	long n = c.room(4096);
	std::unordered_map<std::string, long> index;
	for (long i = 0; i < n; i++) {
		std::string v = std::to_string(i * 7 + 3);
		if (put(in, v).ret == 8)
			index[v] = i;
	}
	auto got = take_all(out, static_cast<long>(index.size()));
	long last = -1, seen = 0;
	for (size_t k = 0; k < got.size(); k++) {
		auto it = index.find(got[k]);
		if (it == index.end())
			continue;
		seen++;
		if (it->second < last) {
			c.fail("read %zu of %zu delivered %s, written as value %ld of %ld, after "
			       "value %ld had come out",
			       k + 1, got.size(), shown(got[k]).c_str(), it->second + 1, n, last + 1);
			return;
		}
		last = it->second;
	}
	if (c.capacity == 1)
		c.skip("a queue of capacity 1 has no order to see");
	if (seen < 2)
		c.skip("fewer than two values came out as written: see core.value-unchanged");
}

void delivered_once(Ctx &c)
{
	int in = must_open(c, enqueue_path, O_WRONLY), out = must_open(c, dequeue_path, O_RDONLY);
	long n = c.room(256), queued = 0;
	for (long i = 0; i < n; i++)
		queued += put(in, std::to_string(5000 + i)).ret == 8;
	std::map<std::string, int> times;
	for (auto &t : take_all(out, queued))
		if (++times[t] == 2)
			c.fail("%s came out twice", shown(t).c_str());
}

void empty_end_marker(Ctx &c)
{
	int in = must_open(c, enqueue_path, O_WRONLY), out = must_open(c, dequeue_path, O_RDONLY);
	long most = c.capacity > 0 ? c.capacity + 16 : fill_limit;
	if (!drain(out, most)) {
		c.fail("%ld reads and the driver had not answered -1", most);
		return;
	}
	for (int i = 0; i < 3; i++) {
		std::string buf(11, '7');
		double t0 = now();
		errno = 0;
		ssize_t r = read(out, buf.data(), 11);
		double took = now() - t0;
		if (r != 0)
			c.fail("read %d of the empty queue: expected 0, the driver answered %s", i + 1,
			       said({r, errno}).c_str());
		expect_text(c, "-1", buf);
		if (took > 1)
			c.fail("read %d of the empty queue took %.1f s", i + 1, took);
	}
	// Two values, so that a driver that loses one (core.write-queues') still
	// has one to give.
	int queued = (put(in, "31").ret == 8) + (put(in, "32").ret == 8);
	auto got = take_all(out, queued);
	if (queued && got.empty())
		c.fail("after the end markers, %d values written: the driver had none to deliver",
		       queued);
}

void full_returns(Ctx &c)
{
	int in = must_open(c, enqueue_path, O_WRONLY), out = must_open(c, dequeue_path, O_RDONLY);
	long n = 0;
	Res r{};
	while (n < fill_limit && (r = put(in, "1")).ret == 8)
		n++;
	if (n == fill_limit) {
		take_all(out, n);
		c.skip("the queue took 1048576 values: its capacity is not measured");
	}
	long more = 0;
	for (int i = 0; i < 3; i++) {
		double t0 = now();
		r = put(in, "2");
		if (now() - t0 > 1)
			c.fail("a write to the full queue took %.1f s", now() - t0);
		more += r.ret == 8;
	}
	auto got = take_all(out, n + more);
	if (more && static_cast<long>(got.size()) < n + more)
		c.fail("%ld writes to the full queue reported success, yet only %zu of %ld values "
		       "came out",
		       more, got.size(), n + more);
}

// Two writer and two reader processes: nothing lost, invented or repeated,
// and each writer's values in the order it wrote them.
void concurrent(Ctx &c)
{
	constexpr int writers = 2, readers = 2, per = 2000;
	struct Shared {
		std::atomic<int> taken;
		std::atomic<int> done_writing;
		int queued[writers];
		int got[readers][writers * per];
		int count[readers];
	};
	auto *sh = static_cast<Shared *>(mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE,
					      MAP_SHARED | MAP_ANONYMOUS, -1, 0));
	if (sh == MAP_FAILED)
		c.skip("no shared memory");
	double deadline = now() + c.timeout * 0.6;
	std::vector<pid_t> writing, reading;
	for (int w = 0; w < writers; w++) {
		pid_t p = fork();
		if (p == 0) {
			int fd = open(enqueue_path, O_WRONLY);
			int i = 0;
			while (i < per && now() < deadline)
				if (put(fd, std::to_string((w + 1) * 100000 + i)).ret == 8)
					i++;
				else
					sched_yield();
			sh->queued[w] = i;
			sh->done_writing++;
			_exit(0);
		}
		writing.push_back(p);
	}
	auto all_taken = [sh] {
		return sh->done_writing == writers && sh->taken >= sh->queued[0] + sh->queued[1];
	};
	for (int rd = 0; rd < readers; rd++) {
		pid_t p = fork();
		if (p == 0) {
			int fd = open(dequeue_path, O_RDONLY);
			std::string t;
			while (!all_taken() && sh->count[rd] < writers * per) {
				if (get(fd, t).ret < 0 || t == "-1") {
					sched_yield();
					continue;
				}
				sh->got[rd][sh->count[rd]++] = atoi(t.c_str());
				sh->taken++;
			}
			_exit(0);
		}
		reading.push_back(p);
	}
	for (pid_t p : writing)
		waitpid(p, nullptr, 0);
	// A reader may wait in a read of the empty queue: that is
	// core.empty-end-marker's to judge, not this case's.
	while (!all_taken() && now() < deadline + c.timeout * 0.2)
		usleep(1000);
	for (pid_t p : reading) {
		kill(p, SIGKILL);
		waitpid(p, nullptr, 0);
	}
	if (!all_taken())
		c.fail("the writers queued %d values, the readers took %d", sh->queued[0] + sh->queued[1],
		       sh->taken.load());
	std::map<int, int> times;
	for (int rd = 0; rd < readers; rd++) {
		int last[writers] = {-1, -1};
		for (int k = 0; k < sh->count[rd]; k++) {
			int v = sh->got[rd][k], w = v / 100000 - 1, i = v % 100000;
			times[v]++;
			if (w < 0 || w >= writers || i >= sh->queued[w]) {
				c.fail("a reader got %d, which no writer queued", v);
				continue;
			}
			if (i < last[w])
				c.fail("a reader got writer %d's value %d after its value %d", w + 1, i,
				       last[w]);
			last[w] = i;
		}
	}
	for (int w = 0; w < writers; w++) {
		if (sh->queued[w] < per)
			c.note("writer %d queued %d of %d values in time", w + 1, sh->queued[w], per);
		for (int i = 0; i < sh->queued[w]; i++) {
			int v = (w + 1) * 100000 + i, k = times.count(v) ? times[v] : 0;
			if (k != 1)
				c.fail("writer %d's value %d came out %d times", w + 1, i, k);
		}
	}
}

// --- the reference level: what this project's drivers also promise -------

struct Status {
	std::map<std::string, long long> v;
	long long operator[](const char *k) const { return v.count(k) ? v.at(k) : -1; }
};

Status status(Ctx &c)
{
	int fd = open(status_path, O_RDONLY);
	if (fd < 0) {
		c.fail("open %s: %s", status_path, strerror(errno));
		_exit(1);
	}
	std::string text;
	char buf[64]; // small, so the text takes several reads
	ssize_t n;
	while ((n = read(fd, buf, sizeof buf)) > 0)
		text.append(buf, static_cast<size_t>(n));
	close(fd);
	Status s;
	char key[64];
	long long value;
	for (const char *p = text.c_str(); sscanf(p, "%63[a-z_]: %lld", key, &value) == 2;) {
		s.v[key] = value;
		p = strchr(p, '\n');
		if (!p++)
			break;
	}
	return s;
}

void expect_err(Ctx &c, const std::string &what, Res r, ssize_t ret, int err)
{
	if (r.ret != ret || (ret < 0 && r.err != err))
		c.fail("%s: expected %s, the driver answered %s", what.c_str(),
		       said({ret, err}).c_str(), said(r).c_str());
}

void open_direction(Ctx &c)
{
	struct {
		const char *path;
		int flags;
		int error;
	} cases[] = {
		{enqueue_path, O_RDONLY, EACCES}, {enqueue_path, O_RDWR, EACCES},
		{dequeue_path, O_WRONLY, EACCES}, {dequeue_path, O_RDWR, EACCES},
		{status_path, O_RDONLY, 0},       {status_path, O_WRONLY, EACCES},
		{"/proc/marnel/nothing", O_RDONLY, ENOENT},
	};
	for (auto &k : cases) {
		errno = 0;
		int fd = open(k.path, k.flags);
		Res r{fd < 0 ? -1 : 0, fd < 0 ? errno : 0};
		expect_err(c, std::string("open ") + k.path + " flags " + std::to_string(k.flags), r,
			   k.error ? -1 : 0, k.error);
		if (fd >= 0)
			close(fd);
	}
}

void libc_opens(Ctx &c)
{
	using Opener = int (*)(const char *, int);
	const std::pair<const char *, Opener> openers[] = {
		{"open", [](const char *p, int f) { return open(p, f); }},
		{"open64", [](const char *p, int f) { return open64(p, f); }},
		{"openat", [](const char *p, int f) { return openat(AT_FDCWD, p, f); }},
		{"openat64", [](const char *p, int f) { return openat64(AT_FDCWD, p, f); }},
		{"__open_2", [](const char *p, int f) { return __open_2(p, f); }},
		{"__open64_2", [](const char *p, int f) { return __open64_2(p, f); }},
		{"__openat_2", [](const char *p, int f) { return __openat_2(AT_FDCWD, p, f); }},
		{"__openat64_2", [](const char *p, int f) { return __openat64_2(AT_FDCWD, p, f); }},
	};
	int value = 10;
	for (const auto &[name, opener] : openers) {
		int w = opener(enqueue_path, O_WRONLY), r = opener(dequeue_path, O_RDONLY);
		if (w < 0 || r < 0) {
			c.fail("%s: %s", name, strerror(errno));
			continue;
		}
		drain(r);
		put(w, std::to_string(value));
		char area[12] = {};
		// The fortified read, as a program built with _FORTIFY_SOURCE makes it.
		ssize_t got = __read_chk(r, area, 11, sizeof area);
		if (got != 0 || std::to_string(value) != area)
			c.fail("%s: wrote %d, __read_chk answered %zd with %s", name, value, got,
			       shown(area).c_str());
		close(w);
		close(r);
		value++;
	}
}

void write_count_einval(Ctx &c)
{
	int in = must_open(c, enqueue_path, O_WRONLY), out = must_open(c, dequeue_path, O_RDONLY);
	drain(out);
	for (size_t count : {0UL, 1UL, 7UL, 9UL, 16UL})
		expect_err(c, "a write of " + std::to_string(count) + " bytes", put(in, "5", count),
			   -1, EINVAL);
	std::string t;
	get(out, t);
	if (t != "-1")
		c.fail("a refused write queued %s", shown(t).c_str());
}

void record_kstrtoint(Ctx &c)
{
	using namespace std::string_literals;
	const std::pair<std::string, const char *> cases[] = {
		{"42\0\0\0\0\0\0"s, "42"},  {"-1\0\0\0\0\0\0"s, "-1"},    {"+5\0\0\0\0\0\0"s, "5"},
		{"-0\0\0\0\0\0\0"s, "0"},   {"007\0\0\0\0\0"s, "7"},      {"5\n\0\0\0\0\0\0"s, "5"},
		{"1234567\n"s, "1234567"},  {"7\0garbag"s, "7"},          {"\0\0\0\0\0\0\0\0"s, nullptr},
		{" 5\0\0\0\0\0\0"s, nullptr}, {"5 \0\0\0\0\0\0"s, nullptr}, {"5\n\n\0\0\0\0\0"s, nullptr},
		{"\n\0\0\0\0\0\0\0"s, nullptr}, {"-\0\0\0\0\0\0\0"s, nullptr},
		{"+-5\0\0\0\0\0"s, nullptr}, {"--5\0\0\0\0\0"s, nullptr}, {"0x10\0\0\0\0"s, nullptr},
		{"1.5\0\0\0\0\0"s, nullptr}, {"abc\0\0\0\0\0"s, nullptr}, {"1234567x"s, nullptr},
	};
	int in = must_open(c, enqueue_path, O_WRONLY), out = must_open(c, dequeue_path, O_RDONLY);
	drain(out);
	for (const auto &[record, delivered] : cases) {
		errno = 0;
		ssize_t n = write(in, record.data(), 8);
		Res r{n, n < 0 ? errno : 0};
		std::string t;
		if (!delivered) {
			expect_err(c, "the record " + shown(record), r, -1, EINVAL);
			continue;
		}
		expect_err(c, "the record " + shown(record), r, 8, 0);
		get(out, t);
		if (r.ret == 8 && t != delivered)
			c.fail("the record %s: expected %s out, the driver delivered %s",
			       shown(record).c_str(), delivered, shown(t).c_str());
	}
}

void full_is_enospc(Ctx &c)
{
	int in = must_open(c, enqueue_path, O_WRONLY), out = must_open(c, dequeue_path, O_RDONLY);
	drain(out);
	long n = 0;
	Res r{};
	while (n < fill_limit && (r = put(in, "1")).ret == 8)
		n++;
	if (n == fill_limit)
		c.skip("the queue took 1048576 values: its capacity is not measured");
	expect_err(c, "a record to the full queue", r, -1, ENOSPC);
	// A malformed record is malformed, full or not.
	expect_err(c, "a malformed record to the full queue", put(in, "x"), -1, EINVAL);
	if (access(status_path, R_OK) == 0 && status(c)["capacity"] != n)
		c.fail("the queue took %ld values, status says capacity %lld", n,
		       status(c)["capacity"]);
	drain(out, n + 1);
}

void read_short_einval(Ctx &c)
{
	int in = must_open(c, enqueue_path, O_WRONLY), out = must_open(c, dequeue_path, O_RDONLY);
	drain(out);
	std::string t;
	expect_err(c, "a read of 1 byte on the empty queue", get(out, t, 1, 'x'), -1, EINVAL);
	for (size_t count : {0UL, 4UL}) {
		put(in, "-1234");
		expect_err(c, "a read of " + std::to_string(count) + " bytes for \"-1234\"",
			   get(out, t, count, 'x'), -1, EINVAL);
		get(out, t);
		if (t != "-1234")
			c.fail("after the refused read, the head was %s, not \"-1234\"",
			       shown(t).c_str());
	}
}

void read_nul_rest_untouched(Ctx &c)
{
	int in = must_open(c, enqueue_path, O_WRONLY), out = must_open(c, dequeue_path, O_RDONLY);
	drain(out);
	const std::pair<size_t, std::string> cases[] = {
		{5, "-1234"},
		{6, std::string("-1234\0", 6)},
		{11, std::string("-1234\0xxxxx", 11)},
		{64, std::string("-1234\0", 6) + std::string(58, 'x')},
	};
	for (const auto &[count, want] : cases) {
		put(in, "-1234");
		std::string buf(count, 'x');
		ssize_t n = read(out, buf.data(), count);
		if (n != 0 || buf != want)
			c.fail("a read of %zu bytes: expected 0 and %s, the driver answered %zd and %s",
			       count, shown(want).c_str(), n, shown(buf).c_str());
	}
}

void wrong_direction_ebadf(Ctx &c)
{
	int in = must_open(c, enqueue_path, O_WRONLY), out = must_open(c, dequeue_path, O_RDONLY);
	char buf[11];
	errno = 0;
	ssize_t n = read(in, buf, sizeof buf);
	expect_err(c, "read on enqueue", {n, errno}, -1, EBADF);
	errno = 0;
	n = write(out, "5\0\0\0\0\0\0\0", 8);
	expect_err(c, "write on dequeue", {n, errno}, -1, EBADF);
}

void efault(Ctx &c)
{
	int in = must_open(c, enqueue_path, O_WRONLY), out = must_open(c, dequeue_path, O_RDONLY);
	drain(out);
	auto page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
	void *gone = mmap(nullptr, page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
	munmap(gone, page);
	errno = 0;
	ssize_t n = write(in, gone, 8);
	expect_err(c, "a write from an unmapped buffer", {n, errno}, -1, EFAULT);
	put(in, "77");
	errno = 0;
	n = read(out, gone, 11);
	expect_err(c, "a read into an unmapped buffer", {n, errno}, -1, EFAULT);
	std::string t;
	get(out, t);
	if (t != "77")
		c.fail("after the faulting read the head was %s, not \"77\"", shown(t).c_str());
}

void status_format(Ctx &c)
{
	if (c.capacity == 1)
		c.skip("it needs a capacity of 2 or more");
	int in = must_open(c, enqueue_path, O_WRONLY), out = must_open(c, dequeue_path, O_RDONLY);
	drain(out);
	int fd = must_open(c, status_path, O_RDONLY);
	put(in, "1"); // before the first read: counted
	std::string text(10, '\0');
	if (read(fd, text.data(), text.size()) != 10)
		c.fail("the first 10 bytes of status did not come in one read");
	put(in, "2"); // after it: not in this snapshot
	char buf[512];
	ssize_t n;
	while ((n = read(fd, buf, sizeof buf)) > 0)
		text.append(buf, static_cast<size_t>(n));
	std::string keys;
	for (size_t at = 0; at < text.size(); at = text.find('\n', at) + 1) {
		keys += text.substr(at, text.find(':', at) - at) + " ";
		if (text.find('\n', at) == std::string::npos)
			break;
	}
	if (keys != "capacity depth accepted refused_full refused_malformed delivered end_markers ")
		c.fail("status keys: %s", keys.c_str());
	if (text.find("\ndepth: 1\n") == std::string::npos)
		c.fail("one snapshot from the first read: expected depth 1 in %s", shown(text).c_str());
	if (status(c)["depth"] != 2)
		c.fail("a new open's snapshot: expected depth 2");
}

void status_counters(Ctx &c)
{
	if (c.capacity == 1)
		c.skip("it needs a capacity of 2 or more");
	int in = must_open(c, enqueue_path, O_WRONLY), out = must_open(c, dequeue_path, O_RDONLY);
	drain(out);
	Status a = status(c);
	put(in, "3");
	put(in, "4");
	put(in, "x");
	put(in, "5", 7);
	std::string t;
	get(out, t);
	get(out, t);
	get(out, t); // the end marker
	Status b = status(c);
	const std::pair<const char *, long long> deltas[] = {
		{"accepted", 2}, {"refused_malformed", 2}, {"refused_full", 0},
		{"delivered", 2}, {"end_markers", 1},    {"depth", 0},
	};
	for (auto [key, d] : deltas)
		if (b[key] - a[key] != d)
			c.fail("%s went from %lld to %lld, expected a change of %lld", key, a[key],
			       b[key], d);
	if (b["accepted"] != b["delivered"] + b["depth"])
		c.fail("accepted %lld, delivered %lld, depth %lld", b["accepted"], b["delivered"],
		       b["depth"]);
}

// A signal handler that writes while the program is inside a write: the
// write it interrupted is no lock the handler's own write could wait for.
void signal_handler_write(Ctx &c)
{
	int in = must_open(c, enqueue_path, O_WRONLY);
	static int handler_fd;
	handler_fd = in;
	signal(SIGALRM, [](int) { put(handler_fd, "9"); });
	itimerval every{{0, 100}, {0, 100}};
	setitimer(ITIMER_REAL, &every, nullptr);
	double end = now() + 0.3;
	while (now() < end)
		for (int i = 0; i < 1000; i++)
			put(in, "1");
	itimerval off{};
	setitimer(ITIMER_REAL, &off, nullptr);
	drain(must_open(c, dequeue_path, O_RDONLY));
}

// A reader whose buffer faults slowly (held by userfaultfd) holds up no one.
void no_client_held_up(Ctx &c)
{
	int uffd = static_cast<int>(syscall(SYS_userfaultfd, O_CLOEXEC));
	if (uffd < 0)
		c.skip(std::string("no userfaultfd here: ") + strerror(errno));
	if (c.capacity == 1)
		c.skip("it needs a capacity of 2 or more");
	uffdio_api api{UFFD_API, 0, 0};
	auto page_size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
	void *page = mmap(nullptr, page_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
			  -1, 0);
	uffdio_register reg{{reinterpret_cast<std::uintptr_t>(page), page_size},
			    UFFDIO_REGISTER_MODE_MISSING, 0};
	if (ioctl(uffd, UFFDIO_API, &api) || ioctl(uffd, UFFDIO_REGISTER, &reg))
		c.skip(std::string("userfaultfd refused: ") + strerror(errno));
	int in = must_open(c, enqueue_path, O_WRONLY), out = must_open(c, dequeue_path, O_RDONLY);
	drain(out);
	put(in, "5");
	ssize_t held_read = -2;
	std::thread holder([&] { held_read = read(out, page, 11); });
	pollfd fault{uffd, POLLIN, 0};
	if (poll(&fault, 1, 5000) != 1) {
		c.fail("the reader never faulted");
		_exit(1);
	}
	uffd_msg msg{};
	(void)!read(uffd, &msg, sizeof msg);
	std::atomic<int> done{0};
	Res wrote{};
	std::string other;
	bool had_status = access(status_path, R_OK) == 0;
	std::thread others([&] {
		wrote = put(in, "6");
		done++;
		int out2 = open(dequeue_path, O_RDONLY);
		get(out2, other);
		done++;
		if (had_status)
			status(c);
		done++;
	});
	for (int i = 0; i < 100 && done < 3; i++)
		usleep(10000);
	int completed = done;
	std::vector<char> zeros(page_size, 0);
	uffdio_copy copy{reinterpret_cast<std::uintptr_t>(page), reinterpret_cast<std::uintptr_t>(zeros.data()),
			 page_size, 0, 0};
	ioctl(uffd, UFFDIO_COPY, &copy);
	holder.join();
	others.join();
	if (completed != 3)
		c.fail("write, read and status: only %d completed in a second while a reader was "
		       "held in a fault",
		       completed);
	if (wrote.ret != 8 || other != "5" || held_read != 0 ||
	    strcmp(static_cast<char *>(page), "6") != 0)
		c.fail("expected the write to take 6, the other reader 5 and the held one 6 with 0; "
		       "got %s, %s, %s with %zd",
		       said(wrote).c_str(), shown(other).c_str(),
		       shown(static_cast<char *>(page)).c_str(), held_read);
}

struct Case {
	const char *clause;
	const char *what;
	void (*run)(Ctx &);
};

const Case cases[] = {
	{"core.entries-open", "enqueue opens O_WRONLY, dequeue O_RDONLY", entries_open},
	{"core.write-accepts-record", "an 8-byte record of a decimal value is taken: 8",
	 write_accepts_record},
	{"core.write-queues", "a write that reports success has queued its value", write_queues},
	{"core.read-reports-zero", "an 11-byte read that delivers a value returns 0",
	 read_reports_zero},
	{"core.read-places-text", "the value's decimal text at the start, then a non-digit",
	 read_places_text},
	{"core.value-unchanged", "each value comes out as it went in", value_unchanged},
	{"core.fifo-order", "values come out in the order they went in", fifo_order},
	{"core.delivered-once", "each value comes out once", delivered_once},
	{"core.empty-end-marker", "an empty queue answers -1 at once, every time, removing nothing",
	 empty_end_marker},
	{"core.full-returns", "a write to a full queue returns; a success has queued",
	 full_returns},
	{"core.concurrent", "concurrent writers and readers lose, invent and repeat nothing",
	 concurrent},
	{"ref.open-direction", "other access modes EACCES, unknown names ENOENT", open_direction},
	{"ref.libc-opens", "every libc open and the fortified read reach the entries", libc_opens},
	{"ref.write-count-einval", "a write of another count than 8: EINVAL, nothing queued",
	 write_count_einval},
	{"ref.record-kstrtoint", "record text as kstrtoint parses it, else EINVAL",
	 record_kstrtoint},
	{"ref.full-is-enospc", "a full queue refuses with ENOSPC, malformed with EINVAL",
	 full_is_enospc},
	{"ref.read-short-einval", "a read too short for the text: EINVAL, the value stays",
	 read_short_einval},
	{"ref.read-nul-rest-untouched", "the text, a NUL where room, the rest untouched",
	 read_nul_rest_untouched},
	{"ref.wrong-direction-ebadf", "read on enqueue, write on dequeue: EBADF",
	 wrong_direction_ebadf},
	{"ref.efault", "a bad buffer: EFAULT, nothing queued, the value stays", efault},
	{"ref.status-format", "status: its keys, one snapshot from the first read", status_format},
	{"ref.status-counters", "status counters follow the calls", status_counters},
	{"ref.signal-handler-write", "a signal handler may write during a write",
	 signal_handler_write},
	{"ref.no-client-held-up", "a reader held in a page fault holds up no one",
	 no_client_held_up},
};

// --- running -------------------------------------------------------------

struct Outcome {
	enum { pass, fail, skip, timeout } kind;
	std::string diag; // "# " lines
	std::string reason;
	double seconds;
};

std::string unstuck; // cases whose process outlived SIGKILL

// Runs `body` in a child process of its own (a process group, for what it
// starts), its findings through a pipe, for at most `limit` seconds.
Outcome run_child(const std::string &name, double limit, void (*body)(Ctx &), Ctx ctx)
{
	int p[2];
	double t0 = now();
	if (pipe2(p, O_CLOEXEC) != 0)
		return {Outcome::fail, "# pipe: " + std::string(strerror(errno)) + "\n", "", 0};
	fflush(nullptr);
	pid_t pid = fork();
	if (pid == 0) {
		setpgid(0, 0);
		close(p[0]);
		signal(SIGPIPE, SIG_DFL);
		ctx.report = p[1];
		body(ctx);
		_exit(ctx.failed ? 1 : 0);
	}
	close(p[1]);
	std::string got;
	bool timed_out = false;
	for (;;) {
		double left = limit - (now() - t0);
		if (left <= 0) {
			timed_out = true;
			break;
		}
		pollfd pf{p[0], POLLIN, 0};
		if (poll(&pf, 1, static_cast<int>(left * 1000) + 1) <= 0)
			continue;
		char buf[4096];
		ssize_t n = read(p[0], buf, sizeof buf);
		if (n <= 0)
			break;
		got.append(buf, static_cast<size_t>(n));
	}
	close(p[0]);
	int ws = 0;
	bool reaped = false;
	if (timed_out) {
		kill(-pid, SIGKILL);
		kill(pid, SIGKILL);
		for (int i = 0; i < 200 && !reaped; i++) {
			reaped = waitpid(pid, &ws, WNOHANG) == pid;
			if (!reaped)
				usleep(10000);
		}
		if (!reaped)
			unstuck += " " + name;
	} else {
		waitpid(pid, &ws, 0);
		reaped = true;
	}
	Outcome o{Outcome::pass, "", "", now() - t0};
	size_t at = 0;
	while (at < got.size()) {
		size_t end = got.find('\n', at);
		std::string line = got.substr(at, end - at);
		at = end == std::string::npos ? got.size() : end + 1;
		if (!line.empty() && line[0] == '\x01')
			o.reason = line.substr(1);
		else
			o.diag += "# " + line + "\n";
	}
	char b[160];
	if (timed_out) {
		o.kind = Outcome::timeout;
		snprintf(b, sizeof b, "%g s", limit);
		o.reason = b;
		if (!reaped) {
			snprintf(b, sizeof b,
				 "# its process %d did not end on SIGKILL: it is stuck in the driver\n",
				 pid);
			o.diag += b;
		}
	} else if (WIFEXITED(ws) && WEXITSTATUS(ws) == 0) {
		o.kind = Outcome::pass;
	} else if (WIFEXITED(ws) && WEXITSTATUS(ws) == skip_status) {
		o.kind = Outcome::skip;
	} else {
		o.kind = Outcome::fail;
		if (WIFSIGNALED(ws)) {
			snprintf(b, sizeof b, "# the case's process died of %s\n",
				 strsignal(WTERMSIG(ws)));
			o.diag += b;
		}
	}
	return o;
}

// Before the cases: the queue drained, and its capacity found by filling.
struct Survey {
	long drained = -1;
	long capacity = 0;
	int refusal = 0;
};

void survey(Ctx &c)
{
	int in = must_open(c, enqueue_path, O_WRONLY), out = must_open(c, dequeue_path, O_RDONLY);
	long n = 0;
	std::string t;
	while (n < fill_limit && get(out, t).ret >= 0 && t != "-1")
		n++;
	c.note("drained %ld", n < fill_limit && t == "-1" ? n : -1);
	long cap = 0;
	Res r{};
	while (cap < fill_limit && (r = put(in, "1")).ret == 8)
		cap++;
	c.note("capacity %ld %d", cap, r.err);
	drain(out, cap + 16);
}

// After each case what it left behind goes, so the next case starts on an
// empty queue where the driver lets it.
void cleanup(Ctx &c)
{
	if (!drain(must_open(c, dequeue_path, O_RDONLY)))
		c.fail("no -1");
}

std::string xml(const std::string &s)
{
	std::string o;
	for (char ch : s)
		switch (ch) {
		case '<': o += "&lt;"; break;
		case '>': o += "&gt;"; break;
		case '&': o += "&amp;"; break;
		case '"': o += "&quot;"; break;
		default:
			if (static_cast<unsigned char>(ch) >= 0x20 || ch == '\n')
				o += ch;
		}
	return o;
}

// Status 2, one line, as the kit's other commands fail on bad usage.
[[noreturn]] void usage_error(const std::string &msg, bool hint = true)
{
	fprintf(stderr, "marnel-conformance: %s%s\n", msg.c_str(),
		hint ? " (see marnel-conformance --help)" : "");
	exit(2);
}

const char help[] =
	"usage: marnel-conformance [OPTION]...\n"
	"Checks the queue driver that serves /proc/marnel against the queue driver\n"
	"contract, one case per clause, and prints the result as KTAP.\n"
	"It needs a driver that no one else is using: the values queued when it\n"
	"starts are drained and dropped, and the queue is filled to find its capacity.\n"
	"\n"
	"  --level core|reference  core (default): what every queue driver must do;\n"
	"                          reference: also what the marnel drivers promise\n"
	"  --clause GLOB           only the clauses that match (repeatable)\n"
	"  --skip GLOB             leave out the clauses that match (repeatable)\n"
	"  --timeout SECONDS       bound on each case (default 10; fractions allowed)\n"
	"  --junit FILE            also write the results as JUnit XML\n"
	"  --list                  list the clauses of the level and exit\n"
	"  --help, --version\n"
	"\n"
	"Exit status: 0 all passed, 1 a case failed, 2 bad usage, 4 nothing could run\n"
	"(no driver) or everything selected was skipped.\n";

} // namespace

int main(int argc, char **argv)
{
	std::string level = "core", junit;
	std::vector<std::string> picks, skips;
	double timeout = 10;
	bool list = false;
	for (int i = 1; i < argc; i++) {
		std::string a = argv[i], value;
		size_t eq = a.find('=');
		bool has_value = a.rfind("--", 0) == 0 && eq != std::string::npos;
		std::string opt = has_value ? a.substr(0, eq) : a;
		auto arg = [&]() -> std::string {
			if (has_value)
				return a.substr(eq + 1);
			if (i + 1 >= argc)
				usage_error(opt + " needs a value");
			return argv[++i];
		};
		if (opt == "--help" && !has_value) {
			fputs(help, stdout);
			return 0;
		} else if (opt == "--version" && !has_value) {
			printf("marnel-conformance %s\n", MARNEL_VERSION);
			return 0;
		} else if (opt == "--list" && !has_value) {
			list = true;
		} else if (opt == "--level") {
			level = arg();
			if (level != "core" && level != "reference")
				usage_error("no level '" + level + "': core or reference");
		} else if (opt == "--clause" || opt == "--skip") {
			(opt == "--clause" ? picks : skips).push_back(arg());
		} else if (opt == "--timeout") {
			std::string v = arg();
			char *end = nullptr;
			errno = 0;
			timeout = strtod(v.c_str(), &end);
			if (v.empty() || *end || errno || !std::isfinite(timeout) || timeout <= 0 ||
			    timeout > 86400 || !isdigit(static_cast<unsigned char>(v[0])))
				usage_error("--timeout takes seconds, a positive number, not '" + v + "'");
		} else if (opt == "--junit") {
			junit = arg();
		} else {
			usage_error("unknown option '" + a + "'");
		}
	}

	auto matches = [](const std::vector<std::string> &globs, const char *clause) {
		for (auto &g : globs)
			if (fnmatch(g.c_str(), clause, 0) == 0)
				return true;
		return false;
	};
	for (auto &g : picks) {
		bool any = false, in_level = false;
		for (auto &k : cases)
			if (fnmatch(g.c_str(), k.clause, 0) == 0) {
				any = true;
				in_level |= level == "reference" || strncmp(k.clause, "core.", 5) == 0;
			}
		if (!any)
			usage_error("no clause matches '" + g + "' (--list shows them)", false);
		if (!in_level)
			usage_error("'" + g + "' is above the core level: add --level reference", false);
	}
	std::vector<const Case *> chosen;
	for (auto &k : cases) {
		bool core = strncmp(k.clause, "core.", 5) == 0;
		if ((core || level == "reference") && (picks.empty() || matches(picks, k.clause)) &&
		    !matches(skips, k.clause))
			chosen.push_back(&k);
	}
	if (list) {
		for (auto *k : chosen)
			printf("%-28s %s\n", k->clause, k->what);
		return 0;
	}

	// Before anything runs: a report that cannot be written is bad usage.
	FILE *junit_file = nullptr;
	if (!junit.empty() && !(junit_file = fopen(junit.c_str(), "w")))
		usage_error("--junit " + junit + ": " + strerror(errno), false);
	setvbuf(stdout, nullptr, _IOLBF, 0);
	puts("KTAP version 1");
	struct stat st{};
	if (stat(enqueue_path, &st) != 0 && stat(dequeue_path, &st) != 0) {
		puts("1..0 # SKIP nothing serves /proc/marnel: load a queue driver (insmod or "
		     "modprobe), or run this under marnel-sim run");
		return 4;
	}
	printf("# marnel-conformance %s: level %s, every case in a child process, %g s each\n",
	       MARNEL_VERSION, level.c_str(), timeout);
	puts("# needs a driver no one else is using: values queued now are drained and "
	     "dropped, and the queue is filled to find its capacity");

	Ctx base;
	base.timeout = timeout;
	Outcome s = run_child("survey", timeout * 3, survey, base);
	long drained = -1, capacity = 0;
	int refusal = 0;
	sscanf(s.diag.c_str(), "# drained %ld", &drained);
	size_t at = s.diag.find("# capacity ");
	if (at != std::string::npos)
		sscanf(s.diag.c_str() + at, "# capacity %ld %d", &capacity, &refusal);
	if (s.kind == Outcome::timeout) {
		printf("# capacity not measured: draining and filling the queue took over %g s\n",
		       timeout * 3);
		run_child("cleanup", std::min(timeout, 2.0), cleanup, base);
	}
	else if (s.kind != Outcome::pass)
		printf("%s# capacity not measured\n", s.diag.c_str());
	else if (capacity >= fill_limit)
		printf("# capacity not measured: the queue took %ld values\n", fill_limit);
	else
		printf("# drained %s; capacity %ld, found by filling (the next write: %s)\n",
		       drained < 0 ? "until the limit, no -1 seen" :
				     (std::to_string(drained) + " values").c_str(),
		       capacity, errname(refusal).c_str());
	if (s.kind != Outcome::pass || capacity >= fill_limit)
		capacity = 0;
	base.capacity = capacity;

	printf("1..%zu\n", chosen.size());
	int pass = 0, fail = 0, skipped = 0;
	std::string xml_cases;
	double total = 0;
	for (size_t i = 0; i < chosen.size(); i++) {
		const Case &k = *chosen[i];
		Outcome o = run_child(k.clause, timeout, k.run, base);
		total += o.seconds;
		// What a case leaves, a broken driver's extra values say, would
		// otherwise be the next case's finding.
		Outcome after = run_child("cleanup", std::min(timeout, 2.0), cleanup, base);
		if (after.kind != Outcome::pass && o.kind != Outcome::pass)
			o.diag += "# the queue could not be emptied after this case\n";
		fputs(o.diag.c_str(), stdout);
		char t[32];
		snprintf(t, sizeof t, "%.3f", o.seconds);
		xml_cases += std::string("    <testcase classname=\"marnel.") +
			     (strncmp(k.clause, "core.", 5) == 0 ? "core" : "reference") +
			     "\" name=\"" + k.clause + "\" time=\"" + t + "\">";
		switch (o.kind) {
		case Outcome::pass:
			printf("ok %zu %s\n", i + 1, k.clause);
			pass++;
			break;
		case Outcome::skip:
			printf("ok %zu %s # SKIP %s\n", i + 1, k.clause, o.reason.c_str());
			xml_cases += "<skipped message=\"" + xml(o.reason) + "\"/>";
			skipped++;
			break;
		case Outcome::fail:
		case Outcome::timeout:
			if (o.kind == Outcome::timeout)
				printf("not ok %zu %s # TIMEOUT %s\n", i + 1, k.clause, o.reason.c_str());
			else
				printf("not ok %zu %s\n", i + 1, k.clause);
			xml_cases += "<failure message=\"" +
				     xml(o.kind == Outcome::timeout ? "TIMEOUT " + o.reason : k.what) +
				     "\">" + xml(o.diag) + "</failure>";
			fail++;
			break;
		}
		xml_cases += "</testcase>\n";
	}
	if (!unstuck.empty())
		printf("# processes stuck in the driver after SIGKILL, left behind:%s\n",
		       unstuck.c_str());
	printf("# Totals: pass:%d fail:%d xfail:0 xpass:0 skip:%d error:0\n", pass, fail, skipped);
	if (junit_file) {
		FILE *f = junit_file;
		fprintf(f,
			"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites>\n"
			"  <testsuite name=\"marnel-conformance\" tests=\"%zu\" failures=\"%d\" "
			"errors=\"0\" skipped=\"%d\" time=\"%.3f\">\n%s  </testsuite>\n</testsuites>\n",
			chosen.size(), fail, skipped, total, xml_cases.c_str());
		fclose(f);
	}
	if (fail)
		return 1;
	return pass ? 0 : 4;
}
