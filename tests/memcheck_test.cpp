// pushwell and drawwell under valgrind's memcheck, on the simulated driver
// (valgrind preloads its own libraries beside it): no error on any
// argument shape or read result. --error-exitcode turns an error into
// status 1; --exit-on-first-error makes that true of pushwell's endless
// loop too, which otherwise only a signal ends.
#include "support.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <csignal>

using namespace marnel::test;

namespace {

std::vector<std::string> under_memcheck(const char *tool, const std::vector<std::string> &args)
{
	std::vector<std::string> argv = {VALGRIND, "--error-exitcode=1",
					 "--exit-on-first-error=yes", "--leak-check=full", tool};
	argv.insert(argv.end(), args.begin(), args.end());
	return argv;
}

void expect_clean(const Outcome &o)
{
	EXPECT_NE(o.err.find("ERROR SUMMARY: 0 errors from 0 contexts"), std::string::npos)
		<< o.err;
}

TEST(Memcheck, PushwellOnEveryArgumentShape)
{
	if (access(VALGRIND, X_OK) != 0)
		GTEST_SKIP() << "valgrind is not installed";
	struct Case {
		const char *name;
		std::vector<std::string> args;
	};
	const std::vector<Case> cases = {
		{"none", {}},
		{"two", {"1", "2"}},
		{"empty", {""}},
		{"7 bytes", {"1234567"}},
		{"8 bytes", {"12345678"}},
		{"9 bytes", {"123456789"}},
		{"4 KiB", {std::string(4096, '4')}},
		{"the longest the kernel passes", {std::string(131071, '7')}},
		{"not UTF-8", {"\xff\xfe\xc3\x28\x80"}},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		SimDriver d;
		d.load(1);
		auto written = [&] { return lines_starting(d.trace(), "write ").size() >= 3; };
		Outcome o = d.run_until({under_memcheck(PUSHWELL, c.args), {}, 0, SIGINT, written});
		if (c.args.size() == 1) {
			EXPECT_EQ(o.signal, SIGINT) << o.err; // an error exits 1 at once
		} else {
			EXPECT_EQ(o.status, 255) << o.err;
		}
		expect_clean(o);
		if (c.args.size() == 1) {
			auto s = d.status();
			EXPECT_GE(s["refused_full"] + s["refused_malformed"], 2);
		}
	}
}

TEST(Memcheck, DrawwellOnEveryReadResult)
{
	if (access(VALGRIND, X_OK) != 0)
		GTEST_SKIP() << "valgrind is not installed";
	const std::vector<std::pair<const char *, std::string>> cases = {
		{"the queue's own end marker", ""},
		{"values, then -1", "0:3300;0:2d313200;0:2d3100"},
		{"-1 and a newline", "0:2d310a00"},
		{"an empty text", "0:;0:2d3100"},
		{"a positive count", "11:32310000000000000000"},
		{"a short count", "2:3231"},
		{"an error with data", "-5:2d3100"},
		{"EINVAL, no data", "-22"},
		{"EFAULT, no data", "-14"},
		{"short unterminated texts", "0:3231;0:2d"},
		{"eleven digits, no NUL", "0:3132333435363738393031;0:2d3100"},
		{"eleven blanks, no NUL", "0:2020202020202020202020;0:2d3100"},
		{"eleven signs, no NUL", "0:2d2d2d2d2d2d2d2d2d2d2d;0:2d3100"},
		{"beyond 64 bits, no NUL", "0:3939393939393939393939;0:2d3100"},
		{"not UTF-8", "0:fffec32880;0:2d3100"},
	};
	for (const auto &[name, reads] : cases) {
		SCOPED_TRACE(name);
		SimDriver d;
		d.load();
		Outcome o = d.run_until(
			{under_memcheck(DRAWWELL, {}), {"MARNEL_SIM_READS=" + reads}});
		EXPECT_EQ(o.status, 255) << o.err;
		expect_clean(o);
		EXPECT_FALSE(lines_starting(d.trace(), "read ").empty());
	}
	SimDriver unloaded;
	Outcome o = unloaded.run_until({under_memcheck(DRAWWELL, {}), {}});
	EXPECT_EQ(o.status, 255) << o.err;
	EXPECT_EQ(o.out, "read fail\n");
	expect_clean(o);
}

} // namespace
