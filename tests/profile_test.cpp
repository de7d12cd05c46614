// The profile parser: good files and what each sets, bad files and the line
// each error names, and what a loaded profile makes the driver answer.
#include "profile.hpp"
#include "support.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

using marnel::sim::Profile;
using namespace marnel::test;

namespace {

TEST(Profile, GoodFiles)
{
	const Profile ours = marnel::sim::default_profile();
	struct Case {
		std::string text;
		void (*change)(Profile &);
	};
	const std::vector<Case> cases = {
		{"", [](Profile &) {}},
		{"# only a comment\n\n   \t\n", [](Profile &) {}},
		{"  capacity\t7  \n", [](Profile &p) { p.capacity = 7; }},
		{"capacity 1048576", [](Profile &p) { p.capacity = 1048576; }},
		{"full-error EAGAIN\n", [](Profile &p) { p.full_error = EAGAIN; }},
		{"write-count EMSGSIZE first-record\n", [](Profile &p) {
			 p.short_error = EMSGSIZE;
			 p.long_error = 0;
		 }},
		{"record-text trimmed EILSEQ\n", [](Profile &p) {
			 p.trimmed = 1;
			 p.record_error = EILSEQ;
		 }},
		{"read-short cut\n", [](Profile &p) { p.read_short_error = 0; }},
		{"read-short refuse ERANGE\n", [](Profile &p) { p.read_short_error = ERANGE; }},
		{"wrong-direction-open allow\nwrong-direction-call EPERM\n", [](Profile &p) {
			 p.wrong_open_error = 0;
			 p.wrong_call_error = EPERM;
		 }},
		{"lseek nonseekable\n", [](Profile &p) { p.nonseekable = 1; }},
		{"modes 600 0777\n", [](Profile &p) {
			 p.enqueue_mode = 0600;
			 p.dequeue_mode = 0777;
		 }},
		{"status none\n", [](Profile &p) { p.status_counters = 0; }},
		{"entry version  foreign 1,  size 64 \nentry x # not a comment\n", [](Profile &p) {
			 p.entry_count = 2;
			 strcpy(p.entries[0].name, "version");
			 strcpy(p.entries[0].text, "foreign 1,  size 64");
			 strcpy(p.entries[1].name, "x");
			 strcpy(p.entries[1].text, "# not a comment");
		 }},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.text);
		Profile want = ours, got;
		c.change(want);
		std::string why;
		ASSERT_TRUE(marnel::sim::parse_profile(c.text, got, why)) << why;
		EXPECT_TRUE(got == want);
		Profile again;
		ASSERT_TRUE(marnel::sim::parse_profile(marnel::sim::format_profile(got), again, why))
			<< why;
		EXPECT_TRUE(again == got);
		EXPECT_TRUE(marnel::sim::valid_profile(got));
	}
}

TEST(Profile, BadFilesNameTheLine)
{
	const std::vector<std::pair<std::string, std::string>> cases = {
		{"bogus 1", "line 1: unknown key 'bogus'"},
		{"\n# c\ncapacity", "line 3: capacity: a number from 1 to 1048576"},
		{"capacity 0", "line 1: capacity: a number"},
		{"capacity 1048577", "line 1: capacity: a number"},
		{"capacity +5", "line 1: capacity: a number"},
		{"capacity 5 6", "line 1: capacity: a number"},
		{"capacity 5\ncapacity 6", "line 2: capacity given twice"},
		{"full-error ENOPE", "line 1: full-error: 'ENOPE' is not an errno name"},
		{"full-error 28", "line 1: full-error: '28' is not an errno name"},
		{"full-error enospc", "line 1: full-error: 'enospc' is not an errno name"},
		{"full-error", "line 1: full-error: one errno name"},
		{"write-count EINVAL", "line 1: write-count: an errno name, then"},
		{"write-count first-record EINVAL", "line 1: write-count: 'first-record' is not"},
		{"record-text strtol EINVAL", "line 1: record-text: kstrtoint or trimmed"},
		{"read-short refuse", "line 1: read-short: refuse and an errno name, or cut"},
		{"read-short cut EINVAL", "line 1: read-short: refuse and an errno name, or cut"},
		{"wrong-direction-open allow EACCES", "line 1: wrong-direction-open: refuse"},
		{"lseek ESPIPE", "line 1: lseek: zero or nonseekable"},
		{"modes 0400 0400", "line 1: modes: enqueue's mode must let its owner write"},
		{"modes 0200 0200", "line 1: modes: enqueue's mode must let its owner write"},
		{"modes 01200 0400", "line 1: modes: two octal modes"},
		{"modes 0200 08", "line 1: modes: two octal modes"},
		{"status some", "line 1: status: counters or none"},
		{"entry", "line 1: entry: a name and its text"},
		{"entry version", "line 1: entry: a name and its text"},
		{"entry status up", "line 1: entry: 'status' is not a name"},
		{"entry ../x up", "line 1: entry: '../x' is not a name"},
		{"entry v 1\nentry v 2", "line 2: entry: v given twice"},
		{"entry a 1\nentry b 1\nentry c 1\nentry d 1\nentry e 1", "line 5: entry: at most 4"},
		{"entry v " + std::string(201, 'x'), "line 1: entry: a text of at most 200 bytes"},
		{"entry v a\tb", "line 1: entry: a tab in the text"},
		{"capacity 5\r\n", "line 1: a byte that is not printable text"},
		{std::string("capacity 5\n\0", 12), "line 2: a byte that is not printable text"},
	};
	for (const auto &[text, error] : cases) {
		SCOPED_TRACE(text);
		Profile p = marnel::sim::default_profile();
		p.capacity = 9;
		const Profile before = p;
		std::string why;
		EXPECT_FALSE(marnel::sim::parse_profile(text, p, why));
		EXPECT_TRUE(why.starts_with(error)) << why;
		EXPECT_TRUE(p == before);
	}
}

// marnel-sim load --profile: a bad file is a usage error naming its line
// and loads nothing; --capacity wins; status names the profile.
TEST(Profile, LoadedByMarnelSim)
{
	SimDriver d;
	const std::string file = d.dir() + "/answers.profile";
	std::ofstream(file) << "# ours but smaller\ncapacity 3\nfull-error EBUSY\nfrob\n";
	Outcome o = d.sim({"load", "--profile", file});
	EXPECT_EQ(o.status, 2);
	EXPECT_EQ(o.err, "marnel-sim: load: --profile " + file +
				 ": line 4: unknown key 'frob' (see: marnel-sim help)\n");
	EXPECT_EQ(d.sim({"status"}).status, 1); // nothing loaded
	o = d.sim({"load", "--profile", d.dir() + "/none"});
	EXPECT_EQ(o.status, 1);
	EXPECT_NE(o.err.find("No such file"), std::string::npos) << o.err;

	std::ofstream(file) << "capacity 3\nfull-error EBUSY\nread-short cut\n";
	ASSERT_EQ(d.sim({"load", "--capacity", "2", "--profile", file}).status, 0);
	o = d.sim({"status"});
	EXPECT_TRUE(o.out.starts_with("capacity: 2\n")) << o.out;
	EXPECT_TRUE(o.out.ends_with("profile: answers.profile\n")) << o.out;
	// The capacity that won, from processes that read nothing but the
	// state (the profiles' errors: profiles.probe-back).
	// pushwell, a program of this build, so that the library can be
	// preloaded into it under an emulator or on 32 bits too.
	d.run({PUSHWELL, "1"}, 0.3);
	EXPECT_EQ(d.status()["accepted"], 2);
	EXPECT_GE(d.status()["refused_full"], 1);
}

} // namespace
