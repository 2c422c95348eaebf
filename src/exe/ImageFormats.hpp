// The parsers of the executable model, one file per format: PeImage.cpp and
// ElfImage.cpp. Image.cpp chooses one by the file's first bytes.
#pragma once

#include "common/Progress.hpp"
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
    // Stepped once for each entry of a table read: the poll of the
    // caller's operation.
    WorkPoll& steps;
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
            in.steps.Step();
            visit(offset + at + entry, piece.data() + entry);
        }
        at += count;
    }
}

// The slots a parser finds, in the order it finds them. Of the slots at
// one offset only the first can be kept (ReadAddressSlots keeps a slot only
// where it starts after the last one kept ends), so the list lets the
// others go from time to time: however often the tables name an offset, it
// holds about twice as many slots as there are offsets that slots start at.
class SlotList {
public:
    explicit SlotList(std::uint64_t fileSize) : fileSize_(fileSize) {}

    // Takes a slot that lies wholly in the file; others are no slots.
    void Add(AddressSlot slot) {
        if (slot.offset > fileSize_ ||
            static_cast<std::uint64_t>(slot.Width()) > fileSize_ - slot.offset) {
            return;
        }
        slots_.push_back(slot);
        if (slots_.size() >= compactAt_) {
            Compact();
        }
    }
    // The first slot found at each offset, by offset.
    std::vector<AddressSlot> Take() {
        Compact();
        return std::move(slots_);
    }

private:
    void Compact();

    std::uint64_t fileSize_;
    std::vector<AddressSlot> slots_;
    std::size_t compactAt_ = std::size_t{1} << 16;
};

Image ReadPeImage(FileBytes& in);
void ReadPeSlots(FileBytes& in, const Image& image, SlotList& slots);
void ReadPeUnwindEntries(FileBytes& in, const Image& image, std::vector<UnwindEntry>& entries);
Image ReadElfImage(FileBytes& in);
void ReadElfSlots(FileBytes& in, const Image& image, SlotList& slots);

} // namespace kestro
