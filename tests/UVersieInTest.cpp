#include "UVersieIn/UVersieIn.hpp"

#include "ImageBuilder.hpp"
#include "TestSupport.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

namespace kestro {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using Lines = std::vector<std::string>;

std::string Fixture(const std::string& name) {
    return std::string(KESTRO_TEST_DATA) + "/pe/" + name;
}

Lines ListOf(const std::string& fileName) {
    Lines list;
    GetVersionInfoList(fileName, list);
    return list;
}

// The numbers, or nothing when the file has no fixed record (all four must
// then be 0).
std::optional<std::array<std::int32_t, 4>> VersionOf(const std::string& fileName) {
    const VersionInfo info = ReadVersionInfo(fileName);
    const FileVersionQuad& v = info.Version;
    if (!info.HasFixedRecord) {
        EXPECT_EQ(v.major | v.minor | v.release | v.build, 0) << fileName;
        return std::nullopt;
    }
    return std::array{v.major, v.minor, v.release, v.build};
}

std::string FileVersionString(const std::string& fileName) {
    return VersionString(ReadVersionInfo(fileName));
}

void ExpectNoVersionInformation(const std::string& fileName, const std::string& what) {
    EXPECT_FALSE(VersionOf(fileName)) << what;
    Lines list{"kept=1"};
    GetVersionInfoList(fileName, list);
    EXPECT_EQ(list, Lines{"kept=1"}) << what;
    EXPECT_EQ(FileVersionString(fileName), "") << what;
}

const Lines FixedLines3_1_20_7 = {
    "Signature=4277077181", "StrucVersion=1.0",     "FileVersion=3.1.20.7",
    "FileVersionMS=3.1",    "FileVersionLS=20.7",   "ProductVersion=3.1.0.0",
    "ProductVersionMS=3.1", "ProductVersionLS=0.0", "dwFileFlagsMask=63",
    "dwFileFlags=0",        "dwFileOS=4",           "dwFileType=1",
    "dwFileSubtype=0",      "dwFileDateMS=0",       "dwFileDateLS=0",
};

Lines Concat(Lines a, const Lines& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(UVersieInFixtures, Pe32PlusFileGivesTheEighteenLines) {
    const std::string file = Fixture("version64.exe");
    EXPECT_EQ(VersionOf(file), (std::array<std::int32_t, 4>{3, 1, 20, 7}));
    EXPECT_EQ(ListOf(file),
              Concat(FixedLines3_1_20_7,
                     {"Localization=040904E4", "L_FileVersion=3.1.20.7", "L_ProductName=Sample"}));
    EXPECT_EQ(FileVersionString(file), "3.1.20.7");

    Lines list{"first", "L_FileVersion=older"};
    GetVersionInfoList(file, list);
    ASSERT_EQ(list.size(), 20u);
    EXPECT_EQ(list[0], "first");
    EXPECT_EQ(list[1], "L_FileVersion=older");
    EXPECT_EQ(list[2], "Signature=4277077181");
}

TEST(UVersieInFixtures, Pe32FileGivesLargeNumbersAndAllStringsInListOrder) {
    const std::string file = Fixture("version32.exe");
    EXPECT_EQ(VersionOf(file), (std::array<std::int32_t, 4>{65535, 32768, 1, 65535}));
    EXPECT_EQ(ListOf(file), (Lines{
                                "Signature=4277077181",
                                "StrucVersion=1.0",
                                "FileVersion=65535.32768.1.65535",
                                "FileVersionMS=65535.32768",
                                "FileVersionLS=1.65535",
                                "ProductVersion=1.0.0.1",
                                "ProductVersionMS=1.0",
                                "ProductVersionLS=0.1",
                                "dwFileFlagsMask=4294967295",
                                "dwFileFlags=43",
                                "dwFileOS=262148",
                                "dwFileType=2",
                                "dwFileSubtype=0",
                                "dwFileDateMS=0",
                                "dwFileDateLS=0",
                                "Localization=040704B0",
                                "L_CompanyName=Kestro",
                                "L_FileDescription=Fixture with every string",
                                "L_FileVersion=1, 0, 0, 1",
                                "L_InternalName=",
                                "L_LegalCopyright=Copyright (C) 2026 the Kestro developers",
                                "L_LegalTradeMarks=None registered",
                                "L_OriginalFilename=version32.exe",
                                "L_ProductName=Sample 32",
                                "L_ProductVersion=1, 0, 0, 1",
                                "L_Comments=key=value, kept whole",
                            }));
    EXPECT_EQ(FileVersionString(file), "1, 0, 0, 1");
}

TEST(UVersieInFixtures, UsEnglishResourceAndOnlyItsFirstTranslationCount) {
    const std::string file = Fixture("multilang.exe");
    EXPECT_EQ(VersionOf(file), (std::array<std::int32_t, 4>{2, 0, 0, 9}));
    const Lines list = ListOf(file);
    ASSERT_EQ(list.size(), 17u);
    EXPECT_EQ(list[15], "Localization=040704E4");
    EXPECT_EQ(list[16], "L_FileVersion=2.0.0.9 german table");
    EXPECT_EQ(FileVersionString(file), "2.0.0.9 german table");
}

TEST(UVersieInFixtures, FilesWithoutVersionInformation) {
    test::ScratchDir dir;
    test::WriteBytes(dir.File("empty.exe"), {});
    test::WriteBytes(dir.File("text.txt"), test::ToBytes("MZ is how this text begins\n"));
    ExpectNoVersionInformation(Fixture("noversion.exe"), "PE without version resource");
    ExpectNoVersionInformation(dir.File("missing.exe"), "missing file");
    ExpectNoVersionInformation("", "empty name");
    ExpectNoVersionInformation(dir.File("empty.exe"), "empty file");
    ExpectNoVersionInformation(dir.File("text.txt"), "text file");
    ExpectNoVersionInformation(dir.Path().string(), "directory");
}

TEST(UVersieInFixtures, EveryTruncatedPrefixIsAllOrNothing) {
    const Bytes whole = test::ReadBytes(Fixture("version64.exe"));
    // The version data ends where the root node, keyed VS_VERSION_INFO, ends.
    const Bytes key = {'V', 0, 'S', 0, '_', 0, 'V', 0, 'E', 0, 'R', 0, 'S', 0};
    const auto found = std::search(whole.begin(), whole.end(), key.begin(), key.end());
    ASSERT_NE(found, whole.end());
    const std::size_t root = static_cast<std::size_t>(found - whole.begin()) - 6;
    const std::size_t dataEnd = root + (whole[root] | whole[root + 1] << 8);

    test::ScratchDir dir;
    const std::string file = dir.File("cut.exe");
    test::WriteBytes(file, whole);
    const Lines full = ListOf(file);
    ASSERT_EQ(full.size(), 18u);
    for (std::size_t size = whole.size(); size-- > 0;) {
        fs::resize_file(file, size);
        Lines list;
        GetVersionInfoList(file, list);
        const auto version = VersionOf(file);
        if (size >= dataEnd) {
            ASSERT_EQ(list, full) << size;
            ASSERT_TRUE(version) << size;
        } else {
            ASSERT_TRUE(list.empty()) << size;
            ASSERT_FALSE(version) << size;
        }
    }
}

class UVersieInCrafted : public ::testing::Test {
protected:
    // Writes a PE whose version resource holds root and returns its name.
    std::string Write(const test::VersionNode& root) {
        const std::string name = dir_.File("crafted" + std::to_string(count_++) + ".exe");
        test::WriteBytes(name, test::PeWithVersion(test::SerializeVersion(root)));
        return name;
    }

    test::ScratchDir dir_;
    int count_ = 0;
};

using test::FixedRecordBytes;
using test::FixedRecordOf;
using test::StringFileInfo;
using test::StringTable;
using test::Translations;
using test::VersionRoot;

TEST_F(UVersieInCrafted, KeyKeepsLeadingZerosAndNamesTheOnlyTableRead) {
    const Bytes fixed = FixedRecordBytes(FixedRecordOf(3, 1, 20, 7));
    const std::string zeros = Write(VersionRoot(
        fixed, {StringFileInfo({StringTable(u"000904b0", {{u"FileVersion", u"2.0=beta"}})}),
                Translations({{0x0009, 0x04B0}})}));
    EXPECT_EQ(ListOf(zeros),
              Concat(FixedLines3_1_20_7, {"Localization=000904B0", "L_FileVersion=2.0=beta"}));
    EXPECT_EQ(FileVersionString(zeros), "2.0=beta");

    // The translation names a table that is absent: no fallback to another.
    const std::string otherCodePage = Write(VersionRoot(
        fixed, {StringFileInfo({StringTable(u"040904E4", {{u"FileVersion", u"3.1.20.7"}})}),
                Translations({{0x0409, 0x04B0}})}));
    EXPECT_EQ(ListOf(otherCodePage), Concat(FixedLines3_1_20_7, {"Localization=040904B0"}));
    EXPECT_EQ(FileVersionString(otherCodePage), "");

    // No translation: the fixed lines only.
    const std::string noTranslation = Write(VersionRoot(
        fixed, {StringFileInfo({StringTable(u"040904E4", {{u"FileVersion", u"3.1.20.7"}})})}));
    EXPECT_EQ(ListOf(noTranslation), FixedLines3_1_20_7);
    EXPECT_EQ(FileVersionString(noTranslation), "");
}

TEST_F(UVersieInCrafted, FixedRecordIsCopiedIntoFiftyTwoZeroFilledBytes) {
    test::FixedWords all{};
    all.fill(0xFFFFFFFFu);
    const std::string maximal = Write(VersionRoot(FixedRecordBytes(all), {}));
    EXPECT_EQ(VersionOf(maximal), (std::array<std::int32_t, 4>{65535, 65535, 65535, 65535}));
    const Lines lines = ListOf(maximal);
    ASSERT_EQ(lines.size(), 15u);
    EXPECT_EQ(lines[0], "Signature=4294967295");
    EXPECT_EQ(lines[1], "StrucVersion=65535.65535");
    EXPECT_EQ(lines[2], "FileVersion=65535.65535.65535.65535");
    EXPECT_EQ(lines[14], "dwFileDateLS=4294967295");

    // Longer than the record: the rest is ignored.
    Bytes longer = FixedRecordBytes(FixedRecordOf(3, 1, 20, 7));
    longer.insert(longer.end(), 12, 0xEE);
    EXPECT_EQ(ListOf(Write(VersionRoot(longer, {}))), FixedLines3_1_20_7);

    // Shorter: what it does not reach reads as 0; no value at all is a record
    // of zeros, as the platform's look-up reports it found with length 0.
    Bytes shorter = FixedRecordBytes(FixedRecordOf(3, 1, 20, 7));
    shorter.resize(14);
    const std::string partial = Write(VersionRoot(shorter, {}));
    EXPECT_EQ(VersionOf(partial), (std::array<std::int32_t, 4>{3, 1, 0, 7}));
    EXPECT_EQ(ListOf(partial)[5], "ProductVersion=0.0.0.0");
    EXPECT_EQ(VersionOf(Write(VersionRoot({}, {}))), (std::array<std::int32_t, 4>{0, 0, 0, 0}));
}

TEST_F(UVersieInCrafted, ShortTranslationReadsAsZeros) {
    test::VersionNode var = Translations({});
    var.children[0].value = {0x09, 0x04};
    const std::string file = Write(
        VersionRoot(FixedRecordBytes(FixedRecordOf(1, 0, 0, 0)),
                    {var, StringFileInfo({StringTable(u"04090000", {{u"FileVersion", u"1.0"}})})}));
    const Lines list = ListOf(file);
    ASSERT_EQ(list.size(), 17u);
    EXPECT_EQ(list[15], "Localization=04090000");
    EXPECT_EQ(FileVersionString(file), "1.0");
}

} // namespace
} // namespace kestro
