// References in x86 and x86-64 code: the rel32 displacements of call (E8),
// jmp (E9) and jcc (0F 80..8F), and in x86-64 code the 32-bit displacement
// of a RIP-relative operand (a ModRM byte with mod 00 and r/m 101 behind
// one of the opcodes below), which may be followed by an immediate. In
// i386 code that ModRM form is an absolute address, which the relocation
// table lists instead.
//
// The scan does not decode instruction lengths: it looks for these
// patterns at every byte and takes one only when its target lies in the
// image, then goes on after its displacement.
#include "common/LittleEndian.hpp"
#include "exe/Disassembler.hpp"

namespace kestro {

namespace {

enum Kind : std::uint8_t {
    Rel32 = 0,      // the displacement ends the instruction
    Rip32Imm8 = 1,  // a RIP-relative operand followed by a 1-byte immediate
    Rip32Imm16 = 2, // by a 2-byte one
    Rip32Imm32 = 3, // by a 4-byte one
};

int ImmediateBytes(std::uint8_t kind) {
    switch (kind) {
    case Rip32Imm8:
        return 1;
    case Rip32Imm16:
        return 2;
    case Rip32Imm32:
        return 4;
    default:
        return 0;
    }
}

// The opcodes (one byte, or the byte after 0F) whose ModRM 05 is a
// RIP-relative operand, with the immediate that follows the displacement;
// -1 for any other opcode.
int RipImmediate(std::uint8_t opcode) {
    switch (opcode) {
    case 0x03:
    case 0x0B:
    case 0x13:
    case 0x1B:
    case 0x23:
    case 0x2B:
    case 0x33:
    case 0x3B:
    case 0x01:
    case 0x09:
    case 0x11:
    case 0x19:
    case 0x21:
    case 0x29:
    case 0x31:
    case 0x39:
    case 0x85:
    case 0x87:
    case 0x89:
    case 0x8B:
    case 0x8D:
    case 0x63:
    case 0xFF:
    case 0x10:
    case 0x28:
    case 0x2E:
    case 0x2F:
    case 0x54:
    case 0x57:
    case 0x58:
    case 0x59:
    case 0x5C:
    case 0x6F:
    case 0x7F:
    case 0xB6:
    case 0xB7:
    case 0xBE:
    case 0xBF:
    case 0xD6:
        return 0;
    case 0x80:
    case 0x83:
    case 0xC6:
        return 1;
    case 0x81:
    case 0xC7:
        return 4;
    default:
        return -1;
    }
}

std::uint64_t End(const CodeReference& reference) {
    return reference.at + 4 + static_cast<std::uint64_t>(ImmediateBytes(reference.kind));
}

std::uint64_t Target(std::span<const std::uint8_t> code, const CodeReference& reference,
                     std::uint64_t address) {
    const auto displacement = static_cast<std::int32_t>(GetLe32(&code[reference.at]));
    return address + End(reference) + static_cast<std::uint64_t>(std::int64_t{displacement});
}

std::optional<CodeReference> Find(std::span<const std::uint8_t> code, std::uint64_t from,
                                  std::uint64_t address, const Image& image, bool x64) {
    for (std::uint64_t p = from; p + 5 <= code.size(); ++p) {
        const std::uint8_t opcode = code[p];
        const std::uint8_t next = code[p + 1];
        CodeReference found;
        if (opcode == 0xE8 || opcode == 0xE9) {
            found = {p + 1, 4, Rel32};
        } else if (opcode == 0x0F && (next & 0xF0) == 0x80) {
            found = {p + 2, 4, Rel32};
        } else if (x64 && (next & 0xC7) == 0x05) {
            const int immediate = RipImmediate(opcode);
            if (immediate < 0) {
                continue;
            }
            found = {p + 2, static_cast<std::uint8_t>(4 + immediate),
                     immediate == 0   ? Rel32
                     : immediate == 1 ? Rip32Imm8
                                      : Rip32Imm32};
            if (opcode == 0x81 || opcode == 0xC7) {
                // With an operand-size prefix the immediate has 2 bytes.
                if (p > 0 && code[p - 1] == 0x66) {
                    found.size = 6;
                    found.kind = Rip32Imm16;
                }
            }
        } else {
            continue;
        }
        if (found.at + found.size > code.size()) {
            continue;
        }
        // The size is the displacement and its immediate; the reference's
        // own bytes are the displacement's four.
        found.size = 4;
        if (image.InMemory(Target(code, found, address))) {
            return found;
        }
    }
    return std::nullopt;
}

std::optional<CodeReference> FindX64(std::span<const std::uint8_t> code, std::uint64_t from,
                                     std::uint64_t address, const Image& image) {
    return Find(code, from, address, image, true);
}

std::optional<CodeReference> FindI386(std::span<const std::uint8_t> code, std::uint64_t from,
                                      std::uint64_t address, const Image& image) {
    return Find(code, from, address, image, false);
}

// Whether code holds the reference's displacement.
bool Holds(std::span<const std::uint8_t> code, const CodeReference& reference) {
    return reference.at <= code.size() && code.size() - reference.at >= 4;
}

bool Retarget(std::span<std::uint8_t> code, const CodeReference& reference, std::uint64_t address,
              std::uint64_t target) {
    if (!Holds(code, reference)) {
        return false;
    }
    const auto displacement = static_cast<std::int64_t>(target - (address + End(reference)));
    if (displacement < INT32_MIN || displacement > INT32_MAX) {
        return false;
    }
    PutLe32(&code[reference.at], static_cast<std::uint32_t>(displacement));
    return true;
}

void Mark(std::span<std::uint8_t> code, const CodeReference& reference, std::uint32_t label) {
    if (Holds(code, reference)) {
        PutLe32(&code[reference.at], label);
    }
}

} // namespace

extern const InstructionSet X64Instructions = {Machine::X64, 16, FindX64, Target, Retarget, Mark};
extern const InstructionSet I386Instructions = {Machine::I386, 16,       FindI386,
                                                Target,        Retarget, Mark};

} // namespace kestro
