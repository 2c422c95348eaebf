#include "platform/NameRules.hpp"

#include <algorithm>
#include <array>
#include <string>

namespace kestro {

namespace {

char UpperAscii(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool IsDotName(std::string_view name) {
    return name == "." || name == "..";
}

} // namespace

bool IsPosixPathSeparator(char c) {
    return c == '/';
}

bool IsWindowsPathSeparator(char c) {
    return c == '\\' || c == '/' || c == ':';
}

bool IsPlainPosixFileName(std::string_view name) {
    return !name.empty() && !IsDotName(name) &&
           name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

bool IsPlainWindowsFileName(std::string_view name) {
    if (name.empty() || IsDotName(name) || IsWindowsDeviceName(name)) {
        return false;
    }
    return std::none_of(name.begin(), name.end(), [](char c) {
        return static_cast<unsigned char>(c) < 32 ||
               std::string_view("<>:\"/\\|?*").find(c) != std::string_view::npos;
    });
}

bool IsWindowsDeviceName(std::string_view name) {
    std::string base(name.substr(0, name.find('.')));
    while (!base.empty() && base.back() == ' ') {
        base.pop_back();
    }
    std::transform(base.begin(), base.end(), base.begin(), UpperAscii);
    static constexpr std::array<std::string_view, 4> plain = {"CON", "PRN", "AUX", "NUL"};
    if (std::find(plain.begin(), plain.end(), base) != plain.end()) {
        return true;
    }
    return base.size() == 4 && (base.starts_with("COM") || base.starts_with("LPT")) &&
           base[3] >= '0' && base[3] <= '9';
}

bool SameWindowsFileName(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](char x, char y) { return UpperAscii(x) == UpperAscii(y); });
}

} // namespace kestro
