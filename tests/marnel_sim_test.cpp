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
