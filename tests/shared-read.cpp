// marnel-shared-read: forked readers on one open file description of a
// read-only entry, each reading 1 to 7 bytes at a time. Test-only.
//
//   marnel-shared-read PATH READERS ROUNDS
//
// Each round opens PATH once, forks READERS children that start at one
// instant, and stops the first of them for a moment while the others go
// on: none of them may wait for it. Across the readers every byte of one
// snapshot comes exactly once, in order within each reader; a fresh open
// read alone gives the snapshot. When no byte repeats in it, each chunk is
// placed by its bytes: the chunks must tile it. Prints a line per fault;
// exit status 0 when there was none.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

namespace {

constexpr int max_readers = 16;
constexpr std::size_t max_bytes = 4096;

struct Reader {
	std::atomic<int> done;
	int error; // errno of a failed read, or 0
	std::size_t got;
	std::size_t chunks;
	unsigned char bytes[max_bytes];
	unsigned short chunk_len[max_bytes];
};

struct Round {
	std::atomic<int> go;
	Reader readers[max_readers];
};

int failures = 0;

void fail(int round, const std::string &what)
{
	printf("round %d: %s\n", round, what.c_str());
	failures++;
}

[[noreturn]] void read_all(int fd, Round &r, int me)
{
	Reader &rd = r.readers[me];
	unsigned seed = static_cast<unsigned>(getpid());
	while (!r.go.load(std::memory_order_acquire))
		;
	for (;;) {
		auto want = static_cast<std::size_t>(1 + rand_r(&seed) % 7);
		unsigned char buf[8];
		ssize_t n = read(fd, buf, want);
		if (n < 0) {
			rd.error = errno;
			break;
		}
		if (n == 0 || rd.got + static_cast<std::size_t>(n) > max_bytes)
			break;
		std::copy(buf, buf + n, rd.bytes + rd.got);
		rd.got += static_cast<std::size_t>(n);
		rd.chunk_len[rd.chunks++] = static_cast<unsigned short>(n);
	}
	rd.done.store(1, std::memory_order_release);
	_exit(0);
}

std::string whole(const char *path)
{
	std::string s;
	int fd = open(path, O_RDONLY);
	char buf[512];
	ssize_t n;
	while (fd >= 0 && (n = read(fd, buf, sizeof buf)) > 0)
		s.append(buf, static_cast<std::size_t>(n));
	if (fd >= 0)
		close(fd);
	return s;
}

void check(int round, const Round &r, int readers, const std::string &text)
{
	std::string all;
	for (int i = 0; i < readers; i++) {
		if (r.readers[i].error)
			fail(round, "reader " + std::to_string(i) + ": read failed, errno " +
					    std::to_string(r.readers[i].error));
		all.append(reinterpret_cast<const char *>(r.readers[i].bytes), r.readers[i].got);
	}
	if (all.size() != text.size()) {
		fail(round, std::to_string(all.size()) + " bytes read for a text of " +
				    std::to_string(text.size()));
		return;
	}
	std::string sorted = text;
	std::sort(all.begin(), all.end());
	std::sort(sorted.begin(), sorted.end());
	if (all != sorted)
		fail(round, "the bytes read are not the text's");
	if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end())
		return;
	// Every byte names its place: each chunk one run of the text, each
	// reader's after its last.
	for (int i = 0; i < readers; i++) {
		const Reader &rd = r.readers[i];
		std::size_t at = 0, last_end = 0;
		for (std::size_t c = 0; c < rd.chunks; c++) {
			std::string chunk(reinterpret_cast<const char *>(rd.bytes) + at,
					  rd.chunk_len[c]);
			std::size_t place = text.find(chunk);
			if (place == std::string::npos || (c > 0 && place < last_end))
				fail(round, "reader " + std::to_string(i) + " chunk " +
						    std::to_string(c) + " '" + chunk +
						    "' out of place");
			at += chunk.size();
			last_end = place + chunk.size();
		}
	}
}

} // namespace

int main(int argc, char **argv)
{
	if (argc != 4) {
		fprintf(stderr, "usage: marnel-shared-read PATH READERS ROUNDS\n");
		return 2;
	}
	const char *path = argv[1];
	int readers = std::clamp(atoi(argv[2]), 2, max_readers);
	int rounds = atoi(argv[3]);
	void *p = mmap(nullptr, sizeof(Round), PROT_READ | PROT_WRITE,
		       MAP_SHARED | MAP_ANONYMOUS, -1, 0);
	if (p == MAP_FAILED)
		return perror("mmap"), 2;
	auto &r = *static_cast<Round *>(p);
	for (int round = 0; round < rounds && failures < 10; round++) {
		for (int i = 0; i < readers; i++)
			new (&r.readers[i]) Reader{};
		r.go.store(0);
		int fd = open(path, O_RDONLY);
		if (fd < 0)
			return perror(path), 2;
		pid_t pids[max_readers];
		for (int i = 0; i < readers; i++)
			if ((pids[i] = fork()) == 0)
				read_all(fd, r, i);
		close(fd);
		r.go.store(1, std::memory_order_release);
		usleep(static_cast<useconds_t>(round % 50));
		kill(pids[0], SIGSTOP);
		// The others finish while the first is stopped.
		for (int i = 1; i < readers; i++) {
			int status = 0;
			waitpid(pids[i], &status, 0);
		}
		kill(pids[0], SIGCONT);
		waitpid(pids[0], nullptr, 0);
		check(round, r, readers, whole(path));
	}
	printf("%s\n", failures ? "FAIL" : "ok");
	return failures ? 1 : 0;
}
