// The executable model on arbitrary file bytes, and the image filter's work
// on what it makes of them: the sections and their lookups, the slots and
// unwind entries of the tables, the offset tables the writer looks for,
// the file masked as the writer's first search sees it, and the file
// predicted and projected through edits that move its two halves apart
// (32-bit ARM code read by each of its rows, as a delta may name any).
// Input: the file. Nothing may fail (the bytes are all there), read outside
// them, or take more than near-linear time in them however the sections and
// tables overlap; the slots must lie in the file, by offset, none
// overlapping the next; the code's stretches must not overlap; predicting
// the whole file must give what projecting it through the same edits
// gives.
#include "FuzzSupport.hpp"

#include "codec/compact/ImageFilter.hpp"
#include "codec/compact/ReferenceMap.hpp"
#include "exe/Disassembler.hpp"
#include "exe/Image.hpp"

namespace {

// The image filter's work on the file, its code read by image's row.
void Model(const kestro::Image& image, const std::vector<kestro::AddressSlot>& slots,
           const std::uint8_t* data, std::size_t size) {
    using namespace kestro;
    const fuzz::Bytes bytes(data, data + size);
    const std::vector<OffsetTable> tables = FindOffsetTables(bytes, 0, image);
    fuzz::Bytes masked = bytes;
    MaskReferences(masked, 0, image, slots);
    // The first half moved on by a distance the file chooses, the second
    // half left where it is.
    const auto half = static_cast<std::int64_t>(size / 2);
    const std::int64_t distance = size > 0 ? data[size - 1] * 4 + 1 : 0;
    ReferenceMap map(SIZE_MAX);
    map.Add(0, half, distance);
    map.Add(half, static_cast<std::int64_t>(size) - half, half);
    map.Seal();
    const ImageLayout layout = LayoutOf(image);
    const ImagePredictor model(image, slots, tables, layout, map);
    fuzz::Bytes first(bytes.begin(), bytes.begin() + half);
    fuzz::Bytes projected = first;
    model.Predict(first, 0, static_cast<std::uint64_t>(distance));
    model.Project(projected, 0);
    if (first != projected) {
        fuzz::Finding("a prediction that its projection does not give");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kestro;
    MemoryStream file = fuzz::StreamOf(data, size);
    Image image = ReadImage(file);
    const std::vector<AddressSlot> slots = ReadAddressSlots(file, image);
    for (std::size_t i = 0; i < slots.size(); ++i) {
        const auto width = static_cast<std::uint64_t>(slots[i].Width());
        if (slots[i].offset > size || width > size - slots[i].offset ||
            (i > 0 && slots[i].offset <
                          slots[i - 1].offset + static_cast<std::uint64_t>(slots[i - 1].Width()))) {
            fuzz::Finding("a slot outside the file or over the one before");
        }
    }
    static_cast<void>(ReadUnwindEntries(file, image));
    const std::span<const CodeStretch> code = image.Code();
    for (std::size_t i = 1; i < code.size(); ++i) {
        if (code[i].fileOffset < code[i - 1].fileOffset + code[i - 1].size) {
            fuzz::Finding("stretches of code that overlap");
        }
    }
    if (!image.Modeled()) {
        return 0;
    }
    Model(image, slots, data, size);
    if (image.machine == Machine::Arm32) {
        image.armState = image.armState == ArmState::Arm ? ArmState::Thumb : ArmState::Arm;
        Model(image, slots, data, size);
        image.armLiterals = true;
        const std::vector<AddressSlot> literalSlots = ReadAddressSlots(file, image);
        Model(image, literalSlots, data, size);
        image.armState = image.armState == ArmState::Arm ? ArmState::Thumb : ArmState::Arm;
        Model(image, literalSlots, data, size);
    }
    return 0;
}
