// The marnel-sim command: its messages and exit statuses.
#include "support.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>

using namespace marnel::test;

namespace {

TEST(MarnelSim, CommandsAndTheirFailures)
{
	struct Case {
		std::vector<std::string> args;
		bool loaded;
		int status;
		std::string err_has;
	};
	const std::vector<Case> cases = {
		{{"load"}, false, 0, ""},
		{{"load"}, true, 1, "already loaded"},
		{{"load", "--capacity", "0"}, false, 2, "capacity must be"},
		{{"load", "--capacity", "-3"}, false, 2, "capacity must be"},
		{{"load", "--capacity", "12x"}, false, 2, "capacity must be"},
		{{"load", "--capacity", "99999999999"}, false, 2, "capacity must be"},
		{{"load", "--capacity"}, false, 2, "usage:"},
		{{"unload"}, false, 1, "not loaded"},
		{{"unload"}, true, 0, ""},
		{{"status"}, false, 1, "not loaded"},
		{{"status", "extra"}, true, 2, "usage:"},
		{{"bogus"}, false, 2, "usage:"},
		{{}, false, 2, "usage:"},
		{{"run"}, true, 2, "usage:"},
		{{"run", "--", "/nonexistent/cmd"}, true, 127, "/nonexistent/cmd"},
		// run's status is the command's.
		{{"run", "--", MARNEL_SIM, "bogus"}, true, 2, "usage:"},
		{{"run", "--", DRAWWELL}, true, 255, ""},
	};
	for (const auto &c : cases) {
		std::string name;
		for (const auto &a : c.args)
			name += a + " ";
		SCOPED_TRACE(name + (c.loaded ? "(loaded)" : "(not loaded)"));
		SimDriver d;
		if (c.loaded)
			d.load();
		Outcome o = d.sim(c.args);
		EXPECT_EQ(o.status, c.status);
		if (c.err_has.empty()) {
			EXPECT_EQ(o.err, "");
		} else {
			EXPECT_NE(o.err.find(c.err_has), std::string::npos) << o.err;
		}
		if (c.err_has != "usage:" && !c.err_has.empty()) {
			EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << o.err;
		}
	}
}

TEST(MarnelSim, StatusPrintsEveryCounter)
{
	SimDriver d;
	d.load(5);
	Outcome o = d.sim({"status"});
	EXPECT_EQ(o.status, 0);
	EXPECT_EQ(o.out, "capacity: 5\ndepth: 0\naccepted: 0\nrefused_full: 0\n"
			 "refused_malformed: 0\ndelivered: 0\nend_markers: 0\n");
}

TEST(MarnelSim, RefusesAFolderOthersCanWrite)
{
	SimDriver d;
	std::string shared = d.dir() + "/shared";
	ASSERT_EQ(mkdir(shared.c_str(), 0777), 0);
	ASSERT_EQ(chmod(shared.c_str(), 0777), 0);
	Outcome o = run({{MARNEL_SIM, "load"}, {"MARNEL_SIM_DIR=" + shared}});
	EXPECT_EQ(o.status, 1);
	EXPECT_NE(o.err.find("not a private folder"), std::string::npos) << o.err;
}

} // namespace

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
