// marnel-probe: every call a program can make on /proc/marnel, one line per
// call with its result, errno and the bytes it placed. Run against a freshly
// loaded driver (capacity 16) it prints the same text on every driver that
// keeps the contract, so two drivers are compared by comparing its output.
//
//   marnel-probe           the calls
//   marnel-probe write FD  (re-executed by itself) write a record to FD
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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

void say(const std::string &what, const std::string &result, const std::string &more = "")
{
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

} // namespace

int main(int argc, char *argv[])
{
	if (argc == 3 && strcmp(argv[1], "write") == 0) {
		int fd = atoi(argv[2]);
		put(fd, "inherited", "59");
		return 0;
	}
	paths();
	opens();
	int in = open(enqueue, O_WRONLY);
	int out = open(dequeue, O_RDONLY);
	drain(out, "before writes");
	writes(in, out);
	drain(out, "after writes");
	reads(in, out);
	status_file(in);
	drain(out, "after status");
	descriptors(in, out, "/proc/self/exe");
	status_text("at the end");
	return 0;
}
