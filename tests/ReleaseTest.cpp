// Release packages: folders of built trees brought from one release to the
// next and back to what was asked, the package's rules for paths and its
// refusal of hostile manifests, files changed locally named, payloads the
// same for any number of threads, signatures. The interrupts and kills at
// every file call are in ReleaseSlowTest.
#include "DiffUnit/DeltaPackage.hpp"
#include "DiffUnit/KeyFiles.hpp"
#include "DiffUnit/ResultCodes.hpp"
#include "common/Failures.hpp"
#include "common/LittleEndian.hpp"
#include "platform/FaultInjection.hpp"
#include "platform/Interrupts.hpp"
#include "release/PayloadCoder.hpp"
#include "release/ReleaseManifest.hpp"
#include "release/ReleasePackage.hpp"
#include "release/ReleasePaths.hpp"
#include "release/ReleasePlan.hpp"
#include "release/ReleaseScan.hpp"
#include "release/ReleaseSwitch.hpp"

#include "ReleaseSupport.hpp"
#include "TestSupport.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>

namespace kestro {
namespace {

namespace fs = std::filesystem;
using test::Bytes;

// The releases of the round trips: renames, moves, copies, deletions, new
// files, empty folders, modes, names beyond ASCII, links where the system
// makes them, and a library renamed and changed.
struct Pair {
    const char* label;
    Tree original;
    Tree newer;
    bool links = false;
};

std::vector<Pair> Pairs() {
    const std::string big = RandomText(300000, 1);
    const std::string program = SampleProgram("hello.exe");
    const std::string newerProgram = SampleProgram("hello-1.0.0.2.exe");
    std::string library = RandomText(200000, 2);
    std::string changedLibrary = library;
    changedLibrary.replace(1000, 20, "twenty changed bytes");
    return {
        {"MovesCopiesAndChanges",
         {{"hello.exe", File(program, 0755)},
          {"lib", Folder()},
          {"lib/big.bin", File(big)},
          {"readme.txt", File("read me")},
          {"old", Folder()},
          {"old/gone.txt", File("gone")}},
         {{"hello.exe", File(newerProgram, 0755)},
          {"lib", Folder()},
          {"moved", Folder(0700)},
          {"moved/big.bin", File(big, 0600)},
          {"copy.bin", File(big)},
          {"README.TXT", File("read me")},
          {"new.txt", File("a new file")},
          {"empty", Folder()},
          {"read-only.txt", File("fixed", 0444)}}},
        {"NamesBeyondAscii",
         {{"Größe.txt", File("klein")}, {"日本", Folder()}, {"日本/ファイル", File("one")}},
         {{"Größe.txt", File("groß")}, {"日本", Folder()}, {"日本/ファイル2", File("one")}}},
        {"RenamedAndChangedLibrary",
         {{"lib", Folder()}, {"lib/libfoo.so.1", File(library)}},
         {{"lib", Folder()}, {"lib/libfoo.so.2", File(changedLibrary)}}},
        {"Links",
         {{"data", Folder()}, {"data/a.txt", File("a")}, {"latest", Link("data/a.txt")}},
         {{"data", Folder()},
          {"data/b.txt", File("b")},
          {"data/up", Link("../data")},
          {"latest", Link("data/b.txt")}},
         true},
        {"EverythingRemoved", {{"a", Folder()}, {"a/b.txt", File("b")}}, {}},
    };
}

class ReleaseRoundTrip : public ::testing::TestWithParam<Pair> {};

TEST_P(ReleaseRoundTrip, BringsTheFolderToTheNewerReleaseAndKeepsTheOldOne) {
    const Pair& pair = GetParam();
    test::ScratchDir probe;
    if (pair.links && !LinksWork(probe)) {
        GTEST_SKIP() << "this system makes no symbolic links for this user";
    }
    ReleaseFolders folders(pair.original, pair.newer);
    const std::string package = folders.Make();
    // Named after the version its programs carry, else the newer folder's
    // name; the backup likewise after the original's.
    const bool versioned = pair.original.count("hello.exe") != 0;
    EXPECT_EQ(fs::path(package).filename(), versioned ? "app_1.0.0.2.kst" : "app_app-new.kst");
    const std::string backup = versioned ? "app_1.0.0.1.org" : "app_.org";
    ASSERT_EQ(ApplyRelease(package, {}), ResultOk);
    EXPECT_EQ(ReadTree(folders.Name("app")), AsWindowsKeepsIt(pair.newer));
    EXPECT_EQ(ReadTree(folders.Name(backup)), AsWindowsKeepsIt(pair.original));
    std::vector<std::string> expected = {fs::path(package).filename().string(), backup};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(folders.Others(), expected);
    // Once more: it is done.
    EXPECT_EQ(ApplyRelease(package, {}), ResultAlreadyUpdated);
}

INSTANTIATE_TEST_SUITE_P(Trees, ReleaseRoundTrip, ::testing::ValuesIn(Pairs()),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(Release, EachFileIsMadeTheCheapestWayAndAMovedFileCostsNearlyNothing) {
    const std::string big = RandomText(1 << 20, 3);
    std::string library = RandomText(200000, 4);
    const Tree original = {{"big.bin", File(big)}, {"libfoo.so.1", File(library)}};
    library[5000] ^= 1;
    const std::string text = RandomText(500, 5);
    const Tree newer = {{"sub", Folder()},
                        {"sub/big.bin", File(big)},
                        {"libfoo.so.2", File(library)},
                        {"other.txt", File(text)},
                        {"sub/other-copy.txt", File(text)}};
    ReleaseFolders folders(original, newer);
    const std::string package = folders.Make();
    std::vector<std::string> lines;
    ASSERT_EQ(DescribeRelease(package, lines), DeltaListing::Delta);
    const auto line = [&](const std::string& start) {
        const auto found = std::find_if(lines.begin(), lines.end(),
                                        [&](const std::string& l) { return l.starts_with(start); });
        return found == lines.end() ? std::string() : *found;
    };
    EXPECT_TRUE(line("Entry=sub/big.bin: ").ends_with(", moved from big.bin")) << line("Entry=sub");
    EXPECT_NE(line("Entry=libfoo.so.2: ").find(", delta against libfoo.so.1 ("), std::string::npos);
    EXPECT_NE(line("Entry=other.txt: ").find(", whole ("), std::string::npos);
    // A new file the release holds twice is coded once.
    EXPECT_TRUE(line("Entry=sub/other-copy.txt: ").ends_with(", copy of other.txt"))
        << line("Entry=sub/other-copy.txt");
    EXPECT_EQ(line("Removed="), "Removed=big.bin");
    ASSERT_EQ(ApplyRelease(package, {}), ResultOk);
    EXPECT_EQ(ReadTree(folders.Name("app")), AsWindowsKeepsIt(newer));
    // A megabyte moved, a byte changed in 200 KB and 500 new bytes twice.
    EXPECT_LT(fs::file_size(package), 1200u);
}

TEST(Release, FilesChangedSinceTheReleaseAreNamedAndNothingIsWritten) {
    ReleaseFolders folders({{"a.txt", File("a")}, {"b.txt", File("b")}, {"c.txt", File("c")}},
                           {{"a.txt", File("a")}, {"b.txt", File("b2")}, {"d.txt", File("c")}});
    const std::string package = folders.Make();
    test::WriteBytes(folders.Name("app/b.txt"), test::ToBytes("local change"));
    fs::remove(folders.Name("app/c.txt"));
    const Tree before = ReadTree(folders.Name("app"));
    OperationOptions options;
    std::vector<std::string> changed;
    options.changed = [&](const std::string& path) { changed.push_back(path); };
    EXPECT_EQ(ApplyRelease(package, options), ResultChangedFiles);
    EXPECT_EQ(changed, (std::vector<std::string>{"b.txt", "c.txt"}));
    EXPECT_EQ(ReadTree(folders.Name("app")), before);
    EXPECT_EQ(folders.Others(), (std::vector<std::string>{"app_app-new.kst"}));
    ReleaseCheck check;
    EXPECT_EQ(CheckRelease(package, check, std::nullopt, ""), ResultChangedFiles);
    EXPECT_EQ(check.changed, changed);
}

TEST(Release, FilesTheReleaseDoesNotKnowAreCarriedOverAndIntoNamesTheFolder) {
    ReleaseFolders folders({{"a.txt", File("a")}, {"conf", Folder()}},
                           {{"a.txt", File("a2")}, {"conf", Folder()}});
    const std::string package = folders.Make();
    fs::rename(folders.Name("app"), folders.Name("installed"));
    test::WriteBytes(folders.Name("installed/conf/user.ini"), test::ToBytes("mine"));
    fs::create_directory(folders.Name("installed/logs"));
    test::WriteBytes(folders.Name("installed/logs/today.log"), test::ToBytes("log"));
    EXPECT_EQ(ApplyRelease(package, {}), ResultNoTarget);
    OperationOptions options;
    options.into = folders.Name("installed");
    ASSERT_EQ(ApplyRelease(package, options), ResultOk);
    const Tree installed = ReadTree(folders.Name("installed"));
    EXPECT_EQ(installed.at("a.txt").content, "a2");
    EXPECT_EQ(installed.at("conf/user.ini").content, "mine");
    EXPECT_EQ(installed.at("logs/today.log").content, "log");
    EXPECT_EQ(ReadTree(folders.Name("installed_.org")).at("a.txt").content, "a");

    // Brought back to the original and updated again: the earlier backup of
    // that version stays, and this one takes the next name.
    fs::remove_all(folders.Name("installed"));
    fs::copy(folders.Name("installed_.org"), folders.Name("installed"),
             fs::copy_options::recursive);
    ASSERT_EQ(ApplyRelease(package, options), ResultOk);
    EXPECT_EQ(ReadTree(folders.Name("installed_~2.org")), ReadTree(folders.Name("installed_.org")));
}

TEST(Release, PayloadsAreTheSameForAnyNumberOfThreads) {
    Tree original;
    Tree newer;
    for (int i = 0; i < 6; ++i) {
        std::string content =
            RandomText(40000 + 1000 * static_cast<std::size_t>(i), static_cast<unsigned>(10 + i));
        original["f" + std::to_string(i)] = File(content);
        content[static_cast<std::size_t>(i) * 10] ^= 1;
        newer["f" + std::to_string(i)] = File(content);
        newer["new" + std::to_string(i)] = File(RandomText(3000, static_cast<unsigned>(20 + i)));
    }
    ReleaseFolders folders(original, newer);
    const std::vector<ScannedEntry> originals = ScanRelease(folders.Name("app"), {});
    const std::vector<ScannedEntry> newers = ScanRelease(folders.Name("app-new"), {});
    std::vector<Bytes> coded;
    for (const std::int32_t threads : {1, 2, 5}) {
        ReleaseManifest manifest = PlanRelease(originals, newers);
        PayloadSettings settings;
        settings.originalFolder = folders.Name("app");
        settings.newerFolder = folders.Name("app-new");
        settings.scratchName = folders.Name("package");
        settings.threads = threads;
        settings.compactMinor = CompactLatestMinor;
        for (const ScannedEntry& entry : originals) {
            settings.originalStamps.push_back(entry.Stamp);
        }
        for (const ScannedEntry& entry : newers) {
            settings.newerStamps.push_back(entry.Stamp);
        }
        MemoryStream out;
        CodePayloads(manifest, out, settings);
        coded.push_back(out.Bytes());
    }
    EXPECT_EQ(coded[0], coded[1]);
    EXPECT_EQ(coded[0], coded[2]);
}

TEST(Release, SignedAsOneAndCheckedBeforeAnythingIsWritten) {
    test::ScratchDir keys;
    WriteKeyPair(keys.File("release"));
    ReleaseFolders folders({{"a.txt", File("a")}}, {{"a.txt", File("a2")}});
    OperationOptions signing;
    signing.signingKey = ReadPrivateKeyFile(keys.File("release.key"));
    const std::string package = folders.Make(signing);
    OperationOptions checking;
    checking.publicKey = ReadPublicKeyFile(keys.File("release.pub"));
    ReleaseCheck check;
    ASSERT_EQ(CheckRelease(package, check, checking.publicKey, ""), ResultOk);
    ASSERT_TRUE(check.statement);
    EXPECT_EQ(check.statement->FormatMajor, ReleaseMajor);
    EXPECT_EQ(check.statement->OriginalName, "app");
    Bytes bytes = test::ReadBytes(package);
    for (const std::size_t at : {std::size_t{30}, bytes.size() / 2, bytes.size() - 1}) {
        bytes[at] ^= 0x10;
        test::WriteBytes(package, bytes);
        EXPECT_THROW(ApplyRelease(package, checking), ESignatureError) << at;
        bytes[at] ^= 0x10;
    }
    test::WriteBytes(package, bytes);
    EXPECT_EQ(ReadTree(folders.Name("app")), folders.Original());
    ASSERT_EQ(ApplyRelease(package, checking), ResultOk);
    EXPECT_EQ(ReadTree(folders.Name("app")), folders.Newer());
}

// A package with one file, one folder and the given changes to its
// manifest, read back with the Windows rules or not.
struct Hostile {
    const char* what;
    std::function<void(ReleaseManifest&)> change;
    const char* refusal;
    bool windowsNames = false;
};

Bytes PackageOf(const ReleaseManifest& manifest, std::uint64_t payloadBytes) {
    MemoryStream out;
    const ManifestBytes bytes = WriteManifest(manifest);
    WritePackageHeader(out, bytes, payloadBytes);
    out.WriteBuffer(bytes.bytes.data(), static_cast<std::int64_t>(bytes.bytes.size()));
    Bytes package = out.Bytes();
    package.resize(package.size() + payloadBytes);
    return package;
}

ReleaseManifest SoundManifest() {
    ReleaseManifest manifest;
    manifest.FolderName = "app";
    manifest.OriginalVersion = "1.0";
    manifest.NewerVersion = "1.1";
    OriginalEntry original;
    original.Path = "a.txt";
    original.Size = 1;
    manifest.Originals.push_back(original);
    NewerEntry folder;
    folder.Path = "d";
    folder.Kind = ReleaseKind::Folder;
    folder.Permissions = 0755;
    NewerEntry file;
    file.Path = "d/b.txt";
    file.Permissions = 0644;
    file.Method = ReleaseMethod::Whole;
    file.Detail = 4096;
    file.PayloadBytes = 8;
    manifest.Entries = {folder, file};
    return manifest;
}

TEST(Release, HostileManifestsAreRefusedBeforeAnythingIsWritten) {
    const auto entry = [](std::string path, ReleaseKind kind = ReleaseKind::Folder,
                          std::string target = {}) {
        NewerEntry added;
        added.Path = std::move(path);
        added.Kind = kind;
        added.Target = std::move(target);
        return added;
    };
    const auto add = [](NewerEntry e) {
        return [e](ReleaseManifest& m) {
            m.Entries.push_back(e);
            std::sort(m.Entries.begin(), m.Entries.end(),
                      [](const NewerEntry& a, const NewerEntry& b) { return a.Path < b.Path; });
        };
    };
    const std::vector<Hostile> cases = {
        {"absolute", add(entry("/etc")), "an absolute path"},
        {"dot dot", add(entry("d/../x")), "an empty, \".\" or \"..\" part"},
        {"empty part", add(entry("d//x")), "an empty, \".\" or \"..\" part"},
        {"backslash", add(entry("d\\x")), "not UTF-8 text without control characters"},
        {"control", add(entry("d\x01")), "not UTF-8 text without control characters"},
        {"not UTF-8", add(entry("d\xC0\xAF")), "not UTF-8 text without control characters"},
        {"twice", add(entry("d")), "paths out of order or listed twice: d"},
        {"out of order", [](ReleaseManifest& m) { std::swap(m.Entries[0], m.Entries[1]); },
         "an entry in no folder of the release: d/b.txt"},
        {"case", add(entry("D")), "two entries of one name: d", true},
        {"trailing dot", add(entry("e.")), "a part ending in", true},
        {"trailing space", add(entry("e ")), "a part ending in", true},
        {"device", add(entry("d/COM1.txt", ReleaseKind::Link, "b.txt")), "a Windows device name",
         true},
        {"colon", add(entry("e:stream")), "a character Windows does not allow", true},
        {"through a link",
         [&](ReleaseManifest& m) {
             add(entry("l", ReleaseKind::Link, "d"))(m);
             add(entry("l/x"))(m);
         },
         "an entry in no folder of the release: l/x"},
        {"link out", add(entry("l", ReleaseKind::Link, "../etc/passwd")),
         "a link whose target leaves the release"},
        {"link out after a name", add(entry("l", ReleaseKind::Link, "d/../../x")),
         "a link whose target leaves the release"},
        {"absolute link", add(entry("l", ReleaseKind::Link, "/etc")),
         "a link whose target is not a relative path"},
        {"setuid", [](ReleaseManifest& m) { m.Entries[1].Permissions = 04755; },
         "permissions beyond 0777"},
        {"no source",
         [](ReleaseManifest& m) {
             m.Entries[1].Method = ReleaseMethod::Delta;
             m.Entries[1].Source = 7;
         },
         "a file made from no original file"},
        {"same but other",
         [](ReleaseManifest& m) {
             m.Entries[1].Method = ReleaseMethod::Same;
             m.Entries[1].PayloadBytes = 0;
             m.Entries[1].Size = 1;
             m.Entries[1].Sha256[0] = 1;
         },
         "a file the same as an original that differs from it"},
        {"copy of itself",
         [](ReleaseManifest& m) {
             m.Entries[1].Method = ReleaseMethod::Copy;
             m.Entries[1].Source = 1;
             m.Entries[1].PayloadBytes = 0;
         },
         "a copy of no file listed before it"},
        {"huge dictionary", [](ReleaseManifest& m) { m.Entries[1].Detail = 1u << 30; },
         "a whole file coded in a way this reader does not take"},
        {"folder name", [](ReleaseManifest& m) { m.FolderName = ".."; },
         "a folder name that is no plain name"},
    };
    for (const Hostile& hostile : cases) {
        ReleaseManifest manifest = SoundManifest();
        hostile.change(manifest);
        std::uint64_t payloads = 0;
        for (const NewerEntry& e : manifest.Entries) {
            payloads += e.PayloadBytes;
        }
        MemoryStream in = test::StreamOf(PackageOf(manifest, payloads));
        in.SetPosition(PackageHeaderOffset);
        try {
            ReadPackageManifest(in, hostile.windowsNames);
            ADD_FAILURE() << hostile.what << ": accepted";
        } catch (const Exception& refused) {
            EXPECT_NE(refused.Message().find(hostile.refusal), std::string::npos)
                << hostile.what << ": " << refused.Message();
            EXPECT_TRUE(refused.Message().starts_with("Damaged release package: "));
        }
    }
    // The same manifests are sound where Windows' rules do not apply.
    ReleaseManifest posix = SoundManifest();
    add(entry("D"))(posix);
    add(entry("e."))(posix);
    MemoryStream in = test::StreamOf(PackageOf(posix, 8));
    in.SetPosition(PackageHeaderOffset);
    EXPECT_NO_THROW(ReadPackageManifest(in, false));
}

TEST(Release, DeclaredSizesBeyondTheFileAreRefusedBeforeMemoryIsTaken) {
    const Bytes sound = PackageOf(SoundManifest(), 8);
    const std::vector<std::pair<std::string, std::function<void(Bytes&)>>> cases = {
        {"a manifest or payloads of another size",
         [](Bytes& b) { PutLe32(&b[PackageHeaderOffset + ManifestBytesField], 60u << 20); }},
        {"a manifest or payloads of another size",
         [](Bytes& b) { PutLe64(&b[PackageHeaderOffset + PayloadBytesField], 1ull << 60); }},
        {"the manifest's CRC-32 does not match", [](Bytes& b) { b[b.size() - 9] ^= 1; }},
        {"the manifest ends inside an entry",
         [](Bytes& b) {
             // The entry count at the manifest's end moved far out, its
             // CRC put right.
             const std::size_t manifestAt = PackageHeaderOffset + PackageHeaderBytes;
             const std::uint32_t size = GetLe32(&b[PackageHeaderOffset + ManifestBytesField]);
             const std::size_t countAt = manifestAt + WriteManifest(SoundManifest()).entriesAt;
             PutLe32(&b[countAt], 0xFFFFFFF0u);
             PutLe32(&b[PackageHeaderOffset + ManifestCrcField],
                     test::ReferenceCrc32(&b[manifestAt], size));
         }},
        {"no package header", [](Bytes& b) { b[PackageHeaderOffset] = 'X'; }},
    };
    for (const auto& [refusal, change] : cases) {
        Bytes damaged = sound;
        change(damaged);
        MemoryStream in = test::StreamOf(damaged);
        in.SetPosition(PackageHeaderOffset);
        try {
            ReadPackageManifest(in, false);
            ADD_FAILURE() << refusal << ": accepted";
        } catch (const Exception& refused) {
            EXPECT_NE(refused.Message().find(refusal), std::string::npos) << refused.Message();
        }
    }
}

// The worked example of doc/FORMAT.md: the package that moves readme.txt
// into a new folder and adds tool.ini, byte for byte: read, applied, and
// written again by the writer.
TEST(Release, WorkedExample) {
    const Bytes example = {
        0x12, 0x4B, 0x65, 0x73, 0x74, 0x72, 0x6F, 0x20, 0x44, 0x65, 0x6C, 0x74, 0x61, 0x20, 0x46,
        0x69, 0x6C, 0x65, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x4B, 0x52,
        0x45, 0x4C, 0xE7, 0x00, 0x00, 0x00, 0x25, 0xEE, 0x47, 0x9A, 0x08, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x00, 0x00, 0x03, 0x00, 0x61, 0x70, 0x70, 0x00, 0x00, 0x07, 0x00, 0x61, 0x70, 0x70,
        0x2D, 0x6E, 0x65, 0x77, 0x01, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x72, 0x65, 0x61, 0x64, 0x6D,
        0x65, 0x2E, 0x74, 0x78, 0x74, 0x00, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x66,
        0xA0, 0x45, 0xB4, 0x52, 0x10, 0x2C, 0x59, 0xD8, 0x40, 0xEC, 0x09, 0x7D, 0x59, 0xD9, 0x46,
        0x7E, 0x13, 0xA3, 0xF3, 0x4F, 0x64, 0x94, 0xE5, 0x39, 0xFF, 0xD3, 0x2C, 0x1B, 0xB3, 0x5F,
        0x18, 0x03, 0x00, 0x00, 0x00, 0x03, 0x00, 0x64, 0x6F, 0x63, 0x01, 0xED, 0x01, 0x0E, 0x00,
        0x64, 0x6F, 0x63, 0x2F, 0x72, 0x65, 0x61, 0x64, 0x6D, 0x65, 0x2E, 0x74, 0x78, 0x74, 0x00,
        0xA4, 0x01, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x66, 0xA0, 0x45, 0xB4, 0x52,
        0x10, 0x2C, 0x59, 0xD8, 0x40, 0xEC, 0x09, 0x7D, 0x59, 0xD9, 0x46, 0x7E, 0x13, 0xA3, 0xF3,
        0x4F, 0x64, 0x94, 0xE5, 0x39, 0xFF, 0xD3, 0x2C, 0x1B, 0xB3, 0x5F, 0x18, 0x00, 0x00, 0x00,
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x08,
        0x00, 0x74, 0x6F, 0x6F, 0x6C, 0x2E, 0x69, 0x6E, 0x69, 0x00, 0xA4, 0x01, 0x04, 0x00, 0x00,
        0x00, 0x00, 0x00, 0x00, 0x00, 0x7B, 0x51, 0x9D, 0x32, 0x78, 0x03, 0xFA, 0xBD, 0x4C, 0x74,
        0xE1, 0xB9, 0x93, 0x36, 0x0E, 0x8D, 0x48, 0xB4, 0x14, 0x77, 0x1A, 0x12, 0xD0, 0xA8, 0x68,
        0xD6, 0xED, 0xF7, 0xCF, 0xEC, 0x50, 0xBB, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
        0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x03, 0x78, 0x3D, 0x32,
        0x0A, 0x00,
    };
    MemoryStream in = test::StreamOf(example);
    in.SetPosition(PackageHeaderOffset);
    const ReadPackage read = ReadPackageManifest(in, false);
    const ReleaseManifest& manifest = read.manifest;
    EXPECT_EQ(manifest.FolderName, "app");
    EXPECT_EQ(manifest.OriginalVersion, "");
    EXPECT_EQ(manifest.NewerVersion, "app-new");
    ASSERT_EQ(manifest.Originals.size(), 1u);
    ASSERT_EQ(manifest.Entries.size(), 3u);
    EXPECT_EQ(manifest.Entries[1].Path, "doc/readme.txt");
    EXPECT_EQ(manifest.Entries[1].Method, ReleaseMethod::Same);
    EXPECT_EQ(manifest.Entries[2].Method, ReleaseMethod::Whole);
    EXPECT_EQ(manifest.Entries[2].Detail, 4096u);
    EXPECT_EQ(read.payloadBytes, 8u);

    const Tree original = {{"readme.txt", File("Hello\n")}};
    const Tree newer = {
        {"doc", Folder()}, {"doc/readme.txt", File("Hello\n")}, {"tool.ini", File("x=2\n")}};
    ReleaseFolders folders(original, newer);
    const std::string package = folders.Make();
    EXPECT_EQ(test::ReadBytes(package), example);
    test::WriteBytes(package, example);
    ASSERT_EQ(ApplyRelease(package, {}), ResultOk);
    EXPECT_EQ(ReadTree(folders.Name("app")), AsWindowsKeepsIt(newer));
}

TEST(ReleasePaths, LinksStayInsideAndNamesFollowBothSystemsRules) {
    EXPECT_EQ(LinkProblem("a/b/link", "../../x"), "");
    EXPECT_EQ(LinkProblem("a/link", "../a/b"), "");
    EXPECT_NE(LinkProblem("a/link", "../../x"), "");
    EXPECT_NE(LinkProblem("link", "x/../y"), "");
    EXPECT_NE(LinkProblem("link", "./x"), "");
    EXPECT_NE(LinkProblem("link", "C:x"), "");
    EXPECT_EQ(PathProblem("a/b c/d.txt", true), "");
    EXPECT_EQ(PathProblem("aux.d/x", false), "");
    EXPECT_NE(PathProblem("aux.d/x", true), "");
    EXPECT_EQ(PathKey("Dir/File.TXT", true), "dir/file.txt");
    EXPECT_EQ(PathKey("Dir/File.TXT", false), "Dir/File.TXT");
    EXPECT_NE(PathProblem(std::string(MaxReleasePathBytes + 1, 'a'), false), "");
}

TEST(ReleaseSwitch, AJournalIsFinishedWhereverTheKillLeftTheSwitch) {
    // The states a switch passes through, each as a kill leaves it: the
    // journal written, the folder renamed, the new one in its place.
    for (int renamed = 0; renamed <= 2; ++renamed) {
        test::ScratchDir dir;
        const std::string folder = dir.File("app");
        const SwitchNames names = NamesOfSwitch(folder, "1.0");
        WriteTree(folder, {{"old.txt", File("old")}});
        WriteTree(names.staging, {{"new.txt", File("new")}});
        test::WriteBytes(names.journal, test::ToBytes("Kestro release switch 1\nStaging: "
                                                      "app.kestro-new\nBackup: app_1.0.org\n"));
        if (renamed >= 1) {
            fs::rename(folder, names.backup);
        }
        if (renamed >= 2) {
            fs::rename(names.staging, folder);
        }
        EXPECT_TRUE(FinishSwitch(folder));
        EXPECT_EQ(ReadTree(folder), (Tree{{"new.txt", File("new")}})) << renamed;
        EXPECT_EQ(ReadTree(names.backup), (Tree{{"old.txt", File("old")}})) << renamed;
        EXPECT_FALSE(fs::exists(names.journal));
        EXPECT_FALSE(fs::exists(names.staging));
        EXPECT_FALSE(FinishSwitch(folder));
    }
    // A journal that names other folders than its own is not followed.
    test::ScratchDir dir;
    fs::create_directory(dir.File("app"));
    test::WriteBytes(dir.File("app.kestro-journal"),
                     test::ToBytes("Kestro release switch 1\nStaging: elsewhere\nBackup: "
                                   "app_1.0.org\n"));
    EXPECT_THROW(FinishSwitch(dir.File("app")), Exception);
}

} // namespace
} // namespace kestro
