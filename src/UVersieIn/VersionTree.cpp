#include "UVersieIn/VersionTree.hpp"

#include "common/LittleEndian.hpp"
#include "common/Text.hpp"
#include "platform/Text.hpp"

#include <algorithm>

namespace kestro {

namespace {

// ---- VS_VERSIONINFO -------------------------------------------------------

constexpr std::size_t NodeHeaderBytes = 6;

// A node that lies wholly inside its parent; offsets count from the start of
// the version data.
struct VersionNode {
    std::size_t start = 0;
    std::size_t end = 0;
    std::size_t keyUnits = 0;
    std::size_t valueStart = 0;
    std::uint16_t valueLength = 0;
    bool text = false;
    std::size_t childrenStart = 0;
};

std::size_t Align4(std::size_t offset) {
    return (offset + 3) & ~std::size_t{3};
}

// The node at offset at, which must end by limit (at < limit <= data size):
// nothing when its length is below a header's, reaches past limit, or leaves
// no room for the key's terminating zero.
std::optional<VersionNode> ReadNode(std::span<const std::uint8_t> data, std::size_t at,
                                    std::size_t limit) {
    if (limit - at < NodeHeaderBytes) {
        return std::nullopt;
    }
    const std::uint16_t length = GetLe16(&data[at]);
    if (length < NodeHeaderBytes || length > limit - at) {
        return std::nullopt;
    }
    VersionNode node;
    node.start = at;
    node.end = at + length;
    node.valueLength = GetLe16(&data[at + 2]);
    node.text = GetLe16(&data[at + 4]) == 1;
    std::size_t key = at + NodeHeaderBytes;
    while (true) {
        if (node.end - key < 2) {
            return std::nullopt;
        }
        if (GetLe16(&data[key]) == 0) {
            break;
        }
        key += 2;
    }
    node.keyUnits = (key - at - NodeHeaderBytes) / 2;
    node.valueStart = Align4(key + 2);
    const std::size_t valueBytes = node.text ? 2 * std::size_t{node.valueLength} : node.valueLength;
    node.childrenStart = Align4(node.valueStart + valueBytes);
    return node;
}

bool KeyEquals(std::span<const std::uint8_t> data, const VersionNode& node, std::string_view name) {
    if (node.keyUnits != name.size()) {
        return false;
    }
    for (std::size_t i = 0; i < name.size(); ++i) {
        const char16_t unit = GetLe16(&data[node.start + NodeHeaderBytes + 2 * i]);
        if (FoldAsciiCase(unit) != FoldAsciiCase(char16_t{static_cast<unsigned char>(name[i])})) {
            return false;
        }
    }
    return true;
}

std::optional<VersionNode> FindChild(std::span<const std::uint8_t> data, const VersionNode& parent,
                                     std::string_view name) {
    for (std::size_t at = parent.childrenStart; at < parent.end;) {
        const std::optional<VersionNode> child = ReadNode(data, at, parent.end);
        if (!child) {
            return std::nullopt;
        }
        if (KeyEquals(data, *child, name)) {
            return child;
        }
        at = Align4(child->end);
    }
    return std::nullopt;
}

} // namespace

std::optional<VersionValue> QueryVersionValue(std::span<const std::uint8_t> data,
                                              std::string_view path) {
    if (data.empty()) {
        return std::nullopt;
    }
    std::optional<VersionNode> node = ReadNode(data, 0, data.size());
    while (node && !path.empty()) {
        const std::size_t separator = std::min(path.find('\\'), path.size());
        const std::string_view part = path.substr(0, separator);
        path.remove_prefix(std::min(separator + 1, path.size()));
        if (!part.empty()) {
            node = FindChild(data, *node, part);
        }
    }
    if (!node) {
        return std::nullopt;
    }

    VersionValue value;
    value.text = node->text;
    const std::size_t room = node->end > node->valueStart ? node->end - node->valueStart : 0;
    if (node->text) {
        const std::size_t limit = std::min<std::size_t>(node->valueLength, room / 2);
        std::size_t units = 0;
        while (units < limit && GetLe16(&data[node->valueStart + 2 * units]) != 0) {
            ++units;
        }
        if (units > 0) {
            value.bytes = data.subspan(node->valueStart, 2 * units);
        }
    } else if (node->valueLength > room) {
        return std::nullopt;
    } else if (node->valueLength > 0) {
        value.bytes = data.subspan(node->valueStart, node->valueLength);
    }
    return value;
}

std::string VersionValueText(const VersionValue& value) {
    std::u16string units;
    for (std::size_t i = 0; i + 1 < value.bytes.size(); i += 2) {
        const char16_t unit = GetLe16(&value.bytes[i]);
        if (unit == 0) {
            break;
        }
        units.push_back(unit);
    }
    return Utf16ToText(units);
}

} // namespace kestro
