// marnel-sim: load, inspect and unload the simulated queue driver, and run
// commands against it.
#include "queue.hpp"

#include <unistd.h>

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

namespace {

constexpr const char *usage =
	"usage: marnel-sim load [--capacity N]\n"
	"       marnel-sim unload\n"
	"       marnel-sim status\n"
	"       marnel-sim run -- CMD [ARG...]\n";

int fail(const std::string &what, int err)
{
	fprintf(stderr, "marnel-sim: %s: %s\n", what.c_str(), strerror(err));
	return 1;
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
		for (const char *rel : {"/libmarnel-sim.so", "/../lib/libmarnel-sim.so"}) {
			std::string path = dir + rel;
			if (access(path.c_str(), R_OK) == 0)
				return path;
		}
	}
	return MARNEL_SIM_LIBDIR "/libmarnel-sim.so";
}

int load(int argc, char **argv, const std::string &dir)
{
	unsigned long capacity = marnel::sim::default_capacity;
	if (argc == 4 && std::string_view(argv[2]) == "--capacity") {
		char *end = nullptr;
		errno = 0;
		capacity = strtoul(argv[3], &end, 10);
		if (errno != 0 || end == argv[3] || *end != '\0' || argv[3][0] == '-' ||
		    capacity == 0 || capacity > marnel::sim::max_capacity) {
			fprintf(stderr, "marnel-sim: capacity must be a number from 1 to %u\n",
				marnel::sim::max_capacity);
			return 2;
		}
	} else if (argc != 2) {
		fputs(usage, stderr);
		return 2;
	}
	std::string why;
	if (int err = marnel::sim::load(dir, static_cast<std::uint32_t>(capacity), why);
	    err != 0) {
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
	if (err == ENOENT || err == EIO)
		return not_loaded(dir);
	if (err != 0)
		return fail(dir, err);
	fputs(text.c_str(), stdout);
	return fflush(stdout) == 0 ? 0 : fail("stdout", errno);
}

int run(int argc, char **argv)
{
	if (argc < 4 || std::string_view(argv[2]) != "--") {
		fputs(usage, stderr);
		return 2;
	}
	std::string preload = library();
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
	std::string_view cmd = argc > 1 ? argv[1] : "";
	std::string dir = marnel::sim::state_dir();
	if (cmd == "load")
		return load(argc, argv, dir);
	if (cmd == "unload" && argc == 2) {
		int err = marnel::sim::unload(dir);
		if (err == ENOENT)
			return not_loaded(dir);
		return err == 0 ? 0 : fail(dir, err);
	}
	if (cmd == "status" && argc == 2)
		return status(dir);
	if (cmd == "run")
		return run(argc, argv);
	if (cmd == "-h" || cmd == "--help") {
		fputs(usage, stdout);
		return 0;
	}
	fputs(usage, stderr);
	return 2;
}
