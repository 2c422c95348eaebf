// The VS_VERSIONINFO tree of a version resource, walked as the Windows
// version interface walks it, on every platform.
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
// Everything taken from the file is untrusted: a damaged tree gives "not
// found", never a failure.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kestro {

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

} // namespace kestro
