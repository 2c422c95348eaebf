#include "common/Unicode.hpp"

namespace kestro {

namespace {

constexpr char32_t Replacement = 0xFFFD;

bool IsHighSurrogate(char32_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}

bool IsLowSurrogate(char32_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | c >> 6));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | c >> 12));
        out.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | c >> 18));
        out.push_back(static_cast<char>(0x80 | (c >> 12 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

void AppendUtf16(std::u16string& out, char32_t c) {
    if (c < 0x10000) {
        out.push_back(static_cast<char16_t>(c));
    } else {
        out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    }
}

// The character that starts at text[at], and how many bytes it takes; a
// length of 0 when no character starts there. A surrogate's code point is
// read as a kept lone surrogate.
struct Decoded {
    char32_t c = 0;
    std::size_t length = 0;
};

Decoded DecodeAt(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) {
        return at + i < text.size() ? static_cast<unsigned char>(text[at + i]) : 0u;
    };
    const unsigned first = byte(0);
    // The lead byte gives the length and the range of the second byte that
    // excludes overlong forms and code points above U+10FFFF.
    std::size_t length = 0;
    unsigned low = 0x80;
    unsigned high = 0xBF;
    if (first < 0x80) {
        return {first, 1};
    } else if (first >= 0xC2 && first <= 0xDF) {
        length = 2;
    } else if (first >= 0xE0 && first <= 0xEF) {
        length = 3;
        low = first == 0xE0 ? 0xA0 : 0x80;
    } else if (first >= 0xF0 && first <= 0xF4) {
        length = 4;
        low = first == 0xF0 ? 0x90 : 0x80;
        high = first == 0xF4 ? 0x8F : 0xBF;
    } else {
        return {};
    }
    if (byte(1) < low || byte(1) > high) {
        return {};
    }
    char32_t c = first & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) {
            return {};
        }
        c = c << 6 | (byte(i) & 0x3F);
    }
    return {c, length};
}

// Decodes text; a byte that starts no character is refused (nothing), or
// shown as U+FFFD.
std::optional<std::u16string> Decode(std::string_view text, bool shown) {
    std::u16string out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        Decoded here = DecodeAt(text, at);
        // A high surrogate spelled alone and followed by a low one spelled
        // alone would be a pair in another spelling.
        if (here.length == 3 && IsHighSurrogate(here.c)) {
            const Decoded next = DecodeAt(text, at + 3);
            if (next.length == 3 && IsLowSurrogate(next.c)) {
                here = {};
            }
        }
        if (here.length == 0) {
            if (!shown) {
                return std::nullopt;
            }
            here = {Replacement, 1};
        }
        AppendUtf16(out, here.c);
        at += here.length;
    }
    return out;
}

} // namespace

std::string Utf16ToUtf8(std::u16string_view text, LoneSurrogate lone) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (IsHighSurrogate(c) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if ((IsHighSurrogate(c) || IsLowSurrogate(c)) && lone == LoneSurrogate::Question) {
            c = '?';
        }
        AppendUtf8(out, c);
    }
    return out;
}

std::optional<std::u16string> Utf8ToUtf16(std::string_view text) {
    return Decode(text, false);
}

std::u16string ShownUtf16(std::string_view text) {
    return *Decode(text, true);
}

} // namespace kestro
