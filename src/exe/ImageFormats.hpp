// The parsers of the executable model, one file per format: PeImage.cpp and
// ElfImage.cpp. Image.cpp chooses one by the file's first bytes.
#pragma once

#include "exe/FileBytes.hpp"
#include "exe/Image.hpp"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace kestro {

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
