// Windows' long path form and its link records, as pure functions that
// every build compiles and tests (as NameRules.hpp does for names); the
// Win32 port applies them.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kestro {

// The form in which Windows' calls take a path of any length, made from a
// full path as GetFullPathName gives it (absolute, backslashes, "." and
// ".." resolved, which the long form does not do): "\\?\" before a drive's
// path, "\\?\UNC\" instead of a UNC path's "\\". A path already in one of
// the system's own forms ("\\?\", "\\.\") is left as it is.
std::u16string LongPathForm(std::u16string_view fullPath);

// The reparse data of a symbolic link or a junction (REPARSE_DATA_BUFFER,
// as FSCTL_GET_REPARSE_POINT gives it), little-endian:
//    0  4  reparse tag: 0xA000000C a symbolic link, 0xA0000003 a junction
//    4  2  length of the data after these 8 bytes
//    6  2  reserved
//    8  2  substitute name: offset in the path buffer, in bytes
//   10  2  substitute name: length in bytes
//   12  2  print name: offset
//   14  2  print name: length
//   16  4  a symbolic link's flags: 1, its target is relative
//   20     a symbolic link's path buffer (a junction's starts at 16)
// The names are UTF-16 without a terminating zero. The substitute name is
// what the system follows: a relative target as the link holds it, else
// an NT path ("\??\C:\dir", "\??\UNC\server\share"); the print name is
// that path as people write it, and may be empty.
inline constexpr std::uint32_t SymbolicLinkTag = 0xA000000C;
inline constexpr std::uint32_t JunctionTag = 0xA0000003;

// A link's target as the program's text: a relative target as the link
// holds it, with "/" for its separators (as a POSIX link spells it, so that
// a link carried from one system to the other reads the same); an absolute
// one as people write it on Windows ("C:\dir", "\\server\share"). Nothing
// for another kind of reparse point, or data that does not hold the
// record it claims.
std::optional<std::string> LinkTargetOfReparseData(std::span<const std::uint8_t> data);

} // namespace kestro
