// Path resolution on any base and path: the result is absolute and has no
// empty, `.` or `..` component, resolving it again changes nothing, and the
// mirror mapping goes there and back.
#include "paths.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

using namespace marnel::sim;

namespace {

void check(bool ok, const char *what, const std::string &a, const std::string &b)
{
	if (ok)
		return;
	fprintf(stderr, "%s: [%s] [%s]\n", what, a.c_str(), b.c_str());
	abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	if (size == 0)
		return 0;
	std::string in(reinterpret_cast<const char *>(data) + 1, size - 1);
	std::size_t cut = data[0] % (in.size() + 1);
	std::string base = "/" + in.substr(0, cut);
	std::string path = in.substr(cut);
	if (base.find('\0') != std::string::npos || path.find('\0') != std::string::npos)
		return 0; // a C path ends at its NUL
	base = normalize("/", base);
	std::string n = normalize(base, path);
	check(!n.empty() && n[0] == '/', "not absolute", base, path);
	std::string inner = n.size() > 1 && n.back() == '/' ? n.substr(0, n.size() - 1) : n;
	for (const char *bad : {"//", "/./", "/../"})
		check(n == "/" || (inner + "/").find(bad) == std::string::npos, bad, base, path);
	check(normalize("/", n) == n, "not stable", n, normalize("/", n));
	const std::string mirror = "/run/user/0/marnel-sim/marnel";
	std::string m = to_mirror(n, mirror);
	if (!m.empty())
		check(from_mirror(m, mirror) == n, "mirror round trip", n, m);
	check(entry_name(n).find('/') == std::string_view::npos, "entry name", n, "");
	return 0;
}
