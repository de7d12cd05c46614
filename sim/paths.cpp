#include "paths.hpp"

#include <vector>

namespace marnel::sim {

namespace {

bool under(std::string_view path, std::string_view folder)
{
	return path.starts_with(folder) &&
	       (path.size() == folder.size() || path[folder.size()] == '/');
}

} // namespace

std::string mirror_of(std::string_view dir)
{
	std::string m(dir);
	while (m.size() > 1 && m.back() == '/')
		m.pop_back();
	return m + "/marnel";
}

std::string normalize(std::string_view base, std::string_view path)
{
	std::string joined;
	if (!path.starts_with('/')) {
		joined = base;
		joined += '/';
	}
	joined += path;
	std::vector<std::string_view> parts;
	std::string_view rest = joined;
	while (!rest.empty()) {
		std::size_t slash = rest.find('/');
		std::string_view part = rest.substr(0, slash);
		rest = slash == std::string_view::npos ? "" : rest.substr(slash + 1);
		if (part.empty() || part == ".")
			continue;
		if (part == "..") {
			if (!parts.empty())
				parts.pop_back();
			continue;
		}
		parts.push_back(part);
	}
	std::string out;
	for (auto p : parts) {
		out += '/';
		out += p;
	}
	if (out.empty())
		return "/";
	// "x/" and "x/." both demand a folder.
	if (joined.ends_with('/') || joined.ends_with("/.") || joined.ends_with("/.."))
		out += '/';
	return out;
}

std::string to_mirror(std::string_view normalized, std::string_view mirror)
{
	if (!under(normalized, proc_folder))
		return "";
	std::string out(mirror);
	out += normalized.substr(proc_folder.size());
	return out;
}

std::string from_mirror(std::string_view real, std::string_view mirror)
{
	if (!under(real, mirror))
		return std::string(real);
	std::string out(proc_folder);
	out += real.substr(mirror.size());
	return out;
}

std::string_view entry_name(std::string_view normalized)
{
	if (!normalized.starts_with(proc_folder) ||
	    normalized.size() <= proc_folder.size() + 1 ||
	    normalized[proc_folder.size()] != '/')
		return "";
	std::string_view name = normalized.substr(proc_folder.size() + 1);
	return name.find('/') == std::string_view::npos ? name : "";
}

bool may_reach(std::string_view path)
{
	return path.find("marnel") != std::string_view::npos ||
	       path.find("..") != std::string_view::npos;
}

} // namespace marnel::sim
