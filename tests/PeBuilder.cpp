#include "PeBuilder.hpp"

#include "common/LittleEndian.hpp"

#include <algorithm>

namespace kestro::test {

namespace {

void Append16(Bytes& out, std::uint16_t value) {
    out.resize(out.size() + 2);
    PutLe16(&out[out.size() - 2], value);
}

void Append32(Bytes& out, std::uint32_t value) {
    out.resize(out.size() + 4);
    PutLe32(&out[out.size() - 4], value);
}

void PadTo(Bytes& out, std::size_t alignment) {
    out.resize((out.size() + alignment - 1) / alignment * alignment);
}

Bytes Utf16Bytes(const std::u16string& text) {
    Bytes bytes;
    for (const char16_t c : text) {
        Append16(bytes, c);
    }
    Append16(bytes, 0);
    return bytes;
}

void SerializeNode(Bytes& out, const VersionNode& node) {
    const std::size_t start = out.size();
    out.resize(start + 6);
    const Bytes key = Utf16Bytes(node.key);
    out.insert(out.end(), key.begin(), key.end());
    PadTo(out, 4);
    out.insert(out.end(), node.value.begin(), node.value.end());
    for (const VersionNode& child : node.children) {
        PadTo(out, 4);
        SerializeNode(out, child);
    }
    const auto units = node.text ? node.value.size() / 2 : node.value.size();
    PutLe16(&out[start], node.length.value_or(static_cast<std::uint16_t>(out.size() - start)));
    PutLe16(&out[start + 2], node.valueLength.value_or(static_cast<std::uint16_t>(units)));
    PutLe16(&out[start + 4], node.text ? 1 : 0);
}

struct PendingLeaf {
    std::size_t dataEntry; // offset of the IMAGE_RESOURCE_DATA_ENTRY in the section
    const Bytes* data;
};

// Writes a directory and, depth first, everything below it; named entries
// go first, as the format requires.
void WriteDirectory(Bytes& out, const std::vector<ResourceNode>& entries,
                    std::vector<PendingLeaf>& leaves) {
    std::vector<const ResourceNode*> order;
    for (const bool named : {true, false}) {
        for (const ResourceNode& entry : entries) {
            if (entry.name.empty() != named) {
                order.push_back(&entry);
            }
        }
    }
    const std::size_t header = out.size();
    const auto namedCount = std::count_if(entries.begin(), entries.end(),
                                          [](const ResourceNode& e) { return !e.name.empty(); });
    out.resize(header + 16 + 8 * entries.size());
    PutLe16(&out[header + 12], static_cast<std::uint16_t>(namedCount));
    PutLe16(&out[header + 14], static_cast<std::uint16_t>(entries.size() - namedCount));
    for (std::size_t i = 0; i < order.size(); ++i) {
        const ResourceNode& node = *order[i];
        const std::size_t entry = header + 16 + 8 * i;
        std::uint32_t name = node.id;
        if (!node.name.empty()) {
            name = static_cast<std::uint32_t>(out.size()) | 0x80000000u;
            Append16(out, static_cast<std::uint16_t>(node.name.size()));
            const Bytes text = Utf16Bytes(node.name);
            out.insert(out.end(), text.begin(), text.end() - 2);
            PadTo(out, 4);
        }
        PutLe32(&out[entry], name);
        if (node.directory) {
            PutLe32(&out[entry + 4], static_cast<std::uint32_t>(out.size()) | 0x80000000u);
            WriteDirectory(out, node.children, leaves);
        } else {
            PutLe32(&out[entry + 4], static_cast<std::uint32_t>(out.size()));
            leaves.push_back({out.size(), &node.data});
            out.resize(out.size() + 16);
        }
    }
}

} // namespace

FixedWords FixedRecordOf(std::uint16_t a, std::uint16_t b, std::uint16_t c, std::uint16_t d) {
    return {0xFEEF04BDu,
            0x00010000u,
            std::uint32_t{a} << 16 | b,
            std::uint32_t{c} << 16 | d,
            0x00030001u,
            0,
            0x3F,
            0,
            4,
            1,
            0,
            0,
            0};
}

Bytes FixedRecordBytes(const FixedWords& words) {
    Bytes bytes;
    for (const std::uint32_t word : words) {
        Append32(bytes, word);
    }
    return bytes;
}

VersionNode VersionRoot(Bytes fixedRecord, std::vector<VersionNode> children) {
    return {u"VS_VERSION_INFO", false, std::move(fixedRecord), std::move(children), {}, {}};
}

VersionNode TextNode(std::u16string key, std::u16string text) {
    return {std::move(key), true, Utf16Bytes(text), {}, {}, {}};
}

VersionNode StringTable(std::u16string key,
                        std::vector<std::pair<std::u16string, std::u16string>> strings) {
    VersionNode table{std::move(key), true, {}, {}, {}, {}};
    for (auto& [name, text] : strings) {
        table.children.push_back(TextNode(std::move(name), std::move(text)));
    }
    return table;
}

VersionNode StringFileInfo(std::vector<VersionNode> tables) {
    return {u"StringFileInfo", true, {}, std::move(tables), {}, {}};
}

VersionNode Translations(std::vector<std::pair<std::uint16_t, std::uint16_t>> pairs) {
    Bytes value;
    for (const auto& [language, codePage] : pairs) {
        Append16(value, language);
        Append16(value, codePage);
    }
    VersionNode translation{u"Translation", false, std::move(value), {}, {}, {}};
    return {u"VarFileInfo", true, {}, {std::move(translation)}, {}, {}};
}

Bytes SerializeVersion(const VersionNode& root) {
    Bytes out;
    SerializeNode(out, root);
    return out;
}

ResourceNode Directory(std::uint32_t id, std::vector<ResourceNode> children) {
    return {id, {}, true, std::move(children), {}};
}

ResourceNode Leaf(std::uint32_t id, Bytes data) {
    return {id, {}, false, {}, std::move(data)};
}

ResourceNode VersionType(Bytes versionData, std::uint32_t name, std::uint32_t language) {
    return Directory(16, {Directory(name, {Leaf(language, std::move(versionData))})});
}

BuiltPe BuildPe(const PeOptions& options) {
    constexpr std::uint32_t FileAlignment = 0x200;
    constexpr std::uint32_t SectionAlignment = 0x1000;
    constexpr std::uint32_t ResourceRva = 0x1000;

    Bytes resources;
    std::vector<PendingLeaf> leaves;
    WriteDirectory(resources, options.resources, leaves);
    const std::size_t directoryBytes = resources.size();
    Bytes ownSection;
    Bytes& dataSection = options.dataInOwnSection ? ownSection : resources;
    const std::uint32_t dataRva =
        options.dataInOwnSection
            ? ResourceRva + (static_cast<std::uint32_t>(directoryBytes) + SectionAlignment - 1) /
                                SectionAlignment * SectionAlignment
            : ResourceRva;
    for (const PendingLeaf& leaf : leaves) {
        PadTo(dataSection, 8);
        PutLe32(&resources[leaf.dataEntry],
                dataRva + static_cast<std::uint32_t>(dataSection.size()));
        PutLe32(&resources[leaf.dataEntry + 4], static_cast<std::uint32_t>(leaf.data->size()));
        dataSection.insert(dataSection.end(), leaf.data->begin(), leaf.data->end());
    }

    const std::uint16_t optionalBytes = options.pe32Plus ? 240 : 224;
    const std::uint16_t sectionCount = options.dataInOwnSection ? 2 : 1;
    Bytes out(64);
    out[0] = 'M';
    out[1] = 'Z';
    PutLe32(&out[0x3C], 64);
    const std::size_t fileHeader = 64 + 4;
    out.resize(fileHeader + 20 + optionalBytes);
    out[64] = 'P';
    out[65] = 'E';
    PutLe16(&out[fileHeader], options.pe32Plus ? 0x8664 : 0x14C);
    PutLe16(&out[fileHeader + 2], sectionCount);
    PutLe16(&out[fileHeader + 16], optionalBytes);
    const std::size_t optional = fileHeader + 20;
    PutLe16(&out[optional], options.pe32Plus ? 0x20B : 0x10B);
    PutLe32(&out[optional + 32], SectionAlignment);
    PutLe32(&out[optional + 36], FileAlignment);
    const std::size_t directories = optional + (options.pe32Plus ? 112 : 96);
    PutLe32(&out[directories - 4], 16);
    PutLe32(&out[directories + 16], ResourceRva);
    PutLe32(&out[directories + 20], static_cast<std::uint32_t>(directoryBytes));

    const std::size_t table = out.size();
    out.resize(table + 40 * sectionCount);
    PadTo(out, FileAlignment);
    PutLe32(&out[optional + 60], static_cast<std::uint32_t>(out.size())); // SizeOfHeaders
    auto addSection = [&](std::size_t index, const char* name, std::uint32_t rva, Bytes content) {
        const std::size_t header = table + 40 * index;
        std::copy(name, name + 5, &out[header]);
        PadTo(content, FileAlignment);
        PutLe32(&out[header + 8], static_cast<std::uint32_t>(content.size()));
        PutLe32(&out[header + 12], rva);
        PutLe32(&out[header + 16], static_cast<std::uint32_t>(content.size()));
        PutLe32(&out[header + 20], static_cast<std::uint32_t>(out.size()));
        out.insert(out.end(), content.begin(), content.end());
    };
    BuiltPe built;
    built.resourceOffset = out.size();
    addSection(0, ".rsrc", ResourceRva, resources);
    if (options.dataInOwnSection) {
        addSection(1, ".data", dataRva, ownSection);
    }
    built.bytes = std::move(out);
    return built;
}

Bytes PeWithVersion(const Bytes& versionData) {
    return BuildPe({true, {VersionType(versionData)}, false}).bytes;
}

Bytes ProgramOfVersion(std::uint16_t build, const Bytes& body) {
    const std::u16string text = u"1.0.0." + std::u16string(1, static_cast<char16_t>(u'0' + build));
    Bytes program = PeWithVersion(SerializeVersion(
        VersionRoot(FixedRecordBytes(FixedRecordOf(1, 0, 0, build)),
                    {StringFileInfo({StringTable(u"040904B0", {{u"FileVersion", text}})}),
                     Translations({{0x0409, 0x04B0}})})));
    program.insert(program.end(), body.begin(), body.end());
    return program;
}

} // namespace kestro::test
