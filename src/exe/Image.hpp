// The executable model: what the compact codec and the version reader know
// of a program or library, parsed from its headers by one parser. An image
// is a PE file or an ELF file; its sections say where each part lies in
// the file and in memory, so that an address (an RVA of a PE image, a
// virtual address of an ELF one) and a file offset can be turned into each
// other, and which parts hold code. Its tables say where it holds
// addresses that the loader or the unwinder reads (PE base relocations and
// exception table, ELF relative relocations, 32-bit ARM's exception
// index): ReadAddressSlots, and TableRange says where a PE table lies.
//
// Everything taken from the file is untrusted: every offset, count and size
// is checked against the file before it is used, and what does not fit is
// left out. A file that is not an image, or whose headers do not fit, has
// no model (ImageFormat::None): never a failure. Reading the file can fail
// as its stream does, and with EReadError "Stream read error" where it
// turns out shorter than it was.
#pragma once

#include "exe/RangeIndex.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace kestro {

class ByteStream;

enum class ImageFormat : std::uint8_t { None, Pe, Elf };
// The instruction sets the codec knows; Other for an image of any other
// (whose sections and directories are still read, for its version
// resource).
enum class Machine : std::uint8_t { Other, I386, X64, Arm64, Arm32 };

// 32-bit ARM code runs in one of two states, each an instruction set of its
// own: the ARM state (A32, a word at each aligned address) and the Thumb
// state (T32, instructions of one or two halfwords). Nothing in an ELF
// file's headers says which its code is in: ChooseArmState
// (Disassembler.hpp) chooses by the code, and a delta records the choice.
// Windows runs Thumb code only.
enum class ArmState : std::uint8_t { Arm, Thumb };

struct ImageSection {
    std::uint64_t address = 0; // RVA (PE) or virtual address (ELF) of its first byte
    std::uint64_t virtualSize = 0;
    std::uint64_t fileOffset = 0;
    std::uint64_t fileSize = 0; // bytes it has in the file, from its first address on
    bool code = false;          // holds instructions
};

// The tables that a PE image's data directories name, by their index in
// the optional header's list of directories.
enum class PeTable : std::uint8_t {
    Export,
    Import,
    Resource,
    Exception,
    Certificate, // its address is a file offset: the loader does not map it
    BaseRelocation,
    Debug,
    Architecture,
    GlobalPointer,
    ThreadStorage,
    LoadConfiguration,
    BoundImport,
    ImportAddress,
    DelayImport,
    ClrRuntime,
    Reserved,
};
inline constexpr std::size_t PeTableCount = 16;

// A PE data directory: an RVA and a size, as the optional header says.
struct PeDirectory {
    std::uint32_t address = 0;
    std::uint32_t size = 0;
};

// Bytes of a file: [offset, offset + size).
struct FileRange {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;

    bool operator==(const FileRange&) const = default;
};

// A place in the image that holds an address.
struct AddressSlot {
    enum class Kind : std::uint8_t {
        Absolute32, // the loader's pointer: imageBase + address, 4 bytes
        Absolute64, // the same, 8 bytes
        Address32,  // an address (RVA) as a table keeps it, 4 bytes
        // 32-bit ARM's exception index: an offset from the slot's own
        // address in its low 31 bits (signed), the top bit 0; 4 bytes
        Relative31,
    };
    std::uint64_t offset = 0; // in the file
    Kind kind = Kind::Absolute32;

    int Width() const { return kind == Kind::Absolute64 ? 8 : 4; }
    bool operator==(const AddressSlot&) const = default;
};

// A stretch of an image's code: file bytes that a code section holds, at
// their addresses in that section.
struct CodeStretch {
    std::uint64_t fileOffset = 0;
    std::uint64_t size = 0;
    std::uint64_t address = 0; // of its first byte
};

// A list of sections and the map they make between addresses and file
// offsets: an image's own (Image), and the newer image's layout that a
// compact body carries (ImageLayout), looked up by the same rules.
struct SectionMap {
    std::vector<ImageSection> sections; // in the order of the section table

    // Prepares the lookups below for the sections as they stand: ReadImage
    // does it, and whoever changes sections afterwards does it again (a
    // lookup with another number of sections than were indexed is a
    // logic_error). O(n log n); each lookup is then O(log n), however many
    // sections there are and however they overlap.
    void IndexSections();
    // The file offset of an address: through the first section (in table
    // order) whose file bytes hold it.
    std::optional<std::uint64_t> OffsetOf(std::uint64_t address) const;
    // The address of a file offset: through the first section whose file
    // bytes hold it.
    std::optional<std::uint64_t> AddressOf(std::uint64_t offset) const;
    // The index of that section.
    std::optional<std::size_t> SectionAt(std::uint64_t offset) const;
    // Whether the memory of some section holds an address.
    bool InMemory(std::uint64_t address) const;
    // The code: every file byte that a code section holds, once, as part
    // of the first code section (in table order) that holds it; in
    // stretches by file offset, each from one section.
    std::span<const CodeStretch> Code() const { return Indexed().code; }
    // The stretches of Code() that overlap [start, end), whole.
    std::span<const CodeStretch> CodeIn(std::uint64_t start, std::uint64_t end) const;

private:
    struct Index {
        std::size_t sections = 0; // how many were indexed
        RangeIndex byOffset;      // the sections' file bytes, by offset
        RangeIndex byAddress;     // their addresses
        RangeIndex byMemory;      // the addresses of their memory
        std::vector<CodeStretch> code;
    };
    const Index& Indexed() const;

    Index index_;
};

struct Image : SectionMap {
    ImageFormat format = ImageFormat::None;
    Machine machine = Machine::Other;
    std::uint64_t fileSize = 0;
    // Added to an address to give the value a pointer holds: the PE image
    // base; 0 for ELF, whose addresses are the pointers' values.
    std::uint64_t imageBase = 0;
    // PE only: as many as it declares (at most PeTableCount), in PeTable's
    // order.
    std::vector<PeDirectory> directories;
    // 32-bit ARM only: the state the code is taken to be in, which picks
    // the row that reads it (InstructionSetIdOf). The parsers
    // leave it Thumb; whoever knows better sets it.
    ArmState armState = ArmState::Thumb;
    // 32-bit ARM only: whether its row also reads the words its literal
    // loads add pc to, and its slots the offsets of its exception index
    // (A32Literals or T32Literals rather than A32 or T32). The parsers leave
    // it false.
    bool armLiterals = false;
    // ELF of e_type ET_DYN: a shared object or a position-independent
    // program, whose code holds no absolute address.
    bool positionIndependent = false;

    // An image whose code a row of the model reads.
    bool Modeled() const { return format != ImageFormat::None && machine != Machine::Other; }
    // An image the image filter of format 2.2 takes: PE for i386, x86-64
    // and ARM64, ELF64 for x86-64 and AArch64. ELF32 images and 32-bit ARM
    // code are the model's too, but a delta names their instruction set.
    bool Known() const {
        return Modeled() && machine != Machine::Arm32 &&
               !(format == ImageFormat::Elf && machine == Machine::I386);
    }
};

// Where the bytes of a table that a PE image's data directory names lie in
// its file: from the file offset of the directory's address (through the
// sections, but for the certificate table, whose address is the offset),
// as many of its size's bytes as the file holds from there. Nothing where
// the image declares no such directory, its size is 0, or its offset lies
// nowhere or at or past the end of the file.
std::optional<FileRange> TableRange(const Image& image, PeTable table);

// Parses the headers of the image in file (its first byte is the image's):
// the format, machine, sections and, for PE, image base and directories.
// Reads what it needs by position.
Image ReadImage(ByteStream& file);

// The slots of an image's tables, by offset, none overlapping the next (of
// two that overlap, the later is left out): the PE base relocation table's
// 32- and 64-bit pointers and every address of the exception table
// (x86-64 and ARM64); an ELF image's relative relocations (the pointer each
// names, and the relocation's own offset and, ELF64, addend, which are
// addresses too). Reads each table a piece at a time, and an entry that an
// earlier table of the same alignment holds only once: time is linear in the
// file's bytes and the tables' entries, memory at most 32 bytes for each
// offset that slots start at while they are read, 16 a slot after. poll,
// where set, is called after every million entries or so, on this thread,
// and may throw to stop the reading.
std::vector<AddressSlot> ReadAddressSlots(ByteStream& file, const Image& image,
                                          const std::function<void()>& poll = {});

// A function that a PE image's exception table lists with unwind data of
// its own: the addresses (RVAs) of its first byte and of that data.
struct UnwindEntry {
    std::uint64_t function = 0;
    std::uint64_t unwind = 0;
};

// The functions of an x86-64 or ARM64 PE image's exception table that name
// unwind data, in the table's order; none for any other image. Polls as
// ReadAddressSlots does.
std::vector<UnwindEntry> ReadUnwindEntries(ByteStream& file, const Image& image,
                                           const std::function<void()>& poll = {});

} // namespace kestro
