// The image filter's rows of the compact filters' table: format 2.2's,
// for the images of the instruction sets it knows, and 2.3's, whose record
// also names the row that reads the code (ELF32 images, 32-bit ARM code in
// either state, and any set added later). Each row: its record behind the
// body header (the newer image's layout, the offset tables it predicts,
// the extra stream's preset), the original's model it reads, its
// predictor, and the writer's test of the inputs.
#include "codec/compact/CompactFields.hpp"
#include "codec/compact/CompactFilters.hpp"
#include "codec/compact/FilterPlan.hpp"
#include "common/ByteStream.hpp"
#include "common/LittleEndian.hpp"
#include "exe/Disassembler.hpp"

#include <cstring>
#include <vector>

namespace kestro {

namespace {

// The preset of the extra stream's dictionary: PresetOffset and PresetSize.
constexpr int PresetFieldsBytes = 12;

// Both inputs are images of one machine whose code a row reads (for 2.2,
// Known ones), and the record can hold the newer layout.
bool ReadImages(ByteStream& newer, ByteStream& original, bool named, FilterPlan& plan) {
    plan.inputs.originalImage = ReadImage(original);
    plan.newerImage = ReadImage(newer);
    const Image& old = plan.inputs.originalImage;
    return (named ? old.Modeled() && plan.newerImage.Modeled()
                  : old.Known() && plan.newerImage.Known()) &&
           old.machine == plan.newerImage.machine &&
           plan.newerImage.sections.size() <= MaxLayoutSections;
}

void ReadSlots(ByteStream& newer, ByteStream& original, const std::function<void()>& poll,
               FilterPlan& plan, CompactHeader& header) {
    header.Newer = LayoutOf(plan.newerImage);
    plan.inputs.originalSlots = ReadAddressSlots(original, plan.inputs.originalImage, poll);
    plan.newerSlots = ReadAddressSlots(newer, plan.newerImage, poll);
}

bool ChooseImage(ByteStream& newer, ByteStream& original, const std::function<void()>& poll,
                 FilterPlan& plan, CompactHeader& header) {
    if (!ReadImages(newer, original, false, plan)) {
        return false;
    }
    ReadSlots(newer, original, poll, plan, header);
    return true;
}

// The state of 32-bit ARM code is chosen from the original's code, and
// both images are read in it, with literals where the plan allows; the
// record names the row.
bool ChooseNamedImage(ByteStream& newer, ByteStream& original, const std::function<void()>& poll,
                      FilterPlan& plan, CompactHeader& header) {
    if (!ReadImages(newer, original, true, plan)) {
        return false;
    }
    Image& old = plan.inputs.originalImage;
    if (old.machine == Machine::Arm32) {
        old.armState = ChooseArmState(original, old, poll);
        old.armLiterals = plan.literalRows;
        plan.newerImage.armState = old.armState;
        plan.newerImage.armLiterals = old.armLiterals;
    }
    header.InstructionSet = static_cast<std::uint32_t>(InstructionSetIdOf(old));
    ReadSlots(newer, original, poll, plan, header);
    return true;
}

// The original must be an image whose code the row reads, as the writer's
// was: for 2.2 one of the sets it knows, for 2.3 the row the record names.
FilterInputs ReadImageInputs(ByteStream& original, const CompactHeader& header,
                             const std::function<void()>& poll) {
    FilterInputs inputs;
    Image& image = inputs.originalImage;
    image = ReadImage(original);
    if (header.Filters == CompactFilterNamedImage) {
        const auto id = static_cast<InstructionSetId>(header.InstructionSet);
        image.armState = id == InstructionSetId::A32 || id == InstructionSetId::A32Literals
                             ? ArmState::Arm
                             : ArmState::Thumb;
        image.armLiterals =
            id == InstructionSetId::A32Literals || id == InstructionSetId::T32Literals;
        if (InstructionSetIdOf(image) != id) {
            Damaged();
        }
    } else if (!image.Known()) {
        Damaged();
    }
    inputs.originalSlots = ReadAddressSlots(original, image, poll);
    return inputs;
}

void WriteImageRecord(std::vector<std::uint8_t>& bytes, const CompactHeader& header) {
    const auto& sections = header.Newer.sections;
    const std::size_t recordAt = bytes.size();
    bytes.resize(recordAt + LayoutHeaderBytes + LayoutSectionBytes * sections.size());
    std::uint8_t* record = bytes.data() + recordAt;
    PutLe64(record + NewerImageBaseField, header.Newer.imageBase);
    PutLe32(record + SectionCountField, static_cast<std::uint32_t>(sections.size()));
    for (std::size_t i = 0; i < sections.size(); ++i) {
        std::uint8_t* at = record + LayoutHeaderBytes + LayoutSectionBytes * i;
        PutLe64(at, sections[i].address);
        PutLe64(at + 8, sections[i].virtualSize);
        PutLe64(at + 16, sections[i].fileOffset);
        PutLe64(at + 24, sections[i].fileSize);
    }
    const std::size_t tablesAt = bytes.size();
    bytes.resize(tablesAt + 4 + OffsetTableBytes * header.Tables.size());
    PutLe32(bytes.data() + tablesAt, static_cast<std::uint32_t>(header.Tables.size()));
    for (std::size_t i = 0; i < header.Tables.size(); ++i) {
        std::uint8_t* at = bytes.data() + tablesAt + 4 + OffsetTableBytes * i;
        PutLe64(at, header.Tables[i].offset);
        PutLe32(at + 8, header.Tables[i].entries);
    }
    const std::size_t presetAt = bytes.size();
    bytes.resize(presetAt + PresetFieldsBytes);
    PutLe64(bytes.data() + presetAt, header.PresetOffset);
    PutLe32(bytes.data() + presetAt + 8, header.PresetSize);
}

void ReadLayout(ByteStream& delta, CompactHeader& header) {
    std::uint8_t layout[LayoutHeaderBytes];
    if (delta.Read(layout, LayoutHeaderBytes) != LayoutHeaderBytes) {
        Damaged();
    }
    header.Newer.imageBase = GetLe64(layout + NewerImageBaseField);
    const std::uint32_t count = GetLe32(layout + SectionCountField);
    if (count > MaxLayoutSections ||
        std::int64_t{count} * LayoutSectionBytes > delta.Size() - delta.Position()) {
        Damaged();
    }
    std::vector<std::uint8_t> sections(std::size_t{count} * LayoutSectionBytes);
    delta.ReadBuffer(sections.data(), static_cast<std::int64_t>(sections.size()));
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint8_t* at = sections.data() + std::size_t{i} * LayoutSectionBytes;
        header.Newer.sections.push_back(
            {GetLe64(at), GetLe64(at + 8), GetLe64(at + 16), GetLe64(at + 24), false});
    }
    header.Newer.IndexSections();
}

// The tables, each inside the original and after the one before.
void ReadTables(ByteStream& delta, CompactHeader& header) {
    std::uint8_t countField[4];
    if (delta.Read(countField, 4) != 4) {
        Damaged();
    }
    const std::uint32_t tables = GetLe32(countField);
    if (std::int64_t{tables} * OffsetTableBytes > delta.Size() - delta.Position()) {
        Damaged();
    }
    std::vector<std::uint8_t> list(std::size_t{tables} * OffsetTableBytes);
    delta.ReadBuffer(list.data(), static_cast<std::int64_t>(list.size()));
    header.Tables.clear();
    std::uint64_t free = 0;
    for (std::uint32_t i = 0; i < tables; ++i) {
        const std::uint8_t* at = list.data() + std::size_t{i} * OffsetTableBytes;
        const OffsetTable table{GetLe64(at), GetLe32(at + 8)};
        if (table.offset < free || table.entries == 0 || table.offset > header.OriginalSize ||
            4 * std::uint64_t{table.entries} > header.OriginalSize - table.offset) {
            Damaged();
        }
        free = table.offset + 4 * std::uint64_t{table.entries};
        header.Tables.push_back(table);
    }
}

bool ReadImageRecord(ByteStream& delta, CompactHeader& header) {
    ReadLayout(delta, header);
    ReadTables(delta, header);
    std::uint8_t preset[PresetFieldsBytes];
    if (delta.Read(preset, PresetFieldsBytes) != PresetFieldsBytes) {
        Damaged();
    }
    header.PresetOffset = GetLe64(preset);
    header.PresetSize = GetLe32(preset + 8);
    if (header.PresetSize > header.ExtraDictionary || header.PresetOffset > header.OriginalSize ||
        header.PresetSize > header.OriginalSize - header.PresetOffset) {
        Damaged();
    }
    return true;
}

void WriteNamedImageRecord(std::vector<std::uint8_t>& bytes, const CompactHeader& header) {
    WriteImageRecord(bytes, header);
    const std::size_t at = bytes.size();
    bytes.resize(at + 4);
    PutLe32(bytes.data() + at, header.InstructionSet);
}

// An instruction set this program has no row for is a body of a later
// release's, which it cannot read.
bool ReadNamedImageRecord(ByteStream& delta, CompactHeader& header) {
    ReadImageRecord(delta, header);
    std::uint8_t field[4];
    if (delta.Read(field, 4) != 4) {
        Damaged();
    }
    header.InstructionSet = GetLe32(field);
    return header.InstructionSet <= UINT8_MAX &&
           InstructionSetOf(static_cast<InstructionSetId>(header.InstructionSet)) != nullptr;
}

// Predicts each edit whole (at most a segment) when it starts, and hands
// out its stretches from that.
class ImageRowPredictor final : public EditPredictor {
public:
    ImageRowPredictor(const FilterInputs& inputs, const CompactHeader& header,
                      const ReferenceMap& map, ReadOld readOld, const std::function<void()>& poll)
        : model_(inputs.originalImage, inputs.originalSlots, header.Tables, header.Newer, map,
                 poll),
          readOld_(std::move(readOld)) {}

    void StartEdit(std::int64_t oldStart, std::int64_t length, std::int64_t newStart) override {
        start_ = oldStart;
        edit_.resize(static_cast<std::size_t>(length));
        readOld_(oldStart, edit_.data(), length);
        model_.Predict(edit_, static_cast<std::uint64_t>(oldStart),
                       static_cast<std::uint64_t>(newStart));
    }
    void Predict(std::span<std::uint8_t> bytes, std::int64_t at) override {
        std::memcpy(bytes.data(), edit_.data() + (at - start_), bytes.size());
    }

private:
    ImagePredictor model_;
    ReadOld readOld_;
    std::int64_t start_ = 0;
    std::vector<std::uint8_t> edit_; // the edit's old bytes as predicted
};

std::unique_ptr<EditPredictor> MakeImageRowPredictor(const FilterInputs& inputs,
                                                     const CompactHeader& header,
                                                     const ReferenceMap& map, ReadOld readOld,
                                                     const std::function<void()>& poll) {
    return std::make_unique<ImageRowPredictor>(inputs, header, map, std::move(readOld), poll);
}

} // namespace

const CompactFilter ImageFilterRow = {CompactFilterImage,
                                      2,
                                      SIZE_MAX,
                                      MaxImageStretches,
                                      ChooseImage,
                                      ReadImageInputs,
                                      WriteImageRecord,
                                      ReadImageRecord,
                                      MakeImageRowPredictor};

const CompactFilter NamedImageFilterRow = {CompactFilterNamedImage,
                                           3,
                                           SIZE_MAX,
                                           MaxImageStretches,
                                           ChooseNamedImage,
                                           ReadImageInputs,
                                           WriteNamedImageRecord,
                                           ReadNamedImageRecord,
                                           MakeImageRowPredictor};

} // namespace kestro
