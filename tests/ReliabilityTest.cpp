// What kestro promises whatever goes wrong underneath it: an operation either
// completes exactly, or fails, says so, and leaves every file as it was. A
// compact create interrupted where it reports its work, the target swapped
// at every file call of an apply, a refused change of owner, and runs that
// meet at a lock; the walks over every call of whole operations are in
// ReliabilitySlowTest.
#include "DiffUnit/DeltaPackage.hpp"
#include "DiffUnit/Driver.hpp"
#include "DiffUnit/ResultCodes.hpp"
#include "common/Failures.hpp"
#include "platform/FaultInjection.hpp"
#include "platform/Files.hpp"
#include "platform/Interrupts.hpp"
#include "platform/Locks.hpp"

#include "ImageBuilder.hpp"
#include "ReliabilitySupport.hpp"
#include "TestSupport.hpp"

#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

namespace kestro {
namespace {

namespace fs = std::filesystem;
using test::Bytes;

// A compact create stops at the report of its work where an interrupt
// arrives, also in the stretches that read and write nothing for a long
// time (sorting, searching, coding) and with nobody watching its progress:
// at its first report, one in the middle and its last, it ends with
// EInterrupted after no further report and leaves no delta.
TEST(InterruptedWork, CompactCreateStopsAtTheReportWhereTheInterruptArrives) {
    test::ScratchDir dir;
    const auto [original, newer] = test::SamplePrograms();
    test::WriteBytes(dir.File("hello.exe"), original);
    test::WriteBytes(dir.File("hello-1.0.0.2.exe"), newer);
    OperationOptions options;
    options.format = DeltaFormat::Compact;
    const auto create = [&] {
        return MakeDelta(dir.File("hello.exe"), dir.File("hello-1.0.0.2.exe"), options);
    };
    InjectActionAtReport(0, nullptr);
    ASSERT_EQ(create(), ResultOk);
    const std::int64_t reports = CountedReports();
    ASSERT_GT(reports, 4);
    fs::remove(dir.File("hello.exe_1.0.0.2.kst"));
    for (const std::int64_t n : {std::int64_t{1}, reports / 2, reports}) {
        InjectActionAtReport(n, RequestInterrupt);
        EXPECT_THROW(create(), EInterrupted) << n;
        EXPECT_EQ(CountedReports(), n);
        ClearInterrupt();
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()), 2)
            << n;
    }
    InjectActionAtReport(0, nullptr);
}

// The same for images built to keep the model busy, in whose loops that
// read and write nothing the create polls as it goes: a newer version whose
// 4096 sections hold the same MiB of code (65535 kept a create busy past
// ten minutes, deaf to signals), against the image with one such section. (While it waits for its
// coders the encoder reports every 50 ms, so the number of reports varies from run to run.)
TEST(InterruptedWork, CompactCreateOfHostileImagesStopsAtTheReportWhereTheInterruptArrives) {
    for (const ImageFormat format : {ImageFormat::Pe, ImageFormat::Elf}) {
        SCOPED_TRACE(format == ImageFormat::Pe ? "PE" : "ELF");
        test::ScratchDir dir;
        test::WriteBytes(dir.File("original.exe"), test::OverlappingCode(format, 1, 1 << 20));
        test::WriteBytes(dir.File("newer.exe"), test::OverlappingCode(format, 4096, 1 << 20));
        OperationOptions options;
        options.format = DeltaFormat::Compact;
        const auto create = [&] {
            return MakeDelta(dir.File("original.exe"), dir.File("newer.exe"), options);
        };
        InjectActionAtReport(0, nullptr);
        ASSERT_EQ(create(), ResultNewerUnversioned);
        const std::int64_t reports = CountedReports();
        ASSERT_GT(reports, 4);
        fs::remove(dir.File("original.exe_.kst"));
        for (const std::int64_t n : {std::int64_t{1}, reports / 2, reports * 3 / 4}) {
            InjectActionAtReport(n, RequestInterrupt);
            EXPECT_THROW(create(), EInterrupted) << n;
            EXPECT_EQ(CountedReports(), n);
            ClearInterrupt();
            EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()),
                      2)
                << n;
        }
        InjectActionAtReport(0, nullptr);
    }
}

// The sample programs in dir, hello.exe and hello-1.0.0.2.exe, and the
// delta between them.
std::pair<Bytes, Bytes> SamplesAndTheirDelta(const test::ScratchDir& dir) {
    const auto samples = test::SamplePrograms();
    test::WriteBytes(dir.File("hello.exe"), samples.first);
    test::WriteBytes(dir.File("hello-1.0.0.2.exe"), samples.second);
    EXPECT_EQ(RunInProcess({dir.File("hello.exe"), dir.File("hello-1.0.0.2.exe")}).output, Ok);
    return samples;
}

// What a test renames over the target at a chosen file-system call of an
// apply, as another program could: a file that is neither the original nor
// the newer one. afterPublish tells whether the target already was the
// newer file then.
struct SwapState {
    std::string target;
    std::string foreign;
    Bytes foreignBytes;
    Bytes newer;
    bool afterPublish = false;
    bool swapped = false;
} swap;

void SwapTheTarget() {
    swap.afterPublish = test::ReadBytes(swap.target) == swap.newer;
    test::WriteBytes(swap.foreign, swap.foreignBytes);
    // Not thrown: the seam runs this inside the program's own calls.
    std::error_code error;
    fs::rename(swap.foreign, swap.target, error);
    swap.swapped = !error;
}

TEST(SwappedTarget, NeverAnOkWithoutTheCheckedOriginalInTheBackup) {
    test::ScratchDir dir;
    const auto [original, newer] = SamplesAndTheirDelta(dir);
    fs::remove(dir.File("hello-1.0.0.2.exe"));
    const std::string backup = dir.File("hello.exe_1.0.0.1.org");
    const std::vector<std::string> apply = {dir.File("hello.exe_1.0.0.2.kst")};
    swap = {dir.File("hello.exe"), dir.File("foreign.exe"), test::Random(3000, 11), newer};
    const FolderState before = StateOf(dir.Path());
    InjectFaultAt(0);
    RunInProcess(apply);
    const std::int64_t calls = CountedFileCalls();
    ASSERT_GT(calls, 10);
    std::map<std::string, int> outcomes;
    for (std::int64_t n = 1; n <= calls; ++n) {
        Restore(dir.Path(), before);
        InjectActionAt(n, SwapTheTarget);
        const Outcome outcome = RunInProcess(apply);
        InjectFaultAt(0);
        const std::string when = "swap at call " + std::to_string(n) + ": " + outcome.output;
        FolderState after = StateOf(dir.Path());
        if (!swap.swapped) {
            // Windows refuses to rename over a file open in the program.
            EXPECT_TRUE(OpenFileBlocksReplace()) << when;
            EXPECT_EQ(outcome.output, Ok) << when;
            EXPECT_EQ(after[FileNamePart(swap.target)], newer) << when;
            EXPECT_EQ(test::ReadBytes(backup), original) << when;
            ++outcomes["not swapped"];
        } else if (outcome.output == Ok) {
            // The backup is the checked original; the target the newer
            // file, unless the swap came after the newer file took the name.
            EXPECT_EQ(after[FileNamePart(swap.target)],
                      swap.afterPublish ? swap.foreignBytes : newer)
                << when;
            ASSERT_TRUE(fs::exists(backup)) << when;
            EXPECT_EQ(test::ReadBytes(backup), original) << when;
            ++outcomes[swap.afterPublish ? "ok, swapped after publishing" : "ok"];
        } else {
            // Refused: the foreign file stays, and no backup was left.
            if (outcome.status == 1) {
                EXPECT_TRUE(outcome.output.find("File changed while reading: hello.exe") !=
                            std::string::npos)
                    << when;
            }
            EXPECT_EQ(test::ReadBytes(swap.target), swap.foreignBytes) << when;
            EXPECT_FALSE(fs::exists(backup)) << when;
            EXPECT_EQ(after.size(), before.size()) << when;
            ++outcomes[outcome.status == 1 ? "failed" : "refused by the checks"];
        }
    }
    for (const auto& [outcome, count] : outcomes) {
        RecordProperty(outcome, count);
    }
    EXPECT_GT(outcomes["failed"], 0);
    EXPECT_GT(outcomes["ok"] + outcomes["ok, swapped after publishing"], 0);
}

#ifndef _WIN32
TEST(OwnerRefused, TheRebuiltFileLeavesOutSetuidAndSetgid) {
    // A fault at every call of an apply in turn: the one at the call that
    // gives the rebuilt file the target's owner stands for a refused chown.
    test::ScratchDir dir;
    const auto [original, newer] = SamplesAndTheirDelta(dir);
    const fs::perms plain = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_read | fs::perms::others_exec;
    const fs::perms special = plain | fs::perms::set_uid | fs::perms::set_gid;
    const std::vector<std::string> apply = {dir.File("hello.exe_1.0.0.2.kst")};
    const std::string backup = dir.File("hello.exe_1.0.0.1.org");
    std::map<fs::perms, int> updated;
    std::int64_t calls = 0;
    for (std::int64_t n = 0; n <= calls; ++n) {
        fs::remove(backup);
        test::WriteBytes(dir.File("hello.exe"), original);
        fs::permissions(dir.File("hello.exe"), special);
        InjectFaultAt(n);
        const Outcome outcome = RunInProcess(apply);
        const std::int64_t counted = CountedFileCalls();
        InjectFaultAt(0);
        if (n == 0) {
            calls = counted;
        } else if (outcome.output == Ok) {
            ++updated[fs::status(dir.File("hello.exe")).permissions()];
            // The backup is the original, bits and all.
            EXPECT_EQ(fs::status(backup).permissions(), special) << "fault at call " << n;
        }
    }
    EXPECT_EQ(updated.size(), 2u);
    EXPECT_EQ(updated[plain], 1);
    EXPECT_GT(updated[special], 1);
}
#endif

// A run that has to wait for another run's lock tells its waiting callback
// the name it waits for, once, and goes on when the lock is let go.
TEST(Locking, AWaitingRunIsToldOnceAndGoesOnWhenTheLockIsFree) {
    test::ScratchDir dir;
    const auto [original, newer] = SamplesAndTheirDelta(dir);
    const std::string delta = dir.File("hello.exe_1.0.0.2.kst");
    struct Case {
        std::string locked; // the name whose lock the operation needs
        std::function<std::int32_t(const OperationOptions&)> run;
    };
    const Case cases[] = {
        {delta,
         [&](const OperationOptions& options) {
             return MakeDelta(dir.File("hello.exe"), dir.File("hello-1.0.0.2.exe"), options);
         }},
        {dir.File("hello.exe"),
         [&](const OperationOptions& options) { return ApplyDelta(delta, options); }},
    };
    for (const Case& each : cases) {
        std::optional<FileLock> held =
            AcquireLock(LockFileName(each.locked), each.locked, std::chrono::milliseconds{0});
        ASSERT_TRUE(held);
        std::mutex mutex;
        std::condition_variable told;
        std::vector<std::string> names;
        OperationOptions options;
        options.waiting = [&](const std::string& name) {
            const std::lock_guard<std::mutex> guard(mutex);
            names.push_back(name);
            told.notify_one();
        };
        std::int32_t code = -1;
        std::string failure;
        bool done = false;
        std::thread operation([&] {
            try {
                code = each.run(options);
            } catch (const Exception& error) {
                failure = error.Message();
            }
            const std::lock_guard<std::mutex> guard(mutex);
            done = true;
            told.notify_one();
        });
        {
            std::unique_lock<std::mutex> guard(mutex);
            told.wait(guard, [&] { return !names.empty() || done; });
        }
        held.reset();
        operation.join();
        EXPECT_EQ(code, ResultOk) << each.locked << ": " << failure;
        EXPECT_EQ(names, std::vector<std::string>{each.locked});
    }
    EXPECT_EQ(test::ReadBytes(dir.File("hello.exe")), newer);
}

TEST(Locking, UpdateThatCannotGetTheLockFailsAndTouchesNothing) {
    test::ScratchDir dir;
    const auto [original, newer] = MultiBlockPair();
    test::WriteBytes(dir.File("data.bin"), original);
    test::WriteBytes(dir.File("data2.bin"), newer);
    ASSERT_EQ(RunInProcess({dir.File("data.bin"), dir.File("data2.bin")}).output, WarnNewer);
    const FolderState before = StateOf(dir.Path());
    {
        const std::optional<FileLock> held =
            AcquireLock(dir.File("data.bin.kestro-lock"), "data.bin", std::chrono::milliseconds{0});
        ASSERT_TRUE(held);
        OperationOptions options;
        options.lockWait = std::chrono::milliseconds{0};
        try {
            ApplyDelta(dir.File("data.bin_.kst"), options);
            ADD_FAILURE() << "the update ran without the lock";
        } catch (const EFOpenError& failure) {
            EXPECT_EQ(failure.Message(), "File is in use by another run: " + dir.File("data.bin"));
        }
        // The lock file is held open for this process's own use, on Windows
        // not even to be read; everything else is as it was.
        for (const auto& [name, bytes] : before) {
            EXPECT_EQ(test::ReadBytes(dir.File(name)), bytes) << name;
        }
        std::size_t files = 0;
        for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir.Path())) {
            ++files;
        }
        EXPECT_EQ(files, before.size() + 1);
    }
    EXPECT_EQ(StateOf(dir.Path()), before);
}

} // namespace
} // namespace kestro
