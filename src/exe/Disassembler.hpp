// References in code: the places where an instruction names another address
// of the image relative to itself (a call, a jump, a RIP-relative operand,
// an ARM64 branch or address computation) or, a 32-bit ARM MOVW and MOVT
// pair, whole. Each instruction set is a row of InstructionSets (X86.cpp,
// Arm64.cpp, and Arm32.cpp's two): a scan that finds the next
// reference in a stretch of code, and the two halves of its arithmetic,
// the address a reference names and the bytes that make it name another.
//
// A scan looks at the bytes it is given and nothing else: writer and reader
// of a delta scan the same bytes and find the same references. A new
// instruction set is a new file and a row in the table.
#pragma once

#include "exe/Image.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <span>

namespace kestro {

// A reference found in code: the bytes [at, at + size) of the stretch
// scanned hold it (for an ARM64 ADRP and its partner, both instructions and
// what lies between). kind means what the row says.
struct CodeReference {
    std::uint64_t at = 0;
    std::uint8_t size = 0;
    std::uint8_t kind = 0;
    // What else the row read of the instructions when it found them, so
    // that their arithmetic never depends on bytes rewritten since: for an
    // ARM64 ADRP, the partner's scale; for a 32-bit ARM literal load, how
    // far on the instruction that adds pc to the loaded word lies, in
    // words (A32) or halfwords (T32).
    std::uint8_t detail = 0;
    // A 32-bit ARM literal load only: how far past at its word lies, past
    // the user. The word is the reference's target bits, outside [at, at +
    // size): the scan goes on after the load, whose own bits stay as they
    // are.
    std::uint16_t literal = 0;
};

struct InstructionSet {
    Machine machine;
    // The most bytes a reference's bytes lie from the first byte its scan
    // looks at (an ARM64 ADRP and a partner three instructions on: 16; an
    // A32 literal word, up to 4 KiB on): whether a reference lies at a
    // position depends on no byte further on, so a scan may look at a long
    // stretch a window at a time.
    std::uint64_t reach;
    // The first reference in code[from, code.size()) that lies wholly
    // inside code, if any. address is the address of code[0]; a reference
    // whose target lies outside every section of image is none.
    std::optional<CodeReference> (*find)(std::span<const std::uint8_t> code, std::uint64_t from,
                                         std::uint64_t address, const Image& image);
    // The address the reference at code[reference.at] names, code[0]
    // lying at address.
    std::uint64_t (*target)(std::span<const std::uint8_t> code, const CodeReference& reference,
                            std::uint64_t address);
    // Rewrites the reference's bytes in code so that it names target, code[0]
    // lying at address, and leaves every other bit of its instructions as
    // it is; false, with nothing changed, where the instruction cannot
    // reach target or code no longer holds all of it. Defined whatever code
    // holds by now (an earlier rewrite may have changed any of its bits):
    // what the arithmetic needs comes from the reference as found.
    bool (*retarget)(std::span<std::uint8_t> code, const CodeReference& reference,
                     std::uint64_t address, std::uint64_t target);
    // Replaces the bits of the reference that say where it points by as
    // many of the low bits of label as they hold: references that point at
    // alike things then look alike, whatever their targets' addresses.
    // Nothing where code no longer holds all of it.
    void (*mark)(std::span<std::uint8_t> code, const CodeReference& reference, std::uint32_t label);
};

// The row of an image's instruction set; nullptr for one the codec does
// not know, and for 32-bit ARM, whose row depends on the state of its code.
const InstructionSet* InstructionSetOf(Machine machine);

// The rows by the number a delta may record them by.
// A32Literals and T32Literals read the code as A32 and T32 do, and also
// the words that literal loads add pc to (position-independent code's
// addresses).
enum class InstructionSetId : std::uint8_t {
    None,
    I386,
    X64,
    Arm64,
    A32,
    T32,
    A32Literals,
    T32Literals
};

// The name a listing shows for an id ("i386", "x86-64", "ARM64", "A32",
// "T32", "A32+literals", "T32+literals"); "unknown" for any other.
const char* InstructionSetName(InstructionSetId id);

// The row of an id; nullptr for None and for an id it does not know.
const InstructionSet* InstructionSetOf(InstructionSetId id);
// The id of the row that reads an image's code (for 32-bit ARM, that of its
// armState and armLiterals); None for an image that Modeled() refuses.
InstructionSetId InstructionSetIdOf(const Image& image);

class ByteStream;

// The state of a 32-bit ARM ELF image's code, chosen by the code: the one
// whose row finds more calls (BL, BLX) into the image's code that share their
// target with another call, in the first 4 MiB of its code (Thumb where
// they tie); Thumb for any other image. Reads the code a stretch at a time
// from file, the image's bytes; time is linear in the bytes looked at.
// Polls as ReadAddressSlots does.
ArmState ChooseArmState(ByteStream& file, const Image& image,
                        const std::function<void()>& poll = {});

} // namespace kestro
