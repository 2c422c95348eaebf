#include "exe/Image.hpp"

#include "common/ByteStream.hpp"
#include "exe/ImageFormats.hpp"

#include <algorithm>
#include <stdexcept>

namespace kestro {

void SectionMap::IndexSections() {
    std::vector<RangeIndex::Range> offsets;
    std::vector<RangeIndex::Range> addresses;
    std::vector<RangeIndex::Range> memory;
    std::vector<RangeIndex::Range> code;
    std::vector<std::size_t> codeSections;
    for (std::size_t i = 0; i < sections.size(); ++i) {
        const ImageSection& section = sections[i];
        offsets.push_back({section.fileOffset, section.fileSize});
        addresses.push_back({section.address, section.fileSize});
        memory.push_back({section.address, section.virtualSize});
        if (section.code) {
            code.push_back({section.fileOffset, section.fileSize});
            codeSections.push_back(i);
        }
    }
    index_ = {sections.size(), RangeIndex(offsets), RangeIndex(addresses), RangeIndex(memory), {}};
    const RangeIndex codeIndex(code);
    for (const RangeIndex::Piece& piece : codeIndex.Pieces()) {
        const ImageSection& section = sections[codeSections[piece.owner]];
        // A piece of a section that runs past the largest offset and on
        // from 0 is no file's: file bytes lie inside the file.
        if (piece.first < section.fileOffset) {
            continue;
        }
        index_.code.push_back({piece.first, piece.last - piece.first + 1,
                               section.address + (piece.first - section.fileOffset)});
    }
}

const SectionMap::Index& SectionMap::Indexed() const {
    if (index_.sections != sections.size()) {
        throw std::logic_error("sections changed after they were indexed");
    }
    return index_;
}

std::optional<std::uint64_t> SectionMap::OffsetOf(std::uint64_t address) const {
    if (const std::optional<std::uint32_t> i = Indexed().byAddress.Owner(address)) {
        return sections[*i].fileOffset + (address - sections[*i].address);
    }
    return std::nullopt;
}

std::optional<std::uint64_t> SectionMap::AddressOf(std::uint64_t offset) const {
    if (const std::optional<std::size_t> i = SectionAt(offset)) {
        return sections[*i].address + (offset - sections[*i].fileOffset);
    }
    return std::nullopt;
}

std::optional<std::size_t> SectionMap::SectionAt(std::uint64_t offset) const {
    return Indexed().byOffset.Owner(offset);
}

bool SectionMap::InMemory(std::uint64_t address) const {
    return Indexed().byMemory.Owner(address).has_value();
}

std::span<const CodeStretch> SectionMap::CodeIn(std::uint64_t start, std::uint64_t end) const {
    const std::vector<CodeStretch>& code = Indexed().code;
    const auto first = std::lower_bound(
        code.begin(), code.end(), start,
        [](const CodeStretch& s, std::uint64_t at) { return s.fileOffset + s.size <= at; });
    auto last = first;
    while (last != code.end() && last->fileOffset < end) {
        ++last;
    }
    return {first, last};
}

Image ReadImage(ByteStream& file) {
    WorkPoll steps(nullptr);
    FileBytes in(file, steps);
    std::uint8_t magic[4] = {};
    Image image;
    if (in.Read(0, magic, sizeof magic)) {
        if (magic[0] == 'M' && magic[1] == 'Z') {
            image = ReadPeImage(in);
        } else if (magic[0] == 0x7F && magic[1] == 'E' && magic[2] == 'L' && magic[3] == 'F') {
            image = ReadElfImage(in);
        }
    }
    image.fileSize = in.size;
    image.IndexSections();
    return image;
}

void SlotList::Compact() {
    std::stable_sort(slots_.begin(), slots_.end(), [](const AddressSlot& a, const AddressSlot& b) {
        return a.offset < b.offset;
    });
    slots_.erase(std::unique(slots_.begin(), slots_.end(),
                             [](const AddressSlot& a, const AddressSlot& b) {
                                 return a.offset == b.offset;
                             }),
                 slots_.end());
    compactAt_ = std::max(compactAt_, 2 * slots_.size());
    slots_.reserve(compactAt_);
}

std::vector<AddressSlot> ReadAddressSlots(ByteStream& file, const Image& image,
                                          const std::function<void()>& poll) {
    WorkPoll steps(poll);
    FileBytes in(file, steps);
    SlotList found(in.size);
    if (image.format == ImageFormat::Pe) {
        ReadPeSlots(in, image, found);
    } else if (image.format == ImageFormat::Elf) {
        ReadElfSlots(in, image, found);
    }
    std::vector<AddressSlot> slots = found.Take();
    std::size_t kept = 0;
    for (const AddressSlot& slot : slots) {
        if (kept == 0 || slot.offset >= slots[kept - 1].offset +
                                            static_cast<std::uint64_t>(slots[kept - 1].Width())) {
            slots[kept++] = slot;
        }
    }
    slots.resize(kept);
    slots.shrink_to_fit();
    return slots;
}

std::vector<UnwindEntry> ReadUnwindEntries(ByteStream& file, const Image& image,
                                           const std::function<void()>& poll) {
    WorkPoll steps(poll);
    FileBytes in(file, steps);
    std::vector<UnwindEntry> entries;
    if (image.format == ImageFormat::Pe) {
        ReadPeUnwindEntries(in, image, entries);
    }
    return entries;
}

} // namespace kestro
