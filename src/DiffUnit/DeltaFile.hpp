// The delta file container: a 28-byte header, a 112-byte descriptor, then
// the body to the end of the file. doc/FORMAT.md is the normative
// description of this layout and of what a reader checks, in which order.
// Integers are little-endian; int32 is signed. A string field of capacity N
// is a count byte and N bytes.
//
// DeltaHeader, file offset 0:
//    0  20  signature: count 18, "Kestro Delta File", one zero byte;
//           byte 19 is not defined
//   20   4  format version major, int32: 1, or 2 for a compact delta
//   24   4  format version minor, int32: 0, or 0 to CompactLatestMinor
//           for a compact delta
// DeltaDescriptor, file offset 28:
//    0   4  int32, written as 1, not checked
//    4  71  name of the original file, capacity 70, no directory part; in
//           the ANSI code page where the writer runs on Windows, else its
//           bytes as the system names it (UTF-8)
//   75   1  not defined
//   76  16  original file version: major, minor, release, build (int32 each)
//   92  16  newer file version: major, minor, release, build
//  108   4  CRC-32 of the whole original file (uint32)
// Offset 140: the body: in format 1.0 the block stream (BlockStream.hpp),
// in formats 2.0 and 2.1 the compact body (CompactStream.hpp), which starts
// with a tag of its own.
//
// The header and the descriptor each have one writer and one reader, here.
#pragma once

#include "UVersieIn/UVersieIn.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestro {

class ByteStream;

inline constexpr int DeltaHeaderBytes = 28;
inline constexpr int DeltaDescriptorBytes = 112;
inline constexpr int BlockStreamOffset = DeltaHeaderBytes + DeltaDescriptorBytes;
inline constexpr std::size_t MaxStoredNameLength = 70;

// Where the header's fields lie, counted from the file's first byte.
inline constexpr int SignatureField = 0;
inline constexpr int FormatMajorField = 20;
inline constexpr int FormatMinorField = 24;
// Where the descriptor's fields lie, counted from the descriptor's first
// byte; in the file they lie DeltaHeaderBytes further on.
inline constexpr int UncheckedField = 0; // int32 written as 1, never checked
inline constexpr int NameField = 4;      // the count byte; the characters follow
inline constexpr int OriginalVersionField = 76;
inline constexpr int NewerVersionField = 92;
inline constexpr int CrcField = 108;

// The kinds of delta: format 1.0, the block stream, format 2, the compact
// body, of minor version 0 to CompactLatestMinor (CompactStream.hpp), and
// format 3.0, the release package that updates a whole folder
// (release/ReleaseManifest.hpp), which has the header but no descriptor.
enum class DeltaFormat : std::uint8_t { Blocks, Compact, Release };

// The major version number of a format: 1 for the block stream, 2 for the
// compact body, 3 for the release package.
std::int32_t FormatMajor(DeltaFormat format);

// The name field's bytes for a name, the program's text: in the code page
// (platform/Text.hpp: on Windows the ANSI code page, as deltas made there
// have always stored it; elsewhere the name itself). Nothing when the code
// page cannot hold the name.
std::optional<std::string> StoredName(std::string_view name);
// The name those bytes store, as the program's text.
std::string NameFromStored(std::string_view stored);

struct DeltaDescriptor {
    // The program's text; stored in at most MaxStoredNameLength bytes.
    std::string OriginalName;
    FileVersionQuad OriginalVersion;
    FileVersionQuad NewerVersion;
    std::uint32_t OriginalCrc = 0;
};

// Writes the header: the signature and the format's version (for the
// compact format, of the minor given).
void WriteDeltaHeader(ByteStream& out, DeltaFormat format = DeltaFormat::Blocks,
                      std::int32_t minor = 0);
// Writes the descriptor; the stored name is cut to its first 70 bytes.
// Fails with Exception when the name cannot be stored (StoredName), which
// MakeDelta checks before it writes anything.
void WriteDeltaDescriptor(ByteStream& out, const DeltaDescriptor& descriptor);

// Reads and checks the header: ResultNotADelta when the signature differs,
// ResultWrongDeltaVersion for a format version other than 1.0, 2.0 to
// 2.CompactLatestMinor and 3.0, else ResultOk with the format and its minor
// version. (A compact body
// without its tag is refused with ResultWrongDeltaVersion once the
// descriptor has been read.) Fails with EReadError "Stream read error" when
// fewer than 28 bytes remain.
std::int32_t ReadDeltaHeader(ByteStream& in, DeltaFormat& format, std::int32_t& minor);
// Reads the descriptor, the stored name as the program's text
// (NameFromStored): ResultNotADelta when that name could reach another file
// than one in the delta's own folder (a count over 70, an empty name, ".",
// "..", a separator or a zero byte), else ResultOk. Fails with EReadError
// "Stream read error" when fewer than 112 bytes remain.
std::int32_t ReadDeltaDescriptor(ByteStream& in, DeltaDescriptor& descriptor);

// What DescribeDelta made of a file.
enum class DeltaListing {
    NotADelta, // nothing appended
    Delta,     // the lines describe it
    // The lines describe it up to where it is damaged: the file begins with
    // the signature but ends inside the header or the descriptor (the last
    // line is "Delta file damaged: <reason>"), a block cannot be read (the
    // last line is "Block<n>=damaged"), or a compact body's header or a
    // segment's header does not fit ("Body=damaged", "Segments=damaged").
    Damaged,
};

// Describes a delta file in key=value lines: header, descriptor and one line
// per block. Fails as the stream layer does for an unreadable file.
DeltaListing DescribeDelta(const std::string& fileName, std::vector<std::string>& lines);

} // namespace kestro
