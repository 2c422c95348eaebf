// The code page on Windows: the ANSI code page, through the system's own
// conversions, so that the bytes are those the "A" calls would have used.
#include "platform/Text.hpp"
#include "platform/win32/Win32.hpp"

namespace kestro {

namespace {

// A system set to UTF-8 as its ANSI code page speaks the program's text.
bool CodePageIsUtf8() {
    return ::GetACP() == CP_UTF8;
}

// units in the ANSI code page with flags; usedDefault (when given) tells
// whether a character had no byte sequence there.
std::string ToCodePage(std::u16string_view units, DWORD flags, BOOL* usedDefault) {
    if (units.empty()) {
        return std::string();
    }
    const std::wstring wide(units.begin(), units.end());
    const int size = static_cast<int>(wide.size());
    const int length =
        ::WideCharToMultiByte(CP_ACP, flags, wide.data(), size, nullptr, 0, nullptr, usedDefault);
    if (length <= 0) {
        if (usedDefault != nullptr) {
            *usedDefault = TRUE;
        }
        return std::string(units.size(), '?');
    }
    std::string out(static_cast<std::size_t>(length), '\0');
    ::WideCharToMultiByte(CP_ACP, flags, wide.data(), size, out.data(), length, nullptr,
                          usedDefault);
    return out;
}

} // namespace

std::optional<std::string> TextToCodePage(std::string_view text) {
    const std::optional<std::u16string> units = Utf8ToUtf16(text);
    if (!units) {
        return std::nullopt;
    }
    if (CodePageIsUtf8()) {
        return std::string(text);
    }
    BOOL usedDefault = FALSE;
    std::string out = ToCodePage(*units, WC_NO_BEST_FIT_CHARS, &usedDefault);
    if (usedDefault) {
        return std::nullopt;
    }
    return out;
}

std::string ShownInCodePage(std::string_view text) {
    if (CodePageIsUtf8()) {
        return std::string(text);
    }
    // Best fit allowed, as the system's own conversion of the text that
    // earlier versions printed.
    return ToCodePage(ShownUtf16(text), 0, nullptr);
}

std::string CodePageToText(std::string_view text) {
    if (text.empty()) {
        return std::string();
    }
    const int size = static_cast<int>(text.size());
    const int length = ::MultiByteToWideChar(CP_ACP, 0, text.data(), size, nullptr, 0);
    if (length <= 0) {
        return std::string(text.size(), '?');
    }
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, text.data(), size, wide.data(), length);
    return Utf16ToText(std::u16string(wide.begin(), wide.end()));
}

} // namespace kestro
