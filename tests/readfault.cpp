// marnel-readfault: a dequeue whose copy to the caller faults, on the
// kernel module in the VM. Test-only.
//
//   marnel-readfault stuck
//	Every copy of the reading thread fails (fail_usercopy, set up by the
//	caller: task-filter, times -1, probability 100; this program marks
//	the thread in its make-it-fail). The read must give EFAULT within a
//	second and leave the value at the head. A read that is still going
//	after 5 s is let go (make-it-fail cleared) and counts as a failure.
//   marnel-readfault tail
//	The buffer's two pages are held by userfaultfd, and the head is taken
//	by another reader while the first is resolved, so the read delivers a
//	shorter text than the one that faulted: every byte past it and its
//	NUL keeps what the page held. The same with the second page unmapped
//	instead: EFAULT, the buffer as it was, the value kept.
//
// Prints one line per case; exit status 0 when every check held.
#include <fcntl.h>
#include <linux/userfaultfd.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

const char *const enqueue = "/proc/marnel/enqueue";
const char *const dequeue = "/proc/marnel/dequeue";
int failures = 0;

void check(bool ok, const std::string &what)
{
	printf("%s: %s\n", ok ? "ok" : "FAIL", what.c_str());
	failures += !ok;
}

bool put(const char *text)
{
	char record[8] = {};
	memcpy(record, text, strlen(text));
	int fd = open(enqueue, O_WRONLY);
	bool ok = fd >= 0 && write(fd, record, 8) == 8;
	close(fd);
	return ok;
}

// The head's text, taken out; "-1" when empty.
std::string take()
{
	char text[12] = {};
	int fd = open(dequeue, O_RDONLY);
	bool ok = fd >= 0 && read(fd, text, 11) == 0;
	close(fd);
	return ok ? text : "(error)";
}

void drain()
{
	for (int i = 0; i < 100'000 && take() != "-1"; i++) {
	}
}

bool write_file(const std::string &path, const char *text)
{
	int fd = open(path.c_str(), O_WRONLY);
	bool ok = fd >= 0 && write(fd, text, strlen(text)) == static_cast<ssize_t>(strlen(text));
	close(fd);
	return ok;
}

int stuck()
{
	drain();
	if (!put("7")) {
		printf("stuck: the write failed: %s\n", strerror(errno));
		return 1;
	}
	int out = open(dequeue, O_RDONLY);
	std::atomic<pid_t> tid{0};
	std::atomic<bool> done{false};
	ssize_t result = -2;
	int error = 0;
	double seconds = 0;
	std::thread reader([&] {
		char buf[12];
		bool marked = write_file("/proc/thread-self/make-it-fail", "1");
		tid = static_cast<pid_t>(syscall(SYS_gettid));
		if (marked) {
			auto t0 = Clock::now();
			result = read(out, buf, 11);
			error = errno;
			seconds = std::chrono::duration<double>(Clock::now() - t0).count();
		}
		done = true;
	});
	auto until = Clock::now() + std::chrono::seconds(5);
	while (!done && Clock::now() < until)
		usleep(10'000);
	while (tid == 0)
		usleep(1000);
	// Lets a read that never ends go, so that the module can be unloaded.
	write_file("/proc/self/task/" + std::to_string(tid) + "/make-it-fail", "0");
	reader.join();
	close(out);
	char what[160];
	snprintf(what, sizeof what, "a read whose every copy fails: result %zd (%s) after %.3f s",
		 result, result < 0 ? strerror(error) : "a value", seconds);
	check(result == -1 && error == EFAULT && seconds < 1, what);
	check(take() == "7", "the value stayed at the head");
	return failures;
}

struct Held {
	int uffd = -1;
	char *area = nullptr;
	long page = 0;
};

bool hold(Held &h)
{
	h.page = sysconf(_SC_PAGESIZE);
	h.uffd = static_cast<int>(syscall(SYS_userfaultfd, O_CLOEXEC));
	void *area = mmap(nullptr, static_cast<std::size_t>(2 * h.page), PROT_READ | PROT_WRITE,
			  MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
	uffdio_api api{UFFD_API, 0, 0};
	uffdio_register reg{{reinterpret_cast<std::uintptr_t>(area),
			     static_cast<std::uint64_t>(2 * h.page)},
			    UFFDIO_REGISTER_MODE_MISSING, 0};
	if (h.uffd < 0 || area == MAP_FAILED || ioctl(h.uffd, UFFDIO_API, &api) ||
	    ioctl(h.uffd, UFFDIO_REGISTER, &reg)) {
		printf("tail: userfaultfd: %s\n", strerror(errno));
		return false;
	}
	h.area = static_cast<char *>(area);
	return true;
}

// The next fault, which must be on page `which` of the area.
bool fault_on(const Held &h, int which)
{
	pollfd p{h.uffd, POLLIN, 0};
	uffd_msg msg{};
	return poll(&p, 1, 2000) == 1 && read(h.uffd, &msg, sizeof msg) == sizeof msg &&
	       msg.event == UFFD_EVENT_PAGEFAULT &&
	       (msg.arg.pagefault.address & ~static_cast<std::uint64_t>(h.page - 1)) ==
		       reinterpret_cast<std::uintptr_t>(h.area + which * h.page);
}

bool fill(const Held &h, int which, const char *src)
{
	uffdio_copy copy{reinterpret_cast<std::uintptr_t>(h.area + which * h.page),
			 reinterpret_cast<std::uintptr_t>(src), static_cast<std::uint64_t>(h.page),
			 0, 0};
	return ioctl(h.uffd, UFFDIO_COPY, &copy) == 0;
}

// One case: "12345678" then "5" queued; the buffer starts 4 bytes before
// the second page. The first fault (page 0) takes the head meanwhile, so
// the read goes on with "5"; the second (page 1) is filled, or unmapped.
void tail_case(bool unmap)
{
	const char *name = unmap ? "tail, second page unmapped" : "tail, delivered";
	Held h;
	if (!hold(h)) {
		failures++;
		return;
	}
	std::string pattern(static_cast<std::size_t>(h.page), 'x');
	drain();
	if (!put("12345678") || !put("5")) {
		check(false, std::string(name) + ": the writes");
		return;
	}
	char *buf = h.area + h.page - 4;
	int out = open(dequeue, O_RDONLY);
	ssize_t result = -2;
	int error = 0;
	std::thread reader([&] {
		result = read(out, buf, 11);
		error = errno;
	});
	bool held = fault_on(h, 0);
	std::string taken = held ? take() : "";
	held = held && fill(h, 0, pattern.data()) && fault_on(h, 1);
	if (held && unmap) {
		uffdio_range wake{reinterpret_cast<std::uintptr_t>(h.area + h.page),
				  static_cast<std::uint64_t>(h.page)};
		held = munmap(h.area + h.page, static_cast<std::size_t>(h.page)) == 0 &&
		       ioctl(h.uffd, UFFDIO_WAKE, &wake) == 0;
	} else if (held) {
		held = fill(h, 1, pattern.data());
	}
	if (!held) // whatever went wrong, the reader must not stay held
		close(h.uffd);
	reader.join();
	close(out);
	check(held && taken == "12345678", std::string(name) + ": both pages faulted, the head taken meanwhile");
	// What the read may have written: "5" and its NUL, when it delivered.
	std::size_t from = unmap ? 0 : 2, to = unmap ? 4 : 8, changed = 0;
	for (std::size_t i = from; i < to; i++)
		changed += buf[i] != 'x';
	if (unmap) {
		check(result == -1 && error == EFAULT, std::string(name) + ": EFAULT");
		check(changed == 0, std::string(name) + ": the buffer as it was (" +
					    std::to_string(changed) + " bytes changed)");
		check(take() == "5", std::string(name) + ": the value stayed at the head");
	} else {
		check(result == 0 && memcmp(buf, "5", 2) == 0,
		      std::string(name) + ": \"5\" delivered (result " + std::to_string(result) + ")");
		check(changed == 0, std::string(name) + ": the 6 bytes past its NUL as they were (" +
					    std::to_string(changed) + " changed)");
	}
	munmap(h.area, static_cast<std::size_t>(2 * h.page));
	close(h.uffd);
}

} // namespace

int main(int argc, char *argv[])
{
	std::string mode = argc == 2 ? argv[1] : "";
	if (mode == "stuck")
		return stuck() ? 1 : 0;
	if (mode == "tail") {
		tail_case(false);
		tail_case(true);
		return failures ? 1 : 0;
	}
	fprintf(stderr, "usage: marnel-readfault stuck|tail\n");
	return 2;
}
