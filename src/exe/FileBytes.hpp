// Reads of a file whose every field is untrusted, for the parsers of the
// executable model and the version reader: every read names its offset and
// length, which are checked against the file's size before the file is
// touched.
#pragma once

#include "common/Progress.hpp"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace kestro {

class ByteStream;

// The file being parsed, at the size it had when it was opened. Headers and
// tables are read in many small pieces close together: a small read is
// served from a window of the file read once, not by a call of its own.
struct FileBytes {
    static constexpr std::uint64_t WindowBytes = 64 << 10;

    // steps is stepped once for each entry of a table read: the poll of
    // the caller's operation.
    FileBytes(ByteStream& file, WorkPoll& steps);

    ByteStream& file;
    std::uint64_t size;
    WorkPoll& steps;
    std::vector<std::uint8_t> window = {};
    std::uint64_t windowAt = 0;

    bool Fits(std::uint64_t offset, std::uint64_t count) const;
    // False when the bytes do not all lie inside the file; fails with
    // EReadError when the file turns out shorter than it was.
    bool Read(std::uint64_t offset, void* buffer, std::uint64_t count);
    // The same into buffer, which is sized only once the bytes are known to
    // lie inside the file.
    bool Read(std::uint64_t offset, std::vector<std::uint8_t>& buffer, std::uint64_t count);
};

// The bytes of a table a piece at a time, for tables of any size: calls
// visit(offset, entry) for each whole entry of entryBytes that the file
// holds of [offset, offset + size).
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
            in.steps.Step();
            visit(offset + at + entry, piece.data() + entry);
        }
        at += count;
    }
}

} // namespace kestro
