// Path resolution for the simulated /proc/marnel: any spelling of the
// folder or an entry maps to the mirror folder that `load` made in the
// state folder, where the kernel itself answers stat, access and readdir.
// Pure string work, no system calls.
#pragma once

#include <string>
#include <string_view>

namespace marnel::sim {

inline constexpr std::string_view proc_folder = "/proc/marnel";

// The mirror of /proc/marnel inside the state folder dir.
std::string mirror_of(std::string_view dir);

// base (an absolute folder) joined with path, then `.`, `..` and repeated
// slashes removed lexically, as the kernel resolves a path without
// symlinks. A trailing slash is kept: it makes an entry fail with ENOTDIR.
std::string normalize(std::string_view base, std::string_view path);

// For an absolute normalized path under /proc/marnel, the same path under
// mirror; otherwise empty.
std::string to_mirror(std::string_view normalized, std::string_view mirror);

// The reverse, for a real path (a working folder, a folder descriptor's
// target): under mirror it becomes the /proc/marnel path, else unchanged.
std::string from_mirror(std::string_view real, std::string_view mirror);

// The name after /proc/marnel/ when normalized names an entry (one
// component, no trailing slash), else empty.
std::string_view entry_name(std::string_view normalized);

// Whether a path that is not absolute could reach /proc/marnel from a base
// that is not itself under /proc: it must name marnel or climb.
bool may_reach(std::string_view path);

} // namespace marnel::sim
