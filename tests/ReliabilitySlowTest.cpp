// What kestro promises whatever goes wrong underneath it, walked over whole
// operations: faults and interrupts injected into every file-system call of
// a create and of an apply in turn, inputs changed at each call of a create,
// the real program killed and interrupted at many points and run at once
// with others, and both operations out of disk space.
#include "DiffUnit/DeltaPackage.hpp"
#include "DiffUnit/DeltaSignature.hpp"
#include "DiffUnit/Driver.hpp"
#include "DiffUnit/KeyFiles.hpp"
#include "DiffUnit/ResultCodes.hpp"
#include "common/Failures.hpp"
#include "platform/FaultInjection.hpp"
#include "platform/Interrupts.hpp"

#include "ImageBuilder.hpp"
#include "ReliabilitySupport.hpp"
#include "TestSupport.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <thread>

namespace kestro {
namespace {

namespace fs = std::filesystem;
using test::Bytes;

// A versioned pair of about size bytes whose newer file differs all over.
std::pair<Bytes, Bytes> BigVersionedPair(std::size_t size) {
    std::mt19937 random(99);
    const Bytes body = test::RandomBytes(random, size);
    Bytes newerBody = body;
    for (std::size_t i = 0; i < newerBody.size(); i += 4096) {
        newerBody[i] ^= 0x11;
    }
    return {test::ProgramOfVersion(1, body), test::ProgramOfVersion(2, newerBody)};
}

// A pair of files to walk, with the names and messages of its runs.
struct WalkedPair {
    const char* label;
    std::pair<Bytes, Bytes> (*make)();
    std::string original; // file names
    std::string newer;
    std::string delta;
    std::string backup;
    std::string created; // what create and apply print on success
    std::string applied;
    bool compact = false; // the delta is made with --compact
    bool signs = false;   // and signed with the key pair "walk" of the folder
    // The create's and the apply's arguments, for files in folder.
    std::vector<std::string>
    Create(const std::function<std::string(const std::string&)>& file) const {
        std::vector<std::string> arguments = {file(original), file(newer)};
        if (compact) {
            arguments.insert(arguments.begin(), "--compact");
        }
        if (signs) {
            arguments.insert(arguments.begin(), {"--sign", file("walk.key")});
        }
        return arguments;
    }
    std::vector<std::string>
    Apply(const std::function<std::string(const std::string&)>& file) const {
        std::vector<std::string> arguments = {file(delta)};
        if (signs) {
            arguments.insert(arguments.begin(), {"--key", file("walk.pub")});
        }
        return arguments;
    }
};

const WalkedPair WalkedPairs[] = {
    {"Unversioned", MultiBlockPair, "data.bin", "data2.bin", "data.bin_.kst", "data.bin_.org",
     WarnNewer, WarnSource},
    {"VersionedSamples", test::SamplePrograms, "hello.exe", "hello-1.0.0.2.exe",
     "hello.exe_1.0.0.2.kst", "hello.exe_1.0.0.1.org", Ok, Ok},
    {"CompactUnversioned", MultiBlockPair, "data.bin", "data2.bin", "data.bin_.kst",
     "data.bin_.org", WarnNewer, WarnSource, true},
    {"SignedSamples", test::SamplePrograms, "hello.exe", "hello-1.0.0.2.exe",
     "hello.exe_1.0.0.2.kst", "hello.exe_1.0.0.1.org", Ok, Ok, true, true},
};

// Test lists name a pair by its label.
void PrintTo(const WalkedPair& pair, std::ostream* out) {
    *out << pair.label;
}

// What a walk does at the chosen file-system call: make it fail, or
// interrupt the run there as Ctrl-C would.
enum class Disturbance { Fault, Interrupt };

void PrintTo(Disturbance disturbance, std::ostream* out) {
    *out << (disturbance == Disturbance::Fault ? "fault" : "interrupt");
}

void Disturb(Disturbance disturbance, std::int64_t n) {
    if (disturbance == Disturbance::Fault) {
        InjectFaultAt(n);
    } else {
        InjectActionAt(n, RequestInterrupt);
    }
}

// At every file-system call of a create and of an apply in turn, a fault or
// an interrupt: the run either succeeds exactly, with the right names,
// versions and content, or fails with status 1 and leaves the folder as it
// was. Never a success with a wrong name, wrong stored versions, a wrong
// backup name or a partial file; never a temporary file left behind.
class Walk : public ::testing::TestWithParam<std::tuple<WalkedPair, Disturbance>> {
protected:
    void SetUp() override {
        std::tie(original_, newer_) = Pair().make();
        test::WriteBytes(File(Pair().original), original_);
        test::WriteBytes(File(Pair().newer), newer_);
        if (Pair().signs) {
            WriteKeyPair(File("walk"));
        }
    }
    void TearDown() override {
        InjectFaultAt(0);
        ClearInterrupt();
    }

    // What a create writes: the delta, and its signature file when signed.
    std::vector<std::string> Created() const {
        std::vector<std::string> names = {Pair().delta};
        if (Pair().signs) {
            names.push_back(SignatureFileName(Pair().delta));
        }
        return names;
    }

    const WalkedPair& Pair() const { return std::get<0>(GetParam()); }
    Disturbance Kind() const { return std::get<1>(GetParam()); }
    std::string File(const std::string& name) const { return dir_.File(name); }

    // Runs arguments once undisturbed and returns how many file-system calls
    // it made, leaving the folder as it was.
    std::int64_t CountCalls(const std::vector<std::string>& arguments) {
        const FolderState before = StateOf(dir_.Path());
        InjectFaultAt(0);
        RunInProcess(arguments);
        const std::int64_t calls = CountedFileCalls();
        Restore(dir_.Path(), before);
        return calls;
    }

    // Disturbs every call of arguments in turn. success checks a run that
    // reported success and takes its outputs out of the folder state.
    template <typename Check>
    void WalkEveryCall(const std::vector<std::string>& arguments, const std::string& succeeded,
                       Check success) {
        const FolderState before = StateOf(dir_.Path());
        const std::int64_t calls = CountCalls(arguments);
        ASSERT_GT(calls, 10);
        int failures = 0;
        for (std::int64_t n = 1; n <= calls; ++n) {
            Disturb(Kind(), n);
            const Outcome outcome = RunInProcess(arguments);
            InjectFaultAt(0);
            ClearInterrupt();
            FolderState after = StateOf(dir_.Path());
            if (outcome.status == 0) {
                EXPECT_EQ(outcome.output, succeeded) << "call " << n;
                success(after, n);
            } else {
                ++failures;
                EXPECT_EQ(outcome.status, 1) << "call " << n;
                const std::string kind =
                    Kind() == Disturbance::Fault ? "Exception E" : "Exception EInterrupted ";
                EXPECT_TRUE(outcome.output.starts_with(kind))
                    << "call " << n << ": " << outcome.output;
            }
            EXPECT_EQ(after, before) << "call " << n << ": " << outcome.output;
            Restore(dir_.Path(), before);
        }
        EXPECT_GT(failures, calls / 2);
        RecordProperty("calls_walked", static_cast<int>(calls));
    }

    test::ScratchDir dir_;
    Bytes original_;
    Bytes newer_;
};

TEST_P(Walk, FailedCreateNeverLeavesADelta) {
    const std::vector<std::string> create =
        Pair().Create([&](const std::string& name) { return File(name); });
    ASSERT_EQ(RunInProcess(create).output, Pair().created);
    std::map<std::string, Bytes> good;
    for (const std::string& name : Created()) {
        good[name] = test::ReadBytes(File(name));
        fs::remove(File(name));
    }
    WalkEveryCall(create, Pair().created, [&](FolderState& after, std::int64_t n) {
        for (const auto& [name, bytes] : good) {
            ASSERT_TRUE(after.count(name)) << name << ", call " << n;
            EXPECT_EQ(after[name], bytes) << name << ", call " << n;
            after.erase(name);
        }
    });
}

TEST_P(Walk, FailedApplyLeavesTheTargetAsItWas) {
    ASSERT_EQ(
        RunInProcess(Pair().Create([&](const std::string& name) { return File(name); })).output,
        Pair().created);
    WalkEveryCall(Pair().Apply([&](const std::string& name) { return File(name); }), Pair().applied,
                  [&](FolderState& after, std::int64_t n) {
                      EXPECT_EQ(after[Pair().original], newer_) << "call " << n;
                      ASSERT_TRUE(after.count(Pair().backup)) << "call " << n;
                      EXPECT_EQ(after[Pair().backup], original_) << "call " << n;
                      after[Pair().original] = original_;
                      after.erase(Pair().backup);
                  });
}

INSTANTIATE_TEST_SUITE_P(, Walk,
                         ::testing::Combine(::testing::ValuesIn(WalkedPairs),
                                            ::testing::Values(Disturbance::Fault,
                                                              Disturbance::Interrupt)),
                         [](const ::testing::TestParamInfo<Walk::ParamType>& info) {
                             return std::string(std::get<0>(info.param).label) +
                                    (std::get<1>(info.param) == Disturbance::Fault ? "Fault"
                                                                                   : "Interrupt");
                         });

// A program that a test changes at a chosen file-system call of a create,
// as a build still writing it would: its build number, in place.
std::string changingFile;

void ChangeTheFile() {
    Bytes bytes = test::ReadBytes(changingFile);
    const std::uint8_t signature[] = {0xBD, 0x04, 0xEF, 0xFE};
    const auto fixed =
        std::search(bytes.begin(), bytes.end(), std::begin(signature), std::end(signature));
    ASSERT_NE(fixed, bytes.end());
    std::fstream file(changingFile, std::ios::binary | std::ios::in | std::ios::out);
    file.seekp(fixed - bytes.begin() + 12);
    file.put(static_cast<char>(fixed[12] + 10));
}

// Whichever call of a create the original or the newer file changes at,
// the create either makes a delta of one state of both files, which then
// applies, or fails with "File changed while reading" and publishes
// nothing. Never a delta whose stored versions come from other bytes than
// its content.
TEST(ChangingInputs, CreateNeverPublishesADeltaOfBytesThatAreGone) {
    test::ScratchDir dir;
    const auto [original, newer] = test::SamplePrograms();
    const std::string delta = dir.File("hello.exe_1.0.0.2.kst");
    const std::vector<std::string> create = {dir.File("hello.exe"), dir.File("hello-1.0.0.2.exe")};
    for (const std::string changed : {"hello.exe", "hello-1.0.0.2.exe"}) {
        test::WriteBytes(dir.File("hello.exe"), original);
        test::WriteBytes(dir.File("hello-1.0.0.2.exe"), newer);
        InjectFaultAt(0);
        ASSERT_EQ(RunInProcess(create).output, Ok);
        const std::int64_t calls = CountedFileCalls();
        int refused = 0;
        for (std::int64_t n = 1; n <= calls; ++n) {
            const std::string when = changed + " changed at call " + std::to_string(n);
            for (const auto& entry : fs::directory_iterator(dir.Path())) {
                fs::remove(entry.path());
            }
            test::WriteBytes(dir.File("hello.exe"), original);
            test::WriteBytes(dir.File("hello-1.0.0.2.exe"), newer);
            changingFile = dir.File(changed);
            InjectActionAt(n, ChangeTheFile);
            const Outcome outcome = RunInProcess(create);
            InjectFaultAt(0);
            if (outcome.status != 0) {
                ++refused;
                // The original by its bare name, the newer one by its path.
                const std::string named = changed == "hello.exe" ? changed : dir.File(changed);
                EXPECT_TRUE(
                    outcome.output.ends_with("File changed while reading: " + named + ".\r\n"))
                    << when << ": " << outcome.output;
                EXPECT_FALSE(fs::exists(delta)) << when;
                continue;
            }
            // A change before the files were read gives a delta of the files
            // as they are now; one after the last check, a delta of the files
            // as they were.
            const Bytes newerNow = test::ReadBytes(dir.File("hello-1.0.0.2.exe"));
            if (RunInProcess({delta}).output != Ok) {
                test::WriteBytes(dir.File("hello.exe"), original);
                ASSERT_EQ(RunInProcess({delta}).output, Ok) << when;
            }
            const Bytes rebuilt = test::ReadBytes(dir.File("hello.exe"));
            EXPECT_TRUE(rebuilt == newer || rebuilt == newerNow) << when;
        }
        EXPECT_GT(refused, 0) << changed;
    }
}

// The real program, run as a separate process in a scratch folder on a
// versioned pair that spans two blocks, or more.
// The real program run over and over, on deltas of either format.
class RealProgram : public ::testing::TestWithParam<DeltaFormat> {
protected:
    virtual std::size_t PairSize() const { return 1048576 + 5000; }

    void SetUp() override {
        std::tie(original_, newer_) = BigVersionedPair(PairSize());
        test::WriteBytes(target_, original_);
        test::WriteBytes(dir_.File("app2.exe"), newer_);
        ASSERT_EQ(Run(KESTRO_PROGRAM, Create()).output, Ok);
        fs::remove(dir_.File("app2.exe"));
    }

    // The create's arguments: the target and app2.exe, in the format tested.
    std::vector<std::string> Create() const {
        std::vector<std::string> arguments = {target_, dir_.File("app2.exe")};
        if (GetParam() == DeltaFormat::Compact) {
            arguments.insert(arguments.begin(), "--compact");
        }
        return arguments;
    }

    // What a program prints after the banner, its status and its signal.
    test::ProcessResult Run(const std::string& program, const std::vector<std::string>& arguments) {
        test::ProcessResult result = test::RunProcess(program, arguments, dir_);
        if (result.output.starts_with(test::ExpectedBanner)) {
            result.output.erase(0, test::ExpectedBanner.size());
        }
        return result;
    }
    test::ProcessResult Faulty(const std::string& action, std::int64_t n,
                               const std::vector<std::string>& arguments) {
        std::vector<std::string> all = {action, std::to_string(n)};
        all.insert(all.end(), arguments.begin(), arguments.end());
        return Run(KESTRO_FAULTY_PROGRAM, all);
    }
    std::int64_t CountCalls(const std::vector<std::string>& arguments) {
        const test::ProcessResult counted = Faulty("count", 0, arguments);
        return std::stoll(counted.errors);
    }

    // Puts the original back and removes what updates made.
    void Reset() {
        test::WriteBytes(target_, original_);
        for (const auto& entry : fs::directory_iterator(dir_.Path())) {
            if (entry.path().filename() != "app.exe" && entry.path().filename() != Delta) {
                fs::remove(entry.path());
            }
        }
    }

    // After any mix of runs: the target is exactly old or new, and the
    // backup, if there is one, exactly the original.
    void ExpectOldOrNew(const std::string& when) {
        const Bytes after = test::ReadBytes(target_);
        EXPECT_TRUE(after == original_ || after == newer_) << when;
        if (fs::exists(dir_.File(Backup))) {
            EXPECT_EQ(test::ReadBytes(dir_.File(Backup)), original_) << when;
        }
    }

    // After a kill: expected files, and besides them only leftovers with
    // names that the next run of the same operation recognises and removes.
    void ExpectOnlyKnownLeftovers(const std::set<std::string>& known, std::size_t expected,
                                  const std::string& when) {
        FolderState after = StateOf(dir_.Path());
        for (const std::string& name : known) {
            after.erase(name);
        }
        EXPECT_EQ(after.size(), expected) << when;
    }

    // A clean rerun finishes the update, or finds it done, and leaves only
    // the target, the delta and the backup.
    void ExpectRerunFinishes(const std::string& when) {
        const std::string result = Run(KESTRO_PROGRAM, {delta_}).output;
        EXPECT_TRUE(result == Ok || result == AlreadyUpdated) << when << ": " << result;
        EXPECT_EQ(test::ReadBytes(target_), newer_) << when;
        EXPECT_EQ(test::ReadBytes(dir_.File(Backup)), original_) << when;
        EXPECT_EQ(StateOf(dir_.Path()).size(), 3u) << when;
    }

    static void ExpectEndedByInterrupt(const test::ProcessResult& result,
                                       [[maybe_unused]] const std::string& action,
                                       const std::string& when) {
#ifdef _WIN32
        // The usual failure report and status 1, or done and 0 when the
        // interrupt came after the last point that checks for one.
        EXPECT_TRUE(result.status == 0 ||
                    (result.status == 1 && result.output.starts_with("Exception EInterrupted ")))
            << when << ": " << result.output;
#else
        // Ended by the signal itself, as a calling script expects.
        const int expected = action == "sigint" ? SIGINT : action == "sigterm" ? SIGTERM : SIGHUP;
        EXPECT_EQ(result.signal, expected) << when << ": " << result.output;
#endif
    }

    static constexpr const char* Delta = "app.exe_1.0.0.2.kst";
    static constexpr const char* Backup = "app.exe_1.0.0.1.org";
    test::ScratchDir dir_;
    const std::string target_ = dir_.File("app.exe");
    const std::string delta_ = dir_.File(Delta);
    Bytes original_;
    Bytes newer_;
};

constexpr int ConcurrentRounds = 20;

TEST_P(RealProgram, KilledApplyLeavesOldOrNewTargetAndCanBeRerun) {
    // Killed at every file-system call of an apply in turn.
    const std::int64_t calls = CountCalls({delta_});
    ASSERT_GT(calls, 10);
    Reset();
    for (std::int64_t n = 1; n <= calls; ++n) {
        const test::ProcessResult killed = Faulty("kill", n, {delta_});
        const std::string when = "kill at call " + std::to_string(n);
        EXPECT_TRUE(killed.status == 137 || killed.signal == 9) << when;
        ExpectOldOrNew(when);
        const std::size_t files = fs::exists(dir_.File(Backup)) ? 3 : 2;
        ExpectOnlyKnownLeftovers(
            {"app.exe.kestro-lock", "app.exe.new", std::string(Backup) + ".tmp"}, files, when);
        ExpectRerunFinishes(when);
        Reset();
    }
}

// A create is killed at every one of its file calls; its phases do not
// depend on the size, so a program of one block will do.
class KilledCreate : public RealProgram {
protected:
    std::size_t PairSize() const override { return 200000; }
};

TEST_P(KilledCreate, LeavesTheEarlierDeltaAndTheNextRunCleansUp) {
    test::WriteBytes(dir_.File("app2.exe"), newer_);
    const std::vector<std::string> create = Create();
    const Bytes goodDelta = test::ReadBytes(delta_);
    const std::int64_t calls = CountCalls(create);
    ASSERT_GT(calls, 10);
    const Bytes earlierDelta = test::ToBytes("an earlier delta");
    for (std::int64_t n = 1; n <= calls; ++n) {
        const std::string when = "kill at call " + std::to_string(n);
        test::WriteBytes(delta_, earlierDelta);
        const test::ProcessResult killed = Faulty("kill", n, create);
        EXPECT_TRUE(killed.status == 137 || killed.signal == 9) << when;
        const Bytes delta = test::ReadBytes(delta_);
        EXPECT_TRUE(delta == earlierDelta || delta == goodDelta) << when;
        // No partial delta under the delta's name; what else a killed run
        // can leave has names the next run of the same operation knows.
        ExpectOnlyKnownLeftovers({std::string(Delta) + ".kestro-lock", std::string(Delta) + ".tmp"},
                                 3, when);
        ASSERT_EQ(Run(KESTRO_PROGRAM, create).output, Ok) << when;
        EXPECT_EQ(test::ReadBytes(delta_), goodDelta) << when;
        EXPECT_EQ(StateOf(dir_.Path()).size(), 3u) << when;
    }
}

// Updaters at once on a program of a few MiB, so that they overlap.
class ConcurrentUpdates : public RealProgram {
protected:
    std::size_t PairSize() const override { return 3 * 1048576 + 5000; }
};

TEST_P(ConcurrentUpdates, ConcurrentAppliesLeaveOldOrNewAndSuccessMeansNew) {
    // Three updaters of one target at once; in most rounds one of them is
    // killed at a point of its run chosen at random.
    std::mt19937 random(20261208);
    const std::int64_t calls = CountCalls({delta_});
    Reset();
    for (int round = 0; round < ConcurrentRounds; ++round) {
        const std::string when = "round " + std::to_string(round);
        const std::int64_t killAt =
            round % 4 == 3 ? 0 : std::uniform_int_distribution<std::int64_t>(1, calls)(random);
        std::vector<test::ProcessResult> results(3);
        std::vector<std::thread> runs;
        for (std::size_t i = 0; i < results.size(); ++i) {
            runs.emplace_back([&, i] {
                results[i] = i == 1 && killAt != 0 ? Faulty("kill", killAt, {delta_})
                                                   : Run(KESTRO_PROGRAM, {delta_});
            });
        }
        for (std::thread& run : runs) {
            run.join();
        }
        // Every run that was not killed waited its turn and then either did
        // the update or found it done; never a failure, never two updates.
        int updated = 0;
        for (std::size_t i = 0; i < results.size(); ++i) {
            if (i == 1 && killAt != 0) {
                continue;
            }
            // A run that waited said so first, in one line.
            std::string result = results[i].output;
            const std::string waited = "Waiting for another run to finish with app.exe...\r\n";
            if (result.starts_with(waited)) {
                result.erase(0, waited.size());
            }
            EXPECT_EQ(results[i].status, 0) << when << ": " << results[i].output;
            EXPECT_TRUE(result == Ok || result == AlreadyUpdated) << when << ": " << result;
            updated += result == Ok ? 1 : 0;
        }
        EXPECT_LE(updated, 1) << when;
        if (killAt == 0 || updated == 0) {
            // Nobody else can have done it, or the killed run did it.
            EXPECT_EQ(test::ReadBytes(target_), newer_) << when;
        }
        ExpectOldOrNew(when);
        ExpectRerunFinishes(when);
        Reset();
    }
}

TEST_P(RealProgram, InterruptedRunsLeaveNothingBehind) {
    // An earlier delta of the same name must survive an interrupted create.
    test::WriteBytes(dir_.File("app2.exe"), newer_);
    const Bytes goodDelta = test::ReadBytes(delta_);
    const std::vector<std::string> create = Create();
    const std::int64_t createCalls = CountCalls(create);
    const std::int64_t applyCalls = CountCalls({delta_});
    Reset();
    test::WriteBytes(dir_.File("app2.exe"), newer_);
    const Bytes earlierDelta = test::ToBytes("an earlier delta");
    test::WriteBytes(delta_, earlierDelta);
#ifdef _WIN32
    const std::vector<std::string> actions = {"interrupt"};
#else
    const std::vector<std::string> actions = {"sigint", "sigterm", "sighup"};
#endif
    std::mt19937 random(7);
    for (int i = 0; i < 6; ++i) {
        const std::string& action = actions[static_cast<std::size_t>(i) % actions.size()];
        const std::int64_t n = std::uniform_int_distribution<std::int64_t>(1, createCalls)(random);
        const std::string when = action + " at create call " + std::to_string(n);
        const test::ProcessResult result = Faulty(action, n, create);
        ExpectEndedByInterrupt(result, action, when);
        // The earlier delta, or the whole new one; nothing else new.
        const Bytes delta = test::ReadBytes(delta_);
        EXPECT_TRUE(delta == earlierDelta || delta == goodDelta) << when;
        EXPECT_EQ(StateOf(dir_.Path()).size(), 3u) << when;
        test::WriteBytes(delta_, earlierDelta);
    }
    test::WriteBytes(delta_, goodDelta);
    fs::remove(dir_.File("app2.exe"));
    for (int i = 0; i < 6; ++i) {
        const std::string& action = actions[static_cast<std::size_t>(i) % actions.size()];
        const std::int64_t n = std::uniform_int_distribution<std::int64_t>(1, applyCalls)(random);
        const std::string when = action + " at apply call " + std::to_string(n);
        const test::ProcessResult result = Faulty(action, n, {delta_});
        ExpectEndedByInterrupt(result, action, when);
        ExpectOldOrNew(when);
        // Target and delta, and the backup only with the new target.
        const std::size_t files = test::ReadBytes(target_) == newer_ ? 3u : 2u;
        EXPECT_EQ(StateOf(dir_.Path()).size(), files) << when;
        Reset();
    }
}

std::string FormatName(const ::testing::TestParamInfo<DeltaFormat>& info) {
    return info.param == DeltaFormat::Compact ? "Compact" : "Blocks";
}

INSTANTIATE_TEST_SUITE_P(, RealProgram,
                         ::testing::Values(DeltaFormat::Blocks, DeltaFormat::Compact), FormatName);
INSTANTIATE_TEST_SUITE_P(, KilledCreate,
                         ::testing::Values(DeltaFormat::Blocks, DeltaFormat::Compact), FormatName);
INSTANTIATE_TEST_SUITE_P(, ConcurrentUpdates,
                         ::testing::Values(DeltaFormat::Blocks, DeltaFormat::Compact), FormatName);

#ifndef _WIN32
// Runs a shell command line; returns its exit status.
int Shell(const std::string& command) {
    const int raw = std::system(command.c_str());
    return (raw & 0x7F) == 0 ? (raw >> 8) & 0xFF : -1;
}
#endif

TEST(DiskFull, OperationsFailCleanlyWhenSpaceRunsOut) {
#ifdef _WIN32
    GTEST_SKIP() << "no small file system to mount here";
#else
    test::ScratchDir dir;
    const std::string mountPoint = dir.File("small");
    fs::create_directory(mountPoint);
    if (Shell("mount -t tmpfs -o size=6m tmpfs '" + mountPoint + "' 2> /dev/null") != 0) {
        GTEST_SKIP() << "cannot mount a small file system here (needs root)";
    }
    struct Unmount {
        std::string at;
        ~Unmount() { Shell("umount '" + at + "'"); }
    } unmount{mountPoint};
    const fs::path small(mountPoint);
    auto [original, newer] = MultiBlockPair();
    // Original and newer take 7.5 MiB; with a 6 MiB file system and the
    // newer file given in full, neither the delta nor a rebuilt target fits.
    original.resize(2 * 1048576);
    newer.resize(2 * 1048576 + 500000);
    std::mt19937 random(5);
    const Bytes unrelated = test::RandomBytes(random, newer.size());
    test::WriteBytes((small / "a.bin").string(), original);
    test::WriteBytes((small / "b.bin").string(), unrelated);
    // Fill the rest, leaving less room than the delta needs.
    const auto free = fs::space(small).available;
    test::WriteBytes((small / "filler").string(), Bytes(free - 1048576, 0));
    const FolderState before = StateOf(small);

    const Outcome create = RunInProcess({(small / "a.bin").string(), "b.bin"});
    EXPECT_EQ(create.status, 1) << create.output;
    EXPECT_EQ(StateOf(small), before);

    // Now a delta that fits, but no room for the rebuilt target.
    fs::remove(small / "filler");
    test::WriteBytes((small / "b.bin").string(), newer);
    ASSERT_EQ(RunInProcess({(small / "a.bin").string(), "b.bin"}).output, WarnNewer);
    fs::remove(small / "b.bin");
    const auto room = fs::space(small).available;
    test::WriteBytes((small / "filler").string(), Bytes(room - 1048576, 0));
    const FolderState beforeApply = StateOf(small);
    const Outcome apply = RunInProcess({(small / "a.bin_.kst").string()});
    EXPECT_EQ(apply.status, 1) << apply.output;
    // Not even a backup: a failed update takes back the one it made.
    EXPECT_EQ(StateOf(small), beforeApply);
#endif
}

} // namespace
} // namespace kestro
