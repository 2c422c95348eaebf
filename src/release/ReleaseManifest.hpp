// The release package: what brings a folder from one release of a program
// to the next in one file. doc/FORMAT.md section 13 is its normative
// description; this header lays out its records and holds their one writer
// and one reader. Integers are little-endian; a text is a uint16 count and
// that many bytes of UTF-8.
//
// The delta file's header (DeltaFile.hpp) with format 3.0, then at file
// offset 28 the package header:
//    0   4  tag "KREL"
//    4   4  ManifestBytes   uint32, at most MaxManifestBytes
//    8   4  ManifestCrc     CRC-32 of the manifest
//   12   8  PayloadBytes    uint64: the payloads, which end the file
// Then the manifest:
//           FolderName, OriginalVersion, NewerVersion (texts)
//           OriginalCount (uint32), then each original entry:
//             Path (text), Kind (uint8: 0 file, 1 folder, 2 link),
//             a file's Size (uint64) and SHA-256 (32 bytes), a link's
//             Target (text)
//           EntryCount (uint32), then each entry of the newer release:
//             Path (text), Kind (uint8), Permissions (uint16, 0777 at
//             most), a file's Size, SHA-256, Method (uint8: 0 the same as
//             original Source, 1 a compact delta against it, 2 whole, 3 the
//             same as entry Source of this list, listed before it),
//             Source (uint32), Detail (uint32: the delta's compact minor,
//             the whole file's LZMA2 dictionary), PayloadBytes (uint64);
//             a link's Target (text)
// Both lists are sorted by their paths' bytes, so a folder comes before
// what it holds. Then the payloads of the delta and whole files, in the
// order of their entries.
#pragma once

#include "crypto/Signing.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace kestro {

class ByteStream;

inline constexpr std::uint8_t ReleaseTag[4] = {'K', 'R', 'E', 'L'};
inline constexpr std::int32_t ReleaseMajor = 3;
inline constexpr std::int32_t ReleaseMinor = 0;
inline constexpr int PackageHeaderBytes = 20;
// Where the package header lies, and its fields.
inline constexpr int PackageHeaderOffset = 28;
inline constexpr int ManifestBytesField = 4;
inline constexpr int ManifestCrcField = 8;
inline constexpr int PayloadBytesField = 12;
// A manifest is held in memory whole; no release needs more.
inline constexpr std::uint32_t MaxManifestBytes = std::uint32_t{64} << 20;
// A text's bytes, a version's or a link target's; paths have their own.
inline constexpr std::size_t MaxReleaseTextBytes = 4096;

enum class ReleaseKind : std::uint8_t { File = 0, Folder = 1, Link = 2 };
enum class ReleaseMethod : std::uint8_t { Same = 0, Delta = 1, Whole = 2, Copy = 3 };

// An entry of the original release that the package reads or replaces.
struct OriginalEntry {
    std::string Path;
    ReleaseKind Kind = ReleaseKind::File;
    std::uint64_t Size = 0; // a file's
    Digest256 Sha256{};     // a file's
    std::string Target;     // a link's
};

// An entry of the newer release, and how it is made.
struct NewerEntry {
    std::string Path;
    ReleaseKind Kind = ReleaseKind::File;
    std::uint32_t Permissions = 0; // POSIX bits of a file or folder
    std::uint64_t Size = 0;
    Digest256 Sha256{};
    ReleaseMethod Method = ReleaseMethod::Whole;
    std::uint32_t Source = 0;       // an index into the originals (the entries: Copy)
    std::uint32_t Detail = 0;       // compact minor, or LZMA2 dictionary
    std::uint64_t PayloadBytes = 0; // 0 for Same
    std::string Target;             // a link's
};

struct ReleaseManifest {
    std::string FolderName;      // the original folder's name
    std::string OriginalVersion; // the releases' versions, as text
    std::string NewerVersion;
    std::vector<OriginalEntry> Originals;
    std::vector<NewerEntry> Entries;
};

// The manifest's bytes, and where its two lists begin in them (each list
// runs from its count to the next list or the end): what a signature's
// statement digests.
struct ManifestBytes {
    std::vector<std::uint8_t> bytes;
    std::size_t originalsAt = 0;
    std::size_t entriesAt = 0;
};

ManifestBytes WriteManifest(const ReleaseManifest& manifest);

// Writes the delta file's header of format 3.0 and the package header.
void WritePackageHeader(ByteStream& out, const ManifestBytes& manifest, std::uint64_t payloadBytes);

// A package's manifest, read from in at its header (file offset 28) and
// checked: the package header, the manifest's CRC and form, every path and
// link target (ReleasePaths.hpp, with the running system's name rules,
// or Windows' with windowsNames), the order of both lists, every parent a
// folder entry listed before it, every source an original file, the
// payloads' sizes adding up to the package's size. Fails with Exception
// "Damaged release package: <what>" before it takes memory beyond what the
// package's bytes back. in is left at the first payload.
struct ReadPackage {
    ReleaseManifest manifest;
    ManifestBytes bytes;
    std::uint64_t payloadBytes = 0;
};
ReadPackage ReadPackageManifest(ByteStream& in, bool windowsNames);

} // namespace kestro
