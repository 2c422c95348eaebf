// The delta operations end to end, through the driver as the program runs
// them, in scratch folders: every outcome of creating and applying a delta,
// and which files each outcome leaves.
#include "DiffUnit/DeltaFile.hpp"
#include "DiffUnit/DeltaPackage.hpp"
#include "DiffUnit/Driver.hpp"
#include "checksum/Crc32.hpp"
#include "codec/blocks/BlockStream.hpp"
#include "codec/blocks/CopyRecord.hpp"
#include "common/LittleEndian.hpp"
#include "platform/FileStream.hpp"
#include "platform/Files.hpp"

#include "ImageBuilder.hpp"
#include "TestSupport.hpp"

#include <gtest/gtest.h>

#include <tuple>

#include <algorithm>
#include <fstream>
#include <set>

namespace kestro {
namespace {

namespace fs = std::filesystem;
using test::Bytes;

const std::string Ok = "OK\r\n";

class DeltaEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        std::tie(original_, newer_) = test::SamplePrograms();
        test::WriteBytes(File("hello.exe"), original_);
        test::WriteBytes(File("hello-1.0.0.2.exe"), newer_);
    }

    std::string File(const std::string& name) const { return dir_.File(name); }

    // Runs one command line with the real operations; returns what the
    // program printed after its banner, and keeps the exit status.
    std::string Run(const std::vector<std::string>& arguments) {
        test::CapturedConsole console;
        status_ = RunProgram("kestro", arguments, ProgramOperations(), console.Get());
        EXPECT_EQ(console.output.substr(0, test::ExpectedBanner.size()), test::ExpectedBanner);
        return console.output.substr(std::min(console.output.size(), test::ExpectedBanner.size()));
    }

    std::string Create(const std::string& original, const std::string& newer) {
        return Run({File(original), File(newer)});
    }
    std::string Apply(const std::string& delta) { return Run({File(delta)}); }

    std::set<std::string> Files() const {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir_.Path())) {
            names.insert(test::TextOf(entry.path().filename()));
        }
        return names;
    }

    void Patch(const std::string& name, std::size_t offset, std::uint32_t value) {
        Bytes bytes = test::ReadBytes(File(name));
        PutLe32(bytes.data() + offset, value);
        test::WriteBytes(File(name), bytes);
    }

    // The end of a failure report: the message and the final CR LF.
    static bool ReportsFailure(const std::string& output, const std::string& kind,
                               const std::string& message) {
        return output.rfind("Exception " + kind + " in module kestro at ", 0) == 0 &&
               output.size() > message.size() + 3 &&
               output.compare(output.size() - message.size() - 3, std::string::npos,
                              message + ".\r\n") == 0;
    }

    test::ScratchDir dir_;
    Bytes original_;
    Bytes newer_;
    int status_ = -1;
};

const std::string Delta = "hello.exe_1.0.0.2.kst";
const std::string Backup = "hello.exe_1.0.0.1.org";

TEST_F(DeltaEndToEnd, VersionedSamplesUpdateOnceThenReportAlreadyUpdated) {
    EXPECT_EQ(Create("hello.exe", "hello-1.0.0.2.exe"), Ok);
    EXPECT_EQ(status_, 0);
    EXPECT_EQ(Files(), (std::set<std::string>{"hello.exe", "hello-1.0.0.2.exe", Delta}));

    EXPECT_EQ(Apply(Delta), Ok);
    EXPECT_EQ(status_, 0);
    EXPECT_EQ(test::ReadBytes(File("hello.exe")), newer_);
    EXPECT_EQ(test::ReadBytes(File(Backup)), original_);
    EXPECT_EQ(Files(), (std::set<std::string>{"hello.exe", "hello-1.0.0.2.exe", Delta, Backup}));

    EXPECT_EQ(Apply(Delta), "Error: Source file already updated!\r\n");
    EXPECT_EQ(test::ReadBytes(File("hello.exe")), newer_);
    EXPECT_EQ(test::ReadBytes(File(Backup)), original_);
}

TEST_F(DeltaEndToEnd, AFolderDeeperThanMaxPathIsUpdatedInPlace) {
    // Over 300 characters of folders, named from the folder above them:
    // on Windows too deep to be the working folder, so every file of the
    // operations (lock, work file, backup) is named by its full path.
    fs::path deep = dir_.Path();
    std::string relative = ".";
    for (char level = 'a'; level < 'h'; ++level) {
        deep /= std::string(48, level);
        relative += "/" + std::string(48, level);
        ASSERT_EQ(MakeFolder(test::TextOf(deep)), NameOutcome::Made);
    }
    for (const auto& [name, bytes] :
         {std::pair{"hello.exe", &original_}, std::pair{"hello-1.0.0.2.exe", &newer_}}) {
        FileStream file = FileStream::Create(test::TextOf(deep / name));
        file.WriteBuffer(bytes->data(), static_cast<std::int64_t>(bytes->size()));
        file.Close();
    }
    const fs::path start = fs::current_path();
    fs::current_path(dir_.Path());
    const std::string created = Run({relative + "/hello.exe", "hello-1.0.0.2.exe"});
    const std::string applied = Run({relative + "/" + Delta});
    fs::current_path(start);
    EXPECT_EQ(created, Ok);
    EXPECT_EQ(applied, Ok);
    EXPECT_EQ(test::ReadBytes(test::TextOf(deep / "hello.exe")), newer_);
    EXPECT_EQ(test::ReadBytes(test::TextOf(deep / Backup)), original_);
    EXPECT_EQ(ListFolder(test::TextOf(deep)),
              (std::vector<std::string>{"hello-1.0.0.2.exe", "hello.exe", Backup, Delta}));
}

TEST_F(DeltaEndToEnd, NewerFileInAnotherFolderIsTheOneDiffed) {
    // A file of the newer's name beside the original must not stand in for
    // it; the relative path is taken from the folder the run starts in.
    fs::create_directories(dir_.Path() / "other" / "n");
    test::WriteBytes(File("other/hello.exe"), original_);
    test::WriteBytes(File("other/n/new.exe"), newer_);
    test::WriteBytes(File("other/new.exe"), original_);
    const fs::path start = fs::current_path();
    fs::current_path(dir_.Path());
    const std::string created = Run({"other/hello.exe", "other/n/new.exe"});
    fs::current_path(start);
    EXPECT_EQ(created, Ok);
    EXPECT_EQ(Apply("other/" + Delta), Ok);
    EXPECT_EQ(test::ReadBytes(File("other/hello.exe")), newer_);
}

TEST_F(DeltaEndToEnd, UnversionedMultiBlockFilesWarnAndStillUpdate) {
    std::mt19937 random(5);
    const Bytes old = test::RandomBytes(random, 3 * BlockSize + 777);
    Bytes updated = old;
    for (std::size_t i = 0; i < updated.size(); i += 10007) {
        updated[i] ^= 0x33;
    }
    updated.insert(updated.begin() + 2000000, 300, 0x90);
    for (const bool compact : {false, true}) {
        test::WriteBytes(File("data.bin"), old);
        test::WriteBytes(File("data2.bin"), updated);
        fs::remove(File("data.bin_.org"));

        // Neither file has version information: the newer file's warning
        // wins.
        std::vector<std::string> create = {File("data.bin"), File("data2.bin")};
        if (compact) {
            create.insert(create.begin(), "--compact");
        }
        EXPECT_EQ(Run(create), "Warning: Newer file doesn't have file version information\r\n");
        ASSERT_TRUE(fs::exists(File("data.bin_.kst")));
        EXPECT_LT(fs::file_size(File("data.bin_.kst")), 400000u);

        EXPECT_EQ(Apply("data.bin_.kst"),
                  "Warning: Source File has no file version information included!\r\n");
        EXPECT_EQ(test::ReadBytes(File("data.bin")), updated);
        EXPECT_EQ(test::ReadBytes(File("data.bin_.org")), old);
        EXPECT_FALSE(fs::exists(File("data.bin.new")));
        // Without version numbers only a compact delta, which knows the
        // newer file's size and CRC-32, tells an updated target from a
        // foreign one.
        EXPECT_EQ(Apply("data.bin_.kst"),
                  compact ? "Error: Source file already updated!\r\n" : "Error: CRC is wrong\r\n");
    }
}

TEST_F(DeltaEndToEnd, DeltaDescriptionShowsWhyItFitsOrNot) {
    ASSERT_EQ(Create("hello.exe", "hello-1.0.0.2.exe"), Ok);
    std::vector<std::string> lines;
    ASSERT_EQ(DescribeDelta(File(Delta), lines), DeltaListing::Delta);
    char crc[16];
    std::snprintf(crc, sizeof crc, "0x%08X", Crc32Buffer(original_.data(), original_.size()));
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[0], "FormatVersion=1.0");
    EXPECT_EQ(lines[1], "OriginalName=hello.exe");
    EXPECT_EQ(lines[2], "OriginalVersion=1.0.0.1");
    EXPECT_EQ(lines[3], "NewerVersion=1.0.0.2");
    EXPECT_EQ(lines[4], std::string("OriginalCrc=") + crc);
    EXPECT_EQ(lines[5].substr(0, 54), "Block1=coded SourceLength=40960 TargetLength=41472 Lit");
    EXPECT_EQ(lines[6], "Block2=end SourceLength=0");

    // Cut into the record before the coded block's terminator.
    Bytes cut = test::ReadBytes(File(Delta));
    cut.resize(cut.size() - EndBlockBytes - CopyRecordBytes - 9);
    test::WriteBytes(File("cut.kst"), cut);
    lines.clear();
    ASSERT_EQ(DescribeDelta(File("cut.kst"), lines), DeltaListing::Damaged);
    EXPECT_EQ(lines.back(), "Block1=damaged");
    lines.clear();
    EXPECT_EQ(DescribeDelta(File("hello.exe"), lines), DeltaListing::NotADelta);
    EXPECT_TRUE(lines.empty());
}

TEST_F(DeltaEndToEnd, UnversionedOriginalWarnsOld) {
    test::WriteBytes(File("plain.bin"), test::ToBytes("no version resource here"));
    EXPECT_EQ(Create("plain.bin", "hello-1.0.0.2.exe"),
              "Warning: Old file doesn't have file version information\r\n");
    EXPECT_TRUE(fs::exists(File("plain.bin_1.0.0.2.kst")));
}

TEST_F(DeltaEndToEnd, RefusedDeltasTouchNothing) {
    ASSERT_EQ(Create("hello.exe", "hello-1.0.0.2.exe"), Ok);
    const Bytes delta = test::ReadBytes(File(Delta));
    const std::set<std::string> before = Files();
    auto expectUntouched = [&](const std::string& what) {
        EXPECT_EQ(status_, 0) << what;
        EXPECT_EQ(Files(), before) << what;
        EXPECT_EQ(test::ReadBytes(File("hello.exe")), original_) << what;
        test::WriteBytes(File(Delta), delta);
    };

    Patch(Delta, DeltaHeaderBytes + OriginalVersionField, 9); // recorded original major version
    EXPECT_EQ(Apply(Delta), "Error: Wrong version of source file!\r\n");
    expectUntouched("-5");

    Patch(Delta, DeltaHeaderBytes + CrcField, 0x12345678); // recorded checksum
    EXPECT_EQ(Apply(Delta), "Error: CRC is wrong\r\n");
    expectUntouched("-4");

    Patch(Delta, FormatMinorField, 1);
    EXPECT_EQ(Apply(Delta),
              "Error: Wrong version of delta file!\r\nCheck if newer version is available\r\n");
    expectUntouched("-8 1.1");
    Patch(Delta, FormatMajorField, 2);
    EXPECT_EQ(Apply(Delta),
              "Error: Wrong version of delta file!\r\nCheck if newer version is available\r\n");
    expectUntouched("-8 2.0");

    for (std::uint8_t count : {17, 19}) {
        Bytes changed = delta;
        changed[SignatureField] = count;
        test::WriteBytes(File(Delta), changed);
        EXPECT_EQ(Apply(Delta), "Error: This no delta file of Kestro!\r\n");
        expectUntouched("-9");
    }

    // A stored name that leads out of the folder is not a delta of ours.
    Bytes escaping = delta;
    const std::string up = "../hello.exe";
    escaping[DeltaHeaderBytes + NameField] = static_cast<std::uint8_t>(up.size());
    std::copy(up.begin(), up.end(), escaping.begin() + DeltaHeaderBytes + NameField + 1);
    test::WriteBytes(File(Delta), escaping);
    EXPECT_EQ(Apply(Delta), "Error: This no delta file of Kestro!\r\n");
    expectUntouched("-9 name");

    fs::rename(File("hello.exe"), File("renamed.exe"));
    EXPECT_EQ(Apply(Delta), "Error: There's no file to Expand!\r\n");
    fs::rename(File("renamed.exe"), File("hello.exe"));
    expectUntouched("-7");
}

TEST_F(DeltaEndToEnd, TooShortDeltaIsAReadFailure) {
    ASSERT_EQ(Create("hello.exe", "hello-1.0.0.2.exe"), Ok);
    const Bytes delta = test::ReadBytes(File(Delta));
    for (const int size : {0, DeltaHeaderBytes - 1, DeltaHeaderBytes, BlockStreamOffset - 1}) {
        test::WriteBytes(File("short.kst"), Bytes(delta.begin(), delta.begin() + size));
        const std::string output = Apply("short.kst");
        EXPECT_EQ(status_, 1) << size;
        EXPECT_TRUE(ReportsFailure(output, "EReadError", "Stream read error")) << output;
    }
    EXPECT_EQ(test::ReadBytes(File("hello.exe")), original_);
}

TEST_F(DeltaEndToEnd, DamagedBlockLeavesTargetAndFolderAsTheyWere) {
    ASSERT_EQ(Create("hello.exe", "hello-1.0.0.2.exe"), Ok);
    Bytes delta = test::ReadBytes(File(Delta));
    // Among the last data block's copy records: the second byte of SourcePos
    // in the third record from the end, the terminator counted.
    const std::size_t records = delta.size() - EndBlockBytes - 3 * CopyRecordBytes;
    delta[records + CopySourcePosField + 1] ^= 0x01;
    test::WriteBytes(File(Delta), delta);
    const std::set<std::string> before = Files();
    const std::string output = Apply(Delta);
    EXPECT_EQ(status_, 1);
    EXPECT_TRUE(ReportsFailure(output, "Exception", "CRC Error")) << output;
    EXPECT_EQ(Files(), before);
    EXPECT_EQ(test::ReadBytes(File("hello.exe")), original_);
}

TEST_F(DeltaEndToEnd, NameLongerThanTheDescriptorHoldsIsRefusedWithNothingWritten) {
    // 70 bytes are stored whole and applied; 71, or a cut inside a
    // character, would make a delta that looks for another name. The bytes
    // counted are the stored name's: UTF-8 here, on Windows the ANSI code
    // page (Windows-1252 on the test machines), where "\xC3\xA9" is one.
    const std::string fits = std::string(62, 'x') + "tool.exe";
    test::WriteBytes(File(fits), original_);
    EXPECT_EQ(Create(fits, "hello-1.0.0.2.exe"), Ok);
    EXPECT_EQ(Apply(fits + "_1.0.0.2.kst"), Ok);
    EXPECT_EQ(test::ReadBytes(File(fits)), newer_);
#ifdef _WIN32
    const std::string accented = std::string(62, 'x') + "\xC3\xA9tool.exe";
#else
    const std::string accented = std::string(61, 'x') + "\xC3\xA9tool.exe";
#endif
    for (const std::string& name : {std::string(63, 'x') + "tool.exe", accented}) {
        test::WriteBytes(File(name), original_);
        const std::set<std::string> before = Files();
        const std::string created = Create(name, "hello-1.0.0.2.exe");
        EXPECT_TRUE(ReportsFailure(created, "EFCreateError",
                                   "Original file name too long for a delta (at most 70 "
                                   "bytes): " +
                                       name))
            << created;
        EXPECT_EQ(status_, 1);
        EXPECT_EQ(Files(), before);
    }
}

TEST_F(DeltaEndToEnd, ExistingDeltaIsReplacedWhole) {
    test::WriteBytes(File(Delta), Bytes(5000000, 0xEE));
    EXPECT_EQ(Create("hello.exe", "hello-1.0.0.2.exe"), Ok);
    const Bytes first = test::ReadBytes(File(Delta));
    EXPECT_LT(first.size(), 100000u);
    EXPECT_EQ(Create("hello.exe", "hello-1.0.0.2.exe"), Ok);
    EXPECT_EQ(test::ReadBytes(File(Delta)), first);
    EXPECT_EQ(Files(), (std::set<std::string>{"hello.exe", "hello-1.0.0.2.exe", Delta}));
}

TEST_F(DeltaEndToEnd, EarlierBackupAndStaleNewFile) {
    ASSERT_EQ(Create("hello.exe", "hello-1.0.0.2.exe"), Ok);
    test::WriteBytes(File(Backup), test::ToBytes("earlier backup"));
    test::WriteBytes(File("hello.exe.new"), test::ToBytes("stale"));
    EXPECT_EQ(Apply(Delta), Ok);
    EXPECT_EQ(test::ReadBytes(File(Backup)), test::ToBytes("earlier backup"));
    EXPECT_FALSE(fs::exists(File("hello.exe.new")));
    EXPECT_EQ(test::ReadBytes(File("hello.exe")), newer_);
}

TEST_F(DeltaEndToEnd, LinkPlantedAsNewFileIsNotFollowed) {
    ASSERT_EQ(Create("hello.exe", "hello-1.0.0.2.exe"), Ok);
    const std::string outside =
        (dir_.Path().parent_path() / (dir_.Path().filename().string() + "-outside")).string();
    test::WriteBytes(outside, test::ToBytes("not ours"));
    std::error_code error;
    fs::create_symlink(outside, File("hello.exe.new"), error);
    if (error) {
        fs::remove(outside);
        GTEST_SKIP() << "no symbolic links here: " << error.message();
    }
    EXPECT_EQ(Apply(Delta), Ok);
    EXPECT_EQ(test::ReadBytes(outside), test::ToBytes("not ours"));
    EXPECT_EQ(test::ReadBytes(File("hello.exe")), newer_);
    EXPECT_FALSE(fs::is_symlink(File("hello.exe")));
    fs::remove(outside);
}

TEST_F(DeltaEndToEnd, BackupThatCannotBeMadeStopsTheUpdate) {
    ASSERT_EQ(Create("hello.exe", "hello-1.0.0.2.exe"), Ok);
    fs::create_directory(File(Backup));
    const std::string output = Apply(Delta);
    EXPECT_EQ(status_, 1);
    EXPECT_TRUE(ReportsFailure(output, "EFCreateError", "Cannot create file " + Backup)) << output;
    EXPECT_EQ(test::ReadBytes(File("hello.exe")), original_);
    EXPECT_EQ(Files(), (std::set<std::string>{"hello.exe", "hello-1.0.0.2.exe", Delta, Backup}));
}

#ifndef _WIN32
TEST_F(DeltaEndToEnd, UpdatedProgramKeepsItsPermissionBits) {
    ASSERT_EQ(Create("hello.exe", "hello-1.0.0.2.exe"), Ok);
    const auto bits = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec;
    fs::permissions(File("hello.exe"), bits);
    EXPECT_EQ(Apply(Delta), Ok);
    EXPECT_EQ(fs::status(File("hello.exe")).permissions(), bits);
    EXPECT_EQ(fs::status(File(Backup)).permissions(), bits);
}
#endif

#ifndef _WIN32
TEST_F(DeltaEndToEnd, UpdateByRootKeepsTheOwnerAndModeOfAnotherUsersProgram) {
    // What a command prints, run in the scratch folder.
    const auto run = [this](const std::string& program, const std::vector<std::string>& arguments) {
        return test::RunProcess(program, arguments, dir_).output;
    };
    if (run("id", {"-u"}) != "0\n") {
        GTEST_SKIP() << "needs root: only root gives a file to another user";
    }
    ASSERT_EQ(Create("hello.exe", "hello-1.0.0.2.exe"), Ok);
    // A setuid program, and one that only its owner may read.
    for (const std::string mode : {"4755", "600"}) {
        test::WriteBytes(File("hello.exe"), original_);
        fs::remove(File(Backup));
        ASSERT_EQ(test::RunProcess("chown", {"65534:65534", File("hello.exe")}, dir_).status, 0);
        ASSERT_EQ(test::RunProcess("chmod", {mode, File("hello.exe")}, dir_).status, 0);
        EXPECT_EQ(Apply(Delta), Ok) << mode;
        EXPECT_EQ(test::ReadBytes(File("hello.exe")), newer_) << mode;
        for (const std::string& name : {std::string("hello.exe"), Backup}) {
            EXPECT_EQ(run("stat", {"-c", "%u:%g:%a", File(name)}), "65534:65534:" + mode + "\n")
                << name;
        }
    }
}
#endif

// A small program whose version resource holds the given numbers and
// FileVersion string, and some code-like bytes so that versions differ.
Bytes VersionedProgram(std::uint16_t build, const std::u16string& versionString) {
    using namespace test;
    const VersionNode root =
        VersionRoot(FixedRecordBytes(FixedRecordOf(1, 0, 0, build)),
                    {StringFileInfo({StringTable(u"040904B0", {{u"FileVersion", versionString}})}),
                     Translations({{0x0409, 0x04B0}})});
    Bytes program = PeWithVersion(SerializeVersion(root));
    std::mt19937 random(build);
    const Bytes code = RandomBytes(random, 5000);
    program.insert(program.end(), code.begin(), code.end());
    return program;
}

TEST_F(DeltaEndToEnd, VersionStringThatNamesAnotherFolderIsRefused) {
    fs::create_directory(dir_.Path() / "sub");
    test::WriteBytes(File("sub/escape.exe"), VersionedProgram(2, u"../escape"));
    test::WriteBytes(File("sub/app.exe"), VersionedProgram(1, u"1.0.0.1"));
    const std::string output = Run({File("sub/app.exe"), File("sub/escape.exe")});
    EXPECT_EQ(status_, 1);
    EXPECT_TRUE(ReportsFailure(output, "EFCreateError", "Cannot create file app.exe_../escape.kst"))
        << output;
    EXPECT_EQ(Files(), (std::set<std::string>{"hello.exe", "hello-1.0.0.2.exe", "sub"}));
    std::size_t inSub = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir_.Path() / "sub")) {
        ++inSub;
    }
    EXPECT_EQ(inSub, 2u);
}

TEST_F(DeltaEndToEnd, VersionStringOutsideTheCodePageNamesTheDeltaWhole) {
    // "1.0 \u03B2" goes into the delta's name as the version resource holds
    // it, also on Windows, whose ANSI code page would have made it "?".
    const Bytes newer = VersionedProgram(2, u"1.0 \u03B2");
    test::WriteBytes(File("app.exe"), VersionedProgram(1, u"1.0.0.1"));
    test::WriteBytes(File("beta.exe"), newer);
    const std::string delta = "app.exe_1.0 \xCE\xB2.kst";
    EXPECT_EQ(Create("app.exe", "beta.exe"), Ok);
    EXPECT_TRUE(Files().contains(delta));
    EXPECT_EQ(Apply(delta), Ok);
    EXPECT_EQ(test::ReadBytes(File("app.exe")), newer);
}

TEST_F(DeltaEndToEnd, NamesThatWouldOverwriteTheInputsAreRefused) {
    // A newer file whose name is what its delta would be called.
    test::WriteBytes(File("app.exe"), VersionedProgram(1, u"1.0.0.1"));
    const Bytes newer = VersionedProgram(2, u"2");
    test::WriteBytes(File("app.exe_2.kst"), newer);
    std::string output = Create("app.exe", "app.exe_2.kst");
    EXPECT_EQ(status_, 1);
    EXPECT_TRUE(ReportsFailure(output, "EFCreateError", "Cannot create file app.exe_2.kst"))
        << output;
    EXPECT_EQ(test::ReadBytes(File("app.exe_2.kst")), newer);

    // A delta named like the target's temporary file.
    ASSERT_EQ(Create("hello.exe", "hello-1.0.0.2.exe"), Ok);
    fs::rename(File(Delta), File("hello.exe.new"));
    output = Apply("hello.exe.new");
    EXPECT_EQ(status_, 1);
    EXPECT_TRUE(ReportsFailure(output, "EFCreateError", "Cannot create file hello.exe.new"))
        << output;
    EXPECT_TRUE(fs::exists(File("hello.exe.new")));
    EXPECT_EQ(test::ReadBytes(File("hello.exe")), original_);

    // A delta named like the backup, or like the backup's temporary file:
    // taken for the backup, the original would be lost; cleaned up, the
    // delta would be.
    // Each delta name with the name the refusal reports.
    std::vector<std::pair<std::string, std::string>> names = {{Backup, Backup},
                                                              {Backup + ".tmp", Backup + ".tmp"}};
#ifdef _WIN32
    // Names that differ in letter case only name the same file on Windows.
    names.emplace_back("HELLO.EXE.NEW", "hello.exe.new");
#endif
    std::string from = "hello.exe.new";
    for (const auto& [name, refused] : names) {
        fs::rename(File(from), File(name));
        from = name;
        output = Apply(name);
        EXPECT_EQ(status_, 1) << name;
        EXPECT_TRUE(ReportsFailure(output, "EFCreateError", "Cannot create file " + refused))
            << name << ": " << output;
        EXPECT_EQ(Files(), (std::set<std::string>{"hello.exe", "hello-1.0.0.2.exe", "app.exe",
                                                  "app.exe_2.kst", name}))
            << name;
        EXPECT_EQ(test::ReadBytes(File("hello.exe")), original_);
    }
}

TEST_F(DeltaEndToEnd, BackupNameThatNamesAnotherFolderIsRefused) {
    fs::create_directory(dir_.Path() / "sub");
    const Bytes old = VersionedProgram(1, u"../../escape");
    test::WriteBytes(File("sub/app.exe"), old);
    test::WriteBytes(File("sub/app2.exe"), VersionedProgram(2, u"1.0.0.2"));
    ASSERT_EQ(Run({File("sub/app.exe"), File("sub/app2.exe")}), Ok);
    const std::string output = Run({File("sub/app.exe_1.0.0.2.kst")});
    EXPECT_EQ(status_, 1);
    EXPECT_TRUE(
        ReportsFailure(output, "EFCreateError", "Cannot create file app.exe_../../escape.org"))
        << output;
    EXPECT_EQ(test::ReadBytes(File("sub/app.exe")), old);
    EXPECT_EQ(Files(), (std::set<std::string>{"hello.exe", "hello-1.0.0.2.exe", "sub"}));
    EXPECT_FALSE(fs::exists(File("sub/app.exe.new")));
    EXPECT_FALSE(fs::exists(dir_.Path().parent_path() / "escape.org"));
}

bool IsReadOnly(const std::string& name) {
    return (fs::status(name).permissions() & fs::perms::owner_write) == fs::perms::none;
}

void MakeReadOnly(const std::string& name) {
    fs::permissions(name, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
}

TEST_F(DeltaEndToEnd, ReadOnlyFilesAreUpdatedAndKeptAsSuch) {
    ASSERT_EQ(Create("hello.exe", "hello-1.0.0.2.exe"), Ok);
    // An earlier backup that is read-only is left alone; a read-only target
    // is replaced and stays read-only.
    test::WriteBytes(File(Backup), test::ToBytes("earlier backup"));
    MakeReadOnly(File(Backup));
    MakeReadOnly(File("hello.exe"));
    EXPECT_EQ(Apply(Delta), Ok);
    EXPECT_EQ(test::ReadBytes(File("hello.exe")), newer_);
    EXPECT_TRUE(IsReadOnly(File("hello.exe")));
    EXPECT_EQ(test::ReadBytes(File(Backup)), test::ToBytes("earlier backup"));
    EXPECT_EQ(Files(), (std::set<std::string>{"hello.exe", "hello-1.0.0.2.exe", Delta, Backup}));
}

TEST_F(DeltaEndToEnd, TargetHeldOpenIsReplacedWholeOrNotAtAll) {
    ASSERT_EQ(Create("hello.exe", "hello-1.0.0.2.exe"), Ok);
    std::string output;
    {
        // Another reader holds the target open, sharing it for reading and
        // writing, while the update runs.
        std::ifstream reader(File("hello.exe"), std::ios::binary);
        ASSERT_TRUE(reader.good());
        output = Apply(Delta);
    }
#ifdef _WIN32
    // A file held open without delete sharing cannot be replaced: refused
    // before the backup is made, and said so.
    EXPECT_EQ(status_, 1) << output;
    EXPECT_TRUE(ReportsFailure(output, "EFCreateError", "File is in use: hello.exe")) << output;
    EXPECT_EQ(test::ReadBytes(File("hello.exe")), original_);
    EXPECT_EQ(Files(), (std::set<std::string>{"hello.exe", "hello-1.0.0.2.exe", Delta}));
#else
    // The reader keeps the file it opened; the name gets the new one.
    EXPECT_EQ(output, Ok);
    EXPECT_EQ(test::ReadBytes(File("hello.exe")), newer_);
    EXPECT_EQ(test::ReadBytes(File(Backup)), original_);
    EXPECT_FALSE(fs::exists(File("hello.exe.new")));
#endif
}

#ifdef _WIN32
TEST_F(DeltaEndToEnd, WindowsPathFormsAreSplitAtEverySeparator) {
    // Backslashes, forward slashes, and a drive-relative name.
    std::string windowsDir = dir_.Path().string();
    std::replace(windowsDir.begin(), windowsDir.end(), '/', '\\');
    EXPECT_EQ(Run({windowsDir + "\\hello.exe", "hello-1.0.0.2.exe"}), Ok);
    std::string slashDir = windowsDir;
    std::replace(slashDir.begin(), slashDir.end(), '\\', '/');
    EXPECT_EQ(Run({slashDir + "/" + Delta}), Ok);
    EXPECT_EQ(test::ReadBytes(File("hello.exe")), newer_);

    const fs::path start = fs::current_path();
    fs::current_path(dir_.Path());
    const std::string drive = windowsDir.substr(0, 2); // "C:"
    EXPECT_EQ(Run({drive + Delta}), "Error: Source file already updated!\r\n");
    fs::remove(File("hello.exe"));
    fs::rename(File(Backup), File("hello.exe"));
    EXPECT_EQ(Run({drive + Delta}), Ok);
    fs::current_path(start);
    EXPECT_EQ(test::ReadBytes(File("hello.exe")), newer_);
}
#endif

TEST_F(DeltaEndToEnd, RealProgramPrintsOnlyToStandardOutputAndSetsItsStatus) {
    const std::string program = KESTRO_PROGRAM;
    test::ProcessResult usage = test::RunProcess(program, {}, dir_);
    EXPECT_EQ(usage.status, 0);
    EXPECT_EQ(usage.output.substr(0, test::ExpectedBanner.size()), test::ExpectedBanner);
    EXPECT_TRUE(usage.output.ends_with("Press ENTER\r\n"));

    test::ProcessResult create =
        test::RunProcess(program, {File("hello.exe"), File("hello-1.0.0.2.exe")}, dir_);
    EXPECT_EQ(create.status, 0);
    EXPECT_EQ(create.output, test::ExpectedBanner + Ok);
    test::ProcessResult apply = test::RunProcess(program, {File(Delta)}, dir_);
    EXPECT_EQ(apply.status, 0);
    EXPECT_EQ(apply.output, test::ExpectedBanner + Ok);
    EXPECT_EQ(test::ReadBytes(File("hello.exe")), newer_);

    test::WriteBytes(File("short.kst"), test::ToBytes("short"));
    test::ProcessResult failed = test::RunProcess(program, {File("short.kst")}, dir_);
    EXPECT_EQ(failed.status, 1);
    const std::string report = failed.output.substr(test::ExpectedBanner.size());
    EXPECT_TRUE(report.starts_with("Exception EReadError in module kestro")) << report;
    for (const auto* result : {&usage, &create, &apply, &failed}) {
        EXPECT_EQ(result->errors, "");
    }
}

} // namespace
} // namespace kestro
