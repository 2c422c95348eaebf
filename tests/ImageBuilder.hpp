// Executable images built in memory, for the tests of the executable model
// and of the image filter: the headers of a PE or ELF64 file around the
// sections a test chooses (BuildImage), and whole programs of code, data and
// tables in two versions, the newer one's code grown and its data sections
// a page further on, as a rebuild moves them (BuildProgram).
#pragma once

#include "TestSupport.hpp"

#include "exe/Image.hpp"

#include <array>
#include <cstdint>
#include <initializer_list>
#include <optional>
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

// PE files around a resource tree and version data that the test chooses,
// for the damaged and unusual files that resource compilers do not produce:
// BuildPe writes them through BuildImage, with one section for the tree
// and its data or one for each.

// A VS_VERSIONINFO node. Its header is computed from the content unless
// length or valueLength says otherwise.
struct VersionNode {
    std::u16string key;
    bool text = false;
    Bytes value; // a text as UTF-16LE, its zero included
    std::vector<VersionNode> children;
    std::optional<std::uint16_t> length;
    std::optional<std::uint16_t> valueLength;
};

using FixedWords = std::array<std::uint32_t, 13>;

// The fixed record of a file version a.b.c.d with product version 3.1.0.0,
// flags mask 0x3F and the documented signature and structure version.
FixedWords FixedRecordOf(std::uint16_t a, std::uint16_t b, std::uint16_t c, std::uint16_t d);
Bytes FixedRecordBytes(const FixedWords& words);

VersionNode VersionRoot(Bytes fixedRecord, std::vector<VersionNode> children);
// A string; wValueLength counts its characters and the zero.
VersionNode TextNode(std::u16string key, std::u16string text);
VersionNode StringTable(std::u16string key,
                        std::vector<std::pair<std::u16string, std::u16string>> strings);
VersionNode StringFileInfo(std::vector<VersionNode> tables);
// VarFileInfo holding Translation with the (language, code page) pairs.
VersionNode Translations(std::vector<std::pair<std::uint16_t, std::uint16_t>> pairs);

// The node's bytes, laid out from offset 0 of the version data.
Bytes SerializeVersion(const VersionNode& root);

// An entry of the resource tree: a subdirectory or a leaf with data.
struct ResourceNode {
    std::uint32_t id = 0;
    std::u16string name; // a named entry when not empty
    bool directory = false;
    std::vector<ResourceNode> children;
    Bytes data;
};

ResourceNode Directory(std::uint32_t id, std::vector<ResourceNode> children);
ResourceNode Leaf(std::uint32_t id, Bytes data);
// Type RT_VERSION, name ID name, one language.
ResourceNode VersionType(Bytes versionData, std::uint32_t name = 1,
                         std::uint32_t language = 0x0409);

struct PeOptions {
    bool pe32Plus = true;
    std::vector<ResourceNode> resources; // the root directory's entries
    // The leaves' data in a section of their own behind the resource section.
    bool dataInOwnSection = false;
};

struct BuiltPe {
    Bytes bytes;
    // File offset of the root resource directory; its entries follow 16
    // bytes later, subdirectories and leaves in depth-first order after them.
    std::size_t resourceOffset = 0;
};

BuiltPe BuildPe(const PeOptions& options);

// A PE32+ file whose only resource is versionData, as RT_VERSION name 1.
Bytes PeWithVersion(const Bytes& versionData);

// A program of version 1.0.0.<build> whose FileVersion string is
// "1.0.0.<build>" (build 0 to 9), followed by body.
Bytes ProgramOfVersion(std::uint16_t build, const Bytes& body);

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

namespace kestro::test {

// ELF32 images for i386 (EM_386) and 32-bit ARM (EM_ARM; any other machine
// an ELF32 file of e_machine 0): the headers of a plan's format Elf laid
// out as an ELF32 file's (52 bytes, program headers of 32, sections of 40),
// each section at its fileOffset. A section of elfType 9 (SHT_REL) is
// allocated and gets entries of 8 bytes.
inline constexpr std::size_t Elf32SegmentTableAt = 52;
std::size_t Elf32SectionTableAt(const ImagePlan& plan); // its null entry
void LayOutElf32(ImagePlan& plan);
Bytes BuildElf32Image(const ImagePlan& plan);
// The REL entries r_offset, r_info of each (offset, type), symbol 0.
Bytes Elf32Relocations(std::initializer_list<std::pair<std::uint32_t, std::uint8_t>> entries);

// Thumb halfwords as code bytes, each little-endian.
Bytes Halves(std::initializer_list<std::uint16_t> halves);

// An ELF image of machine, its 32-bit ARM code read in state, with the
// sections given, indexed: for scans and predictions of bytes laid out by
// hand.
Image ElfImageOf(Machine machine, ArmState state, std::vector<ImageSection> sections);

// A 32-bit ARM ELF program (ET_EXEC) in one state: functions of 64 bytes that call
// (BL) a few of the first ones and branch within themselves, with an
// address pair and a literal load naming data, and an exception
// index entry each; the references each holds, by file offset and
// target. With grownAt below functions, the function of that index has 64
// bytes of no-operations in front of it: the next version of the program,
// whose calls across it move.
struct ArmProgram {
    Bytes bytes;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> references;
};
ArmProgram BuildArmProgram(ArmState state, unsigned functions, unsigned seed,
                           unsigned grownAt = ~0u);

} // namespace kestro::test
