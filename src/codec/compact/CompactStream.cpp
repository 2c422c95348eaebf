// The compact body's header: its one writer and its one reader.
#include "codec/compact/CompactStream.hpp"
#include "codec/compact/CompactFields.hpp"
#include "codec/compact/Lzma.hpp"
#include "common/ByteStream.hpp"
#include "common/LittleEndian.hpp"

#include <cstring>
#include <vector>

namespace kestro {

namespace {

// The preset of the extra stream's dictionary: PresetOffset and PresetSize.
constexpr int PresetFieldsBytes = 12;

int CompactHeaderSize(std::int32_t minor) {
    return minor >= 1 ? CompactFilteredHeaderBytes : CompactHeaderBytes;
}

} // namespace

void WriteCompactHeader(ByteStream& out, const CompactHeader& header, std::int32_t minor) {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(CompactHeaderSize(minor)));
    std::memcpy(bytes.data() + CompactTagField, CompactTag, sizeof CompactTag);
    PutLe64(bytes.data() + NewerSizeField, header.NewerSize);
    PutLe32(bytes.data() + NewerCrcField, header.NewerCrc);
    PutLe64(bytes.data() + OriginalSizeField, header.OriginalSize);
    PutLe32(bytes.data() + ControlDictionaryField, header.ControlDictionary);
    PutLe32(bytes.data() + DiffDictionaryField, header.DiffDictionary);
    PutLe32(bytes.data() + ExtraDictionaryField, header.ExtraDictionary);
    if (minor >= 1) {
        PutLe32(bytes.data() + FiltersField, header.Filters);
    }
    if ((header.Filters & CompactFilterImage) != 0) {
        const auto& sections = header.Newer.sections;
        bytes.resize(NewerImageBaseField + LayoutHeaderBytes +
                     LayoutSectionBytes * sections.size());
        PutLe64(bytes.data() + NewerImageBaseField, header.Newer.imageBase);
        PutLe32(bytes.data() + SectionCountField, static_cast<std::uint32_t>(sections.size()));
        for (std::size_t i = 0; i < sections.size(); ++i) {
            std::uint8_t* at = bytes.data() + SectionCountField + 4 + LayoutSectionBytes * i;
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
    out.WriteBuffer(bytes.data(), static_cast<std::int64_t>(bytes.size()));
}

bool ReadCompactHeader(ByteStream& delta, std::int32_t minor, CompactHeader& header) {
    std::uint8_t bytes[CompactFilteredHeaderBytes];
    const int size = CompactHeaderSize(minor);
    const std::int64_t n = delta.Read(bytes, size);
    if (n < static_cast<std::int64_t>(sizeof CompactTag) ||
        std::memcmp(bytes + CompactTagField, CompactTag, sizeof CompactTag) != 0) {
        return false;
    }
    if (n != size) {
        Damaged();
    }
    header.NewerSize = GetLe64(bytes + NewerSizeField);
    header.NewerCrc = GetLe32(bytes + NewerCrcField);
    header.OriginalSize = GetLe64(bytes + OriginalSizeField);
    header.ControlDictionary = GetLe32(bytes + ControlDictionaryField);
    header.DiffDictionary = GetLe32(bytes + DiffDictionaryField);
    header.ExtraDictionary = GetLe32(bytes + ExtraDictionaryField);
    header.Filters = minor >= 1 ? GetLe32(bytes + FiltersField) : 0;
    std::uint64_t total = 0;
    for (const std::uint32_t dictionary :
         {header.ControlDictionary, header.DiffDictionary, header.ExtraDictionary}) {
        if (dictionary < MinLzmaDictionary || dictionary > CompactMaxDictionary) {
            Damaged();
        }
        total += dictionary;
    }
    // 2.1 knows the x86 filter; 2.2 the image filter too, one at a time.
    const std::uint32_t known =
        minor >= 2 ? CompactFilterX86 | CompactFilterImage : CompactFilterX86;
    if (total > CompactMaxDictionaries || (header.Filters & ~known) != 0 ||
        header.Filters == (CompactFilterX86 | CompactFilterImage) || header.NewerSize > INT64_MAX ||
        header.OriginalSize > INT64_MAX) {
        Damaged();
    }
    header.Newer = {};
    header.Tables = {};
    if (header.Filters == CompactFilterImage) {
        std::uint8_t layout[LayoutHeaderBytes];
        if (delta.Read(layout, LayoutHeaderBytes) != LayoutHeaderBytes) {
            Damaged();
        }
        header.Newer.imageBase =
            GetLe64(layout + (NewerImageBaseField - CompactFilteredHeaderBytes));
        const std::uint32_t count =
            GetLe32(layout + (SectionCountField - CompactFilteredHeaderBytes));
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
        // The tables, each inside the original and after the one before.
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
        std::uint8_t preset[PresetFieldsBytes];
        if (delta.Read(preset, PresetFieldsBytes) != PresetFieldsBytes) {
            Damaged();
        }
        header.PresetOffset = GetLe64(preset);
        header.PresetSize = GetLe32(preset + 8);
        if (header.PresetSize > header.ExtraDictionary ||
            header.PresetOffset > header.OriginalSize ||
            header.PresetSize > header.OriginalSize - header.PresetOffset) {
            Damaged();
        }
    }
    return true;
}

} // namespace kestro
