// The program's own text forms, the same everywhere: hexadecimal digits,
// and the ASCII letter-case fold that file names on Windows and the keys
// of version resources are compared under. Neither depends on the locale:
// only the 26 ASCII letters have a case here.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace kestro {

// The low 4 * digits bits of value as that many upper-case hexadecimal
// digits, zeros in front: HexDigits(0x2A, 2) is "2A", HexDigits(5, 8)
// "00000005".
inline std::string HexDigits(std::uint32_t value, int digits) {
    std::string text(static_cast<std::size_t>(digits), '0');
    for (std::size_t i = text.size(); i > 0; --i, value >>= 4) {
        text[i - 1] = "0123456789ABCDEF"[value & 0xF];
    }
    return text;
}

// bytes as lower-case hexadecimal, two digits a byte, in order: how digests
// and keys are written.
inline std::string LowerHex(std::span<const std::uint8_t> bytes) {
    std::string text;
    text.reserve(2 * bytes.size());
    for (const std::uint8_t byte : bytes) {
        text += "0123456789abcdef"[byte >> 4];
        text += "0123456789abcdef"[byte & 0xF];
    }
    return text;
}

// c with an ASCII capital made small; every other character or UTF-16 unit
// as it is.
template <typename Char>
constexpr Char FoldAsciiCase(Char c) {
    return c >= Char('A') && c <= Char('Z') ? static_cast<Char>(c - Char('A') + Char('a')) : c;
}

// a and b equal up to the case of ASCII letters.
inline bool EqualIgnoringAsciiCase(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](char x, char y) { return FoldAsciiCase(x) == FoldAsciiCase(y); });
}

} // namespace kestro
