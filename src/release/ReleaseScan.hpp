// A release as it lies in a folder: every file, folder and symbolic link
// under it, each file read once for its SHA-256 and its likeness sketch.
#pragma once

#include "crypto/Signing.hpp"
#include "platform/FileStream.hpp"
#include "release/ReleaseManifest.hpp"

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kestro {

// A few hashes that stand for a file's content: of the 32-byte stretches
// that end where a rolling hash of them has its low bits zero, the
// smallest SketchSize. Files that share much of their content share many
// of them, wherever it lies in each.
inline constexpr std::size_t SketchSize = 128;
using Sketch = std::vector<std::uint64_t>; // sorted, at most SketchSize

struct ScannedEntry {
    std::string Path; // relative to the folder, "/" between parts
    ReleaseKind Kind = ReleaseKind::File;
    std::uint32_t Permissions = 0; // 0777 at most
    std::uint64_t Size = 0;
    Digest256 Sha256{};
    Sketch Likeness;
    FileStamp Stamp;    // a file's, as it was read
    std::string Target; // a link's
};

// Told how many bytes of the files are read, of how many.
using ScanTold = std::function<void(std::int64_t done, std::int64_t total)>;

// Every entry under folder, sorted by path, none of them the folder itself.
// Fails with Exception "Cannot put into a release package (<why>): <path>"
// for an entry that no release may hold (ReleasePaths.hpp; with the
// running system's name rules) or that is neither file, folder nor link,
// and as the file layer does for what cannot be read.
std::vector<ScannedEntry> ScanRelease(const std::string& folder, const ScanTold& told);

// The part of the content two sketches share, 0 to 1.
double Likeness(const Sketch& a, const Sketch& b);

// folder and a release path joined into a name of the file system.
std::string EntryName(const std::string& folder, const std::string& path);

} // namespace kestro
