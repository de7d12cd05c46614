// marnel-sim: load, inspect and unload the simulated queue driver, and run
// commands against it.
#include "queue.hpp"

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#ifndef MARNEL_SIM_LIBDIR
#define MARNEL_SIM_LIBDIR "/usr/local/lib"
#endif
#ifndef MARNEL_VERSION
#define MARNEL_VERSION "unknown"
#endif

namespace {

constexpr const char *usage =
	"usage: marnel-sim load [--profile FILE] [--capacity N]\n"
	"       marnel-sim unload\n"
	"       marnel-sim status\n"
	"       marnel-sim run -- CMD [ARG...]\n"
	"       marnel-sim help | --version\n";

// One line that says what was wrong, not the whole usage text.
int usage_error(const std::string &what)
{
	fprintf(stderr, "marnel-sim: %s (see: marnel-sim help)\n", what.c_str());
	return 2;
}

int extra(const char *arg)
{
	return usage_error(std::string("unexpected argument '") + arg + "'");
}

int fail(const std::string &what, int err)
{
	fprintf(stderr, "marnel-sim: %s: %s\n", what.c_str(), strerror(err));
	return 1;
}

// The state folder must be a private folder of this user: an absolute
// path naming, itself and not through a symlink, a folder other than /
// that the user owns and no one else may use (mode 0700), as the library
// requires of it too. A missing one is fine:
// load creates it. Returns what is wrong, or nothing.
std::string unusable(const std::string &dir)
{
	if (dir.empty() || dir[0] != '/')
		return "not an absolute path";
	std::string path = dir;
	while (path.size() > 1 && path.back() == '/')
		path.pop_back(); // else lstat would follow a symlink
	struct stat st {}, root {};
	if (lstat(path.c_str(), &st) != 0)
		return errno == ENOENT ? "" : strerror(errno);
	if (S_ISLNK(st.st_mode))
		return "a symlink";
	if (!S_ISDIR(st.st_mode))
		return "not a folder";
	if (stat("/", &root) == 0 && st.st_dev == root.st_dev && st.st_ino == root.st_ino)
		return "the root folder";
	if (st.st_uid != geteuid())
		return "owned by another user";
	if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0)
		return "open to others";
	return "";
}

int not_loaded(const std::string &dir)
{
	fprintf(stderr, "marnel-sim: not loaded (no queue in %s)\n", dir.c_str());
	return 1;
}

// The library next to this program (build tree), else where install put it.
std::string library()
{
	if (const char *env = getenv("MARNEL_SIM_LIB"); env && *env)
		return env;
	char self[PATH_MAX];
	ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
	if (n > 0) {
		std::string dir(self, static_cast<std::size_t>(n));
		dir.resize(dir.rfind('/'));
		for (const char *rel : {"/libmarnel-sim.so", "/../lib/marnel/libmarnel-sim.so"}) {
			std::string path = dir + rel;
			if (access(path.c_str(), R_OK) == 0)
				return path;
		}
	}
	return MARNEL_SIM_LIBDIR "/libmarnel-sim.so";
}

// Plain decimal digits only: no blanks, no sign, as the man page says.
bool parse_capacity(std::string_view text, std::uint32_t &capacity)
{
	const char *end = text.data() + text.size();
	auto [p, ec] = std::from_chars(text.data(), end, capacity);
	return !text.empty() && ec == std::errc() && p == end &&
	       capacity >= 1 && capacity <= marnel::sim::max_capacity;
}

// The profile FILE holds: 0, 1 for a file that cannot be read (said on
// stderr), or 2 for one that does not parse (the usage error naming the line).
int read_profile(const std::string &file, marnel::sim::Profile &profile)
{
	constexpr std::size_t most = 64 * 1024;
	FILE *f = fopen(file.c_str(), "re");
	if (!f)
		return fail("--profile " + file, errno);
	std::string text(most + 1, '\0');
	std::size_t n = fread(text.data(), 1, text.size(), f);
	int err = ferror(f) ? errno : 0;
	fclose(f);
	if (err != 0)
		return fail("--profile " + file, err != 0 ? err : EIO);
	if (n > most)
		return usage_error("load: --profile " + file + ": longer than 64 KiB");
	text.resize(n);
	std::string why;
	if (!marnel::sim::parse_profile(text, profile, why))
		return usage_error("load: --profile " + file + ": " + why);
	return 0;
}

// 0, or the command's status for a bad command line or profile.
int load_args(int argc, char **argv, marnel::sim::Profile &profile, std::string &name)
{
	bool have_capacity = false, have_profile = false;
	std::uint32_t capacity = 0;
	for (int i = 2; i < argc;) {
		std::string_view arg = argv[i++];
		std::string_view value;
		bool is_capacity = arg == "--capacity" || arg.starts_with("--capacity=");
		bool is_profile = arg == "--profile" || arg.starts_with("--profile=");
		if (!is_capacity && !is_profile)
			return extra(argv[i - 1]);
		if ((is_capacity && have_capacity) || (is_profile && have_profile))
			return usage_error("load: " + std::string(is_capacity ? "--capacity" : "--profile") +
					   " given twice");
		if (arg.find('=') != std::string_view::npos)
			value = arg.substr(arg.find('=') + 1);
		else if (i < argc)
			value = argv[i++];
		else
			return usage_error(is_capacity ? "load: --capacity needs a number"
							: "load: --profile needs a file");
		if (is_capacity) {
			have_capacity = true;
			if (!parse_capacity(value, capacity))
				return usage_error("load: capacity must be a number from 1 to " +
						   std::to_string(marnel::sim::max_capacity));
		} else {
			have_profile = true;
			if (value.empty())
				return usage_error("load: --profile needs a file");
			if (int status = read_profile(std::string(value), profile); status != 0)
				return status;
			std::string file(value);
			name = file.substr(file.rfind('/') + 1);
			if (name.empty())
				name = file;
		}
	}
	// --capacity wins over the profile's.
	if (have_capacity)
		profile.capacity = capacity;
	return 0;
}

int load(const std::string &dir, const marnel::sim::Profile &profile, const std::string &name)
{
	std::string why;
	if (int err = marnel::sim::load(dir, profile, name, why); err != 0) {
		if (err == EEXIST) {
			fprintf(stderr, "marnel-sim: %s\n", why.c_str());
			return 1;
		}
		return fail(why, err);
	}
	return 0;
}

int status(const std::string &dir)
{
	marnel::sim::Queue q;
	std::string text;
	int err = q.attach(dir);
	if (err == 0)
		err = q.status(text);
	if (err == ENOENT)
		return not_loaded(dir);
	if (err == EIO) {
		fprintf(stderr, "marnel-sim: the queue in %s is damaged or not private "
				"(unload removes it)\n", dir.c_str());
		return 1;
	}
	if (err != 0)
		return fail(dir, err);
	fputs(text.c_str(), stdout);
	printf("profile: %s\n", q.profile_name().c_str());
	return fflush(stdout) == 0 ? 0 : fail("stdout", errno);
}

// The file execvp would run for cmd, or empty when it would find none.
std::string find_command(const char *cmd)
{
	if (strchr(cmd, '/'))
		return cmd;
	const char *path = getenv("PATH");
	std::string_view dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
	while (true) {
		std::size_t colon = dirs.find(':');
		std::string dir(dirs.substr(0, colon));
		std::string file = (dir.empty() ? "." : dir) + "/" + cmd;
		if (access(file.c_str(), X_OK) == 0)
			return file;
		if (colon == std::string_view::npos)
			return "";
		dirs.remove_prefix(colon + 1);
	}
}

// An ELF program without PT_INTERP is statically linked: nothing is
// preloaded into it, so its calls would reach the real /proc/marnel. Either
// class: a 32-bit system's marnel-sim is handed 32-bit programs.
// Scripts and other files are left to execvp.
template <typename Ehdr, typename Phdr> bool no_interpreter(int fd, const Ehdr &eh)
{
	if ((eh.e_type != ET_EXEC && eh.e_type != ET_DYN) || eh.e_phentsize != sizeof(Phdr))
		return false;
	for (unsigned i = 0; i < eh.e_phnum; i++) {
		Phdr ph{};
		if (pread(fd, &ph, sizeof ph, static_cast<off_t>(eh.e_phoff + i * sizeof ph)) !=
			    static_cast<ssize_t>(sizeof ph) ||
		    ph.p_type == PT_INTERP)
			return false;
	}
	return true;
}

bool statically_linked(const std::string &file)
{
	int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return false;
	Elf64_Ehdr eh{};
	bool is_static = false;
	ssize_t n = pread(fd, &eh, sizeof eh, 0);
	if (n >= static_cast<ssize_t>(sizeof(Elf32_Ehdr)) && memcmp(eh.e_ident, ELFMAG, SELFMAG) == 0) {
		if (eh.e_ident[EI_CLASS] == ELFCLASS64 && n == static_cast<ssize_t>(sizeof eh))
			is_static = no_interpreter<Elf64_Ehdr, Elf64_Phdr>(fd, eh);
		else if (eh.e_ident[EI_CLASS] == ELFCLASS32) {
			Elf32_Ehdr eh32;
			memcpy(&eh32, &eh, sizeof eh32);
			is_static = no_interpreter<Elf32_Ehdr, Elf32_Phdr>(fd, eh32);
		}
	}
	close(fd);
	return is_static;
}

int run(char **argv)
{
	if (std::string file = find_command(argv[3]);
	    !file.empty() && statically_linked(file)) {
		fprintf(stderr, "marnel-sim: %s is statically linked: the simulated driver "
				"cannot reach into it\n", argv[3]);
		return 126;
	}
	std::string lib = library();
	// Without it the command would run on no driver at all.
	struct stat st {};
	if (stat(lib.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
		fprintf(stderr, "marnel-sim: cannot preload %s: %s\n", lib.c_str(),
			st.st_mode != 0 ? "not a file" : strerror(errno));
		return 126;
	}
	std::string preload = lib;
	if (const char *old = getenv("LD_PRELOAD"); old && *old)
		preload += std::string(":") + old;
	setenv("LD_PRELOAD", preload.c_str(), 1);
	execvp(argv[3], argv + 3);
	int err = errno;
	fprintf(stderr, "marnel-sim: %s: %s\n", argv[3], strerror(err));
	return err == ENOENT ? 127 : 126;
}

} // namespace

int main(int argc, char **argv)
{
	if (argc < 2)
		return usage_error("no command given");
	std::string_view cmd = argv[1];
	if (cmd == "help" || cmd == "-h" || cmd == "--help" || cmd == "--version") {
		if (argc > 2)
			return extra(argv[2]);
		fputs(cmd == "--version" ? "marnel-sim " MARNEL_VERSION "\n" : usage, stdout);
		return fflush(stdout) == 0 ? 0 : fail("stdout", errno);
	}
	if (cmd != "load" && cmd != "unload" && cmd != "status" && cmd != "run")
		return usage_error("unknown command '" + std::string(cmd) + "'");
	if ((cmd == "unload" || cmd == "status") && argc > 2)
		return extra(argv[2]);
	if (cmd == "run" && (argc < 3 || std::string_view(argv[2]) != "--"))
		return usage_error("run: -- must come before the command");
	if (cmd == "run" && argc < 4)
		return usage_error("run: no command after --");
	marnel::sim::Profile profile = marnel::sim::default_profile();
	std::string profile_name = "default";
	if (cmd == "load")
		if (int status = load_args(argc, argv, profile, profile_name); status != 0)
			return status;
	std::string dir = marnel::sim::state_dir();
	if (std::string why = unusable(dir); !why.empty()) {
		fprintf(stderr, "marnel-sim: %s is not a private folder of this user: %s\n",
			dir.c_str(), why.c_str());
		return cmd == "run" ? 125 : 1; // run's 1 would read as the command's
	}
	if (cmd == "load")
		return load(dir, profile, profile_name);
	if (cmd == "unload") {
		int err = marnel::sim::unload(dir);
		if (err == ENOENT)
			return not_loaded(dir);
		return err == 0 ? 0 : fail(dir, err);
	}
	if (cmd == "status")
		return status(dir);
	return run(argv);
}
