// The compact body's header: its one writer and its one reader.
#include "codec/compact/CompactStream.hpp"
#include "codec/compact/CompactFields.hpp"
#include "codec/compact/CompactFilters.hpp"
#include "codec/compact/Lzma.hpp"
#include "common/ByteStream.hpp"
#include "common/LittleEndian.hpp"

#include <cstring>
#include <vector>

namespace kestro {

namespace {

int CompactHeaderSize(std::int32_t minor) {
    return minor >= CompactDiffCodingMinor ? CompactCodedHeaderBytes
           : minor >= 1                    ? CompactFilteredHeaderBytes
                                           : CompactHeaderBytes;
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
    if (minor >= CompactDiffCodingMinor) {
        PutLe32(bytes.data() + DiffCodingField, header.DiffCoding);
    }
    const CompactFilter* filter = FindCompactFilter(header.Filters);
    if (filter != nullptr && filter->writeRecord != nullptr) {
        filter->writeRecord(bytes, header);
    }
    out.WriteBuffer(bytes.data(), static_cast<std::int64_t>(bytes.size()));
}

bool ReadCompactHeader(ByteStream& delta, std::int32_t minor, CompactHeader& header) {
    std::uint8_t bytes[CompactCodedHeaderBytes];
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
    header.DiffCoding =
        minor >= CompactDiffCodingMinor ? GetLe32(bytes + DiffCodingField) : DiffCodingPlain;
    std::uint64_t total = 0;
    for (const std::uint32_t dictionary :
         {header.ControlDictionary, header.DiffDictionary, header.ExtraDictionary}) {
        if (dictionary < MinLzmaDictionary || dictionary > CompactMaxDictionary) {
            Damaged();
        }
        total += dictionary;
    }
    // A filter the reader of 2.minor knows, one at a time.
    const CompactFilter* filter = FindCompactFilter(header.Filters);
    if (total > CompactMaxDictionaries ||
        (header.Filters != 0 && (filter == nullptr || filter->minor > minor)) ||
        header.DiffCoding > DiffCodingBySegment || header.NewerSize > INT64_MAX ||
        header.OriginalSize > INT64_MAX) {
        Damaged();
    }
    header.Newer = {};
    header.Tables = {};
    return filter == nullptr || filter->readRecord == nullptr || filter->readRecord(delta, header);
}

} // namespace kestro
