#include "codec/compact/ImageFilter.hpp"

#include "common/Failures.hpp"
#include "common/LittleEndian.hpp"
#include "exe/PeRelocations.hpp"

#include <algorithm>
#include <cstring>
#include <functional>

namespace kestro {

namespace {

// How many bytes of code a scan looks at between two polls, and what a
// reference found weighs against a byte scanned (its target is looked up
// in both images).
constexpr std::uint64_t ScanWindowBytes = 1 << 16;
constexpr std::uint32_t ReferenceSteps = 16;

// Calls visit(reference, codeStart, codeAddress) for every reference that
// a scan of each stretch of the image's code (Image::Code) inside [start,
// start + bytes.size()) finds, in order; codeStart is the offset in bytes
// where the scanned part of the stretch begins, codeAddress its address.
// Each byte is scanned once, whatever the sections: the scan looks at a
// window of the stretch at a time (a reference lies where a scan of the
// whole stretch finds it) and polls after each.
template <typename Visit>
void ScanCode(std::span<const std::uint8_t> bytes, std::uint64_t start, const Image& image,
              const InstructionSet& instructions, WorkPoll& poll, Visit visit) {
    const std::uint64_t margin = 2 * instructions.reach;
    const std::uint64_t end = start + bytes.size();
    for (const CodeStretch& stretch : image.CodeIn(start, end)) {
        const std::uint64_t from = std::max(stretch.fileOffset, start);
        const std::uint64_t to = std::min(stretch.fileOffset + stretch.size, end);
        const std::span<const std::uint8_t> code = bytes.subspan(from - start, to - from);
        const std::uint64_t address = stretch.address + (from - stretch.fileOffset);
        for (std::uint64_t at = 0; at < code.size();) {
            // Up to the window's end, a reference found in the window is
            // the one a scan of all the code would find; one found in the
            // margin after it is looked for again in the next window.
            const bool last = code.size() - at <= ScanWindowBytes + margin;
            const std::uint64_t cut = last ? code.size() : at + ScanWindowBytes + margin;
            const std::optional<CodeReference> found =
                instructions.find(code.first(cut), at, address, image);
            if (found && (last || found->at < cut - margin)) {
                poll.Step(static_cast<std::uint32_t>(found->at - at) + ReferenceSteps);
                visit(*found, from - start, address);
                at = found->at + found->size;
                continue;
            }
            poll.Step(static_cast<std::uint32_t>(cut - at));
            if (last) {
                break;
            }
            at = cut - 2 * margin;
        }
    }
}

// The tables that overlap [start, end).
std::span<const OffsetTable> TablesIn(const std::vector<OffsetTable>& tables, std::uint64_t start,
                                      std::uint64_t end) {
    auto first = std::lower_bound(tables.begin(), tables.end(), start,
                                  [](const OffsetTable& table, std::uint64_t at) {
                                      return table.offset + 4 * std::uint64_t{table.entries} <= at;
                                  });
    auto last = first;
    while (last != tables.end() && last->offset < end) {
        ++last;
    }
    return {first, last};
}

} // namespace

std::vector<OffsetTable> FindOffsetTables(std::span<const std::uint8_t> bytes, std::uint64_t start,
                                          const Image& image, const std::function<void()>& poll) {
    constexpr std::uint64_t MinTableEntries = 4;
    constexpr std::int64_t MinTableOffset = 16;
    std::vector<OffsetTable> tables;
    const InstructionSet* instructions = InstructionSetOf(InstructionSetIdOf(image));
    if (instructions == nullptr) {
        return tables;
    }
    WorkPoll steps(poll);
    // Where the code points into the data: where tables may start.
    std::vector<std::uint64_t> starts;
    ScanCode(
        bytes, start, image, *instructions, steps,
        [&](const CodeReference& reference, std::uint64_t codeStart, std::uint64_t codeAddress) {
            const std::uint64_t target =
                instructions->target(bytes.subspan(codeStart), reference, codeAddress);
            const std::optional<std::uint64_t> offset = image.OffsetOf(target);
            if (target % 4 == 0 && offset && *offset >= start && *offset < start + bytes.size()) {
                starts.push_back(*offset);
            }
        });
    std::sort(starts.begin(), starts.end());
    starts.erase(std::unique(starts.begin(), starts.end()), starts.end());
    steps.Fire();
    // A table lies in no code section's memory.
    std::vector<RangeIndex::Range> codeMemory;
    for (const ImageSection& section : image.sections) {
        if (section.code) {
            codeMemory.push_back({section.address, section.virtualSize});
        }
    }
    const RangeIndex code(codeMemory);
    for (std::size_t i = 0; i < starts.size(); ++i) {
        const std::uint64_t at = starts[i];
        const std::uint64_t limit = i + 1 < starts.size() ? starts[i + 1] : start + bytes.size();
        const std::uint64_t table = *image.AddressOf(at);
        steps.Step(ReferenceSteps);
        if (code.Owner(table)) {
            continue;
        }
        std::uint64_t entries = 0;
        for (std::uint64_t entry = at; entry + 4 <= limit; entry += 4, ++entries) {
            steps.Step(ReferenceSteps);
            const auto offset = static_cast<std::int32_t>(GetLe32(&bytes[entry - start]));
            if ((offset > -MinTableOffset && offset < MinTableOffset) ||
                !image.InMemory(table + static_cast<std::uint64_t>(std::int64_t{offset}))) {
                break;
            }
        }
        if (entries >= MinTableEntries && entries <= UINT32_MAX) {
            tables.push_back({at, static_cast<std::uint32_t>(entries)});
        }
    }
    return tables;
}

namespace {

// The slots that lie wholly inside [start, end).
std::span<const AddressSlot> SlotsIn(const std::vector<AddressSlot>& slots, std::uint64_t start,
                                     std::uint64_t end) {
    const auto first = std::lower_bound(
        slots.begin(), slots.end(), start,
        [](const AddressSlot& slot, std::uint64_t at) { return slot.offset < at; });
    auto last = first;
    while (last != slots.end() && last->offset + static_cast<std::uint64_t>(last->Width()) <= end) {
        ++last;
    }
    return {first, last};
}

} // namespace

ImageLayout LayoutOf(const Image& image) {
    ImageLayout layout;
    layout.imageBase = image.imageBase;
    layout.sections = image.sections;
    for (ImageSection& section : layout.sections) {
        section.code = false;
    }
    layout.IndexSections();
    return layout;
}

ImagePredictor::ImagePredictor(const Image& original, const std::vector<AddressSlot>& slots,
                               const std::vector<OffsetTable>& tables, const ImageLayout& newer,
                               const ReferenceMap& map, const std::function<void()>& poll)
    : original_(original), slots_(slots), tables_(tables), newer_(newer), map_(map),
      instructions_(*InstructionSetOf(InstructionSetIdOf(original))), steps_(poll) {
    std::vector<RangeIndex::Range> memory;
    for (std::size_t i = 0; i < original.sections.size() && i < newer.sections.size(); ++i) {
        memory.push_back({original.sections[i].address, original.sections[i].virtualSize});
    }
    sameIndex_ = RangeIndex(memory);
    BuildRelocations();
}

std::optional<std::uint64_t> ImagePredictor::NewAddress(std::uint64_t address) const {
    if (const std::optional<std::uint64_t> offset = original_.OffsetOf(address)) {
        const auto at = static_cast<std::int64_t>(*offset);
        std::optional<std::int64_t> moved = map_.NewPosition(at);
        if (!moved) {
            // Moved as the nearest bytes of its section that an edit took.
            if (const std::optional<std::size_t> i = original_.SectionAt(*offset)) {
                const ImageSection& section = original_.sections[*i];
                moved = map_.NearbyPosition(
                    at, static_cast<std::int64_t>(section.fileOffset),
                    static_cast<std::int64_t>(section.fileOffset + section.fileSize));
            }
        }
        if (moved) {
            if (const auto newAddress = newer_.AddressOf(static_cast<std::uint64_t>(*moved))) {
                return newAddress;
            }
        }
    }
    if (const std::optional<std::uint32_t> i = sameIndex_.Owner(address)) {
        return newer_.sections[*i].address + (address - original_.sections[*i].address);
    }
    return std::nullopt;
}

void ImagePredictor::Predict(std::span<std::uint8_t> bytes, std::uint64_t oldStart,
                             std::uint64_t newStart) const {
    Rewrite(bytes, oldStart, [&](std::uint64_t at) -> std::optional<std::uint64_t> {
        return newStart + (at - oldStart);
    });
}

void ImagePredictor::Project(std::span<std::uint8_t> bytes, std::uint64_t offset) const {
    Rewrite(bytes, offset, [&](std::uint64_t at) -> std::optional<std::uint64_t> {
        const std::optional<std::int64_t> moved = map_.NewPosition(static_cast<std::int64_t>(at));
        return moved ? std::optional<std::uint64_t>(static_cast<std::uint64_t>(*moved))
                     : std::nullopt;
    });
}

template <typename Place>
void ImagePredictor::Rewrite(std::span<std::uint8_t> bytes, std::uint64_t oldStart,
                             Place place) const {
    const std::vector<std::uint8_t> old(bytes.begin(), bytes.end());
    const std::span<const std::uint8_t> original(old);
    ScanCode(
        original, oldStart, original_, instructions_, steps_,
        [&](const CodeReference& reference, std::uint64_t codeStart, std::uint64_t codeAddress) {
            const std::span<const std::uint8_t> code = original.subspan(codeStart);
            const std::optional<std::uint64_t> target =
                NewAddress(instructions_.target(code, reference, codeAddress));
            const std::optional<std::uint64_t> placed = place(oldStart + codeStart + reference.at);
            const std::optional<std::uint64_t> here =
                placed ? newer_.AddressOf(*placed) : std::nullopt;
            if (target && here) {
                instructions_.retarget(bytes.subspan(codeStart), reference, *here - reference.at,
                                       *target);
            }
        });
    // The tables of offsets from their own start (compilers' jump tables and
    // relative lookup tables) that the writer listed.
    for (const OffsetTable& table : TablesIn(tables_, oldStart, oldStart + bytes.size())) {
        const std::optional<std::uint64_t> tableAddress = original_.AddressOf(table.offset);
        const std::optional<std::uint64_t> placed = place(table.offset);
        const std::optional<std::uint64_t> newTable =
            placed ? newer_.AddressOf(*placed) : std::nullopt;
        if (!tableAddress || !newTable) {
            continue;
        }
        // The entries wholly inside the bytes.
        const std::uint64_t skipped =
            oldStart > table.offset ? (oldStart - table.offset + 3) / 4 : 0;
        for (std::uint64_t entry = table.offset + 4 * skipped;
             entry < table.offset + 4 * std::uint64_t{table.entries} &&
             entry + 4 <= oldStart + bytes.size();
             entry += 4) {
            steps_.Step(ReferenceSteps);
            const auto offset = static_cast<std::int32_t>(GetLe32(&original[entry - oldStart]));
            const std::optional<std::uint64_t> target =
                NewAddress(*tableAddress + static_cast<std::uint64_t>(std::int64_t{offset}));
            if (!target) {
                continue;
            }
            const auto moved = static_cast<std::int64_t>(*target - *newTable);
            if (moved >= INT32_MIN && moved <= INT32_MAX) {
                PutLe32(&bytes[entry - oldStart], static_cast<std::uint32_t>(moved));
            }
        }
    }
    RewriteSlots(bytes, old, oldStart, place);
    // The relocation table, as the newer image's would be: every pointer
    // it lists, where the edits put it.
    if (!relocations_.empty() && relocationsAt_ < oldStart + bytes.size() &&
        oldStart < relocationsAt_ + relocations_.size()) {
        const std::uint64_t from = std::max(oldStart, relocationsAt_);
        const std::uint64_t to =
            std::min(oldStart + bytes.size(), relocationsAt_ + relocations_.size());
        std::memcpy(bytes.data() + (from - oldStart), relocations_.data() + (from - relocationsAt_),
                    static_cast<std::size_t>(to - from));
    }
}

// A table's address: a pointer (the image base and an address), an
// address alone, or an offset from the slot's own address.
template <typename Place>
void ImagePredictor::RewriteSlots(std::span<std::uint8_t> bytes, std::span<const std::uint8_t> old,
                                  std::uint64_t oldStart, Place place) const {
    for (const AddressSlot& slot : SlotsIn(slots_, oldStart, oldStart + bytes.size())) {
        std::uint8_t* at = bytes.data() + (slot.offset - oldStart);
        const std::uint8_t* was = old.data() + (slot.offset - oldStart);
        if (slot.kind == AddressSlot::Kind::Relative31) {
            RewriteRelative31(at, GetLe32(was), slot.offset, place(slot.offset));
            continue;
        }
        const bool pointer = slot.kind != AddressSlot::Kind::Address32;
        const std::uint64_t value =
            slot.kind == AddressSlot::Kind::Absolute64 ? GetLe64(was) : GetLe32(was);
        const std::uint64_t base = pointer ? original_.imageBase : 0;
        if (value < base) {
            continue;
        }
        const std::optional<std::uint64_t> target = NewAddress(value - base);
        if (!target) {
            continue;
        }
        const std::uint64_t predicted = (pointer ? newer_.imageBase : 0) + *target;
        if (slot.kind == AddressSlot::Kind::Absolute64) {
            PutLe64(at, predicted);
        } else {
            PutLe32(at, static_cast<std::uint32_t>(predicted));
        }
    }
}

void ImagePredictor::RewriteRelative31(std::uint8_t* at, std::uint32_t value, std::uint64_t offset,
                                       std::optional<std::uint64_t> placed) const {
    constexpr std::int64_t Reach = std::int64_t{1} << 30;
    const std::optional<std::uint64_t> address = original_.AddressOf(offset);
    const std::optional<std::uint64_t> here = placed ? newer_.AddressOf(*placed) : std::nullopt;
    if ((value & 0x80000000u) != 0 || !address || !here) {
        return;
    }
    const std::int64_t distance = static_cast<std::int32_t>(value << 1) >> 1;
    const std::optional<std::uint64_t> target =
        NewAddress(*address + static_cast<std::uint64_t>(distance));
    if (!target) {
        return;
    }
    const auto moved = static_cast<std::int64_t>(*target - *here);
    if (moved >= -Reach && moved < Reach) {
        PutLe32(at, static_cast<std::uint32_t>(moved) & 0x7FFFFFFFu);
    }
}

void ImagePredictor::BuildRelocations() {
    const std::optional<FileRange> table = TableRange(original_, PeTable::BaseRelocation);
    if (!table) {
        return;
    }
    std::vector<PeRelocation> moved;
    for (const AddressSlot& slot : slots_) {
        steps_.Step();
        if (slot.kind != AddressSlot::Kind::Absolute32 &&
            slot.kind != AddressSlot::Kind::Absolute64) {
            continue;
        }
        const std::optional<std::int64_t> placed =
            map_.NewPosition(static_cast<std::int64_t>(slot.offset));
        const std::optional<std::uint64_t> address =
            placed ? newer_.AddressOf(static_cast<std::uint64_t>(*placed)) : std::nullopt;
        if (address && *address <= UINT32_MAX) {
            moved.push_back({*address, slot.kind});
        }
    }
    relocations_ = WritePeRelocations(moved);
    relocationsAt_ = table->offset;
}

void MaskReferences(std::span<std::uint8_t> bytes, std::uint64_t offset, const Image& image,
                    const std::vector<AddressSlot>& slots, const std::function<void()>& poll) {
    MaskReferences(bytes, offset, image, slots, FindOffsetTables(bytes, offset, image, poll), poll);
}

void MaskReferences(std::span<std::uint8_t> bytes, std::uint64_t offset, const Image& image,
                    const std::vector<AddressSlot>& slots, const std::vector<OffsetTable>& tables,
                    const std::function<void()>& poll) {
    const InstructionSet* instructions = InstructionSetOf(InstructionSetIdOf(image));
    if (instructions == nullptr) {
        return;
    }
    WorkPoll steps(poll);
    // Each table entry's target, read before anything is erased.
    std::vector<std::uint64_t> targets;
    for (const OffsetTable& table : tables) {
        const std::uint64_t address = *image.AddressOf(table.offset);
        for (std::uint64_t i = 0; i < table.entries; ++i) {
            steps.Step();
            const auto entry =
                static_cast<std::int32_t>(GetLe32(&bytes[table.offset - offset + 4 * i]));
            targets.push_back(address + static_cast<std::uint64_t>(std::int64_t{entry}));
        }
    }
    // The scan goes on after each reference, so erasing one never changes
    // what the scan sees next, but for a literal word ahead of its load,
    // which then reads as no reference (0) where the scan comes to it.
    struct Found {
        CodeReference reference;
        std::uint64_t codeStart;
        std::uint64_t target;
    };
    std::vector<Found> found;
    ScanCode(bytes, offset, image, *instructions, steps,
             [&](const CodeReference& reference, std::uint64_t codeStart, std::uint64_t address) {
                 found.push_back(
                     {reference, codeStart,
                      instructions->target(bytes.subspan(codeStart), reference, address)});
                 instructions->mark(bytes.subspan(codeStart), reference, 0);
             });
    for (const AddressSlot& slot : SlotsIn(slots, offset, offset + bytes.size())) {
        std::memset(bytes.data() + (slot.offset - offset), 0,
                    static_cast<std::size_t>(slot.Width()));
    }
    // A reference and a table entry stand for what they point at: the first
    // bytes there, as erased, which two versions share where that code is
    // the same.
    const auto label = [&](std::uint64_t target) {
        const std::optional<std::uint64_t> at = image.OffsetOf(target);
        return at && *at >= offset && *at + 4 <= offset + bytes.size()
                   ? GetLe32(&bytes[*at - offset])
                   : 0;
    };
    std::vector<std::uint32_t> labels;
    for (const Found& f : found) {
        steps.Step(ReferenceSteps);
        labels.push_back(label(f.target));
    }
    for (std::size_t i = 0; i < found.size(); ++i) {
        instructions->mark(bytes.subspan(found[i].codeStart), found[i].reference, labels[i]);
    }
    std::size_t next = 0;
    for (const OffsetTable& table : tables) {
        for (std::uint64_t i = 0; i < table.entries; ++i) {
            steps.Step();
            const std::optional<std::uint64_t> at = image.OffsetOf(targets[next++]);
            std::uint32_t label = 0;
            if (at && *at >= offset && *at + 4 <= offset + bytes.size()) {
                label = GetLe32(&bytes[*at - offset]);
            }
            PutLe32(&bytes[table.offset - offset + 4 * i], label);
        }
    }
    MaskLinkage(bytes, offset, image);
}

void MaskLinkage(std::span<std::uint8_t> bytes, std::uint64_t offset, const Image& image) {
    if (image.machine != Machine::Arm32) {
        return;
    }
    const std::uint64_t end = offset + bytes.size();
    for (const CodeStretch& stretch : image.CodeIn(offset, end)) {
        const std::uint64_t from = std::max(stretch.fileOffset, offset);
        const std::uint64_t to = std::min(stretch.fileOffset + stretch.size, end);
        const std::uint64_t address = stretch.address + (from - stretch.fileOffset);
        for (std::uint64_t at = from + (4 - address % 4) % 4; at + 4 <= to; at += 4) {
            std::uint8_t* word = &bytes[at - offset];
            // add ip, pc, #imm; add ip, ip, #imm; ldr pc, [ip, #imm]!
            const std::uint32_t form = GetLe32(word) & 0xFFFFF000u;
            if (form == 0xE28FC000u || form == 0xE28CC000u || form == 0xE5BCF000u) {
                PutLe32(word, form);
            }
        }
    }
}

std::pair<std::vector<OwnerMark>, std::vector<OwnerMark>>
MarkUnwindOwners(ByteStream& original, const Image& originalImage, ByteStream& newer,
                 const Image& newerImage, const ReferenceMap& map,
                 const std::function<void()>& poll) {
    const auto marks = [](const std::vector<UnwindEntry>& entries, const Image& image,
                          const auto& owner) {
        std::vector<OwnerMark> found;
        for (const UnwindEntry& entry : entries) {
            const std::optional<std::uint64_t> at = image.OffsetOf(entry.unwind);
            const std::optional<std::uint64_t> whose = owner(entry.function);
            if (at && whose && *whose <= UINT32_MAX) {
                found.push_back({*at, static_cast<std::uint32_t>(*whose)});
            }
        }
        std::stable_sort(found.begin(), found.end(), [](const OwnerMark& a, const OwnerMark& b) {
            return a.offset < b.offset;
        });
        found.erase(std::unique(found.begin(), found.end(),
                                [](const OwnerMark& a, const OwnerMark& b) {
                                    return a.offset == b.offset;
                                }),
                    found.end());
        return found;
    };
    std::vector<OwnerMark> old =
        marks(ReadUnwindEntries(original, originalImage, poll), originalImage,
              [&](std::uint64_t function) -> std::optional<std::uint64_t> {
                  const std::optional<std::uint64_t> at = originalImage.OffsetOf(function);
                  const std::optional<std::int64_t> placed =
                      at ? map.NewPosition(static_cast<std::int64_t>(*at)) : std::nullopt;
                  return placed ? newerImage.AddressOf(static_cast<std::uint64_t>(*placed))
                                : std::nullopt;
              });
    std::vector<std::uint32_t> owners;
    for (const OwnerMark& mark : old) {
        owners.push_back(mark.owner);
    }
    std::sort(owners.begin(), owners.end());
    std::vector<OwnerMark> now =
        marks(ReadUnwindEntries(newer, newerImage, poll), newerImage,
              [&](std::uint64_t function) -> std::optional<std::uint64_t> {
                  if (!std::binary_search(owners.begin(), owners.end(), function)) {
                      return std::nullopt;
                  }
                  return function;
              });
    return {std::move(old), std::move(now)};
}

void ApplyMarks(std::span<std::uint8_t> bytes, std::uint64_t start,
                const std::vector<OwnerMark>& marks) {
    auto mark =
        std::lower_bound(marks.begin(), marks.end(), start,
                         [](const OwnerMark& m, std::uint64_t at) { return m.offset < at; });
    for (; mark != marks.end() && mark->offset - start + 4 <= bytes.size(); ++mark) {
        std::uint8_t* at = bytes.data() + (mark->offset - start);
        PutLe32(at, GetLe32(at) ^ mark->owner);
    }
}

} // namespace kestro
