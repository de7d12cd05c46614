// The queue driver's /proc contract, checked through the entries alone, so
// the same program runs against the simulated driver and the kernel module.
// It needs a loaded driver that no one else is using.
#include <fcntl.h>
#include <linux/userfaultfd.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <iterator>
#include <cerrno>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <thread>
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

std::map<std::string, long long> status()
{
	int fd = open(status_path, O_RDONLY);
	EXPECT_GE(fd, 0) << strerror(errno);
	std::string text;
	char buf[64]; // small, so the text takes several reads
	ssize_t n;
	while ((n = read(fd, buf, sizeof buf)) > 0)
		text.append(buf, static_cast<size_t>(n));
	EXPECT_EQ(n, 0);
	close(fd);
	std::map<std::string, long long> m;
	std::istringstream in(text);
	std::string key;
	long long value;
	while (in >> key >> value)
		m[key.substr(0, key.size() - 1)] = value;
	return m;
}

struct Result {
	ssize_t ret;
	int error;
};

Result put(int fd, const void *record, size_t count = 8)
{
	errno = 0;
	ssize_t r = write(fd, record, count);
	return {r, r < 0 ? errno : 0};
}

Result put_text(int fd, const std::string &text)
{
	char record[8] = {};
	memcpy(record, text.data(), std::min(text.size(), sizeof record));
	return put(fd, record);
}

// One read of `count` bytes into a buffer pre-filled with 'x'.
Result take(int fd, size_t count, std::string &got)
{
	std::string buf(count, 'x');
	errno = 0;
	ssize_t r = read(fd, buf.data(), count);
	got = buf;
	return {r, r < 0 ? errno : 0};
}

// The delivered text, up to its NUL.
std::string take_value(int fd)
{
	std::string got;
	Result r = take(fd, 11, got);
	EXPECT_EQ(r.ret, 0) << strerror(r.error);
	return got.substr(0, got.find('\0'));
}

class Driver : public ::testing::Test {
protected:
	void SetUp() override
	{
		in = open(enqueue_path, O_WRONLY);
		out = open(dequeue_path, O_RDONLY);
		ASSERT_GE(in, 0) << "is the driver loaded? " << strerror(errno);
		ASSERT_GE(out, 0) << strerror(errno);
		while (take_value(out) != "-1") {
		}
		before = status();
	}
	void TearDown() override
	{
		auto s = status();
		EXPECT_EQ(s["accepted"], s["delivered"] + s["depth"]);
		close(in);
		close(out);
	}
	long long delta(const std::string &key) { return status()[key] - before[key]; }

	int in = -1;
	int out = -1;
	std::map<std::string, long long> before;
};

TEST_F(Driver, OpensOnlyInTheirOwnDirection)
{
	struct Case {
		const char *path;
		int flags;
		int error; // 0: opens
	} cases[] = {
		{enqueue_path, O_WRONLY, 0},      {enqueue_path, O_RDONLY, EACCES},
		{enqueue_path, O_RDWR, EACCES},   {dequeue_path, O_RDONLY, 0},
		{dequeue_path, O_WRONLY, EACCES}, {dequeue_path, O_RDWR, EACCES},
		{status_path, O_RDONLY, 0},       {status_path, O_WRONLY, EACCES},
		{"/proc/marnel/nothing", O_RDONLY, ENOENT},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(std::string(c.path) + " flags " + std::to_string(c.flags));
		errno = 0;
		int fd = open(c.path, c.flags);
		if (c.error == 0) {
			EXPECT_GE(fd, 0) << strerror(errno);
		} else {
			EXPECT_EQ(fd, -1);
			EXPECT_EQ(errno, c.error) << strerror(errno);
		}
		if (fd >= 0)
			close(fd);
	}
}

TEST_F(Driver, EveryLibcOpenReachesTheEntries)
{
	using Opener = int (*)(const char *, int);
	const std::vector<std::pair<const char *, Opener>> openers = {
		{"open", [](const char *p, int f) { return open(p, f); }},
		{"open64", [](const char *p, int f) { return open64(p, f); }},
		{"openat", [](const char *p, int f) { return openat(AT_FDCWD, p, f); }},
		{"openat64", [](const char *p, int f) { return openat64(AT_FDCWD, p, f); }},
		{"__open_2", [](const char *p, int f) { return __open_2(p, f); }},
		{"__open64_2", [](const char *p, int f) { return __open64_2(p, f); }},
		{"__openat_2", [](const char *p, int f) { return __openat_2(AT_FDCWD, p, f); }},
		{"__openat64_2",
		 [](const char *p, int f) { return __openat64_2(AT_FDCWD, p, f); }},
	};
	int value = 10;
	for (const auto &[name, opener] : openers) {
		SCOPED_TRACE(name);
		int w = opener(enqueue_path, O_WRONLY);
		int r = opener(dequeue_path, O_RDONLY);
		ASSERT_GE(w, 0) << strerror(errno);
		ASSERT_GE(r, 0) << strerror(errno);
		EXPECT_EQ(put_text(w, std::to_string(value)).ret, 8);
		char area[12] = {};
		// The fortified read, as a program built with _FORTIFY_SOURCE
		// makes it.
		EXPECT_EQ(__read_chk(r, area, 11, sizeof area), 0);
		EXPECT_STREQ(area, std::to_string(value).c_str());
		close(w);
		close(r);
		value++;
	}
}

TEST_F(Driver, WritesMustBeEightBytes)
{
	const char record[16] = "5";
	for (size_t count : std::array<size_t, 5>{0, 1, 7, 9, 16}) {
		SCOPED_TRACE(count);
		Result r = put(in, record, count);
		EXPECT_EQ(r.ret, -1);
		EXPECT_EQ(r.error, EINVAL);
	}
	EXPECT_EQ(delta("refused_malformed"), 5);
	EXPECT_EQ(delta("accepted"), 0);
	EXPECT_EQ(take_value(out), "-1");
}

TEST_F(Driver, RecordTextIsParsedLikeKstrtoint)
{
	struct Case {
		std::string record; // 8 bytes
		const char *delivered; // nullptr: EINVAL
	};
	using namespace std::string_literals;
	const std::vector<Case> cases = {
		{"42\0\0\0\0\0\0"s, "42"},
		{"-1\0\0\0\0\0\0"s, "-1"},
		{"+5\0\0\0\0\0\0"s, "5"},
		{"-0\0\0\0\0\0\0"s, "0"},
		{"007\0\0\0\0\0"s, "7"},
		{"5\n\0\0\0\0\0\0"s, "5"},
		{"1234567\0"s, "1234567"},
		{"12345678"s, "12345678"},  // no NUL: all 8 bytes
		{"99999999"s, "99999999"},
		{"-9999999"s, "-9999999"},
		{"1234567\n"s, "1234567"},
		{"7\0garbag"s, "7"},       // nothing after the NUL counts
		{"\0\0\0\0\0\0\0\0"s, nullptr},
		{" 5\0\0\0\0\0\0"s, nullptr},
		{"5 \0\0\0\0\0\0"s, nullptr},
		{"5\n\n\0\0\0\0\0"s, nullptr},
		{"\n\0\0\0\0\0\0\0"s, nullptr},
		{"-\0\0\0\0\0\0\0"s, nullptr},
		{"+-5\0\0\0\0\0"s, nullptr},
		{"--5\0\0\0\0\0"s, nullptr},
		{"0x10\0\0\0\0"s, nullptr},
		{"1.5\0\0\0\0\0"s, nullptr},
		{"abc\0\0\0\0\0"s, nullptr},
		{"12345678"s.substr(0, 7) + "x", nullptr},
	};
	long long refused = 0;
	for (const auto &c : cases) {
		ASSERT_EQ(c.record.size(), 8U);
		SCOPED_TRACE(testing::PrintToString(c.record));
		Result r = put(in, c.record.data());
		if (c.delivered) {
			EXPECT_EQ(r.ret, 8) << strerror(r.error);
			EXPECT_EQ(take_value(out), c.delivered);
		} else {
			EXPECT_EQ(r.ret, -1);
			EXPECT_EQ(r.error, EINVAL);
			refused++;
		}
	}
	EXPECT_EQ(delta("refused_malformed"), refused);
	EXPECT_EQ(status()["depth"], 0);
}

TEST_F(Driver, ReadsPlaceTextAndReportZero)
{
	struct Case {
		size_t count;
		ssize_t ret;
		int error;
		std::string got; // the whole buffer after the read
	};
	const std::vector<Case> cases = {
		{0, -1, EINVAL, ""},
		{4, -1, EINVAL, "xxxx"},               // value stays queued
		{5, 0, 0, "-1234"},                    // exactly fits: no NUL
		{6, 0, 0, std::string("-1234\0", 6)},
		{11, 0, 0, std::string("-1234\0xxxxx", 11)},
		{64, 0, 0, std::string("-1234\0", 6) + std::string(58, 'x')},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.count);
		ASSERT_EQ(put_text(in, "-1234").ret, 8);
		std::string got;
		Result r = take(out, c.count, got);
		EXPECT_EQ(r.ret, c.ret);
		EXPECT_EQ(r.error, c.error);
		EXPECT_EQ(got, c.got);
		if (c.ret != 0) {
			EXPECT_EQ(take_value(out), "-1234");
		}
		EXPECT_EQ(status()["depth"], 0);
	}
}

TEST_F(Driver, EmptyQueueDeliversTheEndMarker)
{
	std::string got;
	EXPECT_EQ(take(out, 1, got).error, EINVAL);
	EXPECT_EQ(take(out, 2, got).ret, 0);
	EXPECT_EQ(got, "-1");
	EXPECT_EQ(take(out, 11, got).ret, 0);
	EXPECT_EQ(got, std::string("-1\0xxxxxxxx", 11));
	EXPECT_EQ(delta("end_markers"), 2);
	EXPECT_EQ(delta("delivered"), 0);
}

TEST_F(Driver, FirstInFirstOutUpToCapacity)
{
	long long capacity = before["capacity"];
	ASSERT_GT(capacity, 0);
	ASSERT_LE(capacity, 100000);
	for (long long i = 0; i < capacity; i++)
		ASSERT_EQ(put_text(in, std::to_string(i * 7 - 3)).ret, 8) << i;
	Result full = put_text(in, "1");
	EXPECT_EQ(full.ret, -1);
	EXPECT_EQ(full.error, ENOSPC);
	// A malformed record is malformed, full or not.
	EXPECT_EQ(put_text(in, "x").error, EINVAL);
	auto s = status();
	EXPECT_EQ(s["depth"], capacity);
	EXPECT_EQ(s["refused_full"] - before["refused_full"], 1);
	for (long long i = 0; i < capacity; i++)
		ASSERT_EQ(take_value(out), std::to_string(i * 7 - 3)) << i;
	EXPECT_EQ(take_value(out), "-1");
	EXPECT_EQ(delta("delivered"), capacity);
	EXPECT_EQ(delta("accepted"), capacity);
}

TEST_F(Driver, BadAddressesFailWithEfault)
{
	long page = sysconf(_SC_PAGESIZE);
	void *gone = mmap(nullptr, static_cast<size_t>(page), PROT_READ | PROT_WRITE,
			  MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
	ASSERT_NE(gone, MAP_FAILED);
	munmap(gone, static_cast<size_t>(page));

	Result w = put(in, gone);
	EXPECT_EQ(w.ret, -1);
	EXPECT_EQ(w.error, EFAULT);
	EXPECT_EQ(status()["depth"], 0);

	ASSERT_EQ(put_text(in, "77").ret, 8);
	errno = 0;
	EXPECT_EQ(read(out, gone, 11), -1);
	EXPECT_EQ(errno, EFAULT);
	EXPECT_EQ(take_value(out), "77"); // still queued
}

TEST_F(Driver, EachEntryRefusesTheOtherDirection)
{
	char buf[11];
	errno = 0;
	EXPECT_EQ(read(in, buf, sizeof buf), -1);
	EXPECT_EQ(errno, EBADF);
	errno = 0;
	EXPECT_EQ(write(out, "5\0\0\0\0\0\0\0", 8), -1);
	EXPECT_EQ(errno, EBADF);
}

TEST_F(Driver, StatusIsOneSnapshotFromTheFirstRead)
{
	int fd = open(status_path, O_RDONLY);
	ASSERT_GE(fd, 0);
	ASSERT_EQ(put_text(in, "1").ret, 8); // before the first read: counted
	std::string text(10, '\0');
	ASSERT_EQ(read(fd, text.data(), text.size()), 10);
	ASSERT_EQ(put_text(in, "2").ret, 8); // after it: not in this snapshot
	char buf[512];
	ssize_t n;
	while ((n = read(fd, buf, sizeof buf)) > 0)
		text.append(buf, static_cast<size_t>(n));
	EXPECT_EQ(n, 0);
	close(fd);
	std::vector<std::string> keys;
	std::istringstream lines(text);
	for (std::string line; std::getline(lines, line);)
		keys.push_back(line.substr(0, line.find(':')));
	EXPECT_EQ(keys, (std::vector<std::string>{"capacity", "depth", "accepted",
						  "refused_full", "refused_malformed",
						  "delivered", "end_markers"}));
	EXPECT_NE(text.find("\ndepth: 1\n"), std::string::npos) << text;
	EXPECT_EQ(status()["depth"], 2);
	EXPECT_EQ(take_value(out), "1");
	EXPECT_EQ(take_value(out), "2");
}

TEST_F(Driver, ConcurrentWritersAndReadersLoseNothing)
{
	constexpr int per_writer = 2000;
	std::vector<std::thread> threads;
	for (int w = 0; w < 2; w++)
		threads.emplace_back([w] {
			int fd = open(enqueue_path, O_WRONLY);
			for (int i = 0; i < per_writer; i++) {
				std::string text = std::to_string(w * per_writer + i);
				while (put_text(fd, text).error == ENOSPC)
					std::this_thread::yield();
			}
			close(fd);
		});
	std::vector<std::vector<int>> got(2);
	std::atomic<int> total{0};
	for (int r = 0; r < 2; r++)
		threads.emplace_back([r, &got, &total] {
			int fd = open(dequeue_path, O_RDONLY);
			while (total < 2 * per_writer) {
				std::string v = take_value(fd);
				if (v == "-1") {
					std::this_thread::yield();
					continue;
				}
				got[static_cast<size_t>(r)].push_back(std::stoi(v));
				total++;
			}
			close(fd);
		});
	for (auto &t : threads)
		t.join();
	std::vector<int> all = got[0];
	all.insert(all.end(), got[1].begin(), got[1].end());
	std::sort(all.begin(), all.end());
	ASSERT_EQ(all.size(), static_cast<size_t>(2 * per_writer));
	for (int i = 0; i < 2 * per_writer; i++)
		ASSERT_EQ(all[static_cast<size_t>(i)], i);
	// Each writer's values leave in the order it queued them.
	for (const auto &seen : got)
		for (int w = 0; w < 2; w++) {
			std::vector<int> mine;
			std::copy_if(seen.begin(), seen.end(), std::back_inserter(mine),
				     [w](int v) { return v / per_writer == w; });
			EXPECT_TRUE(std::is_sorted(mine.begin(), mine.end()));
		}
	EXPECT_EQ(delta("accepted"), 2 * per_writer);
}

// A signal handler that writes while the program is inside a write to the
// enqueue entry: the write it interrupted is not a lock the handler's own
// write could wait for. Run in a child, which a deadlock leaves hanging.
TEST_F(Driver, ASignalHandlerMayWriteDuringAWrite)
{
	pid_t pid = fork();
	ASSERT_GE(pid, 0);
	if (pid == 0) {
		int null = open("/dev/null", O_WRONLY);
		dup2(null, 2);
		signal(SIGALRM, [](int) { (void)!write(2, ".", 1); });
		itimerval every{{0, 100}, {0, 100}};
		setitimer(ITIMER_REAL, &every, nullptr);
		auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
		while (std::chrono::steady_clock::now() < end)
			for (int i = 0; i < 1000; i++)
				put_text(in, "1");
		_exit(0);
	}
	int ws = 0;
	for (int i = 0; i < 1000 && waitpid(pid, &ws, WNOHANG) == 0; i++)
		usleep(10000);
	if (waitpid(pid, &ws, WNOHANG) == 0) {
		kill(pid, SIGKILL);
		waitpid(pid, &ws, 0);
		FAIL() << "deadlocked: the handler's write waited for the write it interrupted";
	}
	EXPECT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == 0);
}

// A reader whose buffer faults slowly (here: held by userfaultfd) holds up
// no one: a write, another reader and a status read each complete while it
// waits, and it then gets the value after the one the other reader took.
TEST_F(Driver, AReaderHeldInAFaultHoldsUpNoOne)
{
	int uffd = static_cast<int>(syscall(SYS_userfaultfd, O_CLOEXEC));
	if (uffd < 0)
		GTEST_SKIP() << "no userfaultfd here: " << strerror(errno);
	uffdio_api api{UFFD_API, 0, 0};
	ASSERT_EQ(ioctl(uffd, UFFDIO_API, &api), 0) << strerror(errno);
	auto page_size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
	void *page = mmap(nullptr, page_size, PROT_READ | PROT_WRITE,
			  MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
	ASSERT_NE(page, MAP_FAILED);
	uffdio_register reg{{reinterpret_cast<__u64>(page), page_size},
			    UFFDIO_REGISTER_MODE_MISSING, 0};
	ASSERT_EQ(ioctl(uffd, UFFDIO_REGISTER, &reg), 0) << strerror(errno);

	ASSERT_EQ(put_text(in, "5").ret, 8);
	ssize_t held_read = -2;
	std::thread holder([&] { held_read = read(out, page, 11); });
	pollfd fault{uffd, POLLIN, 0};
	ASSERT_EQ(poll(&fault, 1, 10000), 1) << "the reader never faulted";
	uffd_msg msg{};
	ASSERT_EQ(read(uffd, &msg, sizeof msg), static_cast<ssize_t>(sizeof msg));

	// Each in a thread of its own, given a second.
	std::atomic<int> done{0};
	Result wrote{};
	std::string other;
	std::map<std::string, long long> seen;
	std::thread others([&] {
		wrote = put_text(in, "6");
		done++;
		int out2 = open(dequeue_path, O_RDONLY);
		other = take_value(out2);
		close(out2);
		done++;
		seen = status();
		done++;
	});
	for (int i = 0; i < 100 && done < 3; i++)
		usleep(10000);
	int completed = done;

	std::vector<char> zeros(page_size, 0);
	uffdio_copy copy{reinterpret_cast<__u64>(page), reinterpret_cast<__u64>(zeros.data()),
			 page_size, 0, 0};
	ASSERT_EQ(ioctl(uffd, UFFDIO_COPY, &copy), 0) << strerror(errno);
	holder.join();
	others.join();

	EXPECT_EQ(completed, 3) << "write, read and status: only " << completed
				<< " completed while a reader was held in a fault";
	EXPECT_EQ(wrote.ret, 8);
	EXPECT_EQ(other, "5");
	EXPECT_EQ(seen["depth"], 1);
	EXPECT_EQ(held_read, 0);
	EXPECT_STREQ(static_cast<char *>(page), "6");
	EXPECT_EQ(take_value(out), "-1");
	munmap(page, page_size);
	close(uffd);
}

} // namespace
