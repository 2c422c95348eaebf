// The parsers of the executable model, one file per format: PeImage.cpp and
// ElfImage.cpp. Image.cpp chooses one by the file's first bytes.
#pragma once

#include "exe/Image.hpp"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace kestro {

// The file being parsed: every read names its offset and length, which are
// checked against the file's size before the file is touched. Headers and
// tables are read in many small pieces close together: a small read is
// served from a window of the file read once, not by a call of its own.
struct FileBytes {
    static constexpr std::uint64_t WindowBytes = 64 << 10;

    ByteStream& file;
    std::uint64_t size;
    std::vector<std::uint8_t> window = {};
    std::uint64_t windowAt = 0;

    bool Fits(std::uint64_t offset, std::uint64_t count) const;
    // False when the bytes do not all lie inside the file; fails with
    // EReadError when the file turns out shorter than it was.
    bool Read(std::uint64_t offset, void* buffer, std::uint64_t count);
};

// The bytes of a table a piece at a time, for tables of any size.
template <typename Visit>
void ReadTable(FileBytes& in, std::uint64_t offset, std::uint64_t size, std::uint64_t entryBytes,
               Visit visit) {
    constexpr std::uint64_t PieceEntries = 4096;
    std::vector<std::uint8_t> piece;
    if (!in.Fits(offset, 0)) {
        return;
    }
    size = std::min(size, in.size - offset) / entryBytes * entryBytes;
    for (std::uint64_t at = 0; at < size;) {
        const std::uint64_t count = std::min(size - at, PieceEntries * entryBytes);
        piece.resize(static_cast<std::size_t>(count));
        if (!in.Read(offset + at, piece.data(), count)) {
            return;
        }
        for (std::uint64_t entry = 0; entry < count; entry += entryBytes) {
            visit(offset + at + entry, piece.data() + entry);
        }
        at += count;
    }
}

Image ReadPeImage(FileBytes& in);
void ReadPeSlots(FileBytes& in, const Image& image, std::vector<AddressSlot>& slots);
void ReadPeUnwindEntries(FileBytes& in, const Image& image, std::vector<UnwindEntry>& entries);
Image ReadElfImage(FileBytes& in);
void ReadElfSlots(FileBytes& in, const Image& image, std::vector<AddressSlot>& slots);

} // namespace kestro
