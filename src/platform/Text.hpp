// The program's 8-bit text made from UTF-16, as version resources store
// their strings: UTF-8 on POSIX, the ANSI code page on Windows (as the
// system's own ANSI version interface converts). Characters that cannot be
// converted, a lone surrogate among them, become "?". Each port implements
// it (posix/PosixText.cpp, win32/Win32Text.cpp).
#pragma once

#include <string>
#include <string_view>

namespace kestro {

std::string Utf16ToText(std::u16string_view text);

} // namespace kestro
