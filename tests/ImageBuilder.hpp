// Executable images built in memory, for the tests of the executable model
// and of the image filter: the headers of a PE or ELF64 file around the
// sections a test chooses (BuildImage), and whole programs of code, data and
// tables in two versions, the newer one's code grown and its data sections
// a page further on, as a rebuild moves them (BuildProgram).
#pragma once

#include "TestSupport.hpp"

#include "exe/Image.hpp"

#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace kestro::test {

struct SectionPlan {
    std::string name;
    std::uint64_t address = 0;     // RVA (PE) or virtual address (ELF)
    Bytes bytes;                   // its bytes in the file
    std::uint64_t virtualSize = 0; // 0: as many as its file bytes
    bool code = false;
    std::uint32_t elfType = 1;    // SHT_PROGBITS; SHT_RELA (4) gets entries of 24 bytes
    std::uint64_t fileOffset = 0; // set by LayOut
};

struct ImagePlan {
    ImageFormat format = ImageFormat::Pe;
    Machine machine = Machine::X64; // Other: a PE for 32-bit ARM, an ELF for i386
    std::uint64_t imageBase = 0;
    std::vector<SectionPlan> sections;
    std::vector<PeDirectory> directories = std::vector<PeDirectory>(16); // PE only
    std::uint64_t fileAlignment = 0x200;
    // ELF: a program header table (a PT_LOAD for each section) and no
    // section table.
    bool segmentsOnly = false;
};

// Where the fields of a built image's headers lie.
inline constexpr std::size_t PeHeaderAt = 0x40;              // "PE\0\0"
inline constexpr std::size_t PeOptionalHeaderAt = 0x40 + 24; // Magic
std::size_t PeDirectoriesAt(const ImagePlan& plan);          // the first data directory
std::size_t PeSectionTableAt(const ImagePlan& plan);
inline constexpr std::size_t ElfSegmentTableAt = 64;
std::size_t ElfSectionTableAt(const ImagePlan& plan); // its null entry

// The sections one after another in the file behind the headers, each at
// a multiple of fileAlignment.
void LayOut(ImagePlan& plan);
// The headers and every section's bytes at its fileOffset; a PE section's
// SizeOfRawData is its bytes rounded up to fileAlignment.
Bytes BuildImage(const ImagePlan& plan);

struct ProgramPlan {
    ImageFormat format = ImageFormat::Pe;
    Machine machine = Machine::X64; // I386 for PE only
    // ARM64: at most some 10000, so that B.cond, ADR and LDR (literal) reach
    // anywhere in the program (1 MiB).
    unsigned functions = 200;
    unsigned seed = 1;
    // The next version: one function in eight grown by an instruction's
    // bytes, and every section after the code a page further on.
    bool newer = false;
    std::uint64_t fileAlignment = 0x200;
    std::uint64_t imageBase = 0; // PE; 0: 0x400000 for i386, else 0x140000000
};

// A program: code that calls and jumps between its functions and reads
// data, imports and jump tables (x86-64: rel32 and RIP-relative operands,
// some with immediates; i386: rel32 and absolute addresses, which the
// relocation table lists; ARM64: B, BL, B.cond, CBZ, TBZ, LDR literal,
// ADR and ADRP pairs); a table of pointers to functions and variables;
// PE: import address table, relocations, exception table (x86-64, ARM64);
// ELF: relative relocations of the pointers.
struct Program {
    ImagePlan plan;
    Bytes bytes;
    std::vector<AddressSlot> slots; // by offset, as ReadAddressSlots should find them
    // Each reference in the code: where the row's find reports it (file
    // offset) and the address it names.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> references;
};

Program BuildProgram(const ProgramPlan& plan);

// An x86-64 image (PE, or ELF with 65534 sections at most) of `sections`
// code sections that all hold the same `size` bytes of the file, each at
// its own address: calls every 8 bytes to places in the code.
Bytes OverlappingCode(ImageFormat format, unsigned sections, std::uint64_t size);

// An ELF program with relocation tables (SHT_RELA, allocated, entries of
// 24 bytes) added after its own sections, each at the offset and of the
// size given, whatever those bytes hold.
Bytes WithRelocationTables(const Program& program,
                           const std::vector<std::pair<std::uint64_t, std::uint64_t>>& tables);

// An AArch64 ELF image whose second code section holds the first one's
// bytes from the third on, so that its words straddle the first's: seen
// from the second, the first's words 0 to 2 hold an ADRP x1 and an ADD x1,
// x1, #5 whose class bits are the low half of the first's word 2, a branch
// into a data section at dataAddress (as is word 1).
Bytes StraddlingArm64Code(std::uint64_t dataAddress);

// ARM64 instruction words as code bytes.
Bytes Words(std::initializer_list<std::uint32_t> words);

} // namespace kestro::test
