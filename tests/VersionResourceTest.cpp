#include "UVersieIn/PeResource.hpp"
#include "UVersieIn/VersionTree.hpp"
#include "platform/Text.hpp"

#include "ImageBuilder.hpp"
#include "TestSupport.hpp"
#include "common/LittleEndian.hpp"

#include <gtest/gtest.h>

namespace kestro {
namespace {

using test::Bytes;

std::optional<std::string> Text(const Bytes& data, std::string_view path) {
    const std::optional<VersionValue> value = QueryVersionValue(data, path);
    if (!value) {
        return std::nullopt;
    }
    EXPECT_TRUE(value->text) << path;
    return VersionValueText(*value);
}

Bytes SampleData() {
    return test::SerializeVersion(test::VersionRoot(
        test::FixedRecordBytes(test::FixedRecordOf(3, 1, 20, 7)),
        {test::StringFileInfo({test::StringTable(
             u"040904e4", {{u"FileVersion", u"3.1.20.7"}, {u"LegalTrademarks", u""}})}),
         test::Translations({{0x0409, 0x04E4}, {0x0407, 0x04B0}})}));
}

TEST(QueryVersionValue, ResolvesPathsIgnoringCaseLeadingAndEmptyParts) {
    const Bytes data = SampleData();
    const auto root = QueryVersionValue(data, "\\");
    ASSERT_TRUE(root);
    EXPECT_FALSE(root->text);
    EXPECT_EQ(Bytes(root->bytes.begin(), root->bytes.end()),
              test::FixedRecordBytes(test::FixedRecordOf(3, 1, 20, 7)));
    EXPECT_EQ(QueryVersionValue(data, "")->bytes.size(), 52u);

    const auto translation = QueryVersionValue(data, "\\VarFileInfo\\Translation");
    ASSERT_TRUE(translation);
    EXPECT_EQ(Bytes(translation->bytes.begin(), translation->bytes.end()),
              (Bytes{0x09, 0x04, 0xE4, 0x04, 0x07, 0x04, 0xB0, 0x04}));

    EXPECT_EQ(Text(data, "StringFileInfo\\040904E4\\FileVersion"), "3.1.20.7");
    EXPECT_EQ(Text(data, "\\\\stringfileinfo\\\\040904e4\\FILEVERSION\\"), "3.1.20.7");
    // An empty value is found; a missing name, table or partial key is not.
    EXPECT_EQ(Text(data, "StringFileInfo\\040904E4\\LegalTradeMarks"), "");
    EXPECT_FALSE(QueryVersionValue(data, "StringFileInfo\\040904E4\\Comments"));
    EXPECT_FALSE(QueryVersionValue(data, "StringFileInfo\\040904B0\\FileVersion"));
    EXPECT_FALSE(QueryVersionValue(data, "StringFileInfo\\040904E\\FileVersion"));
    EXPECT_FALSE(QueryVersionValue(Bytes(), "\\"));
}

TEST(QueryVersionValue, TextEndsAtItsZeroTheNodeOrItsLength) {
    auto table = [](test::VersionNode string) {
        return test::SerializeVersion(test::VersionRoot(
            {}, {test::StringFileInfo({test::VersionNode{u"0", true, {}, {string}, {}, {}}})}));
    };
    const std::string path = "StringFileInfo\\0\\V";
    // A length counted in bytes overshoots; the zero still ends the text.
    test::VersionNode bytesCounted = test::TextNode(u"V", u"1.2");
    bytesCounted.valueLength = 8;
    EXPECT_EQ(Text(table(bytesCounted), path), "1.2");
    EXPECT_EQ(QueryVersionValue(table(bytesCounted), path)->bytes.size(), 6u);
    // Fewer characters than stored.
    test::VersionNode short_ = test::TextNode(u"V", u"1.2");
    short_.valueLength = 2;
    EXPECT_EQ(Text(table(short_), path), "1.");
    // No zero at all: the node's end ends the text.
    test::VersionNode unterminated{u"V", true, {'a', 0, 'b', 0}, {}, {}, 400};
    EXPECT_EQ(Text(table(unterminated), path), "ab");
}

TEST(QueryVersionValue, DamagedNodesEndTheSearch) {
    using test::TextNode;
    auto data = [](std::vector<test::VersionNode> strings) {
        return test::SerializeVersion(test::VersionRoot(
            {}, {test::StringFileInfo({test::VersionNode{u"t", true, {}, strings, {}, {}}})}));
    };
    // The first of two equal keys counts.
    EXPECT_EQ(Text(data({TextNode(u"A", u"1"), TextNode(u"a", u"2")}), "StringFileInfo\\t\\a"),
              "1");

    test::VersionNode zero = TextNode(u"A", u"1");
    zero.length = 0;
    const Bytes zeroData = data({zero, TextNode(u"B", u"2")});
    EXPECT_FALSE(QueryVersionValue(zeroData, "StringFileInfo\\t\\B"));

    test::VersionNode tooLong = TextNode(u"A", u"1");
    tooLong.length = 200;
    EXPECT_FALSE(QueryVersionValue(data({tooLong}), "StringFileInfo\\t\\A"));
    EXPECT_TRUE(QueryVersionValue(data({tooLong}), "StringFileInfo"));

    // A binary value that reaches past its node is not found.
    test::VersionNode binary{u"Translation", false, {1, 2, 3, 4}, {}, {}, 5};
    EXPECT_FALSE(QueryVersionValue(test::SerializeVersion(test::VersionRoot(
                                       {}, {{u"VarFileInfo", true, {}, {binary}, {}, {}}})),
                                   "VarFileInfo\\Translation"));

    // A root longer than the data, or shorter than its header.
    Bytes root = SampleData();
    PutLe16(&root[0], static_cast<std::uint16_t>(root.size() + 4));
    EXPECT_FALSE(QueryVersionValue(root, "\\"));
    PutLe16(&root[0], 5);
    EXPECT_FALSE(QueryVersionValue(root, "\\"));
}

TEST(Utf16ToText, GivesUtf8EverywhereAndQuestionMarksForLoneSurrogates) {
    // UTF-8 on Windows too, whatever its code page: a version string goes
    // into a delta's file name whole, and the console converts what it
    // prints.
    EXPECT_EQ(Utf16ToText(u"Sample 1, 0"), "Sample 1, 0");
    EXPECT_EQ(Utf16ToText(u"\u00e9\u20ac\U0001F600"), "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
    EXPECT_EQ(Utf16ToText(std::u16string{u'a', char16_t(0xD800), u'b', char16_t(0xDC00)}), "a?b?");
}

class LoadVersionDataTest : public ::testing::Test {
protected:
    Bytes Load(const Bytes& file) {
        test::WriteBytes(dir_.File("file.exe"), file);
        return LoadVersionData(dir_.File("file.exe"));
    }
    Bytes Load(const test::PeOptions& options) { return Load(test::BuildPe(options).bytes); }

    test::ScratchDir dir_;
};

TEST_F(LoadVersionDataTest, FindsTheResourceInPe32AndPe32PlusAndInAnySection) {
    const Bytes data = SampleData();
    EXPECT_EQ(Load(test::PeOptions{true, {test::VersionType(data)}, false}), data);
    EXPECT_EQ(Load(test::PeOptions{false, {test::VersionType(data)}, false}), data);
    EXPECT_EQ(Load(test::PeOptions{true, {test::VersionType(data)}, true}), data);
    // Other types and names around it do not matter.
    test::ResourceNode named = test::Leaf(0, {1});
    named.name = u"ICON";
    EXPECT_EQ(
        Load(test::PeOptions{true,
                             {named, test::Directory(3, {}),
                              test::Directory(16, {test::Directory(7, {}),
                                                   test::Directory(1, {test::Leaf(9, data)})})},
                             false}),
        data);
}

TEST_F(LoadVersionDataTest, OversizedResourceGivesItsTreeAndNoMore) {
    // A resource that claims far more than the 64 KiB its root can span: the
    // tree at its start is read, the rest is not kept.
    const Bytes data = SampleData();
    Bytes padded = data;
    padded.resize(300000, 0xAB);
    const Bytes loaded = Load(test::PeOptions{true, {test::VersionType(padded)}, false});
    ASSERT_EQ(loaded.size(), 0xFFFFu);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), loaded.begin()));
    EXPECT_TRUE(QueryVersionValue(loaded, "StringFileInfo\\040904E4\\FileVersion"));
}

TEST_F(LoadVersionDataTest, PicksNeutralThenUsEnglishThenTheFirstLanguage) {
    using test::Leaf;
    auto pick = [&](std::vector<test::ResourceNode> languages) {
        const Bytes data = Load(
            test::PeOptions{true, {test::Directory(16, {test::Directory(1, languages)})}, false});
        return data.empty() ? -1 : data[0];
    };
    EXPECT_EQ(pick({Leaf(0x0407, {1}), Leaf(0x0409, {2}), Leaf(0x0000, {3})}), 3);
    EXPECT_EQ(pick({Leaf(0x0407, {1}), Leaf(0x0409, {2}), Leaf(0x0410, {3})}), 2);
    EXPECT_EQ(pick({Leaf(0x0410, {1}), Leaf(0x0407, {2})}), 1);
    EXPECT_EQ(pick({}), -1);
    // A subdirectory where the data should be is damage, with no fallback.
    EXPECT_EQ(pick({test::Directory(0x0409, {Leaf(1, {4})}), Leaf(0x0407, {5})}), -1);
}

TEST_F(LoadVersionDataTest, OnlyTypeSixteenNameOneCounts) {
    const Bytes data = SampleData();
    EXPECT_TRUE(Load(test::PeOptions{true, {test::VersionType(data, 2)}, false}).empty());
    test::ResourceNode named = test::Directory(0, {test::Leaf(0x0409, data)});
    named.name = u"VS_VERSION_INFO";
    EXPECT_TRUE(Load(test::PeOptions{true, {test::Directory(16, {named})}, false}).empty());
    EXPECT_TRUE(Load(test::PeOptions{true, {}, false}).empty());
}

TEST_F(LoadVersionDataTest, DamagedHeadersAndTreesGiveNothing) {
    const test::BuiltPe good = test::BuildPe({true, {test::VersionType(SampleData())}, false});
    ASSERT_FALSE(Load(good.bytes).empty());
    const std::size_t root = good.resourceOffset;
    // Field offsets: e_lfanew, NumberOfSections, Magic, NumberOfRvaAndSizes,
    // resource RVA, resource size, the root's ID count, the type entry's
    // offset, the leaf's RVA and size, the first section's raw offset.
    struct Patch {
        const char* what;
        std::size_t at;
        std::uint32_t value;
        int width;
    };
    const Patch patches[] = {
        {"not MZ", 0, 'Z', 1},
        {"PE header past the end", 0x3C, 0xFFFFFFF0u, 4},
        {"NE file", 0x40, 'N' | 'E' << 8, 2},
        {"too many sections", 0x46, 0xFFFF, 2},
        {"unknown magic", 0x58, 0x107, 2},
        {"two directories only", 0x58 + 108, 2, 4},
        {"no resource RVA", 0x58 + 112 + 16, 0, 4},
        {"no resource size", 0x58 + 112 + 20, 0, 4},
        {"resource RVA outside every section", 0x58 + 112 + 16, 0x9000, 4},
        {"ID entries past the end", root + 14, 0xFFFF, 2},
        {"subdirectory past the end", root + 20, 0xFFFFFF00u, 4},
        {"type entry is a leaf", root + 20, 0x18, 4},
        {"data entry RVA unmapped", root + 16 + 8 + 16 + 8 + 16 + 8, 0x7000, 4},
        {"data size past the end", root + 16 + 8 + 16 + 8 + 16 + 8 + 4, 0x10000, 4},
        {"section data past the end", 0x58 + 240 + 20, 0xFFFFFF00u, 4},
    };
    for (const Patch& patch : patches) {
        Bytes bytes = good.bytes;
        for (int i = 0; i < patch.width; ++i) {
            bytes[patch.at + i] = static_cast<std::uint8_t>(patch.value >> (8 * i));
        }
        EXPECT_TRUE(Load(bytes).empty()) << patch.what;
    }

    // The type entry leads back to the root, whose name ID 1 entry would
    // lead on to data: a loop, however it ends.
    test::BuiltPe loop = test::BuildPe(
        {true, {test::Directory(1, {test::Leaf(0x0409, SampleData())}), test::Directory(16, {})}});
    PutLe32(&loop.bytes[loop.resourceOffset + 16 + 8 + 4], 0x80000000u);
    EXPECT_TRUE(Load(loop.bytes).empty());
}

// As Windows reads a data directory, a resource table at address 0 names
// none, though a section there holds the tree: the same tree and section
// moved to 0x2000 are found.
TEST_F(LoadVersionDataTest, AResourceTableAtAddressZeroIsNone) {
    const test::BuiltPe built = test::BuildPe({true, {test::VersionType(SampleData())}, false});
    const std::size_t leafAddress = built.resourceOffset + 16 + 8 + 16 + 8 + 16 + 8;
    for (const std::uint32_t address : {0x2000u, 0u}) {
        Bytes bytes = built.bytes;
        PutLe32(&bytes[0x58 + 240 + 12], address); // the resource section's
        PutLe32(&bytes[0x58 + 112 + 16], address); // the resource table's
        PutLe32(&bytes[leafAddress], GetLe32(&bytes[leafAddress]) - 0x1000 + address);
        EXPECT_EQ(Load(bytes), address == 0 ? Bytes() : SampleData()) << address;
    }
}

} // namespace
} // namespace kestro
