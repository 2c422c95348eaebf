// The PE parser. The layout:
//
// DOS header: "MZ", e_lfanew (uint32) at 0x3C. At e_lfanew: "PE\0\0" and
// the 20-byte file header (Machine at +4, NumberOfSections at +6,
// SizeOfOptionalHeader at +20 from the signature). The optional header
// follows; its Magic says where ImageBase, NumberOfRvaAndSizes and the data
// directories (8 bytes each: RVA, size) lie. The section table follows the
// optional header, 40 bytes a section: VirtualSize at +8, VirtualAddress at
// +12, SizeOfRawData at +16, PointerToRawData at +20, Characteristics at
// +36. The directories are listed in PeTable's order (Image.hpp); the base
// relocation table is read in PeRelocations.cpp.
#include "common/LittleEndian.hpp"
#include "exe/ImageFormats.hpp"
#include "exe/PeRelocations.hpp"

#include <algorithm>
#include <array>

namespace kestro {

namespace {

constexpr std::uint64_t NewHeaderOffsetField = 0x3C;
constexpr std::uint64_t SignatureAndFileHeaderBytes = 24;
constexpr std::uint16_t Pe32Magic = 0x10B;
constexpr std::uint16_t Pe32PlusMagic = 0x20B;
constexpr std::uint64_t SectionHeaderBytes = 40;
constexpr std::uint32_t CodeSection = 0x20;             // IMAGE_SCN_CNT_CODE
constexpr std::uint32_t ExecutableSection = 0x20000000; // IMAGE_SCN_MEM_EXECUTE

Machine MachineOf(std::uint16_t machine) {
    switch (machine) {
    case 0x014C:
        return Machine::I386;
    case 0x8664:
        return Machine::X64;
    case 0xAA64:
        return Machine::Arm64;
    case 0x01C4:
        return Machine::Arm32;
    default:
        return Machine::Other;
    }
}

// An entry of the exception table: the RVAs of its function's start and of
// its unwind data (0 where the entry holds that data packed in place), and
// how many of its words, from the first, are RVAs.
struct FunctionEntry {
    std::uint32_t start = 0;
    std::uint32_t unwind = 0;
    std::uint32_t addresses = 0;
};

// Visits each exception table entry with its offset. An x86-64 entry is
// three RVAs: a function's start and end, its unwind data. An ARM64 entry
// is the function's start and, when its two low bits are 0, the RVA of its
// unwind data (else that data, packed).
template <typename Visit>
void VisitFunctions(FileBytes& in, const Image& image, Visit visit) {
    const std::optional<FileRange> functions = TableRange(image, PeTable::Exception);
    if (functions && image.machine == Machine::X64) {
        ReadTable(in, functions->offset, functions->size, 12,
                  [&](std::uint64_t at, const std::uint8_t* entry) {
                      visit(at, FunctionEntry{GetLe32(entry), GetLe32(entry + 8), 3});
                  });
    } else if (functions && image.machine == Machine::Arm64) {
        ReadTable(
            in, functions->offset, functions->size, 8,
            [&](std::uint64_t at, const std::uint8_t* entry) {
                const std::uint32_t data = GetLe32(entry + 4);
                const bool address = (data & 3) == 0;
                visit(at, FunctionEntry{GetLe32(entry), address ? data : 0, address ? 2u : 1u});
            });
    }
}

} // namespace

std::optional<FileRange> TableRange(const Image& image, PeTable table) {
    const auto index = static_cast<std::size_t>(table);
    if (image.format != ImageFormat::Pe || image.directories.size() <= index ||
        image.directories[index].size == 0) {
        return std::nullopt;
    }
    const PeDirectory& directory = image.directories[index];
    const std::optional<std::uint64_t> offset =
        table == PeTable::Certificate ? std::optional<std::uint64_t>(directory.address)
                                      : image.OffsetOf(directory.address);
    if (!offset || *offset >= image.fileSize) {
        return std::nullopt;
    }
    return FileRange{*offset, std::min<std::uint64_t>(directory.size, image.fileSize - *offset)};
}

Image ReadPeImage(FileBytes& in) {
    Image image;
    std::array<std::uint8_t, 64> dos{};
    if (!in.Read(0, dos.data(), dos.size())) {
        return image;
    }
    const std::uint64_t peHeader = GetLe32(&dos[NewHeaderOffsetField]);
    std::array<std::uint8_t, SignatureAndFileHeaderBytes> header{};
    if (!in.Read(peHeader, header.data(), header.size()) || header[0] != 'P' || header[1] != 'E' ||
        header[2] != 0 || header[3] != 0) {
        return image;
    }
    const std::uint16_t sectionCount = GetLe16(&header[4 + 2]);
    const std::uint16_t optionalHeaderBytes = GetLe16(&header[4 + 16]);
    const std::uint64_t optionalHeader = peHeader + SignatureAndFileHeaderBytes;
    std::array<std::uint8_t, 2> magic{};
    if (!in.Read(optionalHeader, magic.data(), magic.size())) {
        return image;
    }
    std::uint64_t directoryCountField = 0;
    std::uint64_t directories = 0;
    std::array<std::uint8_t, 8> base{};
    switch (GetLe16(magic.data())) {
    case Pe32Magic:
        directoryCountField = 92;
        directories = 96;
        if (in.Read(optionalHeader + 28, base.data(), 4)) {
            image.imageBase = GetLe32(base.data());
        }
        break;
    case Pe32PlusMagic:
        directoryCountField = 108;
        directories = 112;
        if (in.Read(optionalHeader + 24, base.data(), 8)) {
            image.imageBase = GetLe64(base.data());
        }
        break;
    default:
        return image;
    }
    std::vector<std::uint8_t> table(sectionCount * SectionHeaderBytes);
    if (!in.Read(optionalHeader + optionalHeaderBytes, table.data(), table.size())) {
        return image;
    }
    for (std::size_t i = 0; i < sectionCount; ++i) {
        const std::uint8_t* entry = &table[i * SectionHeaderBytes];
        const std::uint32_t characteristics = GetLe32(entry + 36);
        image.sections.push_back({GetLe32(entry + 12), GetLe32(entry + 8), GetLe32(entry + 20),
                                  GetLe32(entry + 16),
                                  (characteristics & (CodeSection | ExecutableSection)) != 0});
    }
    std::array<std::uint8_t, 4> count{};
    if (in.Read(optionalHeader + directoryCountField, count.data(), count.size())) {
        const std::uint32_t declared = std::min<std::uint32_t>(GetLe32(count.data()), PeTableCount);
        for (std::uint32_t i = 0; i < declared; ++i) {
            std::array<std::uint8_t, 8> entry{};
            if (!in.Read(optionalHeader + directories + 8 * i, entry.data(), entry.size())) {
                break;
            }
            image.directories.push_back({GetLe32(&entry[0]), GetLe32(&entry[4])});
        }
    }
    image.format = ImageFormat::Pe;
    image.machine = MachineOf(GetLe16(&header[4]));
    return image;
}

void ReadPeSlots(FileBytes& in, const Image& image, SlotList& slots) {
    if (const std::optional<FileRange> relocations = TableRange(image, PeTable::BaseRelocation)) {
        ReadPeRelocations(in, *relocations, [&](const PeRelocation& pointer) {
            if (const std::optional<std::uint64_t> offset = image.OffsetOf(pointer.address)) {
                slots.Add({*offset, pointer.kind});
            }
        });
    }
    VisitFunctions(in, image, [&](std::uint64_t at, const FunctionEntry& entry) {
        for (std::uint32_t word = 0; word < entry.addresses; ++word) {
            slots.Add({at + 4 * word, AddressSlot::Kind::Address32});
        }
    });
}

void ReadPeUnwindEntries(FileBytes& in, const Image& image, std::vector<UnwindEntry>& entries) {
    VisitFunctions(in, image, [&](std::uint64_t, const FunctionEntry& entry) {
        if (entry.unwind != 0) {
            entries.push_back({entry.start, entry.unwind});
        }
    });
}

} // namespace kestro
