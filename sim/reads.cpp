#include "reads.hpp"

#include <charconv>
#include <limits>

namespace marnel::sim {

namespace {

constexpr ssize_t max_errno = 4095; // the kernel's MAX_ERRNO

int hex_digit(char c)
{
	if (c >= '0' && c <= '9')
		return c - '0';
	if (c >= 'a' && c <= 'f')
		return c - 'a' + 10;
	if (c >= 'A' && c <= 'F')
		return c - 'A' + 10;
	return -1;
}

// The entry as one short printable line, whatever bytes it holds.
std::string shown(std::string_view item)
{
	static const char digits[] = "0123456789abcdef";
	constexpr std::size_t most = 40;
	std::string out;
	std::size_t i = 0;
	for (; i < item.size() && out.size() < most; i++) {
		auto c = static_cast<unsigned char>(item[i]);
		if (c >= 0x20 && c < 0x7f && c != '\\' && c != '\'') {
			out += static_cast<char>(c);
		} else {
			out += "\\x";
			out += digits[c >> 4];
			out += digits[c & 15];
		}
	}
	if (i < item.size())
		out += "...";
	return out;
}

const char *parse_one(std::string_view item, ScriptedRead &r)
{
	const char *end = item.data() + item.size();
	long long v = 0; // wider than a 32-bit ssize_t: the same errors everywhere
	// from_chars takes no blanks and no '+': the result is plain digits.
	auto [p, ec] = std::from_chars(item.data(), end, v);
	if (ec == std::errc::result_out_of_range || v > std::numeric_limits<ssize_t>::max())
		return "result out of range";
	if (ec != std::errc() || p == item.data())
		return "no decimal result";
	if (item[0] == '-' && (v == 0 || v < -max_errno))
		return "a negative result is -errno, -1 to -4095";
	if (p != end && *p != ':')
		return "result followed by something other than ':'";
	std::string_view hex = p == end ? std::string_view() : std::string_view(p + 1, end);
	if (hex.size() % 2 != 0)
		return "odd number of hex digits";
	for (std::size_t i = 0; i < hex.size(); i += 2) {
		int hi = hex_digit(hex[i]), lo = hex_digit(hex[i + 1]);
		if (hi < 0 || lo < 0)
			return "bytes must be pairs of hex digits";
		r.bytes += static_cast<char>(hi << 4 | lo);
	}
	if (v < 0) {
		r.result = -1;
		r.error = static_cast<int>(-v);
	} else {
		r.result = static_cast<ssize_t>(v);
		r.error = 0;
	}
	return nullptr;
}

} // namespace

bool parse_reads(std::string_view text, std::vector<ScriptedRead> &reads,
		 std::string &why)
{
	std::vector<ScriptedRead> out;
	while (!text.empty()) {
		std::size_t semi = text.find(';');
		std::string_view item = text.substr(0, semi);
		text.remove_prefix(semi == std::string_view::npos ? text.size() : semi + 1);
		if (item.empty())
			continue;
		ScriptedRead r{0, 0, {}};
		if (const char *problem = parse_one(item, r)) {
			why = "bad MARNEL_SIM_READS entry '" + shown(item) + "': " + problem;
			return false;
		}
		out.push_back(std::move(r));
	}
	reads = std::move(out);
	return true;
}

} // namespace marnel::sim
