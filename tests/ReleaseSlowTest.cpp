// Release packages stopped at every file call: an interrupt in the
// process, and the real program killed and run again.
#include "DiffUnit/ResultCodes.hpp"
#include "common/Failures.hpp"
#include "platform/FaultInjection.hpp"
#include "platform/Interrupts.hpp"
#include "release/ReleasePackage.hpp"

#include "ReleaseSupport.hpp"
#include "TestSupport.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <tuple>

namespace kestro {
namespace {

namespace fs = std::filesystem;
using test::Bytes;

// An interrupt at every file call of a create and of an apply stops it
// there, with nothing made and the folder as it was.
TEST(InterruptedRelease, AnInterruptAtAnyFileCallLeavesEverythingAsItWas) {
    const Tree original = {{"hello.exe", File(SampleProgram("hello.exe"))},
                           {"lib", Folder()},
                           {"lib/a.bin", File(RandomText(5000, 8))}};
    const Tree newer = {{"hello.exe", File(SampleProgram("hello-1.0.0.2.exe"))},
                        {"lib", Folder()},
                        {"lib/b.bin", File(RandomText(5000, 8))},
                        {"c.txt", File("c")}};
    ReleaseFolders folders(original, newer);
    const auto walk = [&](const std::function<std::int32_t()>& operation) {
        InjectFaultAt(0);
        const std::vector<std::string> before = folders.Others();
        EXPECT_EQ(operation(), ResultOk);
        const std::int64_t calls = CountedFileCalls();
        const std::vector<std::string> after = folders.Others();
        return std::make_tuple(before, after, calls);
    };
    // The create, once for its count, then interrupted at each call.
    const auto [none, made, createCalls] =
        walk([&] { return MakeRelease(folders.Name("app"), folders.Name("app-new"), {}); });
    ASSERT_EQ(made.size(), 1u);
    const std::string package = folders.Name(made.front());
    const Bytes good = test::ReadBytes(package);
    fs::remove(package);
    int stopped = 0;
    for (std::int64_t n = 1; n <= createCalls; ++n) {
        InjectActionAt(n, RequestInterrupt);
        try {
            MakeRelease(folders.Name("app"), folders.Name("app-new"), {});
            // Interrupted once the package has its name: nothing left to
            // stop.
            EXPECT_EQ(test::ReadBytes(package), good) << n;
            fs::remove(package);
        } catch (const EInterrupted&) {
            ++stopped;
        }
        InjectFaultAt(0);
        ClearInterrupt();
        EXPECT_EQ(folders.Others(), none) << n;
    }
    EXPECT_GT(stopped, createCalls / 2);
    test::WriteBytes(package, good);
    const auto [before, applied, applyCalls] = walk([&] { return ApplyRelease(package, {}); });
    // Each call interrupted, then each failed as the system would fail it
    // (a file held open, on Windows, among them).
    int interrupted = 0;
    for (std::int64_t n = 1; n <= 2 * applyCalls; ++n) {
        fs::remove_all(folders.Name("app"));
        fs::rename(folders.Name("app_1.0.0.1.org"), folders.Name("app"));
        if (n <= applyCalls) {
            InjectActionAt(n, RequestInterrupt);
        } else {
            InjectFaultAt(n - applyCalls);
        }
        bool done = false;
        try {
            done = ApplyRelease(package, {}) == ResultOk;
        } catch (const Exception&) {
            ++interrupted;
        }
        InjectFaultAt(0);
        ClearInterrupt();
        // An interrupt after the switch's last rename has nothing left to
        // stop; any earlier one leaves the old release and nothing else.
        EXPECT_EQ(ReadTree(folders.Name("app")), AsWindowsKeepsIt(done ? newer : original)) << n;
        if (done && fs::exists(folders.Name("app.kestro-journal"))) {
            // The journal of a switch made could not be removed: the next
            // run does.
            EXPECT_EQ(ApplyRelease(package, {}), ResultAlreadyUpdated) << n;
        }
        EXPECT_EQ(folders.Others(), done ? applied : before) << n;
        if (!done) {
            ASSERT_EQ(ApplyRelease(package, {}), ResultOk) << n;
        }
    }
    EXPECT_GT(interrupted, applyCalls);
}

// The real program is killed at every file call of an apply, as a power
// cut would stop it, and then run again: in between the folder is the old
// release or the new one (or, between the two renames, absent with the
// journal there); after the next run it is the new one, with its backup,
// and nothing else is left.
TEST(KilledRelease, EveryKillIsFinishedByTheNextRun) {
    const Tree original = {{"hello.exe", File(SampleProgram("hello.exe"), 0755)},
                           {"lib", Folder()},
                           {"lib/a.bin", File(RandomText(20000, 7))},
                           {"gone.txt", File("gone")}};
    const Tree newer = {{"hello.exe", File(SampleProgram("hello-1.0.0.2.exe"), 0755)},
                        {"lib", Folder()},
                        {"lib/b.bin", File(original.at("lib/a.bin").content)},
                        {"new.txt", File("new")}};
    ReleaseFolders folders(original, newer);
    const std::string package = folders.Make();
    fs::remove_all(folders.Name("app-new"));
    const auto run = [&](const std::vector<std::string>& arguments) {
        return test::RunProcess(arguments.front(),
                                std::vector<std::string>(arguments.begin() + 1, arguments.end()),
                                folders.Dir());
    };
    const test::ProcessResult counted = run({KESTRO_FAULTY_PROGRAM, "count", "0", package});
    ASSERT_EQ(counted.status, 0) << counted.output;
    const std::int64_t calls = std::stoll(counted.errors);
    ASSERT_GT(calls, 20);
    const std::string backup = folders.Name("app_1.0.0.1.org");
    for (std::int64_t n = 1; n <= calls; ++n) {
        const std::string when = "killed at call " + std::to_string(n);
        fs::remove_all(folders.Name("app"));
        fs::remove_all(backup);
        WriteTree(folders.Name("app"), original);
        const test::ProcessResult killed =
            run({KESTRO_FAULTY_PROGRAM, "kill", std::to_string(n), package});
        EXPECT_TRUE(killed.status == 137 || killed.signal == 9) << when;
        if (fs::exists(folders.Name("app"))) {
            const Tree now = ReadTree(folders.Name("app"));
            EXPECT_TRUE(now == AsWindowsKeepsIt(original) || now == AsWindowsKeepsIt(newer))
                << when;
        } else {
            EXPECT_TRUE(fs::exists(folders.Name("app.kestro-journal"))) << when;
        }
        const test::ProcessResult again = run({KESTRO_PROGRAM, package});
        EXPECT_EQ(again.status, 0) << when;
        EXPECT_TRUE(again.output.ends_with("OK\r\n") ||
                    again.output.ends_with("Error: Source file already updated!\r\n"))
            << when << ": " << again.output;
        EXPECT_EQ(ReadTree(folders.Name("app")), AsWindowsKeepsIt(newer)) << when;
        EXPECT_EQ(ReadTree(backup), AsWindowsKeepsIt(original)) << when;
        EXPECT_EQ(folders.Others(),
                  (std::vector<std::string>{"app_1.0.0.1.org", "app_1.0.0.2.kst"}))
            << when;
    }
}

} // namespace
} // namespace kestro
