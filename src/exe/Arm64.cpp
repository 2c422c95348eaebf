// References in ARM64 (AArch64) code, one instruction of four bytes at each
// aligned address:
//   B, BL                 imm26 at bits 0..25, words from the instruction
//   B.cond, CBZ, CBNZ,    imm19 at bits 5..23, words
//   LDR (literal)
//   TBZ, TBNZ             imm14 at bits 5..18, words
//   ADR                   imm21: immlo at bits 29..30, immhi at 5..23, bytes
//   ADRP + partner        ADRP's imm21 counts 4 KiB pages from the
//                         instruction's page; a partner within the next
//                         three instructions that takes ADRP's register
//                         adds the low 12 bits: ADD (immediate, 64-bit), or
//                         LDR/STR (unsigned offset), whose imm12 at bits
//                         10..21 counts units of its access size
// A reference is taken only when its target lies in the image.
#include "common/LittleEndian.hpp"
#include "exe/Disassembler.hpp"

namespace kestro {

namespace {

enum Kind : std::uint8_t { Branch26, Branch19, Branch14, Adr, AdrpPair };

std::int64_t SignExtend(std::uint64_t value, int bits) {
    const std::uint64_t sign = std::uint64_t{1} << (bits - 1);
    return static_cast<std::int64_t>((value ^ sign) - sign);
}

std::uint32_t Word(std::span<const std::uint8_t> code, std::uint64_t at) {
    return GetLe32(&code[at]);
}

// The access size of a load or store with an unsigned 12-bit offset (its
// imm12 counts units of it), as the power of two; -1 for any other
// instruction. Size at bits 30..31, and for the vector forms (bit 26 set)
// opc bit 23 makes a 16-byte access.
int AccessScale(std::uint32_t word) {
    if ((word & 0x3B000000u) != 0x39000000u) {
        return -1;
    }
    const int size = static_cast<int>(word >> 30);
    const bool vector = (word & 0x04000000u) != 0;
    return vector && (word & 0x00800000u) != 0 && size == 0 ? 4 : size;
}

// Whether word is a partner of an ADRP that set register rd: an ADD
// (immediate, 64-bit, no shift) or a load or store with an unsigned offset
// whose base is rd.
bool IsPartner(std::uint32_t word, std::uint32_t rd) {
    const std::uint32_t base = (word >> 5) & 31;
    if (base != rd) {
        return false;
    }
    return (word & 0xFFC00000u) == 0x91000000u || AccessScale(word) >= 0;
}

// The scale of an ADRP's partner, which IsPartner has taken.
std::uint8_t PartnerScale(std::uint32_t word) {
    return static_cast<std::uint8_t>((word & 0xFFC00000u) == 0x91000000u ? 0 : AccessScale(word));
}

bool Holds(std::span<const std::uint8_t> code, const CodeReference& reference) {
    return reference.at <= code.size() && reference.size <= code.size() - reference.at &&
           reference.size >= 4;
}

std::uint64_t Target(std::span<const std::uint8_t> code, const CodeReference& reference,
                     std::uint64_t address) {
    const std::uint32_t word = Word(code, reference.at);
    const std::uint64_t pc = address + reference.at;
    switch (reference.kind) {
    case Branch26:
        return pc + static_cast<std::uint64_t>(SignExtend(word & 0x03FFFFFFu, 26) * 4);
    case Branch19:
        return pc + static_cast<std::uint64_t>(SignExtend((word >> 5) & 0x7FFFFu, 19) * 4);
    case Branch14:
        return pc + static_cast<std::uint64_t>(SignExtend((word >> 5) & 0x3FFFu, 14) * 4);
    case Adr:
        return pc + static_cast<std::uint64_t>(
                        SignExtend(((word >> 5) & 0x7FFFFu) << 2 | ((word >> 29) & 3), 21));
    default: {
        const std::uint64_t page =
            (pc & ~std::uint64_t{0xFFF}) +
            static_cast<std::uint64_t>(
                SignExtend(((word >> 5) & 0x7FFFFu) << 2 | ((word >> 29) & 3), 21) * 4096);
        const std::uint32_t partner = Word(code, reference.at + reference.size - 4);
        return page + (((partner >> 10) & 0xFFFu) << reference.detail);
    }
    }
}

std::optional<CodeReference> Find(std::span<const std::uint8_t> code, std::uint64_t from,
                                  std::uint64_t address, const Image& image) {
    // Instructions lie at addresses that are multiples of 4.
    std::uint64_t p = from + ((4 - (address + from) % 4) % 4);
    for (; p + 4 <= code.size(); p += 4) {
        const std::uint32_t word = Word(code, p);
        CodeReference found{p, 4, Branch26};
        if ((word & 0x7C000000u) == 0x14000000u) {
            found.kind = Branch26;
        } else if ((word & 0xFF000010u) == 0x54000000u || (word & 0x7E000000u) == 0x34000000u ||
                   (word & 0xBF000000u) == 0x18000000u) {
            found.kind = Branch19;
        } else if ((word & 0x7E000000u) == 0x36000000u) {
            found.kind = Branch14;
        } else if ((word & 0x9F000000u) == 0x10000000u) {
            found.kind = Adr;
        } else if ((word & 0x9F000000u) == 0x90000000u) {
            found.kind = AdrpPair;
            found.size = 0;
            for (std::uint64_t next = p + 4; next < p + 16 && next + 4 <= code.size(); next += 4) {
                if (IsPartner(Word(code, next), word & 31)) {
                    found.size = static_cast<std::uint8_t>(next + 4 - p);
                    found.detail = PartnerScale(Word(code, next));
                    break;
                }
            }
            if (found.size == 0) {
                continue;
            }
        } else {
            continue;
        }
        if (image.InMemory(Target(code, found, address))) {
            return found;
        }
    }
    return std::nullopt;
}

// Puts value into the bits [low, low + bits) of the word at code[at], if
// it fits as a signed number of that many bits.
bool PutSigned(std::span<std::uint8_t> code, std::uint64_t at, std::int64_t value, int low,
               int bits) {
    const std::int64_t limit = std::int64_t{1} << (bits - 1);
    if (value < -limit || value >= limit) {
        return false;
    }
    const std::uint32_t mask = ((std::uint32_t{1} << bits) - 1) << low;
    const std::uint32_t word = GetLe32(&code[at]);
    PutLe32(&code[at], (word & ~mask) | ((static_cast<std::uint32_t>(value) << low) & mask));
    return true;
}

// An ADR or ADRP immediate: immlo at bits 29..30, immhi at 5..23.
bool PutAdrImmediate(std::span<std::uint8_t> code, std::uint64_t at, std::int64_t value) {
    if (value < -(std::int64_t{1} << 20) || value >= (std::int64_t{1} << 20)) {
        return false;
    }
    const auto bits = static_cast<std::uint32_t>(value) & 0x1FFFFFu;
    const std::uint32_t word = GetLe32(&code[at]) & ~(0x60000000u | 0x00FFFFE0u);
    PutLe32(&code[at], word | (bits & 3) << 29 | (bits >> 2) << 5);
    return true;
}

bool Retarget(std::span<std::uint8_t> code, const CodeReference& reference, std::uint64_t address,
              std::uint64_t target) {
    if (!Holds(code, reference) || reference.kind > AdrpPair || reference.detail > 4) {
        return false;
    }
    const std::uint64_t pc = address + reference.at;
    const auto distance = static_cast<std::int64_t>(target - pc);
    switch (reference.kind) {
    case Branch26:
        return distance % 4 == 0 && PutSigned(code, reference.at, distance / 4, 0, 26);
    case Branch19:
        return distance % 4 == 0 && PutSigned(code, reference.at, distance / 4, 5, 19);
    case Branch14:
        return distance % 4 == 0 && PutSigned(code, reference.at, distance / 4, 5, 14);
    case Adr:
        return PutAdrImmediate(code, reference.at, distance);
    default: {
        const std::uint64_t partnerAt = reference.at + reference.size - 4;
        const std::uint32_t partner = GetLe32(&code[partnerAt]);
        const int scale = reference.detail;
        const std::uint64_t low = target & 0xFFF;
        if (low % (std::uint64_t{1} << scale) != 0) {
            return false;
        }
        const std::uint8_t before[4] = {code[reference.at], code[reference.at + 1],
                                        code[reference.at + 2], code[reference.at + 3]};
        const auto pages = static_cast<std::int64_t>((target >> 12) - (pc >> 12));
        if (!PutAdrImmediate(code, reference.at, pages)) {
            std::copy(before, before + 4, &code[reference.at]);
            return false;
        }
        const std::uint32_t imm12 = static_cast<std::uint32_t>(low >> scale);
        PutLe32(&code[partnerAt], (partner & ~0x003FFC00u) | imm12 << 10);
        return true;
    }
    }
}

void Mark(std::span<std::uint8_t> code, const CodeReference& reference, std::uint32_t label) {
    const std::uint32_t immediates[] = {0x03FFFFFFu, 0x00FFFFE0u, 0x0007FFE0u, 0x60FFFFE0u,
                                        0x60FFFFE0u};
    if (!Holds(code, reference) || reference.kind > AdrpPair) {
        return;
    }
    const std::uint32_t mask = immediates[reference.kind];
    const std::uint32_t word = GetLe32(&code[reference.at]);
    PutLe32(&code[reference.at], (word & ~mask) | (label & mask));
    if (reference.kind == AdrpPair) {
        const std::uint64_t partnerAt = reference.at + reference.size - 4;
        PutLe32(&code[partnerAt],
                (GetLe32(&code[partnerAt]) & ~0x003FFC00u) | (label & 0x003FFC00u));
    }
}

} // namespace

extern const InstructionSet Arm64Instructions = {Machine::Arm64, 16, Find, Target, Retarget, Mark};

} // namespace kestro
