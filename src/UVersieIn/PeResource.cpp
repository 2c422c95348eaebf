#include "UVersieIn/PeResource.hpp"

#include "common/Failures.hpp"
#include "common/LittleEndian.hpp"
#include "exe/Image.hpp"
#include "platform/FileStream.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <span>

namespace kestro {

namespace {

// The PE headers and the section table are the executable model's
// (exe/Image.hpp): the resource directory is data directory 2.
constexpr std::uint32_t ResourceDirectoryIndex = 2;

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

std::optional<DataRange> FindVersionResource(FileReader& in, const Image& image) {
    const std::optional<std::uint64_t> root =
        image.OffsetOf(image.directories[ResourceDirectoryIndex].address);
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
    const std::optional<std::uint64_t> data = image.OffsetOf(GetLe32(&dataEntry[0]));
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
    // A PE image (of any machine) with a resource directory.
    const Image image = ReadImage(file);
    const bool resources = image.format == ImageFormat::Pe &&
                           image.directories.size() > ResourceDirectoryIndex &&
                           image.directories[ResourceDirectoryIndex].address != 0 &&
                           image.directories[ResourceDirectoryIndex].size != 0;
    const std::optional<DataRange> range =
        resources ? FindVersionResource(in, image) : std::nullopt;
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
