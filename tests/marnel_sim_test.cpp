// The marnel-sim command: its messages and exit statuses.
#include "support.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

using namespace marnel::test;

namespace {

TEST(MarnelSim, CommandsAndTheirFailures)
{
	struct Case {
		std::vector<std::string> args;
		bool loaded;
		int status;
		std::string err_has; // the whole of stderr is one line with it
		std::string out;
		std::vector<std::string> env = {};
	};
	const std::string capacity = "capacity must be a number from 1 to 1048576";
	const std::string usage = "usage: marnel-sim load [--profile FILE] [--capacity N]\n";
	const std::vector<Case> cases = {
		{{"load"}, false, 0, "", ""},
		{{"load", "--capacity=7"}, false, 0, "", ""},
		{{"load"}, true, 1, "already loaded", ""},
		{{"load", "--capacity", "0"}, false, 2, capacity, ""},
		{{"load", "--capacity", "-3"}, false, 2, capacity, ""},
		{{"load", "--capacity", " -1"}, false, 2, capacity, ""},
		{{"load", "--capacity", " +7"}, false, 2, capacity, ""},
		{{"load", "--capacity", "+7"}, false, 2, capacity, ""},
		{{"load", "--capacity", "7 "}, false, 2, capacity, ""},
		{{"load", "--capacity", "12x"}, false, 2, capacity, ""},
		{{"load", "--capacity", "1048577"}, false, 2, capacity, ""},
		{{"load", "--capacity", "99999999999"}, false, 2, capacity, ""},
		{{"load", "--capacity="}, false, 2, capacity, ""},
		{{"load", "--capacity"}, false, 2, "load: --capacity needs a number", ""},
		{{"load", "--capacity", "7", "x"}, false, 2, "unexpected argument 'x'", ""},
		{{"load", "--size=7"}, false, 2, "unexpected argument '--size=7'", ""},
		{{"unload"}, false, 1, "not loaded", ""},
		{{"unload"}, true, 0, "", ""},
		{{"unload", "now"}, true, 2, "unexpected argument 'now'", ""},
		{{"status"}, false, 1, "not loaded", ""},
		{{"status", "extra"}, true, 2, "unexpected argument 'extra'", ""},
		{{"bogus"}, false, 2, "unknown command 'bogus'", ""},
		{{}, false, 2, "no command given", ""},
		{{"help"}, false, 0, "", usage},
		{{"--help"}, false, 0, "", usage},
		{{"help", "load"}, false, 2, "unexpected argument 'load'", ""},
		{{"--version"}, false, 0, "", "marnel-sim " MARNEL_VERSION "\n"},
		{{"run"}, true, 2, "run: -- must come before the command", ""},
		{{"run", DRAWWELL}, true, 2, "run: -- must come before the command", ""},
		{{"run", "--"}, true, 2, "run: no command after --", ""},
		{{"run", "--", "/nonexistent/cmd"}, true, 127, "/nonexistent/cmd", ""},
		// Run without the library, drawwell would print "read fail".
		{{"run", "--", DRAWWELL}, true, 126,
		 "cannot preload /nonexistent/libmarnel-sim.so: No such file", "",
		 {"MARNEL_SIM_LIB=/nonexistent/libmarnel-sim.so"}},
		// run's status is the command's.
		{{"run", "--", MARNEL_SIM, "bogus"}, true, 2, "unknown command", ""},
		{{"run", "--", DRAWWELL}, true, 255, "", ""},
	};
	for (const auto &c : cases) {
		std::string name;
		for (const auto &a : c.args)
			name += a + " ";
		SCOPED_TRACE(name + (c.loaded ? "(loaded)" : "(not loaded)"));
		SimDriver d;
		if (c.loaded)
			d.load();
		std::vector<std::string> argv = {MARNEL_SIM}, env = c.env;
		argv.insert(argv.end(), c.args.begin(), c.args.end());
		env.push_back("MARNEL_SIM_DIR=" + d.dir());
		Outcome o = run({argv, env});
		EXPECT_EQ(o.status, c.status);
		EXPECT_TRUE(o.out.starts_with(c.out)) << o.out;
		if (c.err_has.empty()) {
			EXPECT_EQ(o.err, "");
			continue;
		}
		EXPECT_NE(o.err.find(c.err_has), std::string::npos) << o.err;
		EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << o.err;
		if (c.status == 2) {
			EXPECT_TRUE(o.err.ends_with("(see: marnel-sim help)\n")) << o.err;
		}
	}
}

TEST(MarnelSim, StatusPrintsEveryCounter)
{
	SimDriver d;
	ASSERT_EQ(d.sim({"load", "--capacity=5"}).status, 0);
	Outcome o = d.sim({"status"});
	EXPECT_EQ(o.status, 0);
	EXPECT_EQ(o.out, "capacity: 5\ndepth: 0\naccepted: 0\nrefused_full: 0\n"
			 "refused_malformed: 0\ndelivered: 0\nend_markers: 0\n"
			 "profile: default\n");
}

// One rule for every command: an absolute path naming, not through a
// symlink, a folder other than / that only this user can write.
TEST(MarnelSim, TheStateFolderMustBeAPrivateFolderOfThisUser)
{
	SimDriver d;
	const std::string real = d.dir() + "/real", link = d.dir() + "/link",
			  file = d.dir() + "/file", shared = d.dir() + "/shared",
			  readable = d.dir() + "/readable";
	ASSERT_EQ(mkdir(real.c_str(), 0700), 0);
	ASSERT_EQ(symlink(real.c_str(), link.c_str()), 0);
	ASSERT_EQ(close(creat(file.c_str(), 0600)), 0);
	ASSERT_EQ(mkdir(shared.c_str(), 0700), 0);
	ASSERT_EQ(chmod(shared.c_str(), 0777), 0);
	ASSERT_EQ(mkdir(readable.c_str(), 0700), 0);
	ASSERT_EQ(chmod(readable.c_str(), 0755), 0);
	const std::vector<std::pair<std::string, std::string>> cases = {
		{file, "not a folder"},
		{file + "/", "not a folder"},
		{link, "a symlink"},
		{link + "/", "a symlink"},
		{link + "//", "a symlink"},
		{"/", "the root folder"},
		{"//", "the root folder"},
		{"/.", "the root folder"},
		{"relative", "not an absolute path"},
		{".", "not an absolute path"},
		{shared, "open to others"},
		{readable, "open to others"},
	};
	const std::vector<std::pair<std::vector<std::string>, int>> commands = {
		{{"load"}, 1}, {{"status"}, 1}, {{"unload"}, 1},
		{{"run", "--", "/bin/true"}, 125}};
	for (const auto &[dir, why] : cases) {
		for (const auto &[args, status] : commands) {
			SCOPED_TRACE(args[0] + " in " + dir);
			std::vector<std::string> argv = {MARNEL_SIM};
			argv.insert(argv.end(), args.begin(), args.end());
			Outcome o = run({argv, {"MARNEL_SIM_DIR=" + dir}});
			EXPECT_EQ(o.status, status);
			EXPECT_EQ(o.err, "marnel-sim: " + dir +
						 " is not a private folder of this user: " +
						 why + "\n");
		}
	}
	struct stat st {};
	EXPECT_NE(lstat((real + "/queue").c_str(), &st), 0);
	EXPECT_NE(lstat("/queue", &st), 0);
}

TEST(MarnelSim, ABadTestHookStopsTheProgramAsItStarts)
{
	const std::vector<std::pair<std::string, std::string>> cases = {
		// pushwell never reads: the script is checked all the same.
		{"MARNEL_SIM_READS=zz", "entry 'zz': no decimal result"},
		{"MARNEL_SIM_READS=0:2d3100;0:2d3", "entry '0:2d3': odd number"},
		{"MARNEL_SIM_READS= +0:2d3100", "entry ' +0:2d3100'"},
		{"MARNEL_SIM_READS=+0", "entry '+0'"},
		{"MARNEL_SIM_READS=0 ", "entry '0 '"},
		{"MARNEL_SIM_READS=-0", "-1 to -4095"},
		// Truncated to an int, this would be some other errno.
		{"MARNEL_SIM_READS=-5000000001", "-1 to -4095"},
		{"MARNEL_SIM_READS=99999999999999999999", "out of range"},
		{"MARNEL_SIM_READS=0:\n\x01", "entry '0:\\x0a\\x01'"},
		{"MARNEL_SIM_TRACE=/nonexistent/trace",
		 "MARNEL_SIM_TRACE /nonexistent/trace: No such file"},
	};
	for (const auto &[hook, err_has] : cases) {
		SCOPED_TRACE(hook);
		SimDriver d;
		d.load();
		Outcome o = run({{MARNEL_SIM, "run", "--", PUSHWELL, "1"},
				 {"MARNEL_SIM_DIR=" + d.dir(), hook},
				 5}); // it ends at once; this stops a pushwell let through
		EXPECT_EQ(o.status, 125);
		EXPECT_TRUE(o.err.starts_with("libmarnel-sim: ")) << o.err;
		EXPECT_NE(o.err.find(err_has), std::string::npos) << o.err;
		EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << o.err;
		EXPECT_EQ(d.status()["accepted"], 0);
	}
}

} // namespace
