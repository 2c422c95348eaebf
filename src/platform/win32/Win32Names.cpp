// Names between the program (UTF-8) and the wide calls (UTF-16), long
// paths in their long form (Win32.hpp).
#include "platform/WindowsPaths.hpp"
#include "platform/win32/Win32.hpp"

#include "common/Unicode.hpp"

#include <vector>

namespace kestro::port {

std::optional<std::wstring> WideText(std::string_view text) {
    const std::optional<std::u16string> units = Utf8ToUtf16(text);
    if (!units) {
        return std::nullopt;
    }
    return std::wstring(units->begin(), units->end());
}

std::string TextOfWide(std::wstring_view text) {
    return Utf16ToUtf8(std::u16string(text.begin(), text.end()), LoneSurrogate::Kept);
}

std::wstring FullWidePath(const std::wstring& path) {
    // The size asked first is enough unless the working folder changes in
    // between; then the second answer is the size needed, and is asked again.
    DWORD size = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    for (int attempt = 0; attempt < 3 && size > 0; ++attempt) {
        std::vector<wchar_t> buffer(size);
        const DWORD length = ::GetFullPathNameW(path.c_str(), size, buffer.data(), nullptr);
        if (length > 0 && length < size) {
            return std::wstring(buffer.data(), length);
        }
        size = length;
    }
    return std::wstring();
}

std::optional<std::wstring> WideName(std::string_view name) {
    std::optional<std::wstring> wide = WideText(name);
    if (!wide || wide->find(L'\0') != std::wstring::npos) {
        return std::nullopt;
    }
    // A name the system cannot make absolute (empty, say) goes as it is,
    // for the call to refuse as it always has.
    const std::wstring full = FullWidePath(*wide);
    if (full.size() < LongPathLength) {
        return wide;
    }
    const std::u16string form = LongPathForm(std::u16string(full.begin(), full.end()));
    return std::wstring(form.begin(), form.end());
}

} // namespace kestro::port
