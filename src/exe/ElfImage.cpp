// The ELF parser, for little-endian images of both classes: ELF64 (x86-64,
// AArch64) and ELF32 (i386, 32-bit ARM). The layout, ELF64's offsets first
// and ELF32's in brackets; an address, offset, size or flags field is 8
// bytes in ELF64 and 4 in ELF32 (a word):
//
// File header: "\x7F" "ELF", class at 4 (2: ELF64, 1: ELF32), data 1
// (little-endian) at 5; e_type (uint16) at 16, e_machine at 18; e_phoff at 32 [28],
// e_shoff at 40 [32]; e_phentsize, e_phnum, e_shentsize, e_shnum (uint16
// each) at 54, 56, 58, 60 [42, 44, 46, 48]. A section header, 64 [40]
// bytes: sh_type (uint32) at 4, sh_flags at 8, sh_addr at 16 [12],
// sh_offset at 24 [16], sh_size at 32 [20], sh_entsize at 56 [36]. A
// program header, 56 [32] bytes: p_type (uint32) at 0, p_flags (uint32) at
// 4 [24], p_offset at 8 [4], p_vaddr at 16 [8], p_filesz at 32 [16],
// p_memsz at 40 [20].
//
// The image's parts are its sections that take memory (SHF_ALLOC), or,
// without a section table, its loadable segments. Its relocations are
// those of its allocated tables: ELF64 machines use SHT_RELA (r_offset,
// r_info, r_addend: 24 bytes), ELF32 ones SHT_REL (r_offset, r_info: 8
// bytes, the addend in the word relocated); 32-bit ARM read by a row with
// literals adds the offsets of its exception index.
#include "common/LittleEndian.hpp"
#include "exe/ImageFormats.hpp"

#include <algorithm>
#include <array>
#include <map>

namespace kestro {

namespace {

constexpr std::uint32_t MaxElfParts = 65535;
constexpr std::uint32_t SectionNoBits = 8; // SHT_NOBITS: memory only
constexpr std::uint64_t SectionAlloc = 2;  // SHF_ALLOC
constexpr std::uint64_t SectionExecute = 4;
constexpr std::uint32_t SegmentLoad = 1; // PT_LOAD
constexpr std::uint32_t SegmentExecute = 1;
constexpr std::uint64_t MaxRelocationBytes = 24;
constexpr std::uint16_t ElfDynamic = 3; // e_type ET_DYN
// 32-bit ARM's exception index (SHT_ARM_EXIDX): entries of two words, a
// function's offset and its unwinding's (an offset, inline data with the
// top bit set, or EXIDX_CANTUNWIND).
constexpr std::uint32_t SectionArmExceptionIndex = 0x70000001;
constexpr std::uint64_t ExceptionIndexBytes = 8;
constexpr std::uint32_t ExceptionIndexCantUnwind = 1;

// Where the fields of a class lie.
struct ElfLayout {
    std::uint8_t elfClass;
    int word;
    std::uint64_t phoff, shoff, phentsize, shentsize;
    std::uint64_t sectionBytes, shAddr, shOffset, shSize, shEntsize;
    std::uint64_t segmentBytes, pFlags, pOffset, pVaddr, pFilesz, pMemsz;
    std::uint32_t relocationTable; // SHT_RELA (4) or SHT_REL (9)
    std::uint64_t relocationBytes; // with r_addend after r_info, or without
};
constexpr ElfLayout Elf64 = {.elfClass = 2,
                             .word = 8,
                             .phoff = 32,
                             .shoff = 40,
                             .phentsize = 54,
                             .shentsize = 58,
                             .sectionBytes = 64,
                             .shAddr = 16,
                             .shOffset = 24,
                             .shSize = 32,
                             .shEntsize = 56,
                             .segmentBytes = 56,
                             .pFlags = 4,
                             .pOffset = 8,
                             .pVaddr = 16,
                             .pFilesz = 32,
                             .pMemsz = 40,
                             .relocationTable = 4,
                             .relocationBytes = 24};
constexpr ElfLayout Elf32 = {.elfClass = 1,
                             .word = 4,
                             .phoff = 28,
                             .shoff = 32,
                             .phentsize = 42,
                             .shentsize = 46,
                             .sectionBytes = 40,
                             .shAddr = 12,
                             .shOffset = 16,
                             .shSize = 20,
                             .shEntsize = 36,
                             .segmentBytes = 32,
                             .pFlags = 24,
                             .pOffset = 4,
                             .pVaddr = 8,
                             .pFilesz = 16,
                             .pMemsz = 20,
                             .relocationTable = 9,
                             .relocationBytes = 8};

// The machines the model knows: each one's class, and the relocation that
// adds the image's load address to an address.
struct ElfMachine {
    std::uint16_t number; // e_machine
    Machine machine;
    const ElfLayout* layout;
    std::uint32_t relative;
};
constexpr ElfMachine ElfMachines[] = {
    {62, Machine::X64, &Elf64, 8},       // EM_X86_64, R_X86_64_RELATIVE
    {183, Machine::Arm64, &Elf64, 1027}, // EM_AARCH64, R_AARCH64_RELATIVE
    {3, Machine::I386, &Elf32, 8},       // EM_386, R_386_RELATIVE
    {40, Machine::Arm32, &Elf32, 23},    // EM_ARM, R_ARM_RELATIVE
};

// The machine of a file header, if the model knows it and the file is of
// its class.
const ElfMachine* MachineOf(const std::array<std::uint8_t, 64>& header) {
    if (header[5] != 1) {
        return nullptr;
    }
    for (const ElfMachine& machine : ElfMachines) {
        if (machine.number == GetLe16(&header[18]) && machine.layout->elfClass == header[4]) {
            return &machine;
        }
    }
    return nullptr;
}

std::uint64_t GetWord(const std::uint8_t* at, int word) {
    return word == 8 ? GetLe64(at) : GetLe32(at);
}

struct ElfHeader {
    std::uint64_t tableOffset = 0;
    std::uint16_t entryBytes = 0;
    std::uint16_t count = 0;
};

ElfHeader SectionTableOf(const std::array<std::uint8_t, 64>& header, const ElfLayout& layout) {
    return {GetWord(&header[layout.shoff], layout.word), GetLe16(&header[layout.shentsize]),
            GetLe16(&header[layout.shentsize + 2])};
}

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

// The file header: its first 52 (ELF32) or 64 bytes, the rest zero.
bool ReadHeader(FileBytes& in, std::array<std::uint8_t, 64>& header) {
    const std::uint64_t size = std::min<std::uint64_t>(in.size, header.size());
    return size >= 52 && in.Read(0, header.data(), size) &&
           (header[4] == 1 || size == header.size());
}

} // namespace

Image ReadElfImage(FileBytes& in) {
    Image image;
    std::array<std::uint8_t, 64> header{};
    if (!ReadHeader(in, header)) {
        return image;
    }
    const ElfMachine* machine = MachineOf(header);
    if (machine == nullptr) {
        return image;
    }
    const ElfLayout& layout = *machine->layout;
    const int word = layout.word;
    const ElfHeader sections = SectionTableOf(header, layout);
    const ElfHeader segments{GetWord(&header[layout.phoff], word),
                             GetLe16(&header[layout.phentsize]),
                             GetLe16(&header[layout.phentsize + 2])};
    const std::vector<std::uint8_t> sectionTable = ReadElfTable(in, sections, layout.sectionBytes);
    for (std::size_t at = 0; at < sectionTable.size(); at += sections.entryBytes) {
        const std::uint8_t* entry = &sectionTable[at];
        const std::uint64_t flags = GetWord(entry + 8, word);
        if ((flags & SectionAlloc) == 0) {
            continue;
        }
        const std::uint64_t size = GetWord(entry + layout.shSize, word);
        const bool inFile = GetLe32(entry + 4) != SectionNoBits;
        image.sections.push_back({GetWord(entry + layout.shAddr, word), size,
                                  GetWord(entry + layout.shOffset, word), inFile ? size : 0,
                                  (flags & SectionExecute) != 0});
    }
    if (image.sections.empty()) {
        const std::vector<std::uint8_t> segmentTable =
            ReadElfTable(in, segments, layout.segmentBytes);
        for (std::size_t at = 0; at < segmentTable.size(); at += segments.entryBytes) {
            const std::uint8_t* entry = &segmentTable[at];
            if (GetLe32(entry) != SegmentLoad) {
                continue;
            }
            image.sections.push_back(
                {GetWord(entry + layout.pVaddr, word), GetWord(entry + layout.pMemsz, word),
                 GetWord(entry + layout.pOffset, word), GetWord(entry + layout.pFilesz, word),
                 (GetLe32(entry + layout.pFlags) & SegmentExecute) != 0});
        }
    }
    // File bytes that the file does not hold are not the image's.
    for (ImageSection& section : image.sections) {
        if (!in.Fits(section.fileOffset, section.fileSize)) {
            section.fileSize = 0;
        }
    }
    image.format = ImageFormat::Elf;
    image.positionIndependent = GetLe16(&header[16]) == ElfDynamic;
    image.machine = machine->machine;
    return image;
}

// Reads each whole entry of a table from start, as many as its first size
// bytes that the file holds, unless an earlier table read it: done holds
// the stretches [start, end) read so far of one alignment mod entryBytes,
// each a whole number of entries, disjoint; those that touch the table are
// joined with it, and only the gaps between them read.
template <typename Visit>
void ReadOnce(FileBytes& in, std::map<std::uint64_t, std::uint64_t>& done, std::uint64_t start,
              std::uint64_t size, std::uint64_t entryBytes, Visit visit) {
    if (!in.Fits(start, 0)) {
        return;
    }
    const std::uint64_t end = start + std::min(size, in.size - start) / entryBytes * entryBytes;
    std::uint64_t from = start;
    std::uint64_t to = end;
    auto next = done.upper_bound(start);
    if (next != done.begin() && std::prev(next)->second >= start) {
        --next;
    }
    std::uint64_t gap = start;
    while (next != done.end() && next->first <= end) {
        if (next->first > gap) {
            ReadTable(in, gap, next->first - gap, entryBytes, visit);
        }
        gap = std::max(gap, next->second);
        from = std::min(from, next->first);
        to = std::max(to, next->second);
        next = done.erase(next);
    }
    if (gap < end) {
        ReadTable(in, gap, end - gap, entryBytes, visit);
    }
    if (from < to) {
        done[from] = to;
    }
}

void ReadElfSlots(FileBytes& in, const Image& image, SlotList& slots) {
    // Each relocation of an allocated table: its r_offset is an address; a
    // relative relocation's r_addend (ELF64) is one too, and so is the
    // pointer it names, which holds its addend where the linker wrote it
    // there (and ELF32's always does).
    std::array<std::uint8_t, 64> header{};
    const ElfMachine* machine = ReadHeader(in, header) ? MachineOf(header) : nullptr;
    if (machine == nullptr) {
        return;
    }
    const ElfLayout& layout = *machine->layout;
    const int word = layout.word;
    const std::uint64_t entryBytes = layout.relocationBytes;
    const AddressSlot::Kind kind =
        word == 8 ? AddressSlot::Kind::Absolute64 : AddressSlot::Kind::Absolute32;
    const ElfHeader sections = SectionTableOf(header, layout);
    const std::vector<std::uint8_t> sectionTable = ReadElfTable(in, sections, layout.sectionBytes);
    const auto visit = [&](std::uint64_t offset, const std::uint8_t* relocation) {
        slots.Add({offset, kind});
        // r_info's type: its low 32 bits (ELF64) or 8 bits (ELF32).
        const std::uint64_t info = GetWord(relocation + word, word);
        if ((word == 8 ? info & 0xFFFFFFFFu : info & 0xFFu) != machine->relative) {
            return;
        }
        if (entryBytes > 2 * static_cast<std::uint64_t>(word)) {
            slots.Add({offset + 2 * static_cast<std::uint64_t>(word), kind});
        }
        if (const auto pointer = image.OffsetOf(GetWord(relocation, word))) {
            slots.Add({*pointer, kind});
        }
    };
    // The entries read so far, for each alignment of a table's offset (mod
    // its entry's bytes): a table that holds an entry again (duplicate and
    // overlapping tables) has its slots found already.
    std::array<std::map<std::uint64_t, std::uint64_t>, MaxRelocationBytes> read;
    // 32-bit ARM's exception index, read with the row that takes it: each
    // entry's two words, where they are offsets, are offsets from their own
    // address.
    std::array<std::map<std::uint64_t, std::uint64_t>, ExceptionIndexBytes> indexRead;
    const bool exceptionIndex = machine->machine == Machine::Arm32 && image.armLiterals;
    const auto visitIndex = [&](std::uint64_t offset, const std::uint8_t* entry) {
        if ((GetLe32(entry) & 0x80000000u) == 0) {
            slots.Add({offset, AddressSlot::Kind::Relative31});
        }
        if (const std::uint32_t second = GetLe32(entry + 4);
            (second & 0x80000000u) == 0 && second != ExceptionIndexCantUnwind) {
            slots.Add({offset + 4, AddressSlot::Kind::Relative31});
        }
    };
    // The relocation tables first, then the exception index.
    for (const bool index : {false, true}) {
        for (std::size_t at = 0; at < sectionTable.size(); at += sections.entryBytes) {
            const std::uint8_t* entry = &sectionTable[at];
            const std::uint32_t type = GetLe32(entry + 4);
            const bool wanted = index ? exceptionIndex && type == SectionArmExceptionIndex
                                      : type == layout.relocationTable &&
                                            GetWord(entry + layout.shEntsize, word) == entryBytes;
            if (!wanted || (GetWord(entry + 8, word) & SectionAlloc) == 0) {
                continue;
            }
            const std::uint64_t start = GetWord(entry + layout.shOffset, word);
            const std::uint64_t size = GetWord(entry + layout.shSize, word);
            if (index) {
                ReadOnce(in, indexRead[start % ExceptionIndexBytes], start, size,
                         ExceptionIndexBytes, visitIndex);
            } else {
                ReadOnce(in, read[start % entryBytes], start, size, entryBytes, visit);
            }
        }
    }
}

} // namespace kestro
