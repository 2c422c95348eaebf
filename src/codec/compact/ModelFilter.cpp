#include "codec/compact/ModelFilter.hpp"

#include "common/Failures.hpp"
#include "common/LittleEndian.hpp"

#include <algorithm>
#include <cstring>

namespace kestro {

namespace {

// The stretch [from, to) of a section's file bytes that lies in [start,
// end); empty when none does.
std::pair<std::uint64_t, std::uint64_t> Overlap(const ImageSection& section, std::uint64_t start,
                                                std::uint64_t end) {
    const std::uint64_t from = std::max(section.fileOffset, start);
    const std::uint64_t to = std::min(section.fileOffset + section.fileSize, end);
    return {from, std::max(from, to)};
}

// Calls visit(reference, codeStart, codeAddress) for every reference that
// a scan of each code section's bytes inside [start, start + bytes.size())
// finds, in order; codeStart is the offset in bytes where the scanned
// stretch begins, codeAddress its address.
template <typename Visit>
void ScanCode(std::span<const std::uint8_t> bytes, std::uint64_t start, const Image& image,
              const InstructionSet& instructions, Visit visit) {
    const std::uint64_t end = start + bytes.size();
    for (const ImageSection& section : image.sections) {
        if (!section.code) {
            continue;
        }
        const auto [from, to] = Overlap(section, start, end);
        if (from == to) {
            continue;
        }
        const std::span<const std::uint8_t> code = bytes.subspan(from - start, to - from);
        const std::uint64_t address = section.address + (from - section.fileOffset);
        std::uint64_t at = 0;
        while (const std::optional<CodeReference> found =
                   instructions.find(code, at, address, image)) {
            visit(*found, from - start, address);
            at = found->at + found->size;
        }
    }
}

bool InImage(const Image& image, std::uint64_t address) {
    for (const ImageSection& section : image.sections) {
        if (section.address <= address && address - section.address < section.virtualSize) {
            return true;
        }
    }
    return false;
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
                                          const Image& image) {
    constexpr std::uint64_t MinTableEntries = 4;
    constexpr std::int64_t MinTableOffset = 16;
    std::vector<OffsetTable> tables;
    const InstructionSet* instructions = InstructionSetOf(image.machine);
    if (instructions == nullptr) {
        return tables;
    }
    // Where the code points into the data: where tables may start.
    std::vector<std::uint64_t> starts;
    ScanCode(
        bytes, start, image, *instructions,
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
    for (std::size_t i = 0; i < starts.size(); ++i) {
        const std::uint64_t at = starts[i];
        const std::uint64_t limit = i + 1 < starts.size() ? starts[i + 1] : start + bytes.size();
        const std::uint64_t table = *image.AddressOf(at);
        bool code = false;
        for (const ImageSection& section : image.sections) {
            code |= section.code && section.address <= table &&
                    table - section.address < section.virtualSize;
        }
        if (code) {
            continue;
        }
        std::uint64_t entries = 0;
        for (std::uint64_t entry = at; entry + 4 <= limit; entry += 4, ++entries) {
            const auto offset = static_cast<std::int32_t>(GetLe32(&bytes[entry - start]));
            if ((offset > -MinTableOffset && offset < MinTableOffset) ||
                !InImage(image, table + static_cast<std::uint64_t>(std::int64_t{offset}))) {
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

std::optional<std::uint64_t> ImageLayout::AddressOf(std::uint64_t offset) const {
    for (const ImageSection& section : sections) {
        if (section.fileOffset <= offset && offset - section.fileOffset < section.fileSize) {
            return section.address + (offset - section.fileOffset);
        }
    }
    return std::nullopt;
}

ImageLayout LayoutOf(const Image& image) {
    ImageLayout layout;
    layout.imageBase = image.imageBase;
    layout.sections = image.sections;
    for (ImageSection& section : layout.sections) {
        section.code = false;
    }
    return layout;
}

ModelPredictor::ModelPredictor(const Image& original, const std::vector<AddressSlot>& slots,
                               const std::vector<OffsetTable>& tables, const ImageLayout& newer,
                               const ReferenceMap& map)
    : original_(original), slots_(slots), tables_(tables), newer_(newer), map_(map),
      instructions_(*InstructionSetOf(original.machine)) {
    BuildRelocations();
}

std::optional<std::uint64_t> ModelPredictor::NewAddress(std::uint64_t address) const {
    if (const std::optional<std::uint64_t> offset = original_.OffsetOf(address)) {
        const auto at = static_cast<std::int64_t>(*offset);
        std::optional<std::int64_t> moved = map_.NewPosition(at);
        if (!moved) {
            // Moved as the nearest bytes of its section that an edit took.
            for (const ImageSection& section : original_.sections) {
                if (section.fileOffset <= *offset &&
                    *offset - section.fileOffset < section.fileSize) {
                    moved = map_.NearbyPosition(
                        at, static_cast<std::int64_t>(section.fileOffset),
                        static_cast<std::int64_t>(section.fileOffset + section.fileSize));
                    break;
                }
            }
        }
        if (moved) {
            if (const auto newAddress = newer_.AddressOf(static_cast<std::uint64_t>(*moved))) {
                return newAddress;
            }
        }
    }
    const auto& sections = original_.sections;
    for (std::size_t i = 0; i < sections.size() && i < newer_.sections.size(); ++i) {
        if (sections[i].address <= address &&
            address - sections[i].address < sections[i].virtualSize) {
            return newer_.sections[i].address + (address - sections[i].address);
        }
    }
    return std::nullopt;
}

void ModelPredictor::Predict(std::span<std::uint8_t> bytes, std::uint64_t oldStart,
                             std::uint64_t newStart) const {
    Rewrite(bytes, oldStart, [&](std::uint64_t at) -> std::optional<std::uint64_t> {
        return newStart + (at - oldStart);
    });
}

void ModelPredictor::Project(std::span<std::uint8_t> bytes, std::uint64_t offset) const {
    Rewrite(bytes, offset, [&](std::uint64_t at) -> std::optional<std::uint64_t> {
        const std::optional<std::int64_t> moved = map_.NewPosition(static_cast<std::int64_t>(at));
        return moved ? std::optional<std::uint64_t>(static_cast<std::uint64_t>(*moved))
                     : std::nullopt;
    });
}

template <typename Place>
void ModelPredictor::Rewrite(std::span<std::uint8_t> bytes, std::uint64_t oldStart,
                             Place place) const {
    const std::vector<std::uint8_t> old(bytes.begin(), bytes.end());
    const std::span<const std::uint8_t> original(old);
    ScanCode(
        original, oldStart, original_, instructions_,
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
        for (std::uint64_t entry = table.offset; entry < table.offset + 4 * table.entries;
             entry += 4) {
            if (entry < oldStart || entry + 4 > oldStart + bytes.size()) {
                continue;
            }
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
    // A table's address: a pointer (the image base and an address) or an
    // address alone.
    for (const AddressSlot& slot : SlotsIn(slots_, oldStart, oldStart + bytes.size())) {
        std::uint8_t* at = bytes.data() + (slot.offset - oldStart);
        const std::uint8_t* was = old.data() + (slot.offset - oldStart);
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

void ModelPredictor::BuildRelocations() {
    // A PE image's base relocation table: blocks of a page's RVA and the
    // block's size (uint32 each), then an entry (uint16) for each pointer
    // in the page, its type in the top four bits and its offset in the
    // page in the low twelve, by offset, the block padded to four bytes
    // with an entry of type 0.
    constexpr std::uint32_t RelocationDirectory = 5;
    if (original_.format != ImageFormat::Pe ||
        original_.directories.size() <= RelocationDirectory ||
        original_.directories[RelocationDirectory].size == 0) {
        return;
    }
    const std::optional<std::uint64_t> at =
        original_.OffsetOf(original_.directories[RelocationDirectory].address);
    if (!at) {
        return;
    }
    std::vector<std::uint64_t> moved; // the newer address, and the type in the top bits
    for (const AddressSlot& slot : slots_) {
        if (slot.kind == AddressSlot::Kind::Address32) {
            continue;
        }
        const std::optional<std::int64_t> placed =
            map_.NewPosition(static_cast<std::int64_t>(slot.offset));
        const std::optional<std::uint64_t> address =
            placed ? newer_.AddressOf(static_cast<std::uint64_t>(*placed)) : std::nullopt;
        if (address && *address <= UINT32_MAX) {
            const std::uint64_t type = slot.kind == AddressSlot::Kind::Absolute32 ? 3 : 10;
            moved.push_back(type << 32 | *address);
        }
    }
    // By address, and of two at one address (edits that take a byte
    // twice) the 32-bit one first.
    std::sort(moved.begin(), moved.end(), [](std::uint64_t a, std::uint64_t b) {
        return (a & UINT32_MAX) != (b & UINT32_MAX) ? (a & UINT32_MAX) < (b & UINT32_MAX) : a < b;
    });
    std::vector<std::uint8_t>& table = relocations_;
    for (std::size_t i = 0; i < moved.size();) {
        const std::uint32_t page = static_cast<std::uint32_t>(moved[i]) & ~0xFFFu;
        const std::size_t blockAt = table.size();
        table.resize(blockAt + 8);
        PutLe32(table.data() + blockAt, page);
        for (; i < moved.size() && (static_cast<std::uint32_t>(moved[i]) & ~0xFFFu) == page; ++i) {
            const auto entry =
                static_cast<std::uint16_t>((moved[i] >> 32) << 12 | (moved[i] & 0xFFF));
            table.push_back(static_cast<std::uint8_t>(entry));
            table.push_back(static_cast<std::uint8_t>(entry >> 8));
        }
        if ((table.size() - blockAt) % 4 != 0) {
            table.push_back(0);
            table.push_back(0);
        }
        PutLe32(table.data() + blockAt + 4, static_cast<std::uint32_t>(table.size() - blockAt));
    }
    relocationsAt_ = *at;
}

void MaskReferences(std::span<std::uint8_t> bytes, std::uint64_t offset, const Image& image,
                    const std::vector<AddressSlot>& slots) {
    const InstructionSet* instructions = InstructionSetOf(image.machine);
    if (instructions == nullptr || !image.Known()) {
        return;
    }
    const std::vector<OffsetTable> tables = FindOffsetTables(bytes, offset, image);
    // Each table entry's target, read before anything is erased.
    std::vector<std::uint64_t> targets;
    for (const OffsetTable& table : tables) {
        const std::uint64_t address = *image.AddressOf(table.offset);
        for (std::uint64_t i = 0; i < table.entries; ++i) {
            const auto entry =
                static_cast<std::int32_t>(GetLe32(&bytes[table.offset - offset + 4 * i]));
            targets.push_back(address + static_cast<std::uint64_t>(std::int64_t{entry}));
        }
    }
    // The scan goes on after each reference, so erasing one never changes
    // what the scan sees next.
    struct Found {
        CodeReference reference;
        std::uint64_t codeStart;
        std::uint64_t target;
    };
    std::vector<Found> found;
    ScanCode(bytes, offset, image, *instructions,
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
        labels.push_back(label(f.target));
    }
    for (std::size_t i = 0; i < found.size(); ++i) {
        instructions->mark(bytes.subspan(found[i].codeStart), found[i].reference, labels[i]);
    }
    std::size_t next = 0;
    for (const OffsetTable& table : tables) {
        for (std::uint64_t i = 0; i < table.entries; ++i) {
            const std::optional<std::uint64_t> at = image.OffsetOf(targets[next++]);
            std::uint32_t label = 0;
            if (at && *at >= offset && *at + 4 <= offset + bytes.size()) {
                label = GetLe32(&bytes[*at - offset]);
            }
            PutLe32(&bytes[table.offset - offset + 4 * i], label);
        }
    }
}

std::pair<std::vector<OwnerMark>, std::vector<OwnerMark>>
MarkUnwindOwners(ByteStream& original, const Image& originalImage, ByteStream& newer,
                 const Image& newerImage, const ReferenceMap& map) {
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
        marks(ReadUnwindEntries(original, originalImage), originalImage,
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
        marks(ReadUnwindEntries(newer, newerImage), newerImage,
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
