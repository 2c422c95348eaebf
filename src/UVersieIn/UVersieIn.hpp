// The version information of executables and libraries: the four file-version
// numbers, and the version resource as key=value text lines.
//
// The operations on a named file never fail for a missing, unreadable,
// damaged or unversioned file: such a file has no version information (no
// fixed record, zeros, no lines). Only memory exhaustion (std::bad_alloc)
// passes out. They keep no state, print nothing, and read the file anew on
// every call. The numbers, the lines and the version string of one file all
// come from one ReadVersionInfo.
#pragma once

#include <compare>
#include <cstdint>
#include <string>
#include <vector>

namespace kestro {

class ByteStream;

// A file's version numbers, each 0 to 65535: major and minor are the upper
// and lower halves of the fixed record's dwFileVersionMS, release and build
// those of dwFileVersionLS. All 0 when the file has no usable version
// information. Versions compare number by number, major first.
struct FileVersionQuad {
    std::int32_t major = 0;
    std::int32_t minor = 0;
    std::int32_t release = 0;
    std::int32_t build = 0;
    auto operator<=>(const FileVersionQuad&) const = default;
};

// "major.minor.release.build" in decimal: 1.0.0.2.
std::string VersionText(const FileVersionQuad& version);

// Appends the file's version information to list, never touching the lines
// already in it, in this order:
//   - when the fixed record exists, its fifteen lines (Signature=,
//     StrucVersion=, FileVersion=, FileVersionMS=, FileVersionLS=,
//     ProductVersion=, ProductVersionMS=, ProductVersionLS=,
//     dwFileFlagsMask=, dwFileFlags=, dwFileOS=, dwFileType=,
//     dwFileSubtype=, dwFileDateMS=, dwFileDateLS=);
//   - when a translation exists, "Localization=" and the 8-digit upper-case
//     hexadecimal key of the first one (language, then code page);
//   - for each of CompanyName, FileDescription, FileVersion, InternalName,
//     LegalCopyright, LegalTradeMarks, OriginalFilename, ProductName,
//     ProductVersion and Comments found in the string table of that key,
//     "L_<name>=" and its text.
// Whole words are written in unsigned decimal, version words as the dotted
// pair "<upper 16 bits>.<lower 16 bits>".
void GetVersionInfoList(const std::string& fileName, std::vector<std::string>& list);

// All that the program takes from a file's version resource, read once, so
// that the numbers, the list and the version string of one run all come
// from the same read of the same bytes.
struct VersionInfo {
    bool HasFixedRecord = false;
    FileVersionQuad Version;        // all 0 without a fixed record
    std::vector<std::string> Lines; // what GetVersionInfoList appends
};

// Reads the version information of the file open in file. A file that is
// not a PE file, or damaged, has none; a read that fails passes out as the
// stream's failure, never as "no version information".
VersionInfo ReadVersionInfo(ByteStream& file);
// The same for a named file, which never fails: a file that cannot be
// opened or read has no version information.
VersionInfo ReadVersionInfo(const std::string& fileName);

// The FileVersion string among the lines: the value of the first line whose
// key is L_FileVersion, letter case ignored; empty when there is none.
std::string VersionString(const VersionInfo& info);

} // namespace kestro
