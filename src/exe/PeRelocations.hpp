// A PE image's base relocation table, read and written here alone: blocks
// of a page's RVA and the block's size (uint32 each), then an entry
// (uint16) for each place in the page that the loader adjusts, its type in
// the top four bits and its offset in the page in the low twelve. Type 3
// is a 32-bit pointer, type 10 a 64-bit one; type 0 pads a block, and the
// reader takes no other type for a pointer.
#pragma once

#include "exe/FileBytes.hpp"
#include "exe/Image.hpp"

#include <cstdint>
#include <functional>
#include <vector>

namespace kestro {

// A pointer that the table lists.
struct PeRelocation {
    std::uint64_t address = 0; // RVA: the page's and the entry's offset in it
    AddressSlot::Kind kind = AddressSlot::Kind::Absolute32; // or Absolute64

    bool operator==(const PeRelocation&) const = default;
};

// Calls visit for each pointer of the table that lies at table, in table
// order. The walk stops at a block whose size is under 8 or runs past the
// table's end, or that the file does not hold. Steps in.steps once for each
// entry.
void ReadPeRelocations(FileBytes& in, FileRange table,
                       const std::function<void(const PeRelocation&)>& visit);

// The table that lists pointers, whose addresses lie below 2^32: by address
// and, of two at one address (as where a byte is placed twice), the 32-bit
// one first; one block for each 4 KiB page, padded to a multiple of four
// bytes with an entry of type 0.
std::vector<std::uint8_t> WritePeRelocations(const std::vector<PeRelocation>& pointers);

} // namespace kestro
