// The payloads of a release package, coded on several threads and written
// in the order of their entries: a compact delta against its original, or
// the whole file in one LZMA2 stream.
#pragma once

#include "common/ByteStream.hpp"
#include "common/Progress.hpp"
#include "platform/FileStream.hpp"
#include "release/ReleaseManifest.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace kestro {

// How many bytes of coding state the files coded at once may take together,
// counted as DeltaCost bytes per byte of a delta's two files (a compact
// create of a program takes some 5 to 6) and WholeCost per byte of a whole
// file's dictionary; a file that needs more is coded alone. Each file's
// coding uses the threads too where it can (its streams' coders).
inline constexpr std::int64_t PayloadCodingBudget = std::int64_t{1} << 30;
inline constexpr std::int64_t DeltaCost = 8;
inline constexpr std::int64_t WholeCost = 12;
// How many coded payloads wait for their turn at most, each in memory up
// to PayloadInMemory bytes and in a scratch file beyond.
inline constexpr std::int64_t PayloadInMemory = std::int64_t{16} << 20;

struct PayloadSettings {
    std::string originalFolder; // where the originals are read
    std::string newerFolder;    // where the newer files are read
    std::string scratchName;    // beside which large payloads wait
    std::int32_t threads = 1;   // files coded at once, at most
    std::int32_t compactMinor = 0;
    // The stamps of the originals and of the newer entries' files as they
    // were read for their digests: a file that is another by the time it
    // is coded fails with EReadError "File changed while reading: <name>".
    std::vector<FileStamp> originalStamps;
    std::vector<FileStamp> newerStamps;
    // Told on the calling thread, at least a few times a second, how many
    // of the newer release's bytes and files are done (those the same as
    // an original from the start, the others once coded); it may stop the
    // work by throwing.
    ProgressFunction progress;
};

// Codes the payload of every Delta and Whole entry of manifest and appends
// them to out in entry order, filling in each entry's PayloadBytes and a
// delta's Detail (the compact minor its body needs). Returns the bytes
// written. The bytes are the same whatever the number of threads.
std::uint64_t CodePayloads(ReleaseManifest& manifest, ByteStream& out,
                           const PayloadSettings& settings);

} // namespace kestro
