#include "release/ReleasePaths.hpp"

#include "common/Text.hpp"
#include "platform/NameRules.hpp"

#include <algorithm>

namespace kestro {

namespace {

// Whether text is well-formed UTF-8: no overlong forms, no surrogates,
// nothing above U+10FFFF.
bool IsUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        std::uint32_t value = 0;
        if (byte < 0x80) {
            ++i;
            continue;
        }
        if (byte >= 0xC2 && byte <= 0xDF) {
            length = 2;
            value = byte & 0x1F;
        } else if (byte >= 0xE0 && byte <= 0xEF) {
            length = 3;
            value = byte & 0x0F;
        } else if (byte >= 0xF0 && byte <= 0xF4) {
            length = 4;
            value = byte & 0x07;
        } else {
            return false;
        }
        if (i + length > text.size()) {
            return false;
        }
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            value = value << 6 | (next & 0x3F);
        }
        const std::uint32_t least = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
        if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
            return false;
        }
        i += length;
    }
    return true;
}

bool HasControl(std::string_view text) {
    return std::any_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

// Why a part of a path cannot be a name of its own.
std::string PartProblem(std::string_view part, bool windowsNames) {
    if (part.empty() || part == "." || part == "..") {
        return "an empty, \".\" or \"..\" part";
    }
    if (windowsNames) {
        if (part.back() == '.' || part.back() == ' ') {
            return "a part ending in \".\" or \" \", which Windows drops";
        }
        if (IsWindowsDeviceName(part)) {
            return "a Windows device name";
        }
        if (!IsPlainWindowsFileName(part)) {
            return "a character Windows does not allow in a name";
        }
    }
    return std::string();
}

} // namespace

std::string PathProblem(std::string_view path, bool windowsNames) {
    if (path.empty()) {
        return "an empty path";
    }
    if (path.size() > MaxReleasePathBytes) {
        return "a path longer than " + std::to_string(MaxReleasePathBytes) + " bytes";
    }
    if (!IsUtf8(path) || HasControl(path) || path.find('\\') != std::string_view::npos) {
        return "a path that is not UTF-8 text without control characters and \"\\\"";
    }
    if (path.front() == '/') {
        return "an absolute path";
    }
    for (std::size_t start = 0; start <= path.size();) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        const std::string problem = PartProblem(path.substr(start, end - start), windowsNames);
        if (!problem.empty()) {
            return problem;
        }
        start = end + 1;
    }
    return std::string();
}

std::string PathKey(std::string_view path, bool windowsNames) {
    std::string key(path);
    if (windowsNames) {
        std::transform(key.begin(), key.end(), key.begin(), FoldAsciiCase<char>);
    }
    return key;
}

std::string LinkProblem(std::string_view linkPath, std::string_view target) {
    if (target.empty() || target.front() == '/' || HasControl(target) || !IsUtf8(target) ||
        target.find('\\') != std::string_view::npos || target.find(':') != std::string_view::npos) {
        return "a link whose target is not a relative path";
    }
    // The ".." parts come first, and no more of them than the link's folder
    // is deep: they climb real folders of the release (no link is a parent
    // of an entry), so the target cannot leave it that way; the parts after
    // them only descend, through folders or through links that stay inside
    // by this same rule.
    std::size_t depth = 0;
    for (std::string_view folder = ParentPath(linkPath); !folder.empty();
         folder = ParentPath(folder)) {
        ++depth;
    }
    bool descending = false;
    for (std::size_t start = 0; start <= target.size();) {
        const std::size_t end = std::min(target.find('/', start), target.size());
        const std::string_view part = target.substr(start, end - start);
        if (part == "..") {
            if (descending || depth == 0) {
                return "a link whose target leaves the release";
            }
            --depth;
        } else if (part.empty() || part == ".") {
            return "a link whose target is not a plain relative path";
        } else {
            descending = true;
        }
        start = end + 1;
    }
    return std::string();
}

std::string_view ParentPath(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? std::string_view() : path.substr(0, slash);
}

} // namespace kestro
