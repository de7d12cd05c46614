// Reaching the caller's memory as copy_from_user/copy_to_user do: an
// address that is not mapped gives EFAULT, not a crash.
#include "queue.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

namespace marnel::sim {

namespace {

// The process's pid, for process_vm_readv/writev, without a getpid per
// call. It lives in a page the kernel clears in a forked child (even one
// made by a raw clone), where it is then looked up again.
std::atomic<pid_t> *pid_cache = [] {
	void *page = mmap(nullptr, 4096, PROT_READ | PROT_WRITE,
			  MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
	if (page != MAP_FAILED && madvise(page, 4096, MADV_WIPEONFORK) == 0)
		return new (page) std::atomic<pid_t>(0);
	if (page != MAP_FAILED)
		munmap(page, 4096);
	static std::atomic<pid_t> fallback{0};
	pthread_atfork(nullptr, nullptr, [] { fallback.store(0); });
	return &fallback;
}();

pid_t self()
{
	pid_t pid = pid_cache->load(std::memory_order_relaxed);
	if (pid == 0) {
		pid = getpid();
		pid_cache->store(pid, std::memory_order_relaxed);
	}
	return pid;
}

// This thread's stack, looked up at its first use (pthread_getattr_np is
// not async-signal-safe: the preload library asks for it at open).
struct Stack {
	std::uintptr_t low = 0, high = 0;
	bool known = false;
};
thread_local Stack stack __attribute__((tls_model("initial-exec")));

// [p, p + n) lies between the current frame and the top of this thread's
// stack: memory the thread has already run through, so mapped and
// writable, and reached without a system call. pushwell's record and
// drawwell's area are there. Off the thread's stack (a signal stack, a
// coroutine's) nothing is assumed.
void find_stack()
{
	if (!stack.known) {
		pthread_attr_t attr;
		if (pthread_getattr_np(pthread_self(), &attr) == 0) {
			void *addr = nullptr;
			std::size_t size = 0;
			if (pthread_attr_getstack(&attr, &addr, &size) == 0) {
				stack.low = reinterpret_cast<std::uintptr_t>(addr);
				stack.high = stack.low + size;
			}
			pthread_attr_destroy(&attr);
		}
		stack.known = true;
	}
}

bool on_live_stack(const void *p, std::size_t n)
{
	find_stack();
	auto frame = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
	auto a = reinterpret_cast<std::uintptr_t>(p);
	return stack.low <= frame && frame < stack.high && a >= frame &&
	       a < stack.high && n <= stack.high - a;
}

// Where process_vm_* is refused (qemu-user has none, a seccomp filter may
// forbid it), a pipe: the kernel copies through the bad address just as
// well, and answers EFAULT for it. Raw calls, past this library's wrappers.
int through_pipe(const void *from, void *to, std::size_t n)
{
	int fd[2];
	if (syscall(SYS_pipe2, fd, O_CLOEXEC) != 0)
		return ENOSYS; // out of descriptors: the address is trusted
	auto *src = static_cast<const char *>(from);
	auto *dst = static_cast<char *>(to);
	int err = 0;
	while (n > 0 && err == 0) {
		std::size_t chunk = std::min<std::size_t>(n, 4096); // fits any pipe
		auto want = static_cast<long>(chunk);
		if (syscall(SYS_write, fd[1], src, chunk) != want ||
		    syscall(SYS_read, fd[0], dst, chunk) != want)
			err = EFAULT;
		src += chunk;
		dst += chunk;
		n -= chunk;
	}
	syscall(SYS_close, fd[0]);
	syscall(SYS_close, fd[1]);
	return err;
}

// Through the kernel, which answers EFAULT for a bad address instead of
// faulting.
int through_kernel(const iovec &local, const iovec &remote, bool in)
{
	ssize_t done = in ? process_vm_readv(self(), &local, 1, &remote, 1, 0)
			  : process_vm_writev(self(), &local, 1, &remote, 1, 0);
	if (done == static_cast<ssize_t>(local.iov_len))
		return 0;
	if (done < 0 && (errno == ENOSYS || errno == EPERM))
		return in ? through_pipe(remote.iov_base, local.iov_base, local.iov_len)
			  : through_pipe(local.iov_base, remote.iov_base, local.iov_len);
	return EFAULT;
}

} // namespace

// The caller's [p, p + n) can be read and written, checked with at most
// one system call that copies it onto itself.
int caller_writable(void *p, std::size_t n)
{
	if (n == 0 || on_live_stack(p, n))
		return 0;
	int err = through_kernel({p, n}, {p, n}, false);
	return err == ENOSYS ? 0 : err;
}

void prepare_caller_access()
{
	find_stack();
}

int copy_from_caller(void *to, const void *from, std::size_t n)
{
	if (n == 0)
		return 0;
	if (!on_live_stack(from, n)) {
		int err = through_kernel({to, n}, {const_cast<void *>(from), n}, true);
		if (err != ENOSYS)
			return err;
	}
	memcpy(to, from, n);
	return 0;
}

int copy_to_caller(void *to, const void *from, std::size_t n)
{
	if (n == 0)
		return 0;
	if (!on_live_stack(to, n)) {
		int err = through_kernel({const_cast<void *>(from), n}, {to, n}, false);
		if (err != ENOSYS)
			return err;
	}
	memcpy(to, from, n);
	return 0;
}

} // namespace marnel::sim
