// The process runner that the tests start the real program with
// (platform/Process.hpp, through TestSupport's RunProcess), on the child
// program kestro_process_child, and the file read that names the system's
// reason for a failure.
#include "platform/Process.hpp"

#include "TestSupport.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <stdexcept>
#include <thread>

namespace kestro {
namespace {

const std::string Child = KESTRO_PROCESS_CHILD;

// What the child writes for arguments after a flood of size bytes.
std::string ExpectedOutput(std::size_t flood, const std::vector<std::string>& arguments) {
    std::string output(flood, 'o');
    for (const std::string& argument : arguments) {
        output += argument;
        output += '\0';
    }
    return output;
}

TEST(Process, ArgumentsArriveIntactAndBothOutputsAndTheStatusComeBack) {
    test::ScratchDir dir;
    // Spaces, quotes, backslashes before a quote and at the end, an empty
    // argument, a tab: each must reach the child as it was given.
    const std::vector<std::string> arguments = {"plain",
                                                "with space",
                                                "",
                                                R"(a"b)",
                                                R"(end\)",
                                                R"(mid\dle)",
                                                R"(two\\"q)",
                                                "tab\there",
                                                R"(C:\dir with space\)",
                                                R"(" starts with a quote)",
                                                R"(\\server\share)"};
    std::vector<std::string> all = {"3", "0"};
    all.insert(all.end(), arguments.begin(), arguments.end());
    const test::ProcessResult result = test::RunProcess(Child, all, dir);
    EXPECT_EQ(result.status, 3);
    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(result.output, ExpectedOutput(0, arguments));
    // Standard input is empty, not this process's own.
    EXPECT_EQ(result.errors, "input=0");
}

TEST(Process, BothPipesAreReadAtOnceAndRunsInThreadsKeepTheirOwn) {
    // More on each pipe than a pipe holds, written alternately: a runner
    // that read one pipe to its end first would never finish. Four runs
    // at once must each get their own output and status.
    const std::size_t flood = 1 << 20;
    test::ScratchDir dir;
    std::vector<test::ProcessResult> results(4);
    {
        std::vector<std::jthread> runs;
        for (std::size_t i = 0; i < results.size(); ++i) {
            runs.emplace_back([&, i] {
                results[i] = test::RunProcess(
                    Child, {std::to_string(i), std::to_string(flood), "run " + std::to_string(i)},
                    dir);
            });
        }
    }
    for (std::size_t i = 0; i < results.size(); ++i) {
        EXPECT_EQ(results[i].status, static_cast<int>(i));
        EXPECT_TRUE(results[i].output == ExpectedOutput(flood, {"run " + std::to_string(i)}))
            << "run " << i << " wrote " << results[i].output.size() << " bytes";
        EXPECT_TRUE(results[i].errors == std::string(flood, 'e') + "input=0")
            << "run " << i << " wrote " << results[i].errors.size() << " bytes of errors";
    }
}

TEST(Process, KilledChildLosesWhatItHadNotFlushedAndShowsTheKill) {
    test::ScratchDir dir;
    const test::ProcessResult killed = test::RunProcess(Child, {"kill", "0", "before"}, dir);
#ifdef _WIN32
    EXPECT_EQ(killed.status, 137);
#else
    EXPECT_EQ(killed.status, -1);
    EXPECT_EQ(killed.signal, 9);
#endif
    // What was flushed arrived; what was still buffered did not, since no
    // clean-up of any kind ran.
    EXPECT_EQ(killed.output, ExpectedOutput(0, {"before"}));
    EXPECT_EQ(killed.errors, "input=0");
}

#ifndef _WIN32
TEST(Process, ChildStartsWithTheDefaultInterruptActionsWhateverThisProcessHas) {
    // A test runner started in the background by a script ignores SIGINT;
    // the program would inherit that and leave it so, and the tests of its
    // interrupt handling would see no interrupt.
    struct Restore {
        void (*previous)(int);
        ~Restore() { std::signal(SIGINT, previous); }
    } restore{std::signal(SIGINT, SIG_IGN)};
    test::ScratchDir dir;
    const test::ProcessResult result = test::RunProcess(Child, {"sigint", "0"}, dir);
    EXPECT_EQ(result.signal, SIGINT);
    EXPECT_EQ(result.status, -1);
}
#endif

TEST(Process, AProgramThatCannotStartSaysWhy) {
    test::ScratchDir dir;
    const std::string missing = dir.File("no-such-program.exe");
    try {
        test::RunProcess(missing, {}, dir);
        ADD_FAILURE() << "started " << missing;
    } catch (const std::runtime_error& failure) {
        EXPECT_TRUE(std::string(failure.what()).starts_with("cannot start " + missing + ": "))
            << failure.what();
    }
}

TEST(Process, UnreadableFileNamesTheSystemsReason) {
    test::ScratchDir dir;
    const std::string missing = dir.File("missing.bin");
#ifdef _WIN32
    const std::string reason = "(error 2)"; // ERROR_FILE_NOT_FOUND
#else
    const std::string reason = "(errno 2)"; // ENOENT
#endif
    try {
        test::ReadBytes(missing);
        ADD_FAILURE() << "read " << missing;
    } catch (const std::runtime_error& failure) {
        const std::string message = failure.what();
        EXPECT_TRUE(message.starts_with("cannot read " + missing + ": ")) << message;
        EXPECT_TRUE(message.ends_with(reason)) << message;
        EXPECT_GT(message.size(), ("cannot read " + missing + ": " + reason).size()) << message;
    }
    test::WriteBytes(dir.File("present.bin"), test::ToBytes("abc"));
    EXPECT_EQ(test::ReadBytes(dir.File("present.bin")), test::ToBytes("abc"));
}

TEST(Process, WindowsCommandLineQuotesOnlyWhatTheSplittingWouldChange) {
    EXPECT_EQ(process::WindowsCommandLine(R"(C:\bin\k.exe)", {}), R"(C:\bin\k.exe)");
    EXPECT_EQ(process::WindowsCommandLine(R"(C:\Program Files\k.exe)",
                                          {"plain", "two words", "", R"(end\)", R"(mid\dle)"}),
              R"("C:\Program Files\k.exe" plain "two words" "" end\ mid\dle)");
    // Before a quote, and before the closing quote, backslashes double;
    // elsewhere they stand as they are.
    EXPECT_EQ(process::WindowsCommandLine(
                  "k", {R"(a"b)", R"(two\\"q)", R"(dir with space\)", R"(a\b c)", "tab\tx"}),
              "k \"a\\\"b\" \"two\\\\\\\\\\\"q\" \"dir with space\\\\\" \"a\\b c\" \"tab\tx\"");
}

} // namespace
} // namespace kestro
