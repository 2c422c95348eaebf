// The version resource of PE files, read by parsing the file itself on every
// platform: what the Windows version interface gives, without calling it.
//
// Version data is the bytes of the file's RT_VERSION resource: a tree of
// VS_VERSIONINFO nodes, each laid out as
//   0  uint16  wLength       bytes of the node, its children included
//   2  uint16  wValueLength  bytes of a binary value, UTF-16 units of a text
//   4  uint16  wType         1 text, 0 binary
//   6          key           UTF-16, zero-terminated
//              padding       to a 4-byte boundary, counted from the start of
//                            the version data
//              value         then padding again
//              children      up to the node's end; each sibling starts on a
//                            4-byte boundary
// The root's value is VS_FIXEDFILEINFO; "StringFileInfo\<table>\<name>"
// hold the strings and "VarFileInfo\Translation" the language/code-page
// pairs.
//
// Everything taken from the file is untrusted: a malformed file gives "no
// version information" or "not found", never a failure. Only memory
// exhaustion (std::bad_alloc) passes out.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestro {

class ByteStream;

// The version data of a file open in file, empty when the file is not a PE
// file (a 16-bit NE file included) or carries no version resource under
// type RT_VERSION and name ID 1. Of several language versions it takes
// language 0x0000, else 0x0409, else the first. Reads only the headers,
// tables and resource it needs, wherever file is positioned; the result is
// allocated only once its size is known to lie inside the file. A read that
// fails, or finds the file shorter than it was, fails as the stream does:
// the caller must not take a file it could not read for one without version.
std::vector<std::uint8_t> LoadVersionData(ByteStream& file);

// The same for the named file; empty also when it cannot be opened or read.
std::vector<std::uint8_t> LoadVersionData(const std::string& fileName);

// A value found in version data. The bytes lie inside the data they were
// found in and are valid as long as it is.
struct VersionValue {
    // A binary value: its wValueLength bytes. A text: its UTF-16LE code
    // units up to the first zero, the node's end or wValueLength units,
    // whichever comes first (so a length counted in bytes still ends at the
    // zero), without the zero.
    std::span<const std::uint8_t> bytes;
    bool text = false;
};

// Looks up a path such as "\", "\VarFileInfo\Translation" or
// "StringFileInfo\040904E4\FileVersion". The path is split at "\" and empty
// parts are skipped, so it is resolved from the root whether or not it
// begins with "\". Keys are compared ignoring ASCII letter case; of several
// children with the same key the first counts. A node whose length is 0 or
// reaches past its parent or the data ends the search among its siblings.
// Nothing is found when a binary value reaches past its node.
std::optional<VersionValue> QueryVersionValue(std::span<const std::uint8_t> data,
                                              std::string_view path);

// The program's 8-bit text of a value, read as UTF-16LE up to its first zero.
std::string VersionValueText(const VersionValue& value);

// Converts UTF-16 text to the program's 8-bit text: UTF-8 on POSIX, the ANSI
// code page on Windows. Characters that cannot be converted, a lone
// surrogate among them, become "?".
std::string Utf16ToText(std::u16string_view text);

} // namespace kestro
