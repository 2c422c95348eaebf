// UTF-8 and UTF-16, converted by the program's own code and the same on
// every system: the program's text is UTF-8 everywhere, and Windows speaks
// UTF-16 to it (file names, the command line, console windows).
//
// A Windows file name is a sequence of 16-bit units that need not be valid
// UTF-16: it may hold a lone surrogate. Where a name read from the system
// must name the same file when it is handed back, a lone surrogate is kept
// as the three bytes that UTF-8 would give its code point (as WTF-8 does);
// in text made for people it becomes "?".
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kestro {

enum class LoneSurrogate { Question, Kept };

// text as UTF-8; a lone surrogate as lone says.
std::string Utf16ToUtf8(std::u16string_view text, LoneSurrogate lone);

// UTF-8 text as UTF-16; nothing when text is not UTF-8. The three bytes of a
// kept lone surrogate give that unit back, unless they spell half of a pair
// whose other half follows: a pair has one spelling, its four bytes.
std::optional<std::u16string> Utf8ToUtf16(std::string_view text);

// The same for text that is only shown: a byte that starts no character
// (an invalid sequence, one cut short) becomes U+FFFD.
std::u16string ShownUtf16(std::string_view text);

} // namespace kestro
