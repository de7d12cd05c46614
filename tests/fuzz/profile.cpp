// The profile parser on any text: no crash, hang or leak, a one-line error
// naming a line for bad text, and a parsed profile that reads the same when
// written back.
#include "profile.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

void check(bool ok, const char *what)
{
	if (!ok) {
		std::fprintf(stderr, "fuzz-profile: %s\n", what);
		std::abort();
	}
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	std::string_view text(reinterpret_cast<const char *>(data), size);
	marnel::sim::Profile p;
	std::string why;
	if (!marnel::sim::parse_profile(text, p, why)) {
		check(why.starts_with("line "), "error names no line");
		check(why.size() < 300, "error longer than a line");
		for (char c : why)
			check(c >= 0x20 && c < 0x7f, "error is not one printable line");
		return 0;
	}
	check(marnel::sim::valid_profile(p), "a parsed profile is not valid");
	std::string written = marnel::sim::format_profile(p);
	marnel::sim::Profile again;
	check(marnel::sim::parse_profile(written, again, why), "written back, refused");
	check(again == p, "written back, another profile");
	check(marnel::sim::format_profile(again) == written, "written twice, other text");
	return 0;
}
