#include "platform/NameRules.hpp"

#include "common/Text.hpp"

#include <algorithm>
#include <array>
#include <string>

namespace kestro {

namespace {

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
    std::transform(base.begin(), base.end(), base.begin(), FoldAsciiCase<char>);
    static constexpr std::array<std::string_view, 4> plain = {"con", "prn", "aux", "nul"};
    if (std::find(plain.begin(), plain.end(), base) != plain.end()) {
        return true;
    }
    return base.size() == 4 && (base.starts_with("com") || base.starts_with("lpt")) &&
           base[3] >= '0' && base[3] <= '9';
}

bool SameWindowsFileName(std::string_view a, std::string_view b) {
    return EqualIgnoringAsciiCase(a, b);
}

} // namespace kestro
