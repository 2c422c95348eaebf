// The ELF parser, for 64-bit little-endian images (x86-64, AArch64). The
// layout:
//
// File header: "\x7F" "ELF", class 2 (64-bit) at 4, data 1 (little-endian)
// at 5; e_machine (uint16) at 18; e_phoff (uint64) at 32, e_shoff at 40;
// e_phentsize, e_phnum, e_shentsize, e_shnum (uint16 each) at 54, 56, 58,
// 60. A section header (64 bytes): sh_type (uint32) at 4, sh_flags (uint64)
// at 8, sh_addr at 16, sh_offset at 24, sh_size at 32, sh_entsize at 56. A
// program header (56 bytes): p_type (uint32) at 0, p_flags at 4, p_offset
// (uint64) at 8, p_vaddr at 16, p_filesz at 32, p_memsz at 40.
//
// The image's parts are its sections that take memory (SHF_ALLOC), or,
// without a section table, its loadable segments.
#include "common/LittleEndian.hpp"
#include "exe/ImageFormats.hpp"

#include <algorithm>
#include <array>
#include <map>

namespace kestro {

namespace {

constexpr std::uint16_t MachineX64 = 62;
constexpr std::uint16_t MachineAarch64 = 183;
constexpr std::uint64_t SectionHeaderBytes = 64;
constexpr std::uint64_t ProgramHeaderBytes = 56;
constexpr std::uint32_t MaxElfParts = 65535;
constexpr std::uint32_t SectionNoBits = 8; // SHT_NOBITS: memory only
constexpr std::uint32_t SectionRela = 4;   // SHT_RELA
constexpr std::uint64_t SectionAlloc = 2;  // SHF_ALLOC
constexpr std::uint64_t SectionExecute = 4;
constexpr std::uint32_t SegmentLoad = 1; // PT_LOAD
constexpr std::uint32_t SegmentExecute = 1;
constexpr std::uint64_t RelaEntryBytes = 24;
// The relocations that add the image's load address to an address:
// R_X86_64_RELATIVE, R_AARCH64_RELATIVE.
constexpr std::uint32_t RelativeX64 = 8;
constexpr std::uint32_t RelativeAarch64 = 1027;

struct ElfHeader {
    std::uint64_t tableOffset = 0;
    std::uint16_t entryBytes = 0;
    std::uint16_t count = 0;
};

// The section table (sections) or the program header table.
std::vector<std::uint8_t> ReadElfTable(FileBytes& in, const ElfHeader& table,
                                       std::uint64_t entryBytes) {
    std::vector<std::uint8_t> bytes;
    if (table.count == 0 || table.entryBytes < entryBytes || table.count > MaxElfParts) {
        return bytes;
    }
    // A table the file cannot hold is none; asking for its bytes first
    // would let a few header bytes claim 4 GiB.
    const std::uint64_t size = std::uint64_t{table.count} * table.entryBytes;
    if (!in.Fits(table.tableOffset, size)) {
        return bytes;
    }
    bytes.resize(size);
    if (!in.Read(table.tableOffset, bytes.data(), bytes.size())) {
        bytes.clear();
    }
    return bytes;
}

} // namespace

Image ReadElfImage(FileBytes& in) {
    Image image;
    std::array<std::uint8_t, 64> header{};
    if (!in.Read(0, header.data(), header.size()) || header[4] != 2 || header[5] != 1) {
        return image;
    }
    const std::uint16_t machine = GetLe16(&header[18]);
    if (machine != MachineX64 && machine != MachineAarch64) {
        return image;
    }
    const ElfHeader sections{GetLe64(&header[40]), GetLe16(&header[58]), GetLe16(&header[60])};
    const ElfHeader segments{GetLe64(&header[32]), GetLe16(&header[54]), GetLe16(&header[56])};
    const std::vector<std::uint8_t> sectionTable = ReadElfTable(in, sections, SectionHeaderBytes);
    for (std::size_t at = 0; at < sectionTable.size(); at += sections.entryBytes) {
        const std::uint8_t* entry = &sectionTable[at];
        const std::uint64_t flags = GetLe64(entry + 8);
        if ((flags & SectionAlloc) == 0) {
            continue;
        }
        const std::uint64_t size = GetLe64(entry + 32);
        const bool inFile = GetLe32(entry + 4) != SectionNoBits;
        image.sections.push_back({GetLe64(entry + 16), size, GetLe64(entry + 24), inFile ? size : 0,
                                  (flags & SectionExecute) != 0});
    }
    if (image.sections.empty()) {
        const std::vector<std::uint8_t> segmentTable =
            ReadElfTable(in, segments, ProgramHeaderBytes);
        for (std::size_t at = 0; at < segmentTable.size(); at += segments.entryBytes) {
            const std::uint8_t* entry = &segmentTable[at];
            if (GetLe32(entry) != SegmentLoad) {
                continue;
            }
            image.sections.push_back({GetLe64(entry + 16), GetLe64(entry + 40), GetLe64(entry + 8),
                                      GetLe64(entry + 32),
                                      (GetLe32(entry + 4) & SegmentExecute) != 0});
        }
    }
    // File bytes that the file does not hold are not the image's.
    for (ImageSection& section : image.sections) {
        if (!in.Fits(section.fileOffset, section.fileSize)) {
            section.fileSize = 0;
        }
    }
    image.format = ImageFormat::Elf;
    image.machine = machine == MachineX64 ? Machine::X64 : Machine::Arm64;
    return image;
}

void ReadElfSlots(FileBytes& in, const Image& image, SlotList& slots) {
    // Each relocation with an addend (r_offset, r_info, r_addend: 8 bytes
    // each) of an allocated table: its r_offset is an address; a relative
    // relocation's r_addend is one too, and so is the pointer it names,
    // which holds its addend where the linker wrote it there.
    std::array<std::uint8_t, 64> header{};
    if (!in.Read(0, header.data(), header.size())) {
        return;
    }
    const ElfHeader sections{GetLe64(&header[40]), GetLe16(&header[58]), GetLe16(&header[60])};
    const std::vector<std::uint8_t> sectionTable = ReadElfTable(in, sections, SectionHeaderBytes);
    const std::uint32_t relative = image.machine == Machine::X64 ? RelativeX64 : RelativeAarch64;
    const auto visit = [&](std::uint64_t offset, const std::uint8_t* relocation) {
        slots.Add({offset, AddressSlot::Kind::Absolute64});
        if (static_cast<std::uint32_t>(GetLe64(relocation + 8)) != relative) {
            return;
        }
        slots.Add({offset + 16, AddressSlot::Kind::Absolute64});
        if (const auto pointer = image.OffsetOf(GetLe64(relocation))) {
            slots.Add({*pointer, AddressSlot::Kind::Absolute64});
        }
    };
    // The entries read so far, for each alignment of a table's offset (mod
    // 24) as disjoint stretches [start, end), each a whole number of
    // entries: a table that holds an entry again (duplicate and overlapping
    // tables) has its slots found already, and only what no earlier table
    // of its alignment holds is read.
    std::array<std::map<std::uint64_t, std::uint64_t>, RelaEntryBytes> read;
    for (std::size_t at = 0; at < sectionTable.size(); at += sections.entryBytes) {
        const std::uint8_t* entry = &sectionTable[at];
        if (GetLe32(entry + 4) != SectionRela || (GetLe64(entry + 8) & SectionAlloc) == 0 ||
            GetLe64(entry + 56) != RelaEntryBytes) {
            continue;
        }
        const std::uint64_t start = GetLe64(entry + 24);
        if (!in.Fits(start, 0)) {
            continue;
        }
        const std::uint64_t end = start + std::min(GetLe64(entry + 32), in.size - start) /
                                              RelaEntryBytes * RelaEntryBytes;
        std::map<std::uint64_t, std::uint64_t>& done = read[start % RelaEntryBytes];
        // The stretches read already that touch [start, end) are joined
        // with it, and the gaps between them read.
        std::uint64_t from = start;
        std::uint64_t to = end;
        auto next = done.upper_bound(start);
        if (next != done.begin() && std::prev(next)->second >= start) {
            --next;
        }
        std::uint64_t gap = start;
        while (next != done.end() && next->first <= end) {
            if (next->first > gap) {
                ReadTable(in, gap, next->first - gap, RelaEntryBytes, visit);
            }
            gap = std::max(gap, next->second);
            from = std::min(from, next->first);
            to = std::max(to, next->second);
            next = done.erase(next);
        }
        if (gap < end) {
            ReadTable(in, gap, end - gap, RelaEntryBytes, visit);
        }
        if (from < to) {
            done[from] = to;
        }
    }
}

} // namespace kestro
