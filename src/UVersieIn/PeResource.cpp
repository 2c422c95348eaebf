#include "UVersieIn/PeResource.hpp"

#include "common/Failures.hpp"
#include "common/LittleEndian.hpp"
#include "exe/FileBytes.hpp"
#include "exe/Image.hpp"
#include "platform/FileStream.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <span>

namespace kestro {

namespace {

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

std::optional<ResourceDirectory> ReadResourceDirectory(FileBytes& in, std::uint64_t root,
                                                       std::uint32_t offset) {
    std::array<std::uint8_t, DirectoryHeaderBytes> header{};
    if (!in.Read(root + offset, header.data(), header.size())) {
        return std::nullopt;
    }
    ResourceDirectory directory;
    directory.namedCount = GetLe16(&header[12]);
    const std::size_t count = directory.namedCount + GetLe16(&header[14]);
    std::vector<std::uint8_t> table;
    if (!in.Read(root + offset + DirectoryHeaderBytes, table, count * DirectoryEntryBytes)) {
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

std::optional<DataRange> FindVersionResource(FileBytes& in, std::uint64_t root,
                                             const Image& image) {
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
        directory = ReadResourceDirectory(in, root, directoryOffset);
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
    if (!in.Read(root + entry->offset, dataEntry.data(), dataEntry.size())) {
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
    WorkPoll steps(nullptr);
    FileBytes in(file, steps);
    // A PE image (of any machine) with a resource table. As Windows reads
    // a data directory, one at address 0 names none.
    const Image image = ReadImage(file);
    const std::optional<FileRange> resources = TableRange(image, PeTable::Resource);
    const std::optional<DataRange> range =
        resources && image.directories[static_cast<std::size_t>(PeTable::Resource)].address != 0
            ? FindVersionResource(in, resources->offset, image)
            : std::nullopt;
    // The whole range must lie inside the file; of it only the first 65535
    // bytes can matter, since the root node's 16-bit length bounds the tree,
    // so a huge claimed size never sizes an allocation.
    std::vector<std::uint8_t> data;
    if (range && in.Fits(range->offset, range->size)) {
        in.Read(range->offset, data, std::min<std::uint32_t>(range->size, MaxVersionData));
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
