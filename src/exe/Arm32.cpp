// References in 32-bit ARM code, a row for each of its two states. A Thumb
// instruction of two halfwords is written here as one number, the first
// halfword (at the lower address) in its top 16 bits; each halfword is
// little-endian in the file.
//
// A32, a word at each address that is a multiple of 4; pc is the
// instruction's address + 8:
//   B, BL (any condition)  cond (not 1111) 101 L imm24: pc + 4 * imm24
//   BLX (immediate)        1111 101 H imm24: pc + 4 * imm24 + 2 * H, Thumb
//                          code
//   MOVW + MOVT            cond 0011 0000 imm4 Rd imm12, and the first of
//                          the next three instructions that is a MOVW or
//                          MOVT of Rd, if it is a MOVT (cond 0011 0100):
//                          the address imm16 (MOVT's) << 16 | imm16 (MOVW's),
//                          imm16 = imm4:imm12
// A32 with literals, also:
//   LDR (literal) + user   cond 0101 1001 1111 Rt imm12 (a load of the word
//                          at pc + imm12), and the first of the next 32
//                          instructions that adds pc to Rt: ADD Rd, PC, Rt
//                          (cond 0000 1000 1111 Rd 0000 0000 Rt) or LDR Rd,
//                          [PC, Rt] (cond 0111 1001 1111 Rd 0000 0000 Rt):
//                          the address the user's pc + the word, where
//                          position-independent code keeps its addresses
// T32, at each address that is a multiple of 2; pc is the instruction's
// address + 4:
//   BL, B.W                11110 S imm10, 11 J1 1 J2 imm11 (BL) or 10 J1 1
//                          J2 imm11 (B.W): pc + S:I1:I2:imm10:imm11:0,
//                          I1 = NOT(J1 XOR S), I2 = NOT(J2 XOR S)
//   BLX (immediate)        11110 S imm10H, 11 J1 0 J2 imm10L 0: pc with
//                          its low 2 bits 0, + S:I1:I2:imm10H:imm10L:00,
//                          ARM code
//   B<c>.W                 11110 S cond imm6, 10 J1 0 J2 imm11, cond not
//                          111x: pc + S:J2:J1:imm6:imm11:0
//   MOVW + MOVT            11110 i 100100 imm4, 0 imm3 Rd imm8, and a MOVT
//                          (11110 i 101100 imm4, 0 imm3 Rd imm8) among the
//                          next three instructions as in A32 (a halfword
//                          or two each: two where the first's top five bits
//                          are 11101, 11110 or 11111); imm16 =
//                          imm4:i:imm3:imm8
//
// The rows with literals take no MOVW and MOVT pair in position-independent
// code, which holds no absolute address: its pairs are numbers, which the
// rows would take for addresses wherever an image lies from 0.
//
// Addresses are 32 bits: a target wraps around 2^32 as the processor's pc
// does, and an address at or above 2^32 cannot be put into a MOVW and
// MOVT. Neither scan decodes instruction lengths: each looks at every
// position of its alignment and takes a pattern only where its target lies
// in the image, then goes on after it. (A MOVW and MOVT pair names an
// address in the image only where the image is at its linked address: ELF;
// a PE image's pairs hold image base + RVA, which its relocation table
// lists.)
#include "common/ByteStream.hpp"
#include "common/LittleEndian.hpp"
#include "exe/Disassembler.hpp"
#include "exe/ImageFormats.hpp"

#include <algorithm>

namespace kestro {

namespace {

// A32's kinds first, then T32's.
enum Kind : std::uint8_t {
    ArmBranch,       // B, BL
    ArmExchange,     // BLX (immediate)
    ArmMovePair,     // MOVW, MOVT
    ArmLiteral,      // LDR (literal) and the instruction that adds pc to its word
    ThumbBranch,     // BL, B.W
    ThumbExchange,   // BLX (immediate)
    ThumbCondBranch, // B<c>.W
    ThumbMovePair,   // MOVW, MOVT
    ThumbLiteral,    // LDR (literal) and the ADD that adds pc to its word
};

// The bits of each kind's instructions that say where it points (both of
// a pair's instructions have them at the same places; a literal load's
// are its word's).
constexpr std::uint32_t TargetBits[] = {0x00FFFFFFu, 0x01FFFFFFu, 0x000F0FFFu,
                                        0xFFFFFFFFu, 0x07FF2FFFu, 0x07FF2FFEu,
                                        0x043F2FFFu, 0x040F70FFu, 0xFFFFFFFFu};

// How many instructions after a literal load the scan looks for the one
// that adds pc to its word: compilers schedule the two apart, most within
// eight and nearly all within 32 (measured on Rust programs).
constexpr std::uint64_t LiteralUseWindow = 32;
// The farthest a literal word lies past its load: pc (8 on in A32, up to
// 4 on in T32) + imm12, and the word.
constexpr std::uint64_t LiteralReach = 8 + 0xFFF + 4;

std::uint32_t SignExtend(std::uint32_t value, int bits) {
    const std::uint32_t sign = std::uint32_t{1} << (bits - 1);
    return (value ^ sign) - sign;
}

bool Literal(const CodeReference& reference) {
    return reference.kind == ArmLiteral || reference.kind == ThumbLiteral;
}

// Whether code holds all the reference's bytes: its instructions (a T32
// literal load may be one halfword), and a literal load's word.
bool Holds(std::span<const std::uint8_t> code, const CodeReference& reference) {
    return reference.at <= code.size() && reference.size <= code.size() - reference.at &&
           reference.size >= (Literal(reference) ? 2 : 4) &&
           (!Literal(reference) || reference.literal + 4u <= code.size() - reference.at);
}

std::uint32_t Pc(std::uint64_t address, std::uint64_t at) {
    return static_cast<std::uint32_t>(address + at);
}

// --- A32 ---

std::uint32_t ArmWord(std::span<const std::uint8_t> code, std::uint64_t at) {
    return GetLe32(&code[at]);
}

// imm16 of a MOVW or MOVT: imm4 at bits 16..19, imm12 at 0..11.
std::uint32_t ArmImm16(std::uint32_t word) {
    return (word >> 4 & 0xF000u) | (word & 0x0FFFu);
}

std::uint32_t WithArmImm16(std::uint32_t word, std::uint32_t value) {
    return (word & ~0x000F0FFFu) | (value & 0xF000u) << 4 | (value & 0x0FFFu);
}

// Which half of an address an instruction moves into its register: MOVW
// the low, MOVT the high.
enum class Move : std::uint8_t { None, Low, High };

Move ArmMove(std::uint32_t word) {
    if (word >> 28 == 0xF || (word & 0x0FB00000u) != 0x03000000u) {
        return Move::None;
    }
    return (word & 0x00400000u) != 0 ? Move::High : Move::Low;
}

std::uint64_t ArmTarget(std::span<const std::uint8_t> code, const CodeReference& reference,
                        std::uint64_t address) {
    const std::uint32_t word = ArmWord(code, reference.at);
    const std::uint32_t pc = Pc(address, reference.at) + 8;
    switch (reference.kind) {
    case ArmBranch:
        return pc + SignExtend(word & 0x00FFFFFFu, 24) * 4;
    case ArmExchange:
        return (pc & ~3u) + SignExtend(word & 0x00FFFFFFu, 24) * 4 + (word >> 23 & 2);
    case ArmLiteral:
        return pc + 4 * reference.detail + ArmWord(code, reference.at + reference.literal);
    default:
        return ArmImm16(ArmWord(code, reference.at + reference.size - 4)) << 16 | ArmImm16(word);
    }
}

// A literal load at p and the first instruction of the next
// LiteralUseWindow that adds pc to what it loads, its word lying in code
// wholly past that user; or none.
std::optional<CodeReference> ArmLiteralLoad(std::span<const std::uint8_t> code, std::uint64_t p,
                                            std::uint32_t word) {
    if (word >> 28 == 0xF || (word & 0x0FFF0000u) != 0x059F0000u) {
        return std::nullopt;
    }
    const std::uint32_t rt = word >> 12 & 0xF;
    const std::uint64_t literal = 8 + (word & 0xFFFu);
    if (rt == 15 || literal + 4 > code.size() - p) {
        return std::nullopt;
    }
    for (std::uint64_t i = 1; i <= LiteralUseWindow && p + 4 * i + 4 <= code.size(); ++i) {
        const std::uint32_t user = ArmWord(code, p + 4 * i);
        const std::uint32_t form = user & 0x0FFF0FFFu;
        if (user >> 28 != 0xF && (form == (0x008F0000u | rt) || form == (0x079F0000u | rt))) {
            if (literal < 4 * i + 4) {
                return std::nullopt;
            }
            return CodeReference{p, 4, ArmLiteral, static_cast<std::uint8_t>(i),
                                 static_cast<std::uint16_t>(literal)};
        }
    }
    return std::nullopt;
}

std::optional<CodeReference> FindArm(std::span<const std::uint8_t> code, std::uint64_t from,
                                     std::uint64_t address, const Image& image, bool literals) {
    for (std::uint64_t p = from + ((4 - (address + from) % 4) % 4); p + 4 <= code.size(); p += 4) {
        const std::uint32_t word = ArmWord(code, p);
        CodeReference found{p, 4, ArmBranch};
        if ((word & 0x0E000000u) == 0x0A000000u) {
            found.kind = word >> 28 == 0xF ? ArmExchange : ArmBranch;
        } else if (!(literals && image.positionIndependent) && ArmMove(word) == Move::Low) {
            found.kind = ArmMovePair;
            found.size = 0;
            const std::uint32_t rd = word >> 12 & 0xF;
            for (std::uint64_t next = p + 4; next < p + 16 && next + 4 <= code.size(); next += 4) {
                const std::uint32_t partner = ArmWord(code, next);
                if (const Move move = ArmMove(partner);
                    move != Move::None && (partner >> 12 & 0xF) == rd) {
                    found.size = move == Move::High ? static_cast<std::uint8_t>(next + 4 - p) : 0;
                    break;
                }
            }
            if (found.size == 0) {
                continue;
            }
        } else if (const std::optional<CodeReference> load =
                       literals ? ArmLiteralLoad(code, p, word) : std::nullopt) {
            found = *load;
        } else {
            continue;
        }
        if (image.InMemory(ArmTarget(code, found, address))) {
            return found;
        }
    }
    return std::nullopt;
}

std::optional<CodeReference> ArmFind(std::span<const std::uint8_t> code, std::uint64_t from,
                                     std::uint64_t address, const Image& image) {
    return FindArm(code, from, address, image, false);
}

std::optional<CodeReference> ArmLiteralFind(std::span<const std::uint8_t> code, std::uint64_t from,
                                            std::uint64_t address, const Image& image) {
    return FindArm(code, from, address, image, true);
}

// A distance of `bits` bits (signed) in units of 1 << shift, or none.
std::optional<std::uint32_t> Units(std::uint32_t distance, int shift, int bits) {
    const auto value = static_cast<std::int32_t>(distance);
    const std::int32_t limit = std::int32_t{1} << (bits - 1 + shift);
    if (value % (1 << shift) != 0 || value < -limit || value >= limit) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(value >> shift) & ((std::uint32_t{1} << bits) - 1);
}

bool ArmRetarget(std::span<std::uint8_t> code, const CodeReference& reference,
                 std::uint64_t address, std::uint64_t target) {
    if (!Holds(code, reference) || reference.kind > ArmLiteral || target > UINT32_MAX) {
        return false;
    }
    const auto to = static_cast<std::uint32_t>(target);
    const std::uint32_t pc = Pc(address, reference.at) + 8;
    const std::uint32_t word = ArmWord(code, reference.at);
    switch (reference.kind) {
    case ArmBranch:
        if (const auto imm24 = Units(to - pc, 2, 24)) {
            PutLe32(&code[reference.at], (word & ~0x00FFFFFFu) | *imm24);
            return true;
        }
        return false;
    case ArmExchange:
        if (const auto halves = Units(to - (pc & ~3u), 1, 25)) {
            PutLe32(&code[reference.at],
                    (word & ~0x01FFFFFFu) | (*halves & 1) << 24 | *halves >> 1);
            return true;
        }
        return false;
    case ArmLiteral:
        PutLe32(&code[reference.at + reference.literal], to - (pc + 4 * reference.detail));
        return true;
    default: {
        const std::uint64_t partnerAt = reference.at + reference.size - 4;
        PutLe32(&code[reference.at], WithArmImm16(word, to));
        PutLe32(&code[partnerAt], WithArmImm16(ArmWord(code, partnerAt), to >> 16));
        return true;
    }
    }
}

void PutMasked(std::span<std::uint8_t> code, std::uint64_t at, std::uint32_t mask,
               std::uint32_t label) {
    PutLe32(&code[at], (GetLe32(&code[at]) & ~mask) | (label & mask));
}

void ArmMark(std::span<std::uint8_t> code, const CodeReference& reference, std::uint32_t label) {
    if (!Holds(code, reference) || reference.kind > ArmLiteral) {
        return;
    }
    const std::uint32_t mask = TargetBits[reference.kind];
    if (reference.kind == ArmLiteral) {
        PutMasked(code, reference.at + reference.literal, mask, label);
        return;
    }
    PutMasked(code, reference.at, mask, label);
    if (reference.kind == ArmMovePair) {
        PutMasked(code, reference.at + reference.size - 4, mask, label);
    }
}

// --- T32 ---

std::uint32_t ThumbWord(std::span<const std::uint8_t> code, std::uint64_t at) {
    return std::uint32_t{GetLe16(&code[at])} << 16 | GetLe16(&code[at + 2]);
}

void PutThumbWord(std::span<std::uint8_t> code, std::uint64_t at, std::uint32_t word) {
    PutLe16(&code[at], static_cast<std::uint16_t>(word >> 16));
    PutLe16(&code[at + 2], static_cast<std::uint16_t>(word));
}

// Whether the halfword starts an instruction of two.
bool Wide(std::uint16_t first) {
    return first >> 11 >= 0x1D;
}

// imm16 of a MOVW or MOVT: imm4 at bits 16..19, i at 26, imm3 at 12..14,
// imm8 at 0..7.
std::uint32_t ThumbImm16(std::uint32_t word) {
    return (word >> 4 & 0xF000u) | (word >> 15 & 0x0800u) | (word >> 4 & 0x0700u) |
           (word & 0x00FFu);
}

std::uint32_t WithThumbImm16(std::uint32_t word, std::uint32_t value) {
    return (word & ~0x040F70FFu) | (value & 0xF000u) << 4 | (value & 0x0800u) << 15 |
           (value & 0x0700u) << 4 | (value & 0x00FFu);
}

Move ThumbMove(std::uint32_t word) {
    if ((word & 0xFB708000u) != 0xF2400000u) {
        return Move::None;
    }
    return (word & 0x00800000u) != 0 ? Move::High : Move::Low;
}

// The offset of BL, B.W and BLX: S:I1:I2 and the rest, in halfwords.
std::uint32_t LongOffset(std::uint32_t word) {
    const std::uint32_t s = word >> 26 & 1;
    const std::uint32_t i1 = ~(word >> 13 ^ s) & 1;
    const std::uint32_t i2 = ~(word >> 11 ^ s) & 1;
    return SignExtend(s << 23 | i1 << 22 | i2 << 21 | (word >> 16 & 0x3FFu) << 11 | (word & 0x7FFu),
                      24);
}

std::uint32_t WithLongOffset(std::uint32_t word, std::uint32_t halves) {
    const std::uint32_t s = halves >> 23 & 1;
    const std::uint32_t j1 = (~(halves >> 22) ^ s) & 1;
    const std::uint32_t j2 = (~(halves >> 21) ^ s) & 1;
    return (word & ~0x07FF2FFFu) | s << 26 | (halves >> 11 & 0x3FFu) << 16 | j1 << 13 | j2 << 11 |
           (halves & 0x7FFu);
}

std::uint64_t ThumbTarget(std::span<const std::uint8_t> code, const CodeReference& reference,
                          std::uint64_t address) {
    const std::uint32_t pc = Pc(address, reference.at) + 4;
    if (reference.kind == ThumbLiteral) {
        return pc + 2 * reference.detail + GetLe32(&code[reference.at + reference.literal]);
    }
    const std::uint32_t word = ThumbWord(code, reference.at);
    switch (reference.kind) {
    case ThumbBranch:
        return pc + LongOffset(word) * 2;
    case ThumbExchange:
        return (pc & ~3u) + (LongOffset(word) & ~1u) * 2;
    case ThumbCondBranch: {
        const std::uint32_t halves = (word >> 26 & 1) << 19 | (word >> 11 & 1) << 18 |
                                     (word >> 13 & 1) << 17 | (word >> 16 & 0x3Fu) << 11 |
                                     (word & 0x7FFu);
        return pc + SignExtend(halves, 20) * 2;
    }
    default:
        return ThumbImm16(ThumbWord(code, reference.at + reference.size - 4)) << 16 |
               ThumbImm16(word);
    }
}

// A literal load at p, LDR Rt, [PC, #imm] of one halfword or two, and the
// first ADD Rt, PC of the next LiteralUseWindow instructions, its word
// lying in code wholly past that user; or none.
std::optional<CodeReference> ThumbLiteralLoad(std::span<const std::uint8_t> code, std::uint64_t p,
                                              std::uint64_t address) {
    const std::uint32_t word = ThumbWord(code, p);
    std::uint32_t rt = 0;
    std::uint64_t after = 0; // the load's bytes
    std::uint32_t offset = 0;
    if (word >> 27 == 0x09) { // 01001 Rt imm8: imm8 * 4
        rt = word >> 24 & 7;
        after = 2;
        offset = (word >> 16 & 0xFF) * 4;
    } else if ((word & 0xFFFF0000u) == 0xF8DF0000u) { // LDR.W, U set: imm12
        rt = word >> 12 & 0xF;
        after = 4;
        offset = word & 0xFFF;
    } else {
        return std::nullopt;
    }
    // The word lies at (pc with its low 2 bits 0) + offset: 4 + offset past
    // a load at a multiple of 4, else 2 + offset.
    const std::uint64_t literal = ((Pc(address, p) + 4) & ~3u) - Pc(address, p) + offset;
    if (rt == 15 || literal + 4 > code.size() - p) {
        return std::nullopt;
    }
    std::uint64_t next = p + after;
    for (std::uint64_t i = 0; i < LiteralUseWindow && next + 2 <= code.size(); ++i) {
        const std::uint16_t user = GetLe16(&code[next]);
        // ADD Rdn, PC: 01000100 DN 1111 Rdn
        if ((user & 0xFF78u) == 0x4478u && ((user >> 4 & 8) | (user & 7)) == rt) {
            if (literal < next + 2 - p) {
                return std::nullopt;
            }
            return CodeReference{p, static_cast<std::uint8_t>(after), ThumbLiteral,
                                 static_cast<std::uint8_t>((next - p) / 2),
                                 static_cast<std::uint16_t>(literal)};
        }
        next += Wide(user) ? 4 : 2;
    }
    return std::nullopt;
}

std::optional<CodeReference> FindThumb(std::span<const std::uint8_t> code, std::uint64_t from,
                                       std::uint64_t address, const Image& image, bool literals) {
    for (std::uint64_t p = from + (address + from) % 2; p + 4 <= code.size(); p += 2) {
        const std::uint32_t word = ThumbWord(code, p);
        CodeReference found{p, 4, ThumbBranch};
        if ((word & 0xF800D000u) == 0xF000D000u || (word & 0xF800D000u) == 0xF0009000u) {
            found.kind = ThumbBranch;
        } else if ((word & 0xF800D001u) == 0xF000C000u) {
            found.kind = ThumbExchange;
        } else if ((word & 0xF800D000u) == 0xF0008000u && (word >> 22 & 0xE) != 0xE) {
            found.kind = ThumbCondBranch;
        } else if (!(literals && image.positionIndependent) && ThumbMove(word) == Move::Low) {
            found.kind = ThumbMovePair;
            found.size = 0;
            const std::uint32_t rd = word >> 8 & 0xF;
            std::uint64_t next = p + 4;
            for (int i = 0; i < 3 && next + 2 <= code.size(); ++i) {
                if (!Wide(GetLe16(&code[next]))) {
                    next += 2;
                    continue;
                }
                if (next + 4 > code.size()) {
                    break;
                }
                const std::uint32_t partner = ThumbWord(code, next);
                if (const Move move = ThumbMove(partner);
                    move != Move::None && (partner >> 8 & 0xF) == rd) {
                    found.size = move == Move::High ? static_cast<std::uint8_t>(next + 4 - p) : 0;
                    break;
                }
                next += 4;
            }
            if (found.size == 0) {
                continue;
            }
        } else if (const std::optional<CodeReference> load =
                       literals ? ThumbLiteralLoad(code, p, address) : std::nullopt) {
            found = *load;
        } else {
            continue;
        }
        if (image.InMemory(ThumbTarget(code, found, address))) {
            return found;
        }
    }
    return std::nullopt;
}

std::optional<CodeReference> ThumbFind(std::span<const std::uint8_t> code, std::uint64_t from,
                                       std::uint64_t address, const Image& image) {
    return FindThumb(code, from, address, image, false);
}

std::optional<CodeReference> ThumbLiteralFind(std::span<const std::uint8_t> code,
                                              std::uint64_t from, std::uint64_t address,
                                              const Image& image) {
    return FindThumb(code, from, address, image, true);
}

bool ThumbRetarget(std::span<std::uint8_t> code, const CodeReference& reference,
                   std::uint64_t address, std::uint64_t target) {
    if (!Holds(code, reference) || reference.kind < ThumbBranch || reference.kind > ThumbLiteral ||
        target > UINT32_MAX) {
        return false;
    }
    const auto to = static_cast<std::uint32_t>(target);
    const std::uint32_t pc = Pc(address, reference.at) + 4;
    if (reference.kind == ThumbLiteral) {
        PutLe32(&code[reference.at + reference.literal], to - (pc + 2 * reference.detail));
        return true;
    }
    const std::uint32_t word = ThumbWord(code, reference.at);
    switch (reference.kind) {
    case ThumbBranch:
        if (const auto halves = Units(to - pc, 1, 24)) {
            PutThumbWord(code, reference.at, WithLongOffset(word, *halves));
            return true;
        }
        return false;
    case ThumbExchange:
        if (const auto words = Units(to - (pc & ~3u), 2, 23)) {
            PutThumbWord(code, reference.at, WithLongOffset(word, *words << 1) & ~1u);
            return true;
        }
        return false;
    case ThumbCondBranch:
        if (const auto halves = Units(to - pc, 1, 20)) {
            PutThumbWord(code, reference.at,
                         (word & ~0x043F2FFFu) | (*halves >> 19 & 1) << 26 |
                             (*halves >> 11 & 0x3Fu) << 16 | (*halves >> 17 & 1) << 13 |
                             (*halves >> 18 & 1) << 11 | (*halves & 0x7FFu));
            return true;
        }
        return false;
    default: {
        const std::uint64_t partnerAt = reference.at + reference.size - 4;
        PutThumbWord(code, reference.at, WithThumbImm16(word, to));
        PutThumbWord(code, partnerAt, WithThumbImm16(ThumbWord(code, partnerAt), to >> 16));
        return true;
    }
    }
}

void ThumbMark(std::span<std::uint8_t> code, const CodeReference& reference, std::uint32_t label) {
    if (!Holds(code, reference) || reference.kind < ThumbBranch || reference.kind > ThumbLiteral) {
        return;
    }
    const std::uint32_t mask = TargetBits[reference.kind];
    if (reference.kind == ThumbLiteral) {
        PutMasked(code, reference.at + reference.literal, mask, label);
        return;
    }
    const auto mark = [&](std::uint64_t at) {
        PutThumbWord(code, at, (ThumbWord(code, at) & ~mask) | (label & mask));
    };
    mark(reference.at);
    if (reference.kind == ThumbMovePair) {
        mark(reference.at + reference.size - 4);
    }
}

// Whether a reference is a call (BL, BLX) whose target lies in the image's
// code.
bool CallIntoCode(std::span<const std::uint8_t> code, const CodeReference& reference,
                  std::uint64_t target, const Image& image) {
    bool call = reference.kind == ArmExchange || reference.kind == ThumbExchange;
    if (reference.kind == ArmBranch) {
        call = (ArmWord(code, reference.at) >> 24 & 1) != 0;
    } else if (reference.kind == ThumbBranch) {
        call = (ThumbWord(code, reference.at) >> 14 & 1) != 0;
    }
    const std::optional<std::uint64_t> offset = image.OffsetOf(target);
    return call && offset && !image.CodeIn(*offset, *offset + 1).empty();
}

} // namespace

extern const InstructionSet A32Instructions = {Machine::Arm32, 16,          ArmFind,
                                               ArmTarget,      ArmRetarget, ArmMark};
extern const InstructionSet T32Instructions = {Machine::Arm32, 16,       ThumbFind, ThumbTarget,
                                               ThumbRetarget,  ThumbMark};
extern const InstructionSet A32LiteralInstructions = {Machine::Arm32, LiteralReach, ArmLiteralFind,
                                                      ArmTarget,      ArmRetarget,  ArmMark};
extern const InstructionSet T32LiteralInstructions = {
    Machine::Arm32, LiteralReach, ThumbLiteralFind, ThumbTarget, ThumbRetarget, ThumbMark};

ArmState ChooseArmState(ByteStream& file, const Image& image, const std::function<void()>& poll) {
    // The code looked at: enough for the calls of a program to show, and
    // little enough that the calls found take a few MiB at most.
    constexpr std::uint64_t SampleBytes = 4 << 20;
    if (image.machine != Machine::Arm32 || image.format != ImageFormat::Elf) {
        return ArmState::Thumb;
    }
    WorkPoll steps(poll);
    FileBytes in(file, steps);
    // The calls each state's row finds, by target: a function is called
    // from many places, where a pattern the other state's code happens to
    // hold names an address at random.
    std::vector<std::uint32_t> calls[2];
    std::vector<std::uint8_t> code;
    std::uint64_t left = SampleBytes;
    for (const CodeStretch& stretch : image.Code()) {
        if (left == 0) {
            break;
        }
        code.resize(static_cast<std::size_t>(std::min(stretch.size, left)));
        left -= code.size();
        if (!in.Read(stretch.fileOffset, code.data(), code.size())) {
            continue;
        }
        for (const ArmState state : {ArmState::Arm, ArmState::Thumb}) {
            const InstructionSet& row = state == ArmState::Arm ? A32Instructions : T32Instructions;
            std::vector<std::uint32_t>& found = calls[static_cast<int>(state)];
            for (std::uint64_t at = 0;;) {
                const std::optional<CodeReference> reference =
                    row.find(code, at, stretch.address, image);
                if (!reference) {
                    break;
                }
                steps.Step(static_cast<std::uint32_t>(reference->at - at) + 16);
                const std::uint64_t target = row.target(code, *reference, stretch.address);
                if (CallIntoCode(code, *reference, target, image)) {
                    found.push_back(static_cast<std::uint32_t>(target));
                }
                at = reference->at + reference->size;
            }
        }
    }
    // Each state's score: its calls whose target another of them names too.
    std::uint64_t scores[2] = {};
    for (int state = 0; state < 2; ++state) {
        std::vector<std::uint32_t>& targets = calls[state];
        std::sort(targets.begin(), targets.end());
        for (std::size_t i = 0; i < targets.size(); ++i) {
            const bool shared = (i > 0 && targets[i - 1] == targets[i]) ||
                                (i + 1 < targets.size() && targets[i + 1] == targets[i]);
            scores[state] += shared ? 1 : 0;
        }
    }
    return scores[0] > scores[1] ? ArmState::Arm : ArmState::Thumb;
}

} // namespace kestro
