// marnel-conformance as a driver author meets it: its usage, its KTAP, and
// its verdict on a sound driver.
#include "support.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>

using namespace marnel::test;

namespace {

std::vector<std::string> lines_of(const std::string &text)
{
	std::vector<std::string> lines;
	std::istringstream in(text);
	for (std::string line; std::getline(in, line);)
		lines.push_back(line);
	return lines;
}

// The document's shape: version line, one plan, results numbered 1..N in
// order, the totals line last and agreeing with the results.
void expect_ktap(const std::string &out)
{
	auto lines = lines_of(out);
	ASSERT_FALSE(lines.empty());
	EXPECT_EQ(lines.front(), "KTAP version 1");
	size_t plan = 0, n = 0, pass = 0, fail = 0, skip = 0;
	std::regex result(R"(^(not )?ok (\d+) (core|ref)\.[a-z-]+( # (SKIP|TIMEOUT) .*)?$)");
	for (const auto &l : std::vector(lines.begin() + 1, lines.end())) {
		std::smatch m;
		if (l.rfind("1..", 0) == 0) {
			EXPECT_EQ(plan, 0U) << "a second plan";
			plan = std::stoul(l.substr(3));
		} else if (std::regex_match(l, m, result)) {
			EXPECT_EQ(std::stoul(m[2]), ++n) << l;
			(m[1].matched ? fail : m[5] == "SKIP" ? skip : pass)++;
		} else {
			EXPECT_EQ(l.rfind("# ", 0), 0U) << "not KTAP: " << l;
		}
	}
	EXPECT_EQ(plan, n);
	EXPECT_EQ(lines.back(), "# Totals: pass:" + std::to_string(pass) + " fail:" +
					std::to_string(fail) + " xfail:0 xpass:0 skip:" +
					std::to_string(skip) + " error:0");
}

Outcome conformance(std::vector<std::string> args)
{
	args.insert(args.begin(), MARNEL_CONFORMANCE);
	return run({args, {}});
}

TEST(Conformance, UsageErrorsAreOneLineAndStatusTwo)
{
	const std::vector<std::vector<std::string>> cases = {
		{"--bogus"},           {"--level", "strict"}, {"--level"},
		{"--timeout", "0"},    {"--timeout", "-1"},   {"--timeout", "1s"},
		{"--timeout", "nan"},  {"--timeout=inf"},     {"--clause", "core.nothing"},
		{"--clause", "ref.*"}, {"extra"},             {"--help=1"},
		{"--junit", "/nonexistent/x.xml"},
	};
	for (auto args : cases) {
		SCOPED_TRACE(testing::PrintToString(args));
		Outcome o = conformance(args);
		EXPECT_TRUE(o.exited);
		EXPECT_EQ(o.status, 2);
		EXPECT_EQ(o.out, "");
		EXPECT_TRUE(std::regex_match(o.err, std::regex("marnel-conformance: [^\n]+\n"))) << o.err;
	}
	// Worded as the kit's other commands: what was given, and where to look.
	const std::pair<std::vector<std::string>, const char *> exact[] = {
		{{"--bogus"}, "unknown option '--bogus' (see marnel-conformance --help)"},
		{{"--level", "strict"}, "no level 'strict': core or reference (see marnel-conformance --help)"},
		{{"--clause", "core.nothing"}, "no clause matches 'core.nothing' (--list shows them)"},
	};
	for (auto &[args, msg] : exact)
		EXPECT_EQ(conformance(args).err, "marnel-conformance: " + std::string(msg) + "\n");
}

TEST(Conformance, HelpVersionAndList)
{
	Outcome help = conformance({"--help"});
	EXPECT_EQ(help.status, 0);
	EXPECT_EQ(help.out.rfind("usage: marnel-conformance", 0), 0U);
	// No word of the engine underneath.
	EXPECT_EQ(help.out.find("gtest"), std::string::npos);
	EXPECT_EQ(help.out.find("Running main()"), std::string::npos);
	EXPECT_EQ(conformance({"--version"}).out,
		  "marnel-conformance " MARNEL_VERSION "\n");
	auto core = lines_of(conformance({"--list"}).out);
	auto all = lines_of(conformance({"--list", "--level", "reference"}).out);
	EXPECT_EQ(core.size(), 11U);
	EXPECT_GT(all.size(), core.size());
	for (const auto &l : core)
		EXPECT_EQ(l.rfind("core.", 0), 0U) << l;
	auto picked = lines_of(
		conformance({"--list", "--clause", "core.read-*", "--skip", "*-zero"}).out);
	ASSERT_EQ(picked.size(), 1U);
	EXPECT_EQ(picked[0].rfind("core.read-places-text ", 0), 0U);
}

TEST(Conformance, NoDriverIsOneSkipLineAndStatusFour)
{
	SimDriver driver; // not loaded
	Outcome o = driver.run({MARNEL_CONFORMANCE});
	EXPECT_EQ(o.status, 4);
	EXPECT_EQ(o.out, "KTAP version 1\n1..0 # SKIP nothing serves /proc/marnel: load a queue "
			 "driver (insmod or modprobe), or run this under marnel-sim run\n");
}

TEST(Conformance, ASoundDriverPassesBothLevels)
{
	for (unsigned capacity : {1U, 3U, 1024U}) {
		SCOPED_TRACE(capacity);
		SimDriver driver;
		driver.load(capacity);
		std::string junit = driver.dir() + "/junit.xml";
		Outcome o = driver.run({MARNEL_CONFORMANCE, "--level", "reference", "--junit", junit});
		EXPECT_EQ(o.status, 0) << o.out;
		expect_ktap(o.out);
		EXPECT_NE(o.out.find("capacity " + std::to_string(capacity) + ", found by filling"),
			  std::string::npos);
		std::ifstream in(junit);
		std::string xml((std::istreambuf_iterator<char>(in)), {});
		EXPECT_NE(xml.find("failures=\"0\""), std::string::npos) << xml;
		EXPECT_EQ(xml.find("<failure"), std::string::npos);
	}
}

} // namespace
