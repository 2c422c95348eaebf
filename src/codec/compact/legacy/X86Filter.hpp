// Frozen: the x86 filter of format 2.1. It reads and writes 2.1 bodies
// exactly as the first writers of 2.1 did, and changes only to fix a fault;
// its own reading of PE headers stays as it is, since its rules are part of
// the format. Newer filters are rows of their own (CompactFilters.hpp).
//
// The compact codec's x86 filter. Recompiled code keeps most of its
// instructions but moves functions and data, so the 32-bit displacements of
// calls, jumps and RIP-relative operands change wherever the code between
// an instruction and its target grew or shrank, and so do the pointers the
// relocation table lists and the exception table's image offsets. The
// edits already say where each stretch of the original went in the newer
// file; the filter uses them to predict each such value's new form, and the
// difference bytes then hold the new bytes minus the prediction, which are
// zero wherever it was right.
//
// Writer and reader make the same predictions from the same inputs: the
// original's bytes and the edits. doc/FORMAT.md describes the rules.
#pragma once

#include "codec/compact/ReferenceMap.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace kestro {

class ByteStream;

// Whether an original looks like a Windows program of x86 code (a PE image
// for i386 or x86-64), from its first bytes: the writer uses the filter
// only there.
bool IsX86Program(std::span<const std::uint8_t> start);

// The absolute addresses in an original's image that its base relocation
// table lists, and the image offsets (RVAs) of its exception table: values
// that move with whatever they point at.
struct AddressTable {
    struct Section {
        std::uint32_t virtualAddress = 0;
        std::uint32_t rawSize = 0;
        std::uint32_t rawOffset = 0;
    };
    struct Address {
        std::int64_t position = 0; // in the original
        int width = 0;             // 4 or 8 bytes
        bool imageOffset = false;  // an RVA, not an address (ImageBase + RVA)
    };
    // The most addresses a table holds, so that a reader's memory stays
    // bounded (16 bytes each); the relocation table's later ones are left out.
    static constexpr std::size_t MaxAddresses = 131072;

    std::uint64_t imageBase = 0;
    // Whether ModRM 05 means RIP-relative: not in i386 code, where it is
    // an absolute address (which the relocation table lists).
    bool ripRelative = true;
    std::vector<Section> sections;
    std::vector<Address> addresses; // by position, none overlapping the next

    // The file offset of an image offset (RVA), if a section's raw data holds it.
    std::optional<std::int64_t> OffsetOf(std::uint64_t rva) const;
};

// Reads the table of original, a PE image whose headers and section table
// lie in its first 4096 bytes; empty for any other file. Positional reads
// only; a failing read fails as the stream does.
AddressTable ReadAddressTable(ByteStream& original);

// Replaces displacements and absolute addresses in the original's bytes of
// one edit by their predicted newer values, a stretch at a time, in order.
class ReferencePredictor {
public:
    // Reads count original bytes at an old position into a buffer; asked
    // only for bytes inside the current edit.
    using ReadOld = std::function<void(std::int64_t at, std::uint8_t* to, std::int64_t count)>;

    ReferencePredictor(const ReferenceMap& map, const AddressTable& addresses,
                       std::int64_t originalSize, ReadOld readOld);

    // The next edit takes the old bytes [oldStart, oldStart + length) to
    // the newer file at newStart.
    void StartEdit(std::int64_t oldStart, std::int64_t length, std::int64_t newStart);
    // bytes holds the original's bytes from old position at on, the next
    // stretch of the current edit; rewrites each displacement in it.
    void Predict(std::span<std::uint8_t> bytes, std::int64_t at);

private:
    const ReferenceMap& map_;
    const AddressTable& table_;
    std::int64_t originalSize_;
    ReadOld readOld_;
    std::int64_t editEnd_ = 0;
    std::int64_t shift_ = 0;
    std::int64_t scanFrom_ = 0; // the next old position that may start an instruction
    // A predicted displacement or address that runs on past the last stretch.
    std::int64_t carryAt_ = 0;
    std::uint8_t carry_[8] = {};
    int carryBytes_ = 0;
    std::vector<std::uint8_t> view_;
};

} // namespace kestro
