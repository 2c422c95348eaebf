#include "DiffUnit/Driver.hpp"
#include "DiffUnit/DeltaSignature.hpp"
#include "DiffUnit/KeyFiles.hpp"
#include "DiffUnit/ResultCodes.hpp"
#include "common/Failures.hpp"
#include "kestro/kestro.h"
#include "platform/FileStream.hpp"
#include "platform/Files.hpp"

#include "TestSupport.hpp"

#include <gtest/gtest.h>

#include <new>
#include <optional>

namespace kestro {
namespace {

namespace fs = std::filesystem;

const std::string& Banner = test::ExpectedBanner;

const std::string Usage = "To create difference file:\r\n"
                          "\r\n"
                          "Kestro <Original file> <newer file>\r\n"
                          "\r\n"
                          "\r\n"
                          "To use difference file:\r\n"
                          "\r\n"
                          "Kestro <delta file>\r\n"
                          "\r\n"
                          "\r\n"
                          "\r\n"
                          "Press ENTER\r\n";

// Test doubles for the two operations: they record what they were called
// with, and where, and return a chosen code or raise a chosen failure.
struct FakeOperations {
    std::int32_t code = ResultOk;
    bool raise = false;
    std::optional<std::vector<std::string>> called;
    std::string calledIn;

    OperationOptions options;
    bool waits = false;             // tells the notice of a wait for its first name
    std::vector<Progress> progress; // told to the options' progress, if any

    DeltaOperations Get() {
        DeltaOperations operations;
        operations.makeDelta = [this](const std::string& original, const std::string& newer,
                                      const OperationOptions& given) {
            return Record({original, newer}, given);
        };
        operations.applyDelta = [this](const std::string& delta, const OperationOptions& given) {
            return Record({delta}, given);
        };
        return operations;
    }

    std::int32_t Record(std::vector<std::string> names, const OperationOptions& given) {
        options = given;
        if (waits) {
            given.waiting(names[0]);
        }
        for (const Progress& told : progress) {
            if (given.progress) {
                given.progress(told);
            }
        }
        called = std::move(names);
        calledIn = GetWorkingDirectory();
        if (raise) {
            throw EFCreateError("Cannot create file tool.exe_1.0.kst");
        }
        return code;
    }
};

// Runs the driver from a scratch folder that holds an original, a newer and
// a delta file, and restores the test's own working directory afterwards.
class DriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        start_ = fs::current_path();
        fs::create_directory(dir_.Path() / "app");
        test::WriteBytes(dir_.File("app/tool.exe"), test::ToBytes("old"));
        test::WriteBytes(dir_.File("app/tool2.exe"), test::ToBytes("new"));
        test::WriteBytes(dir_.File("app/tool.exe_2.kst"), test::ToBytes("delta"));
        test::WriteBytes(dir_.File("elsewhere.exe"), test::ToBytes("new"));
        fs::current_path(dir_.Path());
    }
    void TearDown() override { fs::current_path(start_); }

    int Run(std::vector<std::string> arguments, bool terminal = false, int width = 0) {
        console_.output.clear();
        Console console = console_.Get();
        console.terminal = terminal;
        console.width = [width] { return width; };
        return RunProgram("/usr/local/bin/kestro", arguments, fake_.Get(), console);
    }

    std::string AppDir() const { return fs::canonical(dir_.Path() / "app").string(); }
    std::string Output() const { return console_.output; }

    test::ScratchDir dir_;
    fs::path start_;
    FakeOperations fake_;
    test::CapturedConsole console_;
};

TEST_F(DriverTest, WrongArgumentCountPrintsUsageAndWaitsForOneLine) {
    for (const auto& arguments :
         {std::vector<std::string>{}, std::vector<std::string>{"a", "b", "c"}}) {
        console_.linesRead = 0;
        EXPECT_EQ(Run(arguments), 0);
        EXPECT_EQ(Output(), Banner + Usage);
        EXPECT_EQ(console_.linesRead, 1);
        EXPECT_FALSE(fake_.called);
    }
}

TEST_F(DriverTest, OptionsComeBeforeTheFilesAndChooseTheFormat) {
    struct Case {
        std::vector<std::string> arguments;
        bool runs;
        DeltaFormat format = DeltaFormat::Blocks;
        std::int32_t minor = CompactLatestMinor;
        bool signs = false;
        bool checksSignature = false;
        bool allowsDowngrade = false;
    };
    // Key files are named from the folder the run starts in.
    WriteKeyPair("r");
    constexpr DeltaFormat Blocks = DeltaFormat::Blocks;
    constexpr DeltaFormat Compact = DeltaFormat::Compact;
    constexpr std::int32_t Latest = CompactLatestMinor;
    const std::vector<Case> cases = {
        {{"app/tool.exe", "tool2.exe"}, true},
        {{"--compact", "app/tool.exe", "tool2.exe"}, true, DeltaFormat::Compact},
        {{"--compact=2.0", "app/tool.exe", "tool2.exe"}, true, DeltaFormat::Compact, 0},
        {{"--compact=2.1", "app/tool.exe", "tool2.exe"}, true, DeltaFormat::Compact, 1},
        {{"--compact=2.2", "app/tool.exe", "tool2.exe"}, true, DeltaFormat::Compact, 2},
        {{"--compact=2.3", "app/tool.exe", "tool2.exe"}, true, DeltaFormat::Compact, 3},
        {{"--compact=2.4", "app/tool.exe", "tool2.exe"}, true, DeltaFormat::Compact, 4},
        {{"--", "app/tool.exe", "tool2.exe"}, true},
        {{"--compact", "--", "app/tool.exe", "tool2.exe"}, true, DeltaFormat::Compact},
        {{"--", "app/tool.exe_2.kst"}, true},
        {{"--sign", "r.key", "--compact", "app/tool.exe", "tool2.exe"},
         true,
         Compact,
         Latest,
         true},
        {{"--compact=2.1", "--sign", "r.key", "app/tool.exe", "tool2.exe"}, true, Compact, 1, true},
        {{"--key", "r.pub", "app/tool.exe_2.kst"}, true, Blocks, Latest, false, true},
        {{"--allow-downgrade", "--sign", "r.key", "app/tool.exe", "tool2.exe"},
         true,
         Blocks,
         Latest,
         true,
         false,
         true},
        // Anything else is the usage text: an unknown option or minor, an
        // option twice or after the files, --compact or --sign for an
        // apply, --key for a create, an option without its value.
        {{"--sign", "r.key", "app/tool.exe_2.kst"}, false},
        {{"--key", "r.pub", "app/tool.exe", "tool2.exe"}, false},
        {{"--allow-downgrade", "app/tool.exe", "tool2.exe"}, false},
        {{"--allow-downgrade", "--key", "r.pub", "app/tool.exe_2.kst"}, false},
        {{"--sign", "r.key", "--sign", "r.key", "app/tool.exe", "tool2.exe"}, false},
        {{"--keygen", "new", "app/tool.exe_2.kst"}, false},
        {{"--key", "app/tool.exe_2.kst"}, false},
        {{"--compact=2.5", "app/tool.exe", "tool2.exe"}, false},
        {{"--compact=2", "app/tool.exe", "tool2.exe"}, false},
        {{"--compact", "--compact", "app/tool.exe", "tool2.exe"}, false},
        {{"--fast", "app/tool.exe_2.kst"}, false},
        {{"--compact", "app/tool.exe_2.kst"}, false},
        {{"app/tool.exe", "tool2.exe", "--compact"}, false},
    };
    for (const Case& c : cases) {
        fake_.called.reset();
        console_.linesRead = 0;
        EXPECT_EQ(Run(c.arguments), 0);
        ASSERT_EQ(fake_.called.has_value(), c.runs) << c.arguments[0];
        if (c.runs) {
            EXPECT_EQ(Output(), Banner + "OK\r\n");
            EXPECT_EQ(fake_.options.format, c.format) << c.arguments[0];
            EXPECT_EQ(fake_.options.compactMinor, c.minor) << c.arguments[0];
            EXPECT_EQ(fake_.options.signingKey.has_value(), c.signs) << c.arguments[0];
            EXPECT_EQ(fake_.options.publicKey.has_value(), c.checksSignature) << c.arguments[0];
            EXPECT_EQ(fake_.options.allowDowngrade, c.allowsDowngrade) << c.arguments[0];
        } else {
            EXPECT_EQ(Output(), Banner + Usage) << c.arguments[0];
            EXPECT_EQ(console_.linesRead, 1);
        }
    }
}

TEST_F(DriverTest, HelpAndVersionAnswerAtOnce) {
    const std::string version = kestro_version();
    EXPECT_EQ(Run({"--version"}), 0);
    EXPECT_EQ(Output(), "Kestro " + version + "\r\nDelta formats: 1.0 2.0 2.1 2.2 2.3 2.4 3.0\r\n");
    EXPECT_EQ(Run({"--help", "app/tool.exe_2.kst"}), 0);
    const std::string help = Output();
    EXPECT_EQ(help.rfind("Kestro " + version + ": makes", 0), 0u);
    for (const char* option : {"--compact ", "--compact=2.1 ", "--sign NAME.key ",
                               "--key NAME.pub ", "--keygen NAME", "--help ", "--version "}) {
        EXPECT_NE(help.find(option), std::string::npos) << option;
    }
    EXPECT_EQ(console_.linesRead, 0);
    EXPECT_FALSE(fake_.called);
}

TEST_F(DriverTest, AnEmptyFileNameOrAKeyNameWithoutOneIsNamedAndNotWaitedOn) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--key", "", "app/tool.exe_2.kst"}, "Option --key needs a file name, not an empty one."},
        {{"--sign", "", "app/tool.exe", "tool2.exe"},
         "Option --sign needs a file name, not an empty one."},
        {{"--keygen", ""}, "Option --keygen needs a file name, not an empty one."},
        {{"--keygen", "app/"}, "A key name must end in a file name: app/."},
    };
    for (const auto& [arguments, message] : cases) {
        console_.linesRead = 0;
        EXPECT_EQ(Run(arguments), 1);
        EXPECT_TRUE(Output().ends_with("\n" + message + "\r\n")) << Output();
        EXPECT_EQ(console_.linesRead, 0);
        EXPECT_FALSE(fake_.called);
    }
    EXPECT_FALSE(fs::exists(dir_.Path() / "app" / ".key"));
}

TEST_F(DriverTest, KeygenWritesAKeyPairOnceAndKeyFilesMustHoldKeys) {
    EXPECT_EQ(Run({"--keygen", "release"}), 0);
    const std::string id = KeyFingerprint(ReadPublicKeyFile("release.pub"));
    EXPECT_EQ(Output(), "Private key: release.key (keep it to yourself)\r\nPublic key: "
                        "release.pub\r\nKey id: " +
                            id + "\r\n");
    EXPECT_EQ(Run({"--keygen", "release"}), 1);
    EXPECT_NE(Output().find("File exists: release.key."), std::string::npos) << Output();
    // A file that holds no key stops the run before the operation.
    EXPECT_EQ(Run({"--key", "app/tool.exe", "app/tool.exe_2.kst"}), 1);
    EXPECT_NE(Output().find("Not an Ed25519 public key: app/tool.exe."), std::string::npos);
    EXPECT_EQ(Run({"--sign", "release.pub", "app/tool.exe", "tool2.exe"}), 1);
    EXPECT_NE(Output().find("Not an Ed25519 private key: release.pub."), std::string::npos);
    EXPECT_FALSE(fake_.called);
}

TEST_F(DriverTest, ProgressIsOneLineOnATerminalWipedBeforeTheResult) {
    fake_.waits = true;
    fake_.progress = {{Phase::Sorting, 0, 64 << 20, 0, 32 << 20},
                      {Phase::Sorting, 0, 64 << 20, 0, 32 << 20},
                      {Phase::Coding, 40 << 20, 80 << 20, 40 << 20, 80 << 20},
                      {Phase::Coding, 3 << 10, 1 << 20, 3 << 10, 1 << 20}};
    EXPECT_EQ(Run({"app/tool.exe", "tool2.exe"}, true), 0);
    // Each text once; a shorter one blanks the rest of the longer; the
    // result and the line of a wait start on a clean line.
    const std::string sorting = "Sorting the original: 0% (0 MiB of 64 MiB)";
    const std::string coding = "Coding: 50% (40 MiB of 80 MiB)";
    const std::string small = "Coding: 0% (3 KiB of 1024 KiB)";
    EXPECT_EQ(Output(), Banner + "Waiting for another run to finish with tool.exe...\r\n" + "\r" +
                            sorting + "\r" + coding +
                            std::string(sorting.size() - coding.size(), ' ') + "\r" + small + "\r" +
                            std::string(small.size(), ' ') + "\r" + "OK\r\n");
    // A narrow terminal gets each text cut to one character less than its
    // width, so that no line wraps where "\r" would not reach it.
    EXPECT_EQ(Run({"app/tool.exe", "tool2.exe"}, true, 21), 0);
    EXPECT_EQ(Output(), Banner + "Waiting for another run to finish with tool.exe...\r\n" + "\r" +
                            sorting.substr(0, 20) + "\r" + coding.substr(0, 20) + "\r" +
                            small.substr(0, 20) + "\r" + std::string(20, ' ') + "\r" + "OK\r\n");
    // To a file or pipe the output stays as it was.
    EXPECT_EQ(Run({"app/tool.exe", "tool2.exe"}), 0);
    EXPECT_EQ(Output(),
              Banner + "Waiting for another run to finish with tool.exe...\r\n" + "OK\r\n");
}

TEST_F(DriverTest, CreateRunsInTheOriginalsDirectoryWithBareNames) {
    EXPECT_EQ(Run({"app/tool.exe", "tool2.exe"}), 0);
    EXPECT_EQ(Output(), Banner + "OK\r\n");
    ASSERT_TRUE(fake_.called);
    EXPECT_EQ(*fake_.called, (std::vector<std::string>{"tool.exe", "tool2.exe"}));
    EXPECT_EQ(fake_.calledIn, AppDir());
    EXPECT_EQ(fs::current_path(), fs::canonical(dir_.Path()));
}

TEST_F(DriverTest, CreateWithoutDirectoryPartStaysInTheWorkingDirectory) {
    fs::current_path(dir_.Path() / "app");
    EXPECT_EQ(Run({"tool.exe", "tool2.exe"}), 0);
    EXPECT_EQ(fake_.calledIn, AppDir());
    EXPECT_EQ(Output(), Banner + "OK\r\n");
}

TEST_F(DriverTest, NewerFileIsTheFileNamed) {
    // A bare name lies beside the original; a path is taken from the folder
    // the run started in (empty: "Newer file does not exists!").
    const fs::path here = fs::canonical(dir_.Path());
    for (const auto& [newer, passed] : std::vector<std::pair<std::string, fs::path>>{
             {"tool2.exe", "tool2.exe"},
             {"elsewhere.exe", ""},
             {"./elsewhere.exe", here / "elsewhere.exe"},
             {"app/tool2.exe", here / "app/tool2.exe"},
             {(here / "elsewhere.exe").string(), here / "elsewhere.exe"},
             {"other/tool2.exe", ""}}) {
        fake_.called.reset();
        EXPECT_EQ(Run({"app/tool.exe", newer}), 0);
        const bool found = !passed.empty();
        EXPECT_EQ(Output(), Banner + (found ? "OK\r\n" : "Newer file does not exists!\r\n"));
        ASSERT_EQ(fake_.called.has_value(), found) << newer;
        EXPECT_TRUE(!found || fs::path((*fake_.called)[1]).lexically_normal() == passed) << newer;
    }
}

TEST_F(DriverTest, MissingOrDirectoryArgumentsAreReported) {
    EXPECT_EQ(Run({"app/missing.exe", "tool2.exe"}), 0);
    EXPECT_EQ(Output(), Banner + "Original file does not exists!\r\n");
    EXPECT_EQ(Run({"app", "app/tool2.exe"}), 0);
    EXPECT_EQ(Output(), Banner + "Original file does not exists!\r\n");
    // The original's directory does not exist: a file of the same name in
    // the working directory must not be taken for it.
    EXPECT_EQ(Run({"nowhere/elsewhere.exe", "elsewhere.exe"}), 0);
    EXPECT_EQ(Output(), Banner + "Original file does not exists!\r\n");
    EXPECT_EQ(Run({"app/tool.exe", "app"}), 0);
    EXPECT_EQ(Output(), Banner + "Newer file does not exists!\r\n");
    EXPECT_EQ(Run({"app/missing.kst"}), 0);
    EXPECT_EQ(Output(), Banner + "Delta file does not exists!\r\n");
    EXPECT_EQ(Run({"app"}), 0);
    EXPECT_EQ(Output(), Banner + "Delta file does not exists!\r\n");
    EXPECT_FALSE(fake_.called);
    EXPECT_EQ(fs::current_path(), fs::canonical(dir_.Path()));
}

TEST_F(DriverTest, ApplyChecksTheNameAsTypedThenRunsInItsDirectory) {
    EXPECT_EQ(Run({"app/tool.exe_2.kst"}), 0);
    ASSERT_TRUE(fake_.called);
    EXPECT_EQ(*fake_.called, (std::vector<std::string>{"tool.exe_2.kst"}));
    EXPECT_EQ(fake_.calledIn, AppDir());
    EXPECT_EQ(Output(), Banner + "OK\r\n");
}

TEST_F(DriverTest, AFolderTooLongToBeTheWorkingFolderNamesItsFilesInFull) {
    // Windows lets the working folder be at most MAX_PATH - 2 characters
    // long (the port refuses a longer one under Wine too): the operations
    // then get full paths, and the working folder stays. POSIX enters the
    // folder as ever.
    fs::path deep = dir_.Path() / "app";
    std::string relative = "app";
    for (char level = 'a'; level < 'h'; ++level) {
        deep /= std::string(40, level);
        relative += "/" + std::string(40, level);
        ASSERT_EQ(MakeFolder(test::TextOf(deep)), NameOutcome::Made);
    }
    for (const char* name : {"tool.exe", "tool2.exe", "tool.exe_2.kst"}) {
        FileStream::Create(test::TextOf(deep / name)).Close();
    }
    const std::string here = test::TextOf(fs::canonical(dir_.Path()));
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{relative + "/tool.exe", "tool2.exe"},
          std::vector<std::string>{relative + "/tool.exe_2.kst"}}) {
        fake_.called.reset();
        EXPECT_EQ(Run(arguments), 0);
        EXPECT_EQ(Output(), Banner + "OK\r\n");
        ASSERT_TRUE(fake_.called);
        const std::vector<std::string>& names = *fake_.called;
#ifdef _WIN32
        EXPECT_EQ(fake_.calledIn, here);
        EXPECT_TRUE(SameExistingFile(names[0], test::TextOf(deep / FileNamePart(arguments[0]))))
            << names[0];
        EXPECT_TRUE(names.size() == 1 ||
                    SameExistingFile(names[1], test::TextOf(deep / "tool2.exe")))
            << names[1];
        EXPECT_GT(names[0].size(), 300u);
#else
        EXPECT_EQ(fake_.calledIn, test::TextOf(fs::canonical(deep)));
        EXPECT_EQ(names[0], FileNamePart(arguments[0]));
        EXPECT_TRUE(names.size() == 1 || names[1] == "tool2.exe");
#endif
        EXPECT_EQ(test::TextOf(fs::current_path()), here);
    }
}

TEST_F(DriverTest, AWaitIsToldInOneLineBeforeTheResult) {
    fake_.waits = true;
    EXPECT_EQ(Run({"app/tool.exe_2.kst"}), 0);
    EXPECT_EQ(Output(),
              Banner + "Waiting for another run to finish with tool.exe_2.kst...\r\nOK\r\n");
    EXPECT_EQ(Run({"app/tool.exe", "tool2.exe"}), 0);
    EXPECT_EQ(Output(), Banner + "Waiting for another run to finish with tool.exe...\r\nOK\r\n");
}

TEST_F(DriverTest, EveryResultCodePrintsItsMessage) {
    const std::vector<std::pair<std::int32_t, std::string>> expected = {
        {ResultOk, "OK\r\n"},
        {ResultNewerUnversioned, "Warning: Newer file doesn't have file version information\r\n"},
        {ResultOriginalUnversioned, "Warning: Old file doesn't have file version information\r\n"},
        {ResultCrcWrong, "Error: CRC is wrong\r\n"},
        {ResultWrongSourceVersion, "Error: Wrong version of source file!\r\n"},
        {ResultSourceUnversioned,
         "Warning: Source File has no file version information included!\r\n"},
        {ResultNoTarget, "Error: There's no file to Expand!\r\n"},
        {ResultWrongDeltaVersion,
         "Error: Wrong version of delta file!\r\nCheck if newer version is available\r\n"},
        {ResultNotADelta, "Error: This no delta file of Kestro!\r\n"},
        {ResultAlreadyUpdated, "Error: Source file already updated!\r\n"},
        {ResultMessagePrinted, ""},
        {-1, ""},
    };
    for (const auto& [code, message] : expected) {
        fake_.code = code;
        EXPECT_EQ(Run({"app/tool.exe_2.kst"}), 0) << code;
        EXPECT_EQ(Output(), Banner + message) << code;
    }
}

TEST_F(DriverTest, FailureIsReportedWithStatusOneAndDirectoryRestored) {
    fake_.raise = true;
    EXPECT_EQ(Run({"app/tool.exe", "tool2.exe"}), 1);
    EXPECT_EQ(fs::current_path(), fs::canonical(dir_.Path()));
    const std::string out = Output();
    ASSERT_EQ(out.substr(0, Banner.size()), Banner);
    const std::string report = out.substr(Banner.size());
    // "Exception EFCreateError in module kestro at XXXXXXXX.\n<message>.\r\n"
    const std::string head = "Exception EFCreateError in module kestro at ";
    ASSERT_EQ(report.substr(0, head.size()), head);
    const std::string location = report.substr(head.size(), 8);
    EXPECT_EQ(location.find_first_not_of("0123456789ABCDEF"), std::string::npos) << location;
    EXPECT_EQ(report.substr(head.size() + 8), ".\nCannot create file tool.exe_1.0.kst.\r\n");
}

TEST(FailureReport, FormsKindMessageFullStopAndLengthLimit) {
    EXPECT_EQ(FailureReport(Exception("CRC Error"), "kestro.exe").substr(0, 33),
              "Exception Exception in module kes");
    const std::string crc = FailureReport(Exception("CRC Error"), "kestro.exe");
    EXPECT_EQ(crc.substr(crc.size() - 12), ".\nCRC Error.");
    const std::string stopped = FailureReport(EReadError("Ends here."), "k");
    EXPECT_EQ(stopped.substr(stopped.size() - 12), ".\nEnds here.");
    const std::string empty = FailureReport(Exception(""), "k");
    EXPECT_EQ(empty.substr(empty.size() - 2), ".\n");
    const std::string memory = FailureReport(std::bad_alloc(), "k");
    EXPECT_EQ(memory.substr(0, 23), "Exception EOutOfMemory ");
    EXPECT_EQ(memory.substr(memory.size() - 16), ".\nOut of memory.");
    const std::string longReport = FailureReport(EFOpenError(std::string(3000, 'x')), "k");
    EXPECT_EQ(longReport.size(), 1024u);
}

} // namespace
} // namespace kestro
