// What the kit's commands share on their command lines: --help, --version,
// the one-line usage error, numbers checked whole, and a progress line
// that only a terminal sees.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kit {

inline const char *program = "marnel";

// Status 2, one line, as every command of the kit fails on bad usage.
[[noreturn]] inline void usage_error(const char *fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	fprintf(stderr, "%s: ", program);
	vfprintf(stderr, fmt, ap);
	fprintf(stderr, " (see %s --help)\n", program);
	va_end(ap);
	exit(2);
}

// --help and --version as the first argument; any other option is bad
// usage. Returns when the command line is for the command itself.
inline void options(int argc, char **argv, const char *name, const char *help)
{
	program = name;
	if (argc < 2 || argv[1][0] != '-' || strcmp(argv[1], "-") == 0)
		return;
	if (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0) {
		fputs(help, stdout);
		exit(0);
	}
	if (strcmp(argv[1], "--version") == 0) {
		printf("%s %s\n", name, MARNEL_VERSION);
		exit(0);
	}
	usage_error("unknown option '%s'", argv[1]);
}

// A whole number in [least, most], or bad usage naming what it is.
inline long whole(const char *what, const char *text, long least, long most = LONG_MAX)
{
	char *end = nullptr;
	errno = 0;
	long v = strtol(text, &end, 10);
	if (errno || end == text || *end || v < least || v > most)
		usage_error("%s must be a whole number from %ld, not '%s'", what, least, text);
	return v;
}

// Seconds above zero, fractions allowed.
inline double seconds(const char *what, const char *text)
{
	char *end = nullptr;
	errno = 0;
	double v = strtod(text, &end);
	if (errno || end == text || *end || !std::isfinite(v) || v <= 0 || v > 1e6)
		usage_error("%s must be a number of seconds above 0, not '%s'", what, text);
	return v;
}

// One line on standard error, rewritten in place at most ten times a
// second from two seconds on, when standard error is a terminal; nothing
// otherwise.
class Progress {
public:
	// wanted: false where the line would interleave with the output.
	explicit Progress(bool wanted = true)
		: on_(wanted && isatty(2) == 1), start_(std::chrono::steady_clock::now())
	{
	}
	~Progress() { clear(); }
	bool on() const { return on_; }
	void show(const char *fmt, ...) __attribute__((format(printf, 2, 3)))
	{
		// Nothing for what ends within a couple of seconds.
		auto now = std::chrono::steady_clock::now();
		if (!on_ || now - start_ < std::chrono::seconds(2) ||
		    (shown_ && now - last_ < std::chrono::milliseconds(100)))
			return;
		last_ = now;
		shown_ = true;
		va_list ap;
		va_start(ap, fmt);
		fprintf(stderr, "\r%s: ", program);
		vfprintf(stderr, fmt, ap);
		fputs("\033[K", stderr);
		va_end(ap);
	}
	void clear()
	{
		if (shown_)
			fputs("\r\033[K", stderr);
		shown_ = false;
	}

private:
	bool on_;
	bool shown_ = false;
	std::chrono::steady_clock::time_point start_, last_;
};

} // namespace kit
