#include "UVersieIn/PeResource.hpp"

#include "common/Failures.hpp"
#include "common/LittleEndian.hpp"
#include "platform/FileStream.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <span>

namespace kestro {

namespace {

// ---- PE image -------------------------------------------------------------
//
// DOS header: "MZ", e_lfanew (uint32) at 0x3C. At e_lfanew: "PE\0\0" and the
// 20-byte file header (NumberOfSections at +2, SizeOfOptionalHeader at +16).
// The optional header follows; its Magic tells where NumberOfRvaAndSizes and
// the data directories (8 bytes each: RVA, size) lie. The section table
// follows the optional header.

constexpr std::uint64_t DosHeaderBytes = 64;
constexpr std::uint64_t NewHeaderOffsetField = 0x3C;
constexpr std::uint64_t SignatureAndFileHeaderBytes = 24;
constexpr std::uint16_t Pe32Magic = 0x10B;
constexpr std::uint16_t Pe32PlusMagic = 0x20B;
constexpr std::uint32_t ResourceDirectoryIndex = 2;
constexpr std::uint64_t SectionHeaderBytes = 40;

// A file opened for parsing. Every read names its offset and length, which
// are checked against the file's size before the file is touched.
struct FileReader {
    ByteStream& file;
    std::uint64_t size;
};

bool LiesInFile(const FileReader& in, std::uint64_t offset, std::uint64_t count) {
    return offset <= in.size && count <= in.size - offset;
}

// Reads count bytes at offset into buffer; false when they do not all lie
// inside the file. A failing read is the stream's failure.
bool ReadAt(FileReader& in, std::uint64_t offset, void* buffer, std::uint64_t count) {
    if (!LiesInFile(in, offset, count)) {
        return false;
    }
    in.file.SetPosition(static_cast<std::int64_t>(offset));
    in.file.ReadBuffer(buffer, static_cast<std::int64_t>(count));
    return true;
}

// The same into a vector, which is sized only once the range is known to lie
// inside the file.
bool ReadAt(FileReader& in, std::uint64_t offset, std::vector<std::uint8_t>& buffer,
            std::uint64_t count) {
    if (!LiesInFile(in, offset, count)) {
        return false;
    }
    buffer.resize(static_cast<std::size_t>(count));
    return ReadAt(in, offset, buffer.data(), count);
}

struct Section {
    std::uint32_t virtualAddress = 0;
    std::uint32_t rawSize = 0;
    std::uint32_t rawOffset = 0;
};

struct ImageLayout {
    std::vector<Section> sections;
    std::uint32_t resourceRva = 0;
};

// The file offset of an RVA: through the first section whose raw data holds
// it. Bytes a section has only in memory have no file offset.
std::optional<std::uint64_t> MapRva(const ImageLayout& image, std::uint32_t rva) {
    for (const Section& section : image.sections) {
        if (section.virtualAddress <= rva &&
            rva - section.virtualAddress < std::uint64_t{section.rawSize}) {
            return std::uint64_t{section.rawOffset} + (rva - section.virtualAddress);
        }
    }
    return std::nullopt;
}

// The sections and the resource directory of a PE32 or PE32+ file; nothing
// for any other file, or when the image has no resource directory.
std::optional<ImageLayout> ReadImageLayout(FileReader& in) {
    std::array<std::uint8_t, DosHeaderBytes> dos{};
    if (!ReadAt(in, 0, dos.data(), dos.size()) || dos[0] != 'M' || dos[1] != 'Z') {
        return std::nullopt;
    }
    const std::uint64_t peHeader = GetLe32(&dos[NewHeaderOffsetField]);
    std::array<std::uint8_t, SignatureAndFileHeaderBytes> header{};
    if (!ReadAt(in, peHeader, header.data(), header.size()) || header[0] != 'P' ||
        header[1] != 'E' || header[2] != 0 || header[3] != 0) {
        return std::nullopt;
    }
    const std::uint16_t sectionCount = GetLe16(&header[4 + 2]);
    const std::uint16_t optionalHeaderBytes = GetLe16(&header[4 + 16]);
    const std::uint64_t optionalHeader = peHeader + SignatureAndFileHeaderBytes;

    std::array<std::uint8_t, 2> magic{};
    if (!ReadAt(in, optionalHeader, magic.data(), magic.size())) {
        return std::nullopt;
    }
    std::uint64_t directoryCountField = 0;
    std::uint64_t directories = 0;
    switch (GetLe16(magic.data())) {
    case Pe32Magic:
        directoryCountField = 92;
        directories = 96;
        break;
    case Pe32PlusMagic:
        directoryCountField = 108;
        directories = 112;
        break;
    default:
        return std::nullopt;
    }
    std::array<std::uint8_t, 4> directoryCount{};
    std::array<std::uint8_t, 8> resourceDirectory{};
    if (!ReadAt(in, optionalHeader + directoryCountField, directoryCount.data(), 4) ||
        GetLe32(directoryCount.data()) <= ResourceDirectoryIndex ||
        !ReadAt(in, optionalHeader + directories + 8 * ResourceDirectoryIndex,
                resourceDirectory.data(), 8)) {
        return std::nullopt;
    }
    ImageLayout image;
    image.resourceRva = GetLe32(&resourceDirectory[0]);
    if (image.resourceRva == 0 || GetLe32(&resourceDirectory[4]) == 0) {
        return std::nullopt;
    }

    std::vector<std::uint8_t> table;
    if (!ReadAt(in, optionalHeader + optionalHeaderBytes, table,
                sectionCount * SectionHeaderBytes)) {
        return std::nullopt;
    }
    image.sections.resize(sectionCount);
    for (std::size_t i = 0; i < sectionCount; ++i) {
        const std::uint8_t* entry = &table[i * SectionHeaderBytes];
        image.sections[i] = {GetLe32(entry + 12), GetLe32(entry + 16), GetLe32(entry + 20)};
    }
    return image;
}

// ---- Resource tree --------------------------------------------------------
//
// IMAGE_RESOURCE_DIRECTORY: 16 bytes, NumberOfNamedEntries (uint16) at +12,
// NumberOfIdEntries at +14, then the named entries and then the ID entries,
// 8 bytes each: name or ID (uint32), offset (uint32). An offset with bit 31
// set is a subdirectory, else an IMAGE_RESOURCE_DATA_ENTRY (OffsetToData, an
// RVA, and Size, uint32 each); both offsets count from the tree's root.
// Levels: type, name, language.

constexpr std::uint64_t DirectoryHeaderBytes = 16;
constexpr std::uint64_t DirectoryEntryBytes = 8;
constexpr std::uint64_t DataEntryBytes = 16;
constexpr std::uint32_t SubdirectoryFlag = 0x80000000u;
constexpr std::uint32_t VersionResourceType = 16; // RT_VERSION
constexpr std::uint32_t VersionResourceName = 1;
constexpr std::uint32_t NeutralLanguage = 0x0000;
constexpr std::uint32_t UsEnglishLanguage = 0x0409;

struct DirectoryEntry {
    std::uint32_t name = 0;
    std::uint32_t offset = 0;
};

struct ResourceDirectory {
    std::vector<DirectoryEntry> entries;
    std::size_t namedCount = 0;
};

std::optional<ResourceDirectory> ReadResourceDirectory(FileReader& in, std::uint64_t root,
                                                       std::uint32_t offset) {
    std::array<std::uint8_t, DirectoryHeaderBytes> header{};
    if (!ReadAt(in, root + offset, header.data(), header.size())) {
        return std::nullopt;
    }
    ResourceDirectory directory;
    directory.namedCount = GetLe16(&header[12]);
    const std::size_t count = directory.namedCount + GetLe16(&header[14]);
    std::vector<std::uint8_t> table;
    if (!ReadAt(in, root + offset + DirectoryHeaderBytes, table, count * DirectoryEntryBytes)) {
        return std::nullopt;
    }
    directory.entries.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* entry = &table[i * DirectoryEntryBytes];
        directory.entries[i] = {GetLe32(entry), GetLe32(entry + 4)};
    }
    return directory;
}

const DirectoryEntry* FindIdEntry(const ResourceDirectory& directory, std::uint32_t id) {
    const auto ids = std::span(directory.entries).subspan(directory.namedCount);
    const auto found = std::find_if(ids.begin(), ids.end(),
                                    [id](const DirectoryEntry& entry) { return entry.name == id; });
    return found == ids.end() ? nullptr : &*found;
}

// Where the version resource's data lies in the file, as the data entry
// says; not yet checked against the file's size.
struct DataRange {
    std::uint64_t offset = 0;
    std::uint32_t size = 0;
};

std::optional<DataRange> FindVersionResource(FileReader& in, const ImageLayout& image) {
    const std::optional<std::uint64_t> root = MapRva(image, image.resourceRva);
    if (!root) {
        return std::nullopt;
    }
    // A tree of three levels visits three directories; one met twice is a
    // loop, and a loop is a damaged file.
    std::array<std::uint32_t, 3> visited{};
    std::uint32_t directoryOffset = 0;
    const DirectoryEntry* entry = nullptr;
    std::optional<ResourceDirectory> directory;
    for (std::size_t level = 0; level < visited.size(); ++level) {
        if (std::find(visited.begin(), visited.begin() + level, directoryOffset) !=
            visited.begin() + level) {
            return std::nullopt;
        }
        visited[level] = directoryOffset;
        directory = ReadResourceDirectory(in, *root, directoryOffset);
        if (!directory) {
            return std::nullopt;
        }
        if (level == 0) {
            entry = FindIdEntry(*directory, VersionResourceType);
        } else if (level == 1) {
            entry = FindIdEntry(*directory, VersionResourceName);
        } else {
            entry = FindIdEntry(*directory, NeutralLanguage);
            if (entry == nullptr) {
                entry = FindIdEntry(*directory, UsEnglishLanguage);
            }
            if (entry == nullptr && !directory->entries.empty()) {
                entry = &directory->entries.front();
            }
        }
        const bool isLeafLevel = level + 1 == visited.size();
        if (entry == nullptr || ((entry->offset & SubdirectoryFlag) != 0) == isLeafLevel) {
            return std::nullopt;
        }
        directoryOffset = entry->offset & ~SubdirectoryFlag;
    }

    std::array<std::uint8_t, DataEntryBytes> dataEntry{};
    if (!ReadAt(in, *root + entry->offset, dataEntry.data(), dataEntry.size())) {
        return std::nullopt;
    }
    const std::optional<std::uint64_t> data = MapRva(image, GetLe32(&dataEntry[0]));
    if (!data) {
        return std::nullopt;
    }
    return DataRange{*data, GetLe32(&dataEntry[4])};
}

// The root node's 16-bit length bounds the tree, so no more of the version
// data than this can matter.
constexpr std::uint32_t MaxVersionData = 0xFFFF;

} // namespace

std::vector<std::uint8_t> LoadVersionData(ByteStream& file) {
    FileReader in{file, static_cast<std::uint64_t>(std::max<std::int64_t>(file.Size(), 0))};
    const std::optional<ImageLayout> image = ReadImageLayout(in);
    const std::optional<DataRange> range = image ? FindVersionResource(in, *image) : std::nullopt;
    // The whole range must lie inside the file; of it only the first 65535
    // bytes can matter, since the root node's 16-bit length bounds the tree,
    // so a huge claimed size never sizes an allocation.
    std::vector<std::uint8_t> data;
    if (range && LiesInFile(in, range->offset, range->size)) {
        ReadAt(in, range->offset, data, std::min<std::uint32_t>(range->size, MaxVersionData));
    }
    return data;
}

std::vector<std::uint8_t> LoadVersionData(const std::string& fileName) {
    try {
        FileStream file = FileStream::OpenRead(fileName);
        return LoadVersionData(file);
    } catch (const Exception&) {
        // A file that cannot be opened or read has no version information.
        return {};
    }
}

} // namespace kestro
