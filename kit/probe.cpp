// marnel-probe: every call a program can make on /proc/marnel, one line per
// call with its result, errno and the bytes it placed. Run against a freshly
// loaded driver (capacity 16) it prints the same text on every driver that
// answers every call alike, so two drivers are compared by comparing its
// output. It judges nothing: a call a driver refuses, or an entry it lacks
// (status, say), is a line like any other.
//
//   marnel-probe           the calls; with MARNEL_LOAD and MARNEL_UNLOAD set
//			    (shell commands), an unload and load among them
//   marnel-probe write FD  (re-executed by itself) write a record to FD
//   marnel-probe return    (re-executed by itself) a record left in stdout
#include "cli.hpp"
#include "profile.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <iterator>
#include <cerrno>
#include <cstdint>
#include <fstream>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char *const enqueue = "/proc/marnel/enqueue";
const char *const dequeue = "/proc/marnel/dequeue";
const char *const status = "/proc/marnel/status";
const char *const entries[] = {enqueue, dequeue, status};

std::string shown(const char *p, std::size_t n)
{
	std::string s;
	for (std::size_t i = 0; i < n; i++) {
		auto c = static_cast<unsigned char>(p[i]);
		char b[8];
		if (c >= 0x20 && c < 0x7f && c != '\\')
			s += static_cast<char>(c);
		else {
			snprintf(b, sizeof b, "\\x%02x", c);
			s += b;
		}
	}
	return s;
}

// "= N" or "-1 ENAME", captured right after the call.
std::string res(long r)
{
	if (r >= 0)
		return "= " + std::to_string(r);
	const char *name = strerrorname_np(errno);
	return std::string("-1 ") + (name ? name : "?");
}

int results; // lines this process printed, for the summary

void say(const std::string &what, const std::string &result, const std::string &more = "")
{
	results++;
	printf("%s %s%s%s\n", what.c_str(), result.c_str(), more.empty() ? "" : " ", more.c_str());
	fflush(stdout);
}

std::string mode(const struct stat &st)
{
	char b[64];
	// A folder's link count differs between kernel versions: left out.
	snprintf(b, sizeof b, "%s %04o size=%lld nlink=%lu own=%d",
		 S_ISDIR(st.st_mode) ? "dir" : S_ISREG(st.st_mode) ? "reg" : "other",
		 st.st_mode & 07777, static_cast<long long>(st.st_size),
		 S_ISDIR(st.st_mode) ? 0UL : static_cast<unsigned long>(st.st_nlink),
		 st.st_uid == geteuid());
	return b;
}

void put(int fd, const char *label, const char *text)
{
	char rec[8] = {};
	memcpy(rec, text, strnlen(text, sizeof rec));
	long r = write(fd, rec, sizeof rec);
	say(std::string("write ") + label + " \"" + text + "\"", res(r));
}

// A read of n bytes into 16 bytes of 'x': the result and all it placed.
void take(int fd, const char *label, std::size_t n)
{
	char b[16];
	memset(b, 'x', sizeof b);
	long r = read(fd, b, n);
	say(std::string("read ") + label + " " + std::to_string(n), res(r), "[" + shown(b, n) + "]");
}

void drain(int fd, const char *label)
{
	for (int i = 0; i < 40; i++) {
		char b[12] = {};
		if (read(fd, b, 11) != 0 || strcmp(b, "-1") == 0)
			break;
		say(std::string("drained ") + label, "", b);
	}
}

void status_text(const char *label)
{
	int fd = open(status, O_RDONLY);
	if (fd < 0) {
		say(std::string("status ") + label, res(-1));
		return;
	}
	std::string text;
	char b[7];
	long n;
	while ((n = read(fd, b, sizeof b)) > 0)
		text.append(b, static_cast<std::size_t>(n));
	close(fd);
	std::replace(text.begin(), text.end(), '\n', ' ');
	say(std::string("status ") + label, res(n), text);
}

void paths()
{
	struct stat st;
	for (const char *p : {"/proc/marnel", "/proc/marnel/", enqueue, dequeue, status,
			      "/proc/marnel/none", "/proc//marnel/enqueue", "/proc/./marnel/status",
			      "/proc/marnel/../marnel/dequeue"}) {
		long r = stat(p, &st);
		say(std::string("stat ") + p, res(r), r == 0 ? mode(st) : "");
		r = lstat(p, &st);
		say(std::string("lstat ") + p, res(r), r == 0 ? mode(st) : "");
	}
	for (const char *p : entries) {
		for (auto [name, how] : {std::pair{"F_OK", F_OK}, {"R_OK", R_OK}, {"W_OK", W_OK},
					 {"X_OK", X_OK}}) {
			long r = access(p, how);
			say(std::string("access ") + p + " " + name, res(r));
			r = faccessat(AT_FDCWD, p, how, AT_EACCESS);
			say(std::string("faccessat-eaccess ") + p + " " + name, res(r));
		}
	}
	std::vector<std::string> names;
	if (DIR *d = opendir("/proc/marnel")) {
		while (dirent *e = readdir(d))
			names.push_back(std::string(e->d_name) + (e->d_type == DT_REG ? "(reg)" :
								 e->d_type == DT_DIR ? "(dir)" : "(?)"));
		closedir(d);
	} else {
		say("opendir /proc/marnel", res(-1));
	}
	std::sort(names.begin(), names.end());
	std::string all;
	for (auto &n : names)
		all += " " + n;
	say("readdir /proc/marnel", "", all);

	// Spellings of one path, a relative path and a directory descriptor.
	for (const char *p : {"/proc//marnel/enqueue", "/proc/./marnel/enqueue",
			      "/proc/marnel/../marnel/enqueue", "/proc/marnel//enqueue"}) {
		int fd = open(p, O_WRONLY);
		say(std::string("open ") + p, res(fd < 0 ? -1 : 0));
		if (fd >= 0) {
			put(fd, "spelled", "1");
			close(fd);
		}
	}
	int proc = open("/proc", O_RDONLY | O_DIRECTORY);
	int fd = openat(proc, "marnel/enqueue", O_WRONLY);
	say("openat /proc marnel/enqueue", res(fd < 0 ? -1 : 0));
	put(fd, "openat", "2");
	close(fd);
	close(proc);
	if (chdir("/proc/marnel") == 0) {
		fd = open("enqueue", O_WRONLY);
		say("open enqueue in /proc/marnel", res(fd < 0 ? -1 : 0));
		put(fd, "relative", "3");
		close(fd);
		fd = open("../marnel/dequeue", O_RDONLY);
		say("open ../marnel/dequeue in /proc/marnel", res(fd < 0 ? -1 : 0));
		drain(fd, "relative");
		close(fd);
		if (chdir("/") != 0)
			say("chdir /", res(-1));
	} else {
		say("chdir /proc/marnel", res(-1));
	}
}

void opens()
{
	const std::pair<const char *, int> access_modes[] = {
		{"O_RDONLY", O_RDONLY}, {"O_WRONLY", O_WRONLY}, {"O_RDWR", O_RDWR}};
	const std::pair<const char *, int> extras[] = {
		{"", 0}, {"|O_APPEND", O_APPEND}, {"|O_NONBLOCK", O_NONBLOCK},
		{"|O_TRUNC", O_TRUNC}, {"|O_CREAT", O_CREAT}, {"|O_CREAT|O_EXCL", O_CREAT | O_EXCL},
		{"|O_DIRECTORY", O_DIRECTORY}, {"|O_NOFOLLOW", O_NOFOLLOW}, {"|O_SYNC", O_SYNC},
		{"|O_NOATIME", O_NOATIME}, {"|O_CLOEXEC", O_CLOEXEC}};
	for (const char *p : entries)
		for (auto [an, a] : access_modes)
			for (auto [en, e] : extras) {
				int fd = open(p, a | e, 0644);
				std::string more;
				if (fd >= 0) {
					int fl = fcntl(fd, F_GETFL);
					more = (fl & O_ACCMODE) == O_RDONLY ? "r" :
					       (fl & O_ACCMODE) == O_WRONLY ? "w" : "rw";
					if (fl & O_APPEND)
						more += "+append";
					if (fl & O_NONBLOCK)
						more += "+nonblock";
					if (fcntl(fd, F_GETFD) & FD_CLOEXEC)
						more += "+cloexec";
					close(fd);
				}
				say(std::string("open ") + p + " " + an + en, res(fd < 0 ? -1 : 0), more);
			}
}

void writes(int in, int out)
{
	char big[4096];
	memset(big, 0, sizeof big);
	big[0] = '4';
	for (std::size_t n : {0UL, 1UL, 7UL, 9UL, 4096UL}) {
		long r = write(in, big, n);
		say("write enqueue count " + std::to_string(n), res(r));
	}
	char two[17] = "0000002100000022";
	iovec v[2] = {{two, 8}, {two + 8, 8}};
	say("writev enqueue 8+8", res(writev(in, v, 2)));
	v[0].iov_len = 4;
	v[1] = {two + 4, 4};
	say("writev enqueue 4+4", res(writev(in, v, 2)));
	v[0] = {two, 8};
	v[1] = {two, 0};
	say("writev enqueue 8+0", res(writev(in, v, 2)));
	v[0] = {two, 0};
	v[1] = {two + 8, 8};
	say("writev enqueue 0+8", res(writev(in, v, 2)));
	say("pwrite enqueue @0", res(pwrite(in, "00000031", 8, 0)));
	say("pwrite enqueue @5", res(pwrite(in, "00000032", 8, 5)));
	v[0] = {two, 8};
	v[1] = {two + 8, 8};
	say("pwritev enqueue 8+8 @0", res(pwritev(in, v, 2, 0)));
	say("pwritev2 enqueue 8+8 @-1", res(pwritev2(in, v, 2, -1, 0)));
	say("write dequeue", res(write(out, "00000001", 8)));
	int st = open(status, O_RDONLY);
	say("write status", res(write(st, "00000001", 8)));
	close(st);
	for (auto [name, fd] : {std::pair{"enqueue", in}, {"dequeue", out}})
		for (auto [wn, w] : {std::pair{"SEEK_SET 0", SEEK_SET}, {"SEEK_CUR 0", SEEK_CUR},
				     {"SEEK_END 0", SEEK_END}})
			say(std::string("lseek ") + name + " " + wn, res(lseek(fd, 0, w)));
	say("lseek enqueue SEEK_SET 5", res(lseek(in, 5, SEEK_SET)));
	say("lseek dequeue SEEK_SET 5", res(lseek(out, 5, SEEK_SET)));
	struct stat s;
	for (auto [name, fd] : {std::pair{"enqueue", in}, {"dequeue", out}}) {
		long r = fstat(fd, &s);
		say(std::string("fstat ") + name, res(r), r == 0 ? mode(s) : "");
	}
	status_text("after writes");
}

void reads(int in, int out)
{
	for (const char *v : {"5", "-6", "77", "888", "-9999", "12345678"})
		put(in, "queue", v);
	for (std::size_t n = 0; n <= 12; n++)
		take(out, "dequeue", n);
	for (const char *v : {"1", "2", "3", "4", "5", "6", "7", "8"})
		put(in, "queue", v);
	char a[16], b[16];
	memset(a, 'x', sizeof a);
	memset(b, 'y', sizeof b);
	iovec v[2] = {{a, 2}, {b, 11}};
	long r = readv(out, v, 2);
	say("readv dequeue 2+11", res(r), "[" + shown(a, 2) + "|" + shown(b, 11) + "]");
	v[0].iov_len = 11;
	r = readv(out, v, 2);
	say("readv dequeue 11+11", res(r), "[" + shown(a, 11) + "|" + shown(b, 11) + "]");
	r = pread(out, a, 11, 0);
	say("pread dequeue 11 @0", res(r), "[" + shown(a, 11) + "]");
	r = pread(out, a, 11, 7);
	say("pread dequeue 11 @7", res(r), "[" + shown(a, 11) + "]");
	r = preadv(out, v, 2, 0);
	say("preadv dequeue 11+11 @0", res(r), "[" + shown(a, 11) + "|" + shown(b, 11) + "]");
	r = preadv2(out, v, 2, -1, 0);
	say("preadv2 dequeue 11+11 @-1", res(r), "[" + shown(a, 11) + "|" + shown(b, 11) + "]");
	say("read enqueue", res(read(in, a, 11)));
	drain(out, "after reads");
}

// The status entry as a file: pieces, seeks, pread, a fresh snapshot.
void status_file(int in)
{
	int fd = open(status, O_RDONLY);
	if (fd < 0) {
		say("status open", res(-1));
		return;
	}
	char b[256];
	long r = read(fd, b, 10);
	say("status read 10", res(r), "[" + shown(b, r > 0 ? static_cast<std::size_t>(r) : 0) + "]");
	put(in, "between", "41");
	r = read(fd, b, sizeof b);
	say("status read rest", res(r), "[" + shown(b, r > 0 ? static_cast<std::size_t>(r) : 0) + "]");
	say("status read at end", res(read(fd, b, sizeof b)));
	say("status lseek SEEK_CUR 0", res(lseek(fd, 0, SEEK_CUR)));
	say("status lseek SEEK_SET 0", res(lseek(fd, 0, SEEK_SET)));
	put(in, "after seek", "42");
	r = read(fd, b, sizeof b);
	say("status read after seek", res(r), "[" + shown(b, r > 0 ? static_cast<std::size_t>(r) : 0) + "]");
	say("status lseek SEEK_SET 5", res(lseek(fd, 5, SEEK_SET)));
	r = read(fd, b, 8);
	say("status read 8 at 5", res(r), "[" + shown(b, r > 0 ? static_cast<std::size_t>(r) : 0) + "]");
	say("status lseek SEEK_END 0", res(lseek(fd, 0, SEEK_END)));
	say("status lseek SEEK_CUR -3", res(lseek(fd, -3, SEEK_CUR)));
	r = pread(fd, b, 12, 0);
	say("status pread 12 @0", res(r), "[" + shown(b, r > 0 ? static_cast<std::size_t>(r) : 0) + "]");
	r = pread(fd, b, 12, 30);
	say("status pread 12 @30", res(r), "[" + shown(b, r > 0 ? static_cast<std::size_t>(r) : 0) + "]");
	struct stat st;
	r = fstat(fd, &st);
	say("fstat status", res(r), r == 0 ? mode(st) : "");
	close(fd);
}

// Descriptors that reach an entry by dup, fork and exec.
void descriptors(int in, int out, const char *self)
{
	int d = dup(in);
	put(d, "dup", "51");
	int d2 = dup2(in, 20);
	put(d2, "dup2", "52");
	int d3 = dup3(in, 21, O_CLOEXEC);
	put(d3, "dup3", "53");
	int d4 = fcntl(in, F_DUPFD, 30);
	put(d4, "F_DUPFD", "54");
	int d5 = fcntl(in, F_DUPFD_CLOEXEC, 30);
	put(d5, "F_DUPFD_CLOEXEC", "55");
	close(d);
	put(d2, "dup2 after closing dup", "56");
	int r = dup2(out, d2);
	say("dup2 dequeue over an enqueue dup", res(r < 0 ? -1 : 0));
	put(d2, "to the dequeue dup", "57");
	take(d2, "dequeue dup", 11);
	close(d2);
	close(d3);
	close(d4);
	close(d5);

	pid_t pid = fork();
	if (pid == 0) {
		put(in, "forked child", "58");
		_exit(0);
	}
	int wst;
	waitpid(pid, &wst, 0);
	pid = fork();
	if (pid == 0) {
		dup2(in, 9);
		execl(self, self, "write", "9", static_cast<char *>(nullptr));
		_exit(127);
	}
	waitpid(pid, &wst, 0);
	say("exec child", "", std::to_string(WIFEXITED(wst) ? WEXITSTATUS(wst) : 128));
	int c = dup3(in, 10, O_CLOEXEC);
	pid = fork();
	if (pid == 0) {
		execl(self, self, "write", "10", static_cast<char *>(nullptr));
		_exit(127);
	}
	waitpid(pid, &wst, 0);
	say("exec child, O_CLOEXEC", "", std::to_string(WIFEXITED(wst) ? WEXITSTATUS(wst) : 128));
	close(c);
	drain(out, "descriptors");
}

// More of what programs do: flags, stat through a descriptor, folders,
// the working folder, O_PATH, offsets that are refused, bad addresses.
void more(int in, int out)
{
	int fd = open(enqueue, O_WRONLY);
	say("F_SETFL O_APPEND|O_NONBLOCK", res(fcntl(fd, F_SETFL, O_APPEND | O_NONBLOCK)));
	int fl = fcntl(fd, F_GETFL);
	say("F_GETFL after F_SETFL", res(fl < 0 ? -1 : 0),
	    std::string((fl & O_APPEND) ? "append " : "") + ((fl & O_NONBLOCK) ? "nonblock" : ""));
	int d = dup(fd);
	fl = fcntl(d, F_GETFL);
	say("F_GETFL of a dup", res(fl < 0 ? -1 : 0), (fl & O_APPEND) ? "append" : "");
	say("F_SETFD FD_CLOEXEC", res(fcntl(d, F_SETFD, FD_CLOEXEC)));
	say("F_GETFD", res(fcntl(d, F_GETFD)));
	put(d, "after fcntl", "61");
	close(fd);
	put(d, "dup after closing the first", "62");
	struct stat st;
	long r = fstatat(d, "", &st, AT_EMPTY_PATH);
	say("fstatat AT_EMPTY_PATH enqueue", res(r), r == 0 ? mode(st) : "");
	struct statx sx;
	r = statx(d, "", AT_EMPTY_PATH, STATX_BASIC_STATS, &sx);
	say("statx AT_EMPTY_PATH enqueue", res(r),
	    r == 0 ? std::to_string(sx.stx_mode & 07777) + " size=" + std::to_string(sx.stx_size) : "");
	close(d);
	for (const char *p : {"/proc/marnel", status, "/proc/marnel/enqueue/", "/proc/marnel/status/x"}) {
		r = statx(AT_FDCWD, p, 0, STATX_BASIC_STATS, &sx);
		say(std::string("statx ") + p, res(r),
		    r == 0 ? std::to_string(sx.stx_mode & 07777) + " size=" + std::to_string(sx.stx_size) +
				     (S_ISDIR(sx.stx_mode) ? " dir" : " reg")
			   : "");
	}
	r = open("/proc/marnel/none", O_WRONLY | O_CREAT, 0644);
	say("open /proc/marnel/none O_CREAT", res(r < 0 ? -1 : 0));
	r = open("/proc/marnel/enqueue/", O_WRONLY);
	say("open /proc/marnel/enqueue/", res(r < 0 ? -1 : 0));
	int dir = open("/proc/marnel", O_RDONLY | O_DIRECTORY);
	say("open /proc/marnel O_DIRECTORY", res(dir < 0 ? -1 : 0));
	r = fstatat(dir, "dequeue", &st, 0);
	say("fstatat folder dequeue", res(r), r == 0 ? mode(st) : "");
	fd = openat(dir, "dequeue", O_RDONLY);
	say("openat folder dequeue", res(fd < 0 ? -1 : 0));
	close(fd);
	say("faccessat folder status W_OK", res(faccessat(dir, "status", W_OK, 0)));
	if (DIR *dd = fdopendir(dir)) {
		int n = 0;
		while (readdir(dd))
			n++;
		say("fdopendir /proc/marnel", "", std::to_string(n) + " names");
		closedir(dd);
	}
	dirent **list = nullptr;
	int n = scandir("/proc/marnel", &list, nullptr, alphasort);
	std::string names;
	for (int i = 0; i < n; i++) {
		names += std::string(" ") + list[i]->d_name;
		free(list[i]);
	}
	free(list);
	say("scandir /proc/marnel", res(n), names);
	if (chdir("/proc/marnel") == 0) {
		char cwd[4096];
		say("getcwd in /proc/marnel", "", getcwd(cwd, sizeof cwd) ? cwd : "?");
		r = stat(".", &st);
		say("stat . in /proc/marnel", res(r), r == 0 ? mode(st) : "");
		r = stat("..", &st);
		say("stat .. in /proc/marnel", res(r), r == 0 ? (S_ISDIR(st.st_mode) ? "dir" : "?") : "");
		say("access status R_OK in /proc/marnel", res(access("status", R_OK)));
		say("chdir back", res(chdir("/")));
	}
	fd = open(enqueue, O_PATH);
	say("open enqueue O_PATH", res(fd < 0 ? -1 : 0));
	r = fstat(fd, &st);
	say("fstat O_PATH enqueue", res(r), r == 0 ? mode(st) : "");
	say("write O_PATH enqueue", res(write(fd, "00000001", 8)));
	close(fd);

	char b[16];
	say("pread dequeue @-1", res(pread(out, b, 11, -1)));
	say("pwrite enqueue @-1", res(pwrite(in, "00000063", 8, -1)));
	say("readv dequeue of 0 segments", res(readv(out, nullptr, 0)));
	iovec v[1] = {{b, 11}};
	say("readv enqueue", res(readv(in, v, 1)));
	say("writev dequeue", res(writev(out, v, 1)));
	int st_fd = open(status, O_RDONLY);
	say("lseek status SEEK_DATA", res(lseek(st_fd, 0, SEEK_DATA)));
	say("lseek status SEEK_SET -1", res(lseek(st_fd, -1, SEEK_SET)));
	say("lseek status SEEK_SET 500", res(lseek(st_fd, 500, SEEK_SET)));
	say("read status at 500", res(read(st_fd, b, 10)));
	say("readv status of 0 segments", res(readv(st_fd, v, 0)));
	lseek(st_fd, 0, SEEK_SET);
	char s1[4], s2[6];
	memset(s1, 'y', sizeof s1);
	memset(s2, 'y', sizeof s2);
	iovec sv[2] = {{s1, 4}, {s2, 6}};
	r = readv(st_fd, sv, 2);
	say("readv status 4+6", res(r), "[" + shown(s1, 4) + "|" + shown(s2, 6) + "]");
	close(st_fd);

	// Addresses that are not mapped: EFAULT, and the queue as it was.
	void *bad = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
	put(in, "before bad addresses", "64");
	say("write enqueue bad buffer", res(write(in, bad, 8)));
	say("read dequeue bad buffer", res(read(out, bad, 11)));
	say("pread dequeue bad buffer", res(pread(out, bad, 11, 0)));
	say("readv dequeue bad vector", res(readv(out, static_cast<iovec *>(bad), 1)));
	iovec badv[1] = {{bad, 8}};
	say("writev enqueue bad segment", res(writev(in, badv, 1)));
#if UINTPTR_MAX == UINT32_MAX
	// A 32-bit C library converts struct stat from one of its own and so
	// faults itself on a bad buffer: the kernel is asked directly.
	say("fstat enqueue bad buffer",
	    res(syscall(SYS_statx, in, "", AT_EMPTY_PATH, STATX_BASIC_STATS, bad)));
	say("stat enqueue bad buffer",
	    res(syscall(SYS_statx, AT_FDCWD, enqueue, 0, STATX_BASIC_STATS, bad)));
#else
	say("fstat enqueue bad buffer", res(fstat(in, static_cast<struct stat *>(bad))));
	say("stat enqueue bad buffer", res(stat(enqueue, static_cast<struct stat *>(bad))));
#endif
	int sfd = open(status, O_RDONLY);
	say("read status bad buffer", res(read(sfd, bad, 10)));
	close(sfd);
	munmap(bad, 4096);
	drain(out, "after bad addresses");
	status_text("after more");
}

// stdio and iostreams on the entries.
void streams()
{
	FILE *f = fopen(enqueue, "w");
	say("fopen enqueue w", res(f ? 0 : -1));
	if (f) {
		say("fwrite 8", res(static_cast<long>(fwrite("00000081", 1, 8, f))));
		say("fflush", res(fflush(f)));
		fwrite("0000008200000083", 1, 16, f);
		long r = fflush(f);
		say("fflush of 16 bytes", res(r), std::string("ferror=") + std::to_string(ferror(f) != 0));
		clearerr(f);
		fprintf(f, "%08d", 84);
		say("fclose after fprintf", res(fclose(f)));
	}
	f = fopen(enqueue, "r");
	say("fopen enqueue r", res(f ? 0 : -1));
	if (f)
		fclose(f);
	f = fopen(enqueue, "a");
	if (f) {
		setvbuf(f, nullptr, _IONBF, 0);
		say("unbuffered fwrite 8", res(static_cast<long>(fwrite("00000085", 1, 8, f))));
		long r = static_cast<long>(fwrite("123", 1, 3, f));
		say("unbuffered fwrite 3", res(r), std::string("ferror=") + std::to_string(ferror(f) != 0));
		fclose(f);
	}
	f = fdopen(open(enqueue, O_WRONLY), "w");
	if (f) {
		fputs("00000086", f);
		say("fdopen fflush", res(fflush(f)));
		fclose(f);
	}
	f = fopen(dequeue, "r");
	if (f) {
		char b[16] = {};
		long n = static_cast<long>(fread(b, 1, 11, f));
		say("fread dequeue 11", res(n),
		    std::string("eof=") + std::to_string(feof(f) != 0) + " fileno=" +
			    std::to_string(fileno(f) >= 0));
		fclose(f);
	}
	f = fopen(status, "r");
	if (f) {
		char line[64] = {};
		long r = fgets(line, sizeof line, f) ? 0 : -1;
		say("fgets status", res(r), shown(line, strlen(line)));
		fclose(f);
	}
	{
		std::ofstream o(enqueue);
		o << "00000087" << std::flush;
		say("ofstream enqueue", "", std::string("good=") + std::to_string(o.good()));
		o << "0000008" << std::flush;
		say("ofstream enqueue 7 bytes", "", std::string("good=") + std::to_string(o.good()));
	}
	{
		std::ifstream i(status);
		std::string first, second;
		std::getline(i, first);
		std::getline(i, second);
		say("ifstream status", "", first + "|" + second);
	}
	{
		std::ifstream i(dequeue);
		char b[16] = {};
		i.read(b, 11);
		say("ifstream dequeue read 11", "", std::string("gcount=") + std::to_string(i.gcount()) +
							   " eof=" + std::to_string(i.eof()));
	}
	{
		std::ifstream i("/proc/marnel/none");
		say("ifstream /proc/marnel/none", "", std::string("open=") + std::to_string(i.is_open()));
	}
	// Standard output made an entry, as a shell redirection does.
	for (const char *how : {"fflush", "exit"}) {
		fflush(stdout);
		pid_t pid = fork();
		if (pid == 0) {
			int e = open(enqueue, O_WRONLY);
			dup2(e, 1);
			close(e);
			printf("000000%s", strcmp(how, "fflush") == 0 ? "91" : "92");
			if (strcmp(how, "fflush") == 0)
				_exit(fflush(stdout) == 0 ? 0 : 1);
			exit(0);
		}
		int ws = 0;
		waitpid(pid, &ws, 0);
		say(std::string("stdout to enqueue, ") + how, "", std::to_string(WEXITSTATUS(ws)));
	}
	fflush(stdout);
	pid_t pid = fork();
	if (pid == 0) {
		if (!freopen(enqueue, "w", stdout))
			_exit(2);
		printf("00000089");
		_exit(fflush(stdout) == 0 ? 0 : 1);
	}
	int ws = 0;
	waitpid(pid, &ws, 0);
	say("freopen stdout to enqueue", "", std::to_string(WEXITSTATUS(ws)));
	fflush(stdout);
	pid = fork();
	if (pid == 0) {
		int e = open(enqueue, O_WRONLY);
		dup2(e, 1);
		printf("00000094");
		printf("00000095"); // one buffer, 16 bytes: EINVAL at exit
		exit(0);
	}
	waitpid(pid, &ws, 0);
	say("stdout to enqueue, 16 bytes at exit", "", std::to_string(WEXITSTATUS(ws)));
	int out = open(dequeue, O_RDONLY);
	drain(out, "after streams");
	close(out);
	status_text("after streams");
}

// Thousands of random records and reads, every result and every byte
// placed folded into one digest.
void random_stream(int in, int out)
{
	std::uint64_t seed = 20240611, digest = 1469598103934665603ULL;
	auto next = [&] {
		seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
		return static_cast<unsigned>(seed >> 33);
	};
	auto fold = [&](const void *p, std::size_t n) {
		for (std::size_t i = 0; i < n; i++) {
			digest ^= static_cast<const unsigned char *>(p)[i];
			digest *= 1099511628211ULL;
		}
	};
	const char alphabet[] = "0123456789012345678901234567890123456789+-\n\n \0ax";
	long writes = 0, reads = 0;
	for (int i = 0; i < 20000; i++) {
		if (next() % 2) {
			char rec[9];
			for (char &c : rec)
				c = alphabet[next() % (sizeof alphabet - 1)];
			std::size_t n = 7 + next() % 3;
			std::int64_t r = write(in, rec, n); // 8 bytes folded on any machine
			int e = r < 0 ? errno : 0;
			fold(&r, sizeof r);
			fold(&e, sizeof e);
			writes++;
		} else {
			char b[16];
			memset(b, 'x', sizeof b);
			std::size_t n = next() % 14;
			std::int64_t r = read(out, b, n);
			int e = r < 0 ? errno : 0;
			fold(&r, sizeof r);
			fold(&e, sizeof e);
			fold(b, sizeof b);
			reads++;
		}
	}
	char hex[17];
	snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(digest));
	say("random stream", "", std::to_string(writes) + " writes " + std::to_string(reads) +
					 " reads digest " + hex);
	drain(out, "after the random stream");
	status_text("after the random stream");
}

// A command by the sh on PATH, as the corpus runs its own: system() takes
// /bin/sh, which under qemu-user is this machine's and not the guest's.
int shell(const char *command)
{
	pid_t pid = fork();
	if (pid == 0) {
		execlp("sh", "sh", "-c", command, static_cast<char *>(nullptr));
		_exit(127);
	}
	int ws = -1;
	if (pid > 0)
		waitpid(pid, &ws, 0);
	return ws;
}

// Descriptors open when the driver is unloaded, and after it is loaded
// again; the commands come from run.sh.
void unloading()
{
	const char *load = getenv("MARNEL_LOAD"), *unload = getenv("MARNEL_UNLOAD");
	if (!load || !unload)
		return;
	int in = open(enqueue, O_WRONLY), out = open(dequeue, O_RDONLY), st = open(status, O_RDONLY);
	put(in, "before unload", "99");
	char b[16];
	say("status read 5 before unload", res(read(st, b, 5)));
	fflush(stdout);
	say("unload", "", std::to_string(shell(unload)));
	put(in, "after unload", "98");
	say("read dequeue after unload", res(read(out, b, 11)));
	say("read status after unload", res(read(st, b, 5)));
	say("lseek status after unload", res(lseek(st, 0, SEEK_SET)));
	say("lseek enqueue after unload", res(lseek(in, 0, SEEK_SET)));
	struct stat s;
	long r = fstat(in, &s);
	say("fstat enqueue after unload", res(r), r == 0 ? mode(s) : "");
	say("stat /proc/marnel after unload", res(stat("/proc/marnel", &s)));
	say("open enqueue after unload", res(open(enqueue, O_WRONLY) < 0 ? -1 : 0));
	fflush(stdout);
	say("load", "", std::to_string(shell(load)));
	put(in, "old descriptor after load", "97");
	int again = open(enqueue, O_WRONLY);
	put(again, "new descriptor", "96");
	close(again);
	close(in);
	close(out);
	close(st);
	status_text("after loading again");
}

// ---- --profile: the driver's answers to the open choices

[[noreturn]] void cannot(const std::string &what)
{
	fprintf(stderr, "marnel-probe: %s\n", what.c_str());
	exit(1);
}

std::string errname(int e)
{
	const char *n = strerrorname_np(e);
	return n ? n : std::to_string(e);
}

// The core level, judged by marnel-conformance beside this program: a
// driver that breaks it has no profile the simulated driver could keep.
void check_core()
{
	char self[PATH_MAX];
	ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
	std::string dir = n > 0 ? std::string(self, static_cast<std::size_t>(n)) : "";
	std::string conformance = dir.substr(0, dir.rfind('/') + 1) + "marnel-conformance";
	if (n <= 0 || access(conformance.c_str(), X_OK) != 0)
		cannot("no marnel-conformance beside marnel-probe to check the core level");
	int out[2];
	if (pipe(out) != 0)
		cannot(std::string("pipe: ") + strerror(errno));
	pid_t pid = fork();
	if (pid == 0) {
		dup2(out[1], 1);
		close(out[0]);
		close(out[1]);
		execl(conformance.c_str(), "marnel-conformance", "--level", "core",
		      static_cast<char *>(nullptr));
		_exit(127);
	}
	close(out[1]);
	std::string text;
	char b[4096];
	ssize_t r;
	while ((r = read(out[0], b, sizeof b)) > 0)
		text.append(b, static_cast<std::size_t>(r));
	close(out[0]);
	int ws = 0;
	waitpid(pid, &ws, 0);
	if (WIFEXITED(ws) && WEXITSTATUS(ws) == 0)
		return;
	fprintf(stderr, "marnel-probe: the driver fails the core level; no profile\n");
	std::size_t at = 0;
	while (at < text.size()) {
		std::size_t nl = text.find('\n', at);
		std::string line = text.substr(at, nl == std::string::npos ? std::string::npos : nl - at);
		if (line.starts_with("not ok "))
			fprintf(stderr, "%s\n", line.c_str());
		at = nl == std::string::npos ? text.size() : nl + 1;
	}
	exit(1);
}

// A write of n bytes from text: its result, errno kept.
long write_bytes(int fd, const char *text, std::size_t n)
{
	char rec[16] = {};
	memcpy(rec, text, strnlen(text, sizeof rec));
	return write(fd, rec, n);
}

// Reads until the end marker; the values taken.
long empty_queue(int out)
{
	long taken = 0;
	for (;;) {
		char b[12] = {};
		if (read(out, b, 11) != 0)
			cannot(std::string("a read of 11 bytes failed: ") + errname(errno));
		if (strcmp(b, "-1") == 0)
			return taken;
		taken++;
	}
}

int profile_mode()
{
	check_core();
	marnel::sim::Profile p = marnel::sim::default_profile();
	struct stat st;
	if (stat(enqueue, &st) != 0 || (p.enqueue_mode = st.st_mode & 0777, stat(dequeue, &st) != 0))
		cannot("stat of an entry failed");
	p.dequeue_mode = st.st_mode & 0777;

	std::vector<std::string> names;
	if (DIR *d = opendir("/proc/marnel")) {
		while (dirent *e = readdir(d))
			names.push_back(e->d_name);
		closedir(d);
	}
	std::sort(names.begin(), names.end());
	p.status_counters = 0;
	p.entry_count = 0;
	for (const std::string &name : names) {
		if (name == "." || name == ".." || name == "enqueue" || name == "dequeue")
			continue;
		std::string text;
		if (std::ifstream f("/proc/marnel/" + name); f)
			text.assign(std::istreambuf_iterator<char>(f), {});
		if (name == "status" && text.starts_with("capacity: ")) {
			p.status_counters = 1;
			continue;
		}
		if (name == "status" || p.entry_count == p.max_entries || name.size() >= p.name_size ||
		    text.empty() || text.back() != '\n' || text.size() > p.text_size + 1 ||
		    text.find('\n') != text.size() - 1)
			cannot("/proc/marnel/" + name + ": an entry a profile cannot describe");
		auto &e = p.entries[p.entry_count++];
		memcpy(e.name, name.c_str(), name.size());
		memcpy(e.text, text.c_str(), text.size() - 1);
	}

	int in = open(enqueue, O_WRONLY), out = open(dequeue, O_RDONLY);
	if (in < 0 || out < 0)
		cannot("the entries do not open");
	empty_queue(out);

	off_t where = lseek(in, 0, SEEK_CUR);
	if (where == -1 && errno == ESPIPE)
		p.nonseekable = 1;
	else if (where != 0)
		cannot("lseek on enqueue: an answer a profile cannot describe");

	if (write_bytes(in, "4", 7) != -1)
		cannot("a write of 7 bytes was taken");
	p.short_error = errno;
	long r = write_bytes(in, "5\0\0\0\0\0\0\0x", 9);
	if (r == 8 && empty_queue(out) == 1)
		p.long_error = 0;
	else if (r == -1)
		p.long_error = errno;
	else
		cannot("a write of 9 bytes: an answer a profile cannot describe");

	r = write_bytes(in, " 7 ", 8);
	if (r == 8 && empty_queue(out) == 1)
		p.trimmed = 1;
	else if (r != -1)
		cannot("a record with blanks: an answer a profile cannot describe");
	if (write_bytes(in, "x", 8) != -1)
		cannot("the record \"x\" was taken");
	p.record_error = errno;

	write_bytes(in, "123", 8);
	char b[16] = {};
	if (read(out, b, 2) == -1) {
		p.read_short_error = errno;
		empty_queue(out);
	} else {
		p.read_short_error = 0;
	}

	int other = open(enqueue, O_RDONLY);
	if (other < 0) {
		p.wrong_open_error = errno;
	} else {
		p.wrong_open_error = 0;
		if (read(other, b, 11) != -1)
			cannot("a read on enqueue was answered");
		p.wrong_call_error = errno;
		close(other);
	}

	// Filled until refused: the capacity and the error a full queue gives.
	long queued = 0;
	while (queued <= static_cast<long>(marnel::sim::max_capacity) &&
	       write_bytes(in, "1", 8) == 8)
		queued++;
	if (queued == 0 || queued > static_cast<long>(marnel::sim::max_capacity))
		cannot("a capacity a profile cannot describe");
	p.full_error = errno;
	p.capacity = static_cast<std::uint32_t>(queued);
	if (empty_queue(out) != queued)
		cannot("the queue gave back another number of values than it took");
	close(in);
	close(out);

	if (!marnel::sim::valid_profile(p))
		cannot("answers a profile cannot describe (modes or errors)");
	fputs(marnel::sim::format_profile(p).c_str(), stdout);
	return fflush(stdout) == 0 ? 0 : 1;
}

const char help[] =
	"usage: marnel-probe\n"
	"       marnel-probe --profile\n"
	"       marnel-probe --help | --version\n"
	"\n"
	"Makes every call a program can make on /proc/marnel (paths, opens, reads,\n"
	"writes, seeks, descriptors, stdio and iostreams, bad addresses, a random\n"
	"stream) and prints one line per call: its result, errno and the bytes it\n"
	"placed. Two drivers, each freshly loaded with capacity 16, are compared\n"
	"by comparing its output. With MARNEL_UNLOAD and MARNEL_LOAD set to shell\n"
	"commands, it also unloads and loads the driver with open descriptors.\n"
	"The last line is a summary. Exit status: 0 done, 2 bad usage, 4 nothing\n"
	"serves /proc/marnel.\n"
	"\n"
	"--profile: checks the core level with marnel-conformance (found beside\n"
	"this program), then asks the driver each open choice and prints its\n"
	"profile for marnel-sim load --profile. Run it on a driver no one else\n"
	"uses: it fills the queue to find the capacity and leaves it empty.\n"
	"Exit status 1, with the clauses broken, for a driver that fails the\n"
	"core level or answers as no profile can say.\n";

} // namespace

int main(int argc, char *argv[])
{
	// A value left in standard output's buffer, flushed as main returns.
	if (argc == 2 && strcmp(argv[1], "return") == 0) {
		printf("00000093");
		return 0;
	}
	if (argc == 3 && strcmp(argv[1], "write") == 0) {
		int fd = atoi(argv[2]);
		put(fd, "inherited", "59");
		return 0;
	}
	bool profile = argc == 2 && strcmp(argv[1], "--profile") == 0;
	if (!profile)
		kit::options(argc, argv, "marnel-probe", help);
	if (argc > 1 && !profile)
		kit::usage_error("unknown argument '%s': it takes none", argv[1]);
	struct stat st;
	if (stat("/proc/marnel", &st) != 0) {
		fprintf(stderr, "marnel-probe: nothing serves /proc/marnel: %s\n", strerror(errno));
		return 4;
	}
	if (profile)
		return profile_mode();
	// Where standard output is the terminal, its lines are the progress.
	kit::Progress progress(isatty(1) != 1);
	int sections = 0;
	auto section = [&](const char *name) {
		sections++;
		progress.show("%s", name);
	};
	section("paths");
	paths();
	section("opens");
	opens();
	int in = open(enqueue, O_WRONLY);
	int out = open(dequeue, O_RDONLY);
	drain(out, "before writes");
	section("writes");
	writes(in, out);
	drain(out, "after writes");
	section("reads");
	reads(in, out);
	section("the status entry");
	status_file(in);
	drain(out, "after status");
	section("descriptors");
	descriptors(in, out, "/proc/self/exe");
	status_text("after descriptors");
	section("more calls");
	more(in, out);
	section("streams");
	streams();
	section("a random stream");
	random_stream(in, out);
	close(in);
	close(out);
	section("unloading");
	unloading();
	pid_t pid = fork();
	if (pid == 0) {
		int e = open(enqueue, O_WRONLY);
		dup2(e, 1);
		close(e);
		execl("/proc/self/exe", "marnel-probe", "return", static_cast<char *>(nullptr));
		_exit(127);
	}
	int ws = 0;
	waitpid(pid, &ws, 0);
	say("stdout to enqueue, returned from main", "", std::to_string(WEXITSTATUS(ws)));
	status_text("at the end");
	progress.clear();
	printf("marnel-probe: %d results in %d sections\n", results, sections);
	return 0;
}
