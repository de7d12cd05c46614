// marnel-stress-faults: the stress modes that need the marnel module on a
// debug kernel, run by the VM scenario (vm/scenario.sh). The kit's
// marnel-stress holds the ones any driver can meet.
//
//   marnel-stress-faults fault UNLOAD-COMMAND
//	The unload command, run while a reader's buffer is held in a page
//	fault (userfaultfd), completes within 2 s once the fault is resolved,
//	and the held reader then gets a value. (That the held reader holds up
//	no other caller is marnel-conformance's.)
//   marnel-stress-faults usercopy
//	A kernel with fault injection: each entry point's call made to fail
//	at each of its injection points in turn (/proc/thread-self/fail-nth).
//	A failed call gives EFAULT and leaves the status as it was; a dequeue
//	whose copy under the lock fails faults the buffer in and tries again,
//	so it may instead deliver the value, once.
//   marnel-stress-faults load-faults MODULE PARAMS
//	finit_module made to fail at each injection point in turn (with the
//	allocations counted: failslab and fail_page_alloc set so): each
//	failed load leaves neither /proc/marnel nor the module behind, and
//	the first load to pass them all works.
//
// Prints one summary line; exit status 0 when every check held.
#include "stress.hpp"

#include <linux/userfaultfd.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/syscall.h>

#include <functional>
#include <new>
#include <thread>

namespace {

using namespace stress;

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
	printf("fault: an unload while a reader was held in a page fault, %s\n", verdict());
	return faults->count ? 1 : 0;
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
		for (int n = 1; n < 100 && !faults->count; n++) {
			drain();
			if (write(in, "3\0\0\0\0\0\0", 8) != 8)
				fault((c.name + ": the write before failure %ld failed").c_str(), n);
			st = open(status_entry, O_RDONLY);
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
	       failed, retried, verdict());
	return faults->count || failed == 0 ? 1 : 0;
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
	for (; n < 100'000 && !faults->count; n++) {
		arm(nth, n);
		long r = syscall(SYS_finit_module, ko, params, 0);
		int error = errno;
		bool fired = injected(nth);
		if (r == 0) {
			if (access(status_entry, R_OK) != 0)
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
	       n - 1, by.c_str(), passed, verdict());
	return faults->count ? 1 : 0;
}

} // namespace

int main(int argc, char *argv[])
{
	void *m = mmap(nullptr, sizeof(Faults), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS,
		       -1, 0);
	if (m == MAP_FAILED)
		return 1;
	faults = new (m) Faults{};
	std::string mode = argc > 1 ? argv[1] : "";
	drain();
	if (mode == "fault" && argc == 3)
		return held_fault(argv[2]);
	if (mode == "usercopy" && argc == 2)
		return usercopy();
	if (mode == "load-faults" && argc == 4)
		return load_faults(argv[2], argv[3]);
	fprintf(stderr, "usage: marnel-stress-faults fault UNLOAD-COMMAND | usercopy | "
			"load-faults MODULE PARAMS\n");
	return 2;
}
