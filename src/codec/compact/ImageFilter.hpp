// The compact codec's image filter (format 2.2): the executable model
// (exe/Image.hpp) of the original and the layout of the newer image tell
// where every reference of the original's code (exe/Disassembler.hpp) and
// every address its tables hold points, in addresses of either image. The
// edits say where each stretch of the original went; a reference whose
// bytes an edit takes is predicted to name, in the newer image, where its
// target went, and a table's address likewise. The difference bytes then
// hold the new bytes minus the prediction: zero wherever it was right.
//
// Writer and reader make the same predictions from the same inputs: the
// original's bytes, its model, the newer layout (which the body carries)
// and the edits. doc/FORMAT.md describes the rules. The writer also uses
// the model to search: MaskReferences.
#pragma once

#include "codec/compact/ReferenceMap.hpp"
#include "common/Progress.hpp"
#include "exe/Disassembler.hpp"
#include "exe/Image.hpp"

#include <cstdint>
#include <functional>
#include <span>
#include <utility>
#include <vector>

namespace kestro {

// The parts of the newer image that predictions need: its sections' places
// in the file and in memory (code flags not kept), looked up as the
// model's, and its image base.
struct ImageLayout : SectionMap {
    std::uint64_t imageBase = 0;
};

ImageLayout LayoutOf(const Image& image);

// A table of 32-bit offsets of addresses from the table's own address, as
// compilers make for switch statements and lookup tables: its offset in the
// original and its number of entries.
struct OffsetTable {
    std::uint64_t offset = 0;
    std::uint32_t entries = 0;
};

// The runs in the data of bytes (an image's file bytes from start on) that
// may be such tables: each starts where a reference of the code points,
// at an address that is a multiple of 4, and holds at least four words,
// up to the next such place, each of which, added to the run's address,
// gives an address in the image, and none of which lies within 16 of 0.
// By offset. Only the writer looks for them; the body lists the ones it
// chose. Linear in bytes (and n log n in the places the code points at);
// calls poll, where set, after every few MiB of that work.
std::vector<OffsetTable> FindOffsetTables(std::span<const std::uint8_t> bytes, std::uint64_t start,
                                          const Image& image,
                                          const std::function<void()>& poll = {});

class ImagePredictor {
public:
    // original is the original's model and slots; its instruction set must
    // be known. map, sealed, says where the edits put the original's bytes.
    // poll, where set, is called after every few MiB of work (of building
    // the predictor and of each prediction) on the calling thread, and may
    // throw to stop it.
    ImagePredictor(const Image& original, const std::vector<AddressSlot>& slots,
                   const std::vector<OffsetTable>& tables, const ImageLayout& newer,
                   const ReferenceMap& map, const std::function<void()>& poll = {});

    // bytes holds the original's bytes [oldStart, oldStart + size) of one
    // edit, which puts them at newStart in the newer file: rewrites every
    // reference and slot wholly inside them to its predicted newer form.
    void Predict(std::span<std::uint8_t> bytes, std::uint64_t oldStart,
                 std::uint64_t newStart) const;

    // bytes holds the original's bytes from offset on: rewrites every
    // reference and slot in them as Predict would where the edits put each
    // at the place the map says: the original as the newer file would hold
    // it where the map is right. The writer searches the newer file in it.
    void Project(std::span<std::uint8_t> bytes, std::uint64_t offset) const;

    // Where an address of the original lies in the newer image: through the
    // edits, else at the same place in the section of the same index.
    std::optional<std::uint64_t> NewAddress(std::uint64_t address) const;

    // A PE image's base relocation table as the newer image would hold it
    // where the map is right (every pointer it lists where the edits put
    // it), and the offset of the original's, in whose place it is
    // predicted; empty for an image without one.
    std::span<const std::uint8_t> Relocations() const { return relocations_; }
    std::uint64_t RelocationsAt() const { return relocationsAt_; }

private:
    // Rewrites bytes, the original's from oldStart on, each reference and
    // slot as if it lay at the newer file offset place(its offset) says.
    template <typename Place>
    void Rewrite(std::span<std::uint8_t> bytes, std::uint64_t oldStart, Place place) const;
    // Rewrites each address slot wholly inside bytes (old, as they stood,
    // from oldStart on) to where its target went; an offset from the slot's
    // own address, from where place puts the slot.
    template <typename Place>
    void RewriteSlots(std::span<std::uint8_t> bytes, std::span<const std::uint8_t> old,
                      std::uint64_t oldStart, Place place) const;
    // A Relative31 slot at offset of the original, value as it stood, at
    // the newer offset placed.
    void RewriteRelative31(std::uint8_t* at, std::uint32_t value, std::uint64_t offset,
                           std::optional<std::uint64_t> placed) const;
    void BuildRelocations();

    const Image& original_;
    const std::vector<AddressSlot>& slots_;
    const std::vector<OffsetTable>& tables_; // by offset, none overlapping the next
    const ImageLayout& newer_;
    const ReferenceMap& map_;
    const InstructionSet& instructions_;
    // The memory of each section of the original that the newer layout
    // has a section of the same index for.
    RangeIndex sameIndex_;
    mutable WorkPoll steps_;
    // A PE image's relocation table as the newer image would hold it, and
    // where the original's lies.
    std::vector<std::uint8_t> relocations_;
    std::uint64_t relocationsAt_ = 0;
};

// bytes, which hold an image's file bytes from offset on, with the bytes of
// every reference in its code and of every slot set to zero, and
// MaskLinkage's offsets: two versions of code that differ only where they
// name moved addresses look alike.
// Linear in bytes, polling as FindOffsetTables does.
void MaskReferences(std::span<std::uint8_t> bytes, std::uint64_t offset, const Image& image,
                    const std::vector<AddressSlot>& slots, const std::function<void()>& poll = {});
// The same with the offset tables that FindOffsetTables finds in bytes
// found already: the writer's plan finds those of an original that its
// window holds whole, which took a quarter of the time the masking of a
// large 32-bit ARM program's original takes.
void MaskReferences(std::span<std::uint8_t> bytes, std::uint64_t offset, const Image& image,
                    const std::vector<AddressSlot>& slots, const std::vector<OffsetTable>& tables,
                    const std::function<void()>& poll);

// Erases, in bytes (a file's from offset on) that only the searches see,
// the offsets in the entries of a 32-bit ARM image's procedure linkage
// table (ARM code, also in Thumb images): add ip, pc, #imm; add ip, ip,
// #imm (once or twice); ldr pc, [ip, #imm]!. They hold the distance from
// each entry to its GOT slot, which changes for every entry when the table
// and the GOT move apart; an entry then matches exactly the one whose
// distance it now is, many entries away, and every call through the table
// is mispredicted. Erased, the entries look alike and a search keeps the
// alignment it has. Words of these forms elsewhere in code lose their
// offsets too. Other images: nothing.
void MaskLinkage(std::span<std::uint8_t> bytes, std::uint64_t offset, const Image& image);

// A word that the second search sees XORed into the first four bytes of a
// record of unwind data: the address, in the newer image, of the function
// whose record it is. Unwind data is mostly records that many functions
// share word for word, which a search matches to any copy; the map then
// puts an old function's record where another's lies, and every exception
// table entry that names it is mispredicted. With the mark, a record
// matches its own function's.
struct OwnerMark {
    std::uint64_t offset = 0; // of the record, in its file
    std::uint32_t owner = 0;
};

// The marks of the original's and the newer file's records, by offset: an
// old record's owner is where map puts its function (a record of a
// function map does not place has no mark), a newer record's its own
// function, marked only where some old record's owner is the same (the
// records of new functions match any copy, as before). A record that
// several functions share belongs to the first in table order.
std::pair<std::vector<OwnerMark>, std::vector<OwnerMark>>
MarkUnwindOwners(ByteStream& original, const Image& originalImage, ByteStream& newer,
                 const Image& newerImage, const ReferenceMap& map,
                 const std::function<void()>& poll = {});

// XORs each mark that lies wholly inside bytes, a file's bytes from start
// on, into the four bytes at its offset.
void ApplyMarks(std::span<std::uint8_t> bytes, std::uint64_t start,
                const std::vector<OwnerMark>& marks);

} // namespace kestro
