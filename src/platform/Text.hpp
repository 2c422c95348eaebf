// The program's text is UTF-8 on every system. This is where it meets the
// system's other text forms.
//
// Utf16ToText: the program's text made from UTF-16, as version resources
// store their strings; characters that cannot be converted, a lone
// surrogate among them, become "?".
//
// The code page: Windows' older interfaces, and the edges where earlier
// versions of the program spoke them, use the ANSI code page: a delta's
// stored original name, a console's text sent to a file or pipe, the file
// names of the C interface. Each port implements the conversions
// (posix/PosixText.cpp, win32/Win32Text.cpp); on POSIX, whose names and
// terminals take bytes as they are, each gives its text unchanged.
#pragma once

#include "common/Unicode.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace kestro {

inline std::string Utf16ToText(std::u16string_view text) {
    return Utf16ToUtf8(text, LoneSurrogate::Question);
}

// text in the code page; nothing when the code page has no byte sequence
// for one of its characters (or, on Windows, text is not UTF-8). Never a
// look-alike character: what comes back converts to text again.
std::optional<std::string> TextToCodePage(std::string_view text);
// The same for text that is only shown: a character the code page cannot
// hold becomes the system's nearest one or "?".
std::string ShownInCodePage(std::string_view text);
// Text in the code page as the program's text.
std::string CodePageToText(std::string_view text);

} // namespace kestro
