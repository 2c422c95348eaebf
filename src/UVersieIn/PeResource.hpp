// Where a PE file keeps its version resource: the resource tree of the
// table that the executable model finds (exe/Image.hpp), read from an open
// file. The version data found there is a VS_VERSIONINFO tree
// (VersionTree.hpp).
//
// Everything taken from the file is untrusted: a malformed file gives "no
// version data", never a failure. A read that fails does (as the stream
// does), as does memory exhaustion (std::bad_alloc).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestro {

class ByteStream;

// The version data of a file open in file, empty when the file is not a PE
// file (a 16-bit NE file included) or carries no version resource under
// type RT_VERSION and name ID 1. Of several language versions it takes
// language 0x0000, else 0x0409, else the first. Reads the headers, tables
// and resource it needs by position, wherever file is positioned; the result is
// allocated only once its size is known to lie inside the file. A read that
// fails, or finds the file shorter than it was, fails as the stream does:
// the caller must not take a file it could not read for one without version.
std::vector<std::uint8_t> LoadVersionData(ByteStream& file);

// The same for the named file; empty also when it cannot be opened or read.
std::vector<std::uint8_t> LoadVersionData(const std::string& fileName);

} // namespace kestro
