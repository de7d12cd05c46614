// g++ 12 at -O3 with _FORTIFY_SOURCE (the package build) reports a memcpy
// overlap inside std::string's operator+ that cannot happen (GCC bug
// 105329); its other warnings stay on.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
#include "profile.hpp"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <vector>

namespace marnel::sim {

namespace {

constexpr std::int32_t max_errno = 4095;

const char *errno_name(std::int32_t e)
{
	return e > 0 && e <= max_errno ? strerrorname_np(e) : nullptr;
}

// The errno of a name as strerrorname_np spells it, or 0.
std::int32_t errno_of(std::string_view name)
{
	for (std::int32_t e = 1; e <= 200; e++)
		if (const char *n = errno_name(e); n && name == n)
			return e;
	return 0;
}

bool blank(char c)
{
	return c == ' ' || c == '\t';
}

// A token as one short printable piece of an error line.
std::string shown(std::string_view s)
{
	std::string out;
	for (char c : s.substr(0, 40))
		out += c >= 0x20 && c < 0x7f ? c : '?';
	return s.size() > 40 ? out + "..." : out;
}

std::string_view trim(std::string_view s)
{
	while (!s.empty() && blank(s.front()))
		s.remove_prefix(1);
	while (!s.empty() && blank(s.back()))
		s.remove_suffix(1);
	return s;
}

std::vector<std::string_view> words(std::string_view s)
{
	std::vector<std::string_view> out;
	while (!(s = trim(s)).empty()) {
		std::size_t i = 0;
		while (i < s.size() && !blank(s[i]))
			i++;
		out.push_back(s.substr(0, i));
		s.remove_prefix(i);
	}
	return out;
}

bool octal_mode(std::string_view s, std::uint32_t &mode)
{
	if (s.empty() || s.size() > 4)
		return false;
	auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), mode, 8);
	return ec == std::errc() && p == s.data() + s.size() && mode <= 0777;
}

bool entry_name_ok(std::string_view n)
{
	if (n.empty() || n.size() >= Profile::name_size || n == "." || n == ".." ||
	    n == "enqueue" || n == "dequeue" || n == "status")
		return false;
	for (char c : n)
		if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
		      c == '_' || c == '-' || c == '.'))
			return false;
	return true;
}

// One line's key and values into p; nullptr or what is wrong.
class LineParser {
public:
	LineParser(Profile &p, std::string &problem) : p_(p), problem_(problem) {}

	bool line(std::string_view text)
	{
		std::vector<std::string_view> w = words(text);
		std::string_view key = w[0];
		key_.clear();
		std::size_t n = w.size() - 1;
		auto arg = [&](std::size_t i) { return w[i + 1]; };
		if (key == "entry")
			return entry(text, w);
		static const char *const keys[] = {
			"capacity", "full-error", "write-count", "record-text", "read-short",
			"wrong-direction-open", "wrong-direction-call", "lseek", "modes", "status"};
		std::size_t k = 0;
		while (k < std::size(keys) && key != keys[k])
			k++;
		if (k == std::size(keys))
			return bad("unknown key '" + shown(key) + "'");
		if (seen_ & (1U << k))
			return bad(std::string(keys[k]) + " given twice");
		seen_ |= 1U << k;
		key_ = keys[k];
		switch (k) {
		case 0: {
			if (n != 1)
				return bad("a number from 1 to " + std::to_string(max_capacity));
			std::uint32_t c = 0;
			auto [p, ec] = std::from_chars(arg(0).data(), arg(0).data() + arg(0).size(), c);
			if (ec != std::errc() || p != arg(0).data() + arg(0).size() ||
			    c < 1 || c > max_capacity)
				return bad("a number from 1 to " + std::to_string(max_capacity));
			p_.capacity = c;
			return true;
		}
		case 1:
			return n == 1 ? error(arg(0), p_.full_error) : bad("one errno name");
		case 2:
			if (n != 2)
				return bad("an errno name, then an errno name or first-record");
			return error(arg(0), p_.short_error) &&
			       (arg(1) == "first-record" ? (p_.long_error = 0, true)
							 : error(arg(1), p_.long_error));
		case 3:
			if (n != 2 || (arg(0) != "kstrtoint" && arg(0) != "trimmed"))
				return bad("kstrtoint or trimmed, then an errno name");
			p_.trimmed = arg(0) == "trimmed";
			return error(arg(1), p_.record_error);
		case 4:
			return either(w, "refuse", "cut", p_.read_short_error);
		case 5:
			return either(w, "refuse", "allow", p_.wrong_open_error);
		case 6:
			return n == 1 ? error(arg(0), p_.wrong_call_error) : bad("one errno name");
		case 7:
			if (n != 1 || (arg(0) != "zero" && arg(0) != "nonseekable"))
				return bad("zero or nonseekable");
			p_.nonseekable = arg(0) == "nonseekable";
			return true;
		case 8:
			if (n != 2 || !octal_mode(arg(0), p_.enqueue_mode) ||
			    !octal_mode(arg(1), p_.dequeue_mode))
				return bad("two octal modes, enqueue's then dequeue's, at most 0777");
			// The core needs the entries open for the user who loaded it.
			if (!(p_.enqueue_mode & 0200) || !(p_.dequeue_mode & 0400))
				return bad("enqueue's mode must let its owner write (0200) and "
					   "dequeue's let its owner read (0400)");
			return true;
		default:
			if (n != 1 || (arg(0) != "counters" && arg(0) != "none"))
				return bad("counters or none");
			p_.status_counters = arg(0) == "counters";
			return true;
		}
	}

private:
	bool bad(const std::string &what)
	{
		problem_ = key_.empty() ? what : key_ + ": " + what;
		return false;
	}

	bool error(std::string_view name, std::int32_t &to)
	{
		std::int32_t e = errno_of(name);
		if (e == 0)
			return bad("'" + shown(name) + "' is not an errno name");
		to = e;
		return true;
	}

	// `refuse ERRNO` or the other answer, kept as 0.
	bool either(const std::vector<std::string_view> &w, const char *refuse,
		    const char *other, std::int32_t &to)
	{
		if (w.size() == 2 && w[1] == other)
			return to = 0, true;
		if (w.size() == 3 && w[1] == refuse)
			return error(w[2], to);
		return bad(std::string(refuse) + " and an errno name, or " + other);
	}

	bool entry(std::string_view text, const std::vector<std::string_view> &w)
	{
		key_ = "entry";
		if (w.size() < 3)
			return bad("a name and its text");
		std::string_view name = w[1];
		if (!entry_name_ok(name))
		{
			// Appended, not "..." + string: g++ 12 at -O2 warns of a
			// memcpy overlap in that operator+ that cannot happen.
			std::string why = "'";
			why += shown(name);
			why += "' is not a name for an entry (letters, digits, '_', '-', '.'; not "
			       "enqueue, dequeue or status)";
			return bad(why);
		}
		for (std::uint32_t i = 0; i < p_.entry_count; i++)
			if (name == p_.entries[i].name)
				return bad(std::string(name) + " given twice");
		if (p_.entry_count == Profile::max_entries)
			return bad("at most " + std::to_string(Profile::max_entries) + " entries");
		// The text: the rest of the line after the name, blanks around it dropped.
		std::string_view rest = trim(text);
		rest.remove_prefix(w[0].size());
		rest = trim(rest);
		rest.remove_prefix(name.size());
		rest = trim(rest);
		if (rest.size() > Profile::text_size)
			return bad("a text of at most " + std::to_string(Profile::text_size) +
				   " bytes");
		if (rest.find('\t') != std::string_view::npos)
			return bad("a tab in the text");
		auto &e = p_.entries[p_.entry_count++];
		memcpy(e.name, name.data(), name.size());
		memcpy(e.text, rest.data(), rest.size());
		return true;
	}

	Profile &p_;
	std::string &problem_;
	std::string key_;
	unsigned seen_ = 0;
};

} // namespace

Profile default_profile()
{
	Profile p;
	p.capacity = default_capacity;
	p.full_error = ENOSPC;
	p.short_error = EINVAL;
	p.long_error = EINVAL;
	p.trimmed = 0;
	p.record_error = EINVAL;
	p.read_short_error = EINVAL;
	p.wrong_open_error = EACCES;
	p.wrong_call_error = EBADF;
	p.nonseekable = 0;
	p.enqueue_mode = 0200;
	p.dequeue_mode = 0400;
	p.status_counters = 1;
	return p;
}

bool parse_profile(std::string_view text, Profile &out, std::string &why)
{
	Profile p = default_profile();
	std::string problem;
	LineParser parser(p, problem);
	std::size_t number = 0;
	while (!text.empty()) {
		number++;
		std::size_t nl = text.find('\n');
		std::string_view line = text.substr(0, nl);
		text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
		bool printable = true;
		for (char c : line)
			printable = printable && ((c >= 0x20 && c < 0x7f) || c == '\t');
		if (!printable)
			problem = "a byte that is not printable text";
		else if (trim(line).empty() || trim(line).front() == '#')
			continue;
		if (!printable || !parser.line(line)) {
			why = "line " + std::to_string(number) + ": " + problem;
			return false;
		}
	}
	out = p;
	return true;
}

std::string format_profile(const Profile &p)
{
	auto err = [](std::int32_t e) { return std::string(errno_name(e) ? errno_name(e) : "E?"); };
	char modes[32];
	snprintf(modes, sizeof modes, "%04o %04o", p.enqueue_mode, p.dequeue_mode);
	std::string s = "# marnel driver profile: the open choices of docs/queue-driver.md\n";
	s += "capacity " + std::to_string(p.capacity) + "\n";
	s += "full-error " + err(p.full_error) + "\n";
	s += "write-count " + err(p.short_error) + " " +
	     (p.long_error ? err(p.long_error) : "first-record") + "\n";
	s += std::string("record-text ") + (p.trimmed ? "trimmed " : "kstrtoint ") +
	     err(p.record_error) + "\n";
	s += "read-short " + (p.read_short_error ? "refuse " + err(p.read_short_error) : "cut") + "\n";
	s += "wrong-direction-open " +
	     (p.wrong_open_error ? "refuse " + err(p.wrong_open_error) : "allow") + "\n";
	s += "wrong-direction-call " + err(p.wrong_call_error) + "\n";
	s += std::string("lseek ") + (p.nonseekable ? "nonseekable" : "zero") + "\n";
	s += std::string("modes ") + modes + "\n";
	s += std::string("status ") + (p.status_counters ? "counters" : "none") + "\n";
	for (std::uint32_t i = 0; i < p.entry_count && i < Profile::max_entries; i++)
		s += std::string("entry ") + p.entries[i].name + " " + p.entries[i].text + "\n";
	return s;
}

bool valid_profile(const Profile &p)
{
	// Parsing its own text back gives it again only when every field is
	// one the parser allows (a stray byte after a NUL aside, checked here).
	for (const auto &e : p.entries)
		if (memchr(e.name, 0, sizeof e.name) == nullptr ||
		    memchr(e.text, 0, sizeof e.text) == nullptr)
			return false;
	for (std::int32_t e : {p.full_error, p.short_error, p.record_error, p.wrong_call_error})
		if (!errno_name(e))
			return false;
	for (std::int32_t e : {p.long_error, p.read_short_error, p.wrong_open_error})
		if (e != 0 && !errno_name(e))
			return false;
	if (p.entry_count > Profile::max_entries || p.trimmed > 1 || p.nonseekable > 1 ||
	    p.status_counters > 1)
		return false;
	Profile again;
	std::string why;
	return parse_profile(format_profile(p), again, why) && again == p;
}

const char *fixed_entry(const Profile &p, std::string_view name)
{
	for (std::uint32_t i = 0; i < p.entry_count && i < Profile::max_entries; i++)
		if (name == p.entries[i].name)
			return p.entries[i].text;
	return nullptr;
}

} // namespace marnel::sim
