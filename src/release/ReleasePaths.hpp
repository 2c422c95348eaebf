// The paths of a release package: the names of the files, folders and
// links of a release, relative to its folder, with "/" between their
// parts, in UTF-8, the same on every system. A package names nothing
// outside the folder it updates and nothing a system could take for
// something else; these rules are what a reader refuses and what a writer
// never writes.
#pragma once

#include <string>
#include <string_view>

namespace kestro {

// Why path cannot name an entry of a release, or empty when it can:
// relative ("/" neither first nor last), parts neither empty nor "." nor
// "..", valid UTF-8 without control characters or "\", at most
// MaxReleasePathBytes bytes. With windowsNames, also as Windows would have
// it: no part a device name (CON, NUL, COM1, ...), ending in "." or " ",
// or holding < > : " | ? *.
std::string PathProblem(std::string_view path, bool windowsNames);

// The form under which two paths name one entry: as they are on POSIX; on
// Windows with ASCII letters folded to small ones, as its file systems
// compare them.
std::string PathKey(std::string_view path, bool windowsNames);

// Why the symbolic link at linkPath may not point to target, or empty when
// it may: a relative target that stays inside the release whichever way
// its ".." parts lead, without "\" or control characters.
std::string LinkProblem(std::string_view linkPath, std::string_view target);

// The folder part of a path ("a/b" for "a/b/c"), empty at the top.
std::string_view ParentPath(std::string_view path);

// The longest path a package holds, in bytes.
inline constexpr std::size_t MaxReleasePathBytes = 4096;

} // namespace kestro
