// kestro-info: every kind of line it prints for a delta, its check of a
// delta against its target, and what it says of files it cannot read.
#include "DiffUnit/Info.hpp"
#include "DiffUnit/DeltaFile.hpp"
#include "DiffUnit/DeltaPackage.hpp"
#include "DiffUnit/DeltaSignature.hpp"
#include "DiffUnit/Driver.hpp"
#include "DiffUnit/KeyFiles.hpp"
#include "checksum/Crc32.hpp"
#include "codec/blocks/BlockStream.hpp"
#include "common/Failures.hpp"
#include "common/LittleEndian.hpp"
#include "common/Text.hpp"
#include "kestro/kestro.h"

#include "TestSupport.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <tuple>

namespace kestro {
namespace {

namespace fs = std::filesystem;
using test::Bytes;

struct Printed {
    int status = -1;
    std::string text;
};

Printed Info(const std::vector<std::string>& arguments) {
    test::CapturedConsole console;
    Printed printed;
    printed.status = RunInfo("kestro-info", arguments, console.Get());
    printed.text = console.output;
    return printed;
}

class InfoTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::tie(original_, newer_) = test::SamplePrograms();
        test::WriteBytes(File("hello.exe"), original_);
        test::WriteBytes(File("hello-1.0.0.2.exe"), newer_);
        ASSERT_EQ(MakeDelta(File("hello.exe"), File("hello-1.0.0.2.exe"), {}), 0);
        delta_ = test::ReadBytes(File(Delta));
    }

    std::string File(const std::string& name) const { return dir_.File(name); }

    // A delta made of header, descriptor and the block stream of newer
    // against original, with the stored name given.
    std::string MakeDeltaFile(const std::string& name, const std::string& storedName,
                              const Bytes& original, const Bytes& newer) {
        MemoryStream out;
        WriteDeltaHeader(out);
        DeltaDescriptor descriptor;
        descriptor.OriginalName = storedName;
        WriteDeltaDescriptor(out, descriptor);
        MemoryStream newerStream = test::StreamOf(newer);
        MemoryStream originalStream = test::StreamOf(original);
        EncodeBlockStream(newerStream, originalStream, out, BlockMaxCandidates);
        test::WriteBytes(File(name), out.Bytes());
        return File(name);
    }

    static constexpr const char* Delta = "hello.exe_1.0.0.2.kst";
    test::ScratchDir dir_;
    Bytes original_;
    Bytes newer_;
    Bytes delta_;
};

TEST_F(InfoTest, EveryKindOfDeltaLine) {
    // A stored block (the original is too short to code against), a coded
    // block, and the end block.
    std::mt19937 random(3);
    const Bytes data = test::RandomBytes(random, BlockSize + 5000);
    Bytes longer = data;
    longer.insert(longer.begin(), 100, 0x42);
    const std::string kinds =
        MakeDeltaFile("kinds.kst", "data.bin", Bytes(data.begin(), data.begin() + 3), longer);
    const Printed stored = Info({kinds});
    EXPECT_EQ(stored.status, 0);
    EXPECT_NE(stored.text.find("\r\nBlock1=stored SourceLength=3 TargetLength=1048576\r\n"),
              std::string::npos)
        << stored.text;
    EXPECT_TRUE(stored.text.ends_with("Block2=stored SourceLength=0 TargetLength=5100\r\n"
                                      "Block3=end SourceLength=0\r\n"))
        << stored.text;
    const Printed coded = Info({MakeDeltaFile("coded.kst", "data.bin", data, longer)});
    EXPECT_NE(coded.text.find("Block1=coded SourceLength=1048576 TargetLength=1048576 "
                              "LiteralCount="),
              std::string::npos)
        << coded.text;

    // A format this program cannot read, a stored name that would reach
    // another folder, and a stream that ends inside a block.
    Bytes unsupported = delta_;
    PutLe32(unsupported.data() + FormatMajorField, 4);
    test::WriteBytes(File("unsupported.kst"), unsupported);
    EXPECT_EQ(Info({File("unsupported.kst")}).text, "FormatVersion=unsupported\r\n");
    Bytes invalid = delta_;
    invalid[DeltaHeaderBytes + NameField] = 0;
    test::WriteBytes(File("invalid.kst"), invalid);
    EXPECT_EQ(Info({File("invalid.kst")}).text, "FormatVersion=1.0\r\nOriginalName=invalid\r\n");
}

TEST_F(InfoTest, DeltaCutShortIsDamaged) {
    // Short of the whole signature the file is no delta (nor a program).
    const std::vector<std::tuple<std::size_t, int, std::string>> cuts = {
        {18, 0, ""},
        {19, 1, "Delta file damaged: it ends after 19 bytes, inside its header\r\n"},
        {100, 1,
         "FormatVersion=1.0\r\nDelta file damaged: it ends after 100 bytes, inside its "
         "descriptor\r\n"},
        {BlockStreamOffset + CodedHeaderBytes + 10, 1, "\r\nBlock1=damaged\r\n"},
    };
    for (const auto& [size, status, text] : cuts) {
        test::WriteBytes(File("cut.kst"), Bytes(delta_.begin(), delta_.begin() + size));
        const Printed printed = Info({File("cut.kst")});
        EXPECT_EQ(printed.status, status) << size;
        EXPECT_TRUE(size > BlockStreamOffset ? printed.text.ends_with(text) : printed.text == text)
            << size << ": " << printed.text;
    }
}

TEST_F(InfoTest, CompactDeltaListsItsBodyAndIsDamagedWhereItsHeadersDoNotFit) {
    for (const std::int32_t minor : {0, 1}) {
        OperationOptions options;
        options.format = DeltaFormat::Compact;
        options.compactMinor = minor;
        ASSERT_EQ(MakeDelta(File("hello.exe"), File("hello-1.0.0.2.exe"), options), 0);
        const Bytes compact = test::ReadBytes(File(Delta));
        const Printed printed = Info({File(Delta)});
        EXPECT_EQ(printed.status, 0);
        // The streams' bytes, the segment headers (an end segment and one
        // of output with its CRCs) and the body header make up the file.
        std::vector<std::string> lines;
        ASSERT_EQ(DescribeDelta(File(Delta), lines), DeltaListing::Delta);
        ASSERT_EQ(lines.size(), 11u) << printed.text;
        EXPECT_EQ(lines[0], "FormatVersion=2." + std::to_string(minor));
        char body[128];
        std::snprintf(body, sizeof body,
                      "Body=compact NewerSize=%zu NewerCrc=0x%08X OriginalSize=%zu", newer_.size(),
                      Crc32Buffer(newer_.data(), newer_.size()), original_.size());
        EXPECT_EQ(lines[5], body + std::string(minor == 1 ? " Filters=x86" : ""));
        EXPECT_EQ(lines[7], "Segments=2");
        std::int64_t streams = 0;
        for (const auto& [line, key] : {std::pair{8, "ControlBytes="}, std::pair{9, "DiffBytes="},
                                        std::pair{10, "ExtraBytes="}}) {
            ASSERT_EQ(lines[line].rfind(key, 0), 0u) << lines[line];
            streams += std::stoll(lines[line].substr(std::string(key).size()));
        }
        const std::int64_t chunks =
            (static_cast<std::int64_t>(newer_.size()) + BlockSize - 1) / BlockSize;
        EXPECT_EQ(BlockStreamOffset + (minor == 1 ? 40 : 36) + 2 * 16 + 4 * chunks + streams,
                  static_cast<std::int64_t>(compact.size()));

        // Cut inside the body's header, inside a segment's header, and
        // before the end segment's pieces.
        for (const auto& [size, last] :
             {std::pair{BlockStreamOffset + 20, "Body=damaged"},
              std::pair{BlockStreamOffset + 50, "Segments=damaged"},
              std::pair{static_cast<int>(compact.size()) - 1, "Segments=damaged"}}) {
            test::WriteBytes(File("cut.kst"), Bytes(compact.begin(), compact.begin() + size));
            const Printed cut = Info({File("cut.kst")});
            EXPECT_EQ(cut.status, 1) << size;
            EXPECT_TRUE(cut.text.ends_with(std::string("\r\n") + last + "\r\n"))
                << size << ": " << cut.text;
        }
        // Checked a piece at a time, each a MiB of the newer file.
        EXPECT_EQ(Info({"--check", File(Delta)}).text, "OK\r\nPieces verified: 1\r\n");
    }
    // 2.4 names the forms of its differences, here with the image filter.
    OperationOptions options;
    options.format = DeltaFormat::Compact;
    ASSERT_EQ(MakeDelta(File("hello.exe"), File("hello-1.0.0.2.exe"), options), 0);
    std::vector<std::string> lines;
    ASSERT_EQ(DescribeDelta(File(Delta), lines), DeltaListing::Delta);
    EXPECT_EQ(lines[0], "FormatVersion=2.4");
    EXPECT_TRUE(lines[5].ends_with(" Filters=image Differences=by-segment")) << lines[5];
}

TEST_F(InfoTest, NamesFromTheFileCannotMakeLinesOfTheirOwn) {
    const Printed printed = Info({MakeDeltaFile("forged.kst", "a\r\nFake=1", original_, newer_)});
#ifdef _WIN32
    // No Windows file name holds a control character.
    EXPECT_NE(printed.text.find("\r\nOriginalName=invalid\r\n"), std::string::npos) << printed.text;
#else
    EXPECT_NE(printed.text.find("\r\nOriginalName=a\\x0D\\x0AFake=1\r\n"), std::string::npos)
        << printed.text;
#endif
    EXPECT_EQ(EscapeControls(std::string("\x01 ok \x7F\t", 7)), "\\x01 ok \\x7F\\x09");
}

TEST_F(InfoTest, FilesItCannotReadAndWrongArguments) {
    const Printed missing = Info({File("missing.exe")});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.text, "Cannot open file " + File("missing.exe") + "\r\n");
    for (const std::vector<std::string>& wrong : {std::vector<std::string>{},
                                                  {"a", "b"},
                                                  {"--check"},
                                                  {"--check", "a", "b"},
                                                  {"--key", "k.pub", "a"},
                                                  {"--check", "--key", "k.pub"},
                                                  {"--check", "--key"}}) {
        const Printed usage = Info(wrong);
        EXPECT_EQ(usage.status, 1);
        EXPECT_EQ(usage.text,
                  "Usage: kestro-info FILE | kestro-info --check [--key NAME.pub] [--into PATH] "
                  "DELTA\r\n");
    }
    // Asked for, the usage and what it does, or the version, and status 0.
    const Printed help = Info({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(help.text.starts_with("Usage: kestro-info FILE")) << help.text;
    EXPECT_NE(help.text.find("not checked"), std::string::npos);
    const Printed version = Info({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.text, "kestro-info " + std::string(kestro_version()) +
                                "\r\nDelta formats: " + FormatList() + "\r\n");
}

TEST_F(InfoTest, SignedDeltaNamesItsKeyAndIsCheckedWithIt) {
    const std::string id = WriteKeyPair(File("release"));
    OperationOptions options;
    options.signingKey = ReadPrivateKeyFile(File("release.key"));
    ASSERT_EQ(MakeDelta(File("hello.exe"), File("hello-1.0.0.2.exe"), options), 0);
    // What the signature says, marked as unchecked until --check --key has
    // checked the signature and the file it updates.
    const DeltaSignature signature = *ReadSignatureFile(File(Delta) + ".sig");
    const auto statement = [&](std::string_view mark) {
        const std::string end = " (" + std::string(mark) + ")\r\n";
        return "Signed by key: " + id + end +
               "Signed update: hello.exe 1.0.0.1 to 1.0.0.2, format 1.0" + end +
               "Signed original: 40960 bytes, SHA-512 " + LowerHex(signature.Original.digest) +
               end + "Signed newer: 41472 bytes, SHA-512 " + LowerHex(signature.Newer.digest) + end;
    };
    const Printed listed = Info({File(Delta)});
    EXPECT_EQ(listed.status, 0);
    EXPECT_TRUE(listed.text.ends_with("\r\n" + statement("not checked"))) << listed.text;

    for (const std::vector<std::string>& check :
         {std::vector<std::string>{"--check", "--key", File("release.pub"), File(Delta)},
          {"--key", File("release.pub"), "--check", File(Delta)}}) {
        const Printed checked = Info(check);
        EXPECT_EQ(checked.status, 0);
        EXPECT_EQ(checked.text, "OK\r\nBlocks verified: 1\r\n" + statement("verified"));
    }
    EXPECT_EQ(Info({"--check", File(Delta)}).text, "OK\r\nBlocks verified: 1\r\n");
    WriteKeyPair(File("other"));
    const Printed refused = Info({"--check", "--key", File("other.pub"), File(Delta)});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.text.find("\r\nDelta file is signed by another key (" + id + "): "),
              std::string::npos)
        << refused.text;

    test::WriteBytes(File(Delta) + ".sig", test::ToBytes("Kestro delta signature 1\n"));
    EXPECT_NE(Info({File(Delta)}).text.find("\r\nSigned by key: damaged signature file "),
              std::string::npos);
}

TEST_F(InfoTest, WhatIsNotARegularFileIsRefusedUnopened) {
    // Opened, a pipe would block both forms; a device would be read on.
    std::vector<std::string> names = {dir_.Path().string()};
#ifndef _WIN32
    names.insert(names.end(), {"/dev/null", File("pipe.kst")});
    ASSERT_EQ(std::system(("mkfifo '" + names.back() + "'").c_str()), 0);
#endif
    for (const std::string& name : names) {
        EXPECT_EQ(Info({name}).text, "Cannot open file " + name + "\r\n");
        const Printed checked = Info({"--check", name});
        EXPECT_EQ(checked.status, 1) << name;
        EXPECT_TRUE(
            checked.text.starts_with("Exception EFOpenError in module kestro-info at ") &&
            checked.text.ends_with(".\r\nCannot open file " + name + ".\r\nBlocks verified: 0\r\n"))
            << checked.text;
    }
}

TEST_F(InfoTest, CheckFailsAsTheApplyWhereItsFilesCannotBeMade) {
    // A read-only folder, unless this run writes there all the same (root;
    // Windows, where the attribute stops nobody); a folder in the lock
    // file's place stops root too (POSIX: Windows takes it for a held lock).
#ifdef _WIN32
    const std::vector<std::string> ways = {"read-only"};
#else
    const std::vector<std::string> ways = {"read-only", "lock-taken"};
#endif
    int made = 0;
    for (const std::string& way : ways) {
        const fs::path folder = dir_.Path() / way;
        fs::create_directory(folder);
        test::WriteBytes((folder / "hello.exe").string(), original_);
        const std::string delta = (folder / Delta).string();
        test::WriteBytes(delta, delta_);
        if (way == "read-only") {
            fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec);
            if (std::ofstream(folder / "probe").good()) {
                continue;
            }
        } else if (!fs::create_directory(folder / "hello.exe.kestro-lock")) {
            continue;
        }
        ++made;
        const std::string failure = "Cannot create file " + (folder / "hello.exe.new").string();
        const Printed checked = Info({"--check", delta});
        EXPECT_EQ(checked.status, 1) << way;
        EXPECT_TRUE(checked.text.ends_with("\r\n" + failure + ".\r\nBlocks verified: 0\r\n"))
            << checked.text;
        try {
            ApplyDelta(delta, {});
            ADD_FAILURE() << way << ": the apply succeeded";
        } catch (const Exception& applied) {
            EXPECT_EQ(applied.what(), failure) << way;
        }
    }
    if (made == 0) {
        GTEST_SKIP() << "no folder here that this run cannot write in";
    }
}

TEST_F(InfoTest, CheckSaysWhatAnApplyWouldAndWritesNothing) {
    const auto before = test::ReadBytes(File("hello.exe"));
    const Printed good = Info({"--check", File(Delta)});
    EXPECT_EQ(good.status, 0);
    EXPECT_EQ(good.text, "OK\r\nBlocks verified: 1\r\n");

    // A target that is not the original.
    Bytes other = original_;
    other[other.size() - 1] ^= 1;
    test::WriteBytes(File("hello.exe"), other);
    const Printed wrong = Info({"--check", File(Delta)});
    EXPECT_EQ(wrong.status, 1);
    EXPECT_EQ(wrong.text, "Error: CRC is wrong\r\nBlocks verified: 0\r\n");
    test::WriteBytes(File("hello.exe"), original_);

    // A damaged literal in the coded block.
    Bytes damaged = delta_;
    damaged[BlockStreamOffset + CodedHeaderBytes] ^= 1;
    test::WriteBytes(File(Delta), damaged);
    const Printed failed = Info({"--check", File(Delta)});
    EXPECT_EQ(failed.status, 1);
    EXPECT_TRUE(failed.text.starts_with("Exception Exception in module kestro-info at "))
        << failed.text;
    EXPECT_TRUE(failed.text.ends_with(".\r\nCRC Error.\r\nBlocks verified: 0\r\n")) << failed.text;

    // A format this program cannot read, here a 2.0 header over a body
    // without the compact tag: the apply's two lines.
    Bytes unsupported = delta_;
    PutLe32(unsupported.data() + FormatMajorField, 2);
    test::WriteBytes(File("unsupported.kst"), unsupported);
    const Printed newer = Info({"--check", File("unsupported.kst")});
    EXPECT_EQ(newer.status, 1);
    EXPECT_EQ(newer.text, "Error: Wrong version of delta file!\r\nCheck if newer version is "
                          "available\r\nPieces verified: 0\r\n");
    std::filesystem::remove(File("unsupported.kst"));

    // Already updated: what the apply would say, and status 1.
    test::WriteBytes(File(Delta), delta_);
    ASSERT_EQ(ApplyDelta(File(Delta), {}), 0);
    const Printed done = Info({"--check", File(Delta)});
    EXPECT_EQ(done.status, 1);
    EXPECT_EQ(done.text, "Error: Source file already updated!\r\nBlocks verified: 0\r\n");

    // Nothing was written by any check: only the apply's files are there.
    std::size_t files = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir_.Path())) {
        ++files;
    }
    EXPECT_EQ(files, 4u);
    EXPECT_EQ(test::ReadBytes(File("hello.exe_1.0.0.1.org")), before);
}

} // namespace
} // namespace kestro
