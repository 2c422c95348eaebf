#include "platform/WindowsPaths.hpp"

#include "common/LittleEndian.hpp"
#include "common/Unicode.hpp"

#include <algorithm>

namespace kestro {

namespace {

constexpr std::u16string_view LongPrefix = u"\\\\?\\";
constexpr std::u16string_view DevicePrefix = u"\\\\.\\";
constexpr std::u16string_view NtPrefix = u"\\??\\";
constexpr std::size_t HeaderBytes = 8;
constexpr std::uint32_t RelativeLink = 1;

// The UTF-16 name of length bytes at offset in the path buffer; nothing
// when it does not lie within it.
std::optional<std::u16string> NameIn(std::span<const std::uint8_t> buffer, std::size_t offset,
                                     std::size_t length) {
    if (offset % 2 != 0 || length % 2 != 0 || offset > buffer.size() ||
        length > buffer.size() - offset) {
        return std::nullopt;
    }
    std::u16string name(length / 2, u'\0');
    for (std::size_t i = 0; i < name.size(); ++i) {
        name[i] = static_cast<char16_t>(GetLe16(buffer.data() + offset + 2 * i));
    }
    return name;
}

} // namespace

std::u16string LongPathForm(std::u16string_view fullPath) {
    if (fullPath.starts_with(LongPrefix) || fullPath.starts_with(DevicePrefix)) {
        return std::u16string(fullPath);
    }
    if (fullPath.starts_with(u"\\\\")) {
        return std::u16string(LongPrefix) + u"UNC" + std::u16string(fullPath.substr(1));
    }
    return std::u16string(LongPrefix) + std::u16string(fullPath);
}

std::optional<std::string> LinkTargetOfReparseData(std::span<const std::uint8_t> data) {
    if (data.size() < HeaderBytes) {
        return std::nullopt;
    }
    const std::uint32_t tag = GetLe32(data.data());
    const std::size_t length = GetLe16(data.data() + 4);
    const std::size_t fixed = tag == SymbolicLinkTag ? 12 : tag == JunctionTag ? 8 : 0;
    if (fixed == 0 || length < fixed || length > data.size() - HeaderBytes) {
        return std::nullopt;
    }
    const std::uint8_t* const names = data.data() + HeaderBytes;
    const bool relative = tag == SymbolicLinkTag && (GetLe32(names + 8) & RelativeLink) != 0;
    const std::span<const std::uint8_t> buffer = data.subspan(HeaderBytes + fixed, length - fixed);
    const std::optional<std::u16string> substitute =
        NameIn(buffer, GetLe16(names), GetLe16(names + 2));
    const std::optional<std::u16string> print =
        NameIn(buffer, GetLe16(names + 4), GetLe16(names + 6));
    if (!substitute || !print || substitute->empty()) {
        return std::nullopt;
    }
    std::u16string target = *substitute;
    if (relative) {
        std::replace(target.begin(), target.end(), u'\\', u'/');
    } else if (!print->empty()) {
        target = *print;
    } else if (target.starts_with(NtPrefix)) {
        target.erase(0, NtPrefix.size());
        if (target.starts_with(u"UNC\\")) {
            target.replace(0, 3, u"\\");
        }
    }
    return Utf16ToUtf8(target, LoneSurrogate::Kept);
}

} // namespace kestro
