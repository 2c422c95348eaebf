// Win32 conversion of UTF-16 text to the program's 8-bit text: the ANSI code
// page, as the system's own ANSI version interface converts. Characters the
// code page cannot hold, a lone surrogate among them, become "?".
#include "platform/Text.hpp"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>

namespace kestro {

std::string Utf16ToText(std::u16string_view text) {
    if (text.empty()) {
        return std::string();
    }
    // Lone surrogates are replaced first: the conversion would otherwise
    // depend on how the code page treats them.
    std::wstring wide(text.begin(), text.end());
    for (std::size_t i = 0; i < wide.size(); ++i) {
        const wchar_t c = wide[i];
        const bool high = c >= 0xD800 && c <= 0xDBFF;
        const bool low = c >= 0xDC00 && c <= 0xDFFF;
        if (high && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 && wide[i + 1] <= 0xDFFF) {
            ++i;
        } else if (high || low) {
            wide[i] = L'?';
        }
    }
    const int size = static_cast<int>(wide.size());
    const int length =
        ::WideCharToMultiByte(CP_ACP, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
    if (length <= 0) {
        return std::string(text.size(), '?');
    }
    std::string out(static_cast<std::size_t>(length), '\0');
    ::WideCharToMultiByte(CP_ACP, 0, wide.data(), size, out.data(), length, nullptr, nullptr);
    return out;
}

} // namespace kestro
