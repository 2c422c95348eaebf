// Minimal PE files built in memory, with a resource tree and version data
// chosen by the test: for the damaged and unusual files that resource
// compilers do not produce.
#pragma once

#include "TestSupport.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kestro::test {

// A VS_VERSIONINFO node. Its header is computed from the content unless
// length or valueLength says otherwise.
struct VersionNode {
    std::u16string key;
    bool text = false;
    Bytes value; // a text as UTF-16LE, its zero included
    std::vector<VersionNode> children;
    std::optional<std::uint16_t> length;
    std::optional<std::uint16_t> valueLength;
};

using FixedWords = std::array<std::uint32_t, 13>;

// The fixed record of a file version a.b.c.d with product version 3.1.0.0,
// flags mask 0x3F and the documented signature and structure version.
FixedWords FixedRecordOf(std::uint16_t a, std::uint16_t b, std::uint16_t c, std::uint16_t d);
Bytes FixedRecordBytes(const FixedWords& words);

VersionNode VersionRoot(Bytes fixedRecord, std::vector<VersionNode> children);
// A string; wValueLength counts its characters and the zero.
VersionNode TextNode(std::u16string key, std::u16string text);
VersionNode StringTable(std::u16string key,
                        std::vector<std::pair<std::u16string, std::u16string>> strings);
VersionNode StringFileInfo(std::vector<VersionNode> tables);
// VarFileInfo holding Translation with the (language, code page) pairs.
VersionNode Translations(std::vector<std::pair<std::uint16_t, std::uint16_t>> pairs);

// The node's bytes, laid out from offset 0 of the version data.
Bytes SerializeVersion(const VersionNode& root);

// An entry of the resource tree: a subdirectory or a leaf with data.
struct ResourceNode {
    std::uint32_t id = 0;
    std::u16string name; // a named entry when not empty
    bool directory = false;
    std::vector<ResourceNode> children;
    Bytes data;
};

ResourceNode Directory(std::uint32_t id, std::vector<ResourceNode> children);
ResourceNode Leaf(std::uint32_t id, Bytes data);
// Type RT_VERSION, name ID name, one language.
ResourceNode VersionType(Bytes versionData, std::uint32_t name = 1,
                         std::uint32_t language = 0x0409);

struct PeOptions {
    bool pe32Plus = true;
    std::vector<ResourceNode> resources; // the root directory's entries
    // The leaves' data in a section of their own behind the resource section.
    bool dataInOwnSection = false;
};

struct BuiltPe {
    Bytes bytes;
    // File offset of the root resource directory; its entries follow 16
    // bytes later, subdirectories and leaves in depth-first order after them.
    std::size_t resourceOffset = 0;
};

BuiltPe BuildPe(const PeOptions& options);

// A PE32+ file whose only resource is versionData, as RT_VERSION name 1.
Bytes PeWithVersion(const Bytes& versionData);

// A program of version 1.0.0.<build> whose FileVersion string is
// "1.0.0.<build>" (build 0 to 9), followed by body.
Bytes ProgramOfVersion(std::uint16_t build, const Bytes& body);

} // namespace kestro::test
