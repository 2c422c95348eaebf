#include "DiffUnit/DeltaFile.hpp"
#include "DiffUnit/DeltaPackage.hpp"
#include "DiffUnit/ResultCodes.hpp"
#include "common/Failures.hpp"
#include "common/LittleEndian.hpp"
#include "common/Unicode.hpp"
#include "kestro/kestro.h"
#include "platform/FileStream.hpp"
#include "platform/Files.hpp"
#include "platform/Interrupts.hpp"
#include "platform/Locks.hpp"
#include "platform/Memory.hpp"
#include "platform/NameRules.hpp"
#include "platform/WindowsPaths.hpp"

#include "ImageBuilder.hpp"
#include "TestSupport.hpp"

#include <gtest/gtest.h>

#include <set>
#include <thread>

namespace kestro {
namespace {

namespace fs = std::filesystem;
using test::Bytes;

template <typename Failure, typename Action>
std::string FailureMessage(Action action) {
    try {
        action();
    } catch (const Failure& failure) {
        return failure.Message();
    }
    return "<no failure>";
}

TEST(MemoryStream, GrowsReadsAndKeepsItsPosition) {
    MemoryStream stream;
    stream.WriteBuffer("abcdef", 6);
    EXPECT_EQ(stream.Size(), 6);
    EXPECT_EQ(stream.Position(), 6);
    stream.SetPosition(2);
    stream.WriteBuffer("XY", 2);
    stream.SetPosition(0);
    char text[8] = {};
    EXPECT_EQ(stream.Read(text, 8), 6);
    EXPECT_STREQ(text, "abXYef");
    EXPECT_EQ(stream.Read(text, 8), 0);
    // Writing past the end fills the gap with zeros.
    stream.SetPosition(8);
    stream.WriteBuffer("z", 1);
    EXPECT_EQ(stream.Bytes(), test::ToBytes(std::string_view("abXYef\0\0z", 9)));
}

TEST(MemoryStream, ExactReadPastTheEndIsStreamReadError) {
    MemoryStream stream;
    stream.WriteBuffer("abc", 3);
    stream.SetPosition(1);
    char buffer[4];
    EXPECT_EQ(FailureMessage<EReadError>([&] { stream.ReadBuffer(buffer, 3); }),
              "Stream read error");
}

// Blocks below a page, of pages, and of huge pages and more (mapped from
// their boundary, the rest trimmed): zeroed, writable to the last value,
// and handed over whole by a move; a block there is no room for is
// refused as any allocation is.
TEST(MappedArray, IsZeroedWritableToItsEndAndMovesItsBlock) {
    for (const std::size_t count : {std::size_t{1}, std::size_t{1025}, std::size_t{512} << 10,
                                    (std::size_t{5} << 20) / 4 + 3}) {
        SCOPED_TRACE(count);
        MappedArray<std::uint32_t> values(count);
        ASSERT_EQ(values.size(), count);
        for (std::size_t i = 0; i < count; i += 1021) {
            ASSERT_EQ(values[i], 0u);
            values[i] = static_cast<std::uint32_t>(i + 1);
        }
        EXPECT_EQ(values[count - 1], count % 1021 == 1 ? count : 0u);
        values[count - 1] = 7;
        const std::uint32_t* const block = values.data();
        MappedArray<std::uint32_t> moved(std::move(values));
        EXPECT_TRUE(values.empty());
        EXPECT_EQ(moved.data(), block);
        EXPECT_EQ(moved[count - 1], 7u);
        EXPECT_EQ(moved[0], count == 1 ? 7u : 1u);
        MappedArray<std::uint32_t> other(3);
        other = std::move(moved);
        EXPECT_EQ(other.data(), block);
        EXPECT_TRUE(moved.empty());
    }
    EXPECT_TRUE(MappedArray<std::uint8_t>(0).empty());
    // Sizes no system gives, and one whose bytes would not fit a size_t.
    EXPECT_THROW(MappedArray<std::uint8_t>(SIZE_MAX / 2), std::bad_alloc);
    EXPECT_THROW(MappedArray<std::uint32_t>(SIZE_MAX / 2), std::bad_alloc);
}

TEST(FileStream, OpenAndCreateFailuresNameTheFile) {
    test::ScratchDir dir;
    const std::string missing = dir.File("missing.bin");
    EXPECT_EQ(FailureMessage<EFOpenError>([&] { FileStream::OpenRead(missing); }),
              "Cannot open file " + missing);
    // A directory is not a file to read.
    EXPECT_EQ(FailureMessage<EFOpenError>([&] { FileStream::OpenRead(dir.Path().string()); }),
              "Cannot open file " + dir.Path().string());
    const std::string inMissingDir = dir.File("no/such/dir.bin");
    EXPECT_EQ(FailureMessage<EFCreateError>([&] { FileStream::Create(inMissingDir); }),
              "Cannot create file " + inMissingDir);
}

TEST(FileStream, CreateReplacesOrRefusesAnExistingName) {
    test::ScratchDir dir;
    const std::string name = dir.File("out.bin");
    test::WriteBytes(name, test::ToBytes("old content"));
    {
        FileStream out = FileStream::Create(name);
        out.WriteBuffer("new", 3);
        out.Close();
    }
    EXPECT_EQ(test::ReadBytes(name), test::ToBytes("new"));
    EXPECT_THROW(FileStream::Create(name, CreateMode::New), EFCreateError);
    EXPECT_EQ(test::ReadBytes(name), test::ToBytes("new"));
}

TEST(FileStream, NewFileIsNeverCreatedThroughALink) {
    test::ScratchDir dir;
    const std::string elsewhere = dir.File("elsewhere.bin");
    const std::string link = dir.File("planted.new");
    std::error_code error;
    fs::create_symlink(elsewhere, link, error);
    if (error) {
        GTEST_SKIP() << "no symbolic links here: " << error.message();
    }
    EXPECT_THROW(FileStream::Create(link, CreateMode::New), EFCreateError);
    EXPECT_FALSE(fs::exists(elsewhere));
}

std::size_t FilesIn(const fs::path& folder) {
    std::size_t files = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(folder)) {
        ++files;
    }
    return files;
}

TEST(TemporaryFile, IsPublishedWholeOrRemoved) {
    test::ScratchDir dir;
    const std::string final = dir.File("tool.exe_1.kst");
    const std::string work = final + ".tmp";
    test::WriteBytes(final, test::ToBytes("earlier delta"));
    test::WriteBytes(work, test::ToBytes("left by a killed run"));
    {
        TemporaryFile abandoned = TemporaryFile::Create(work);
        // The leftover went; the new file has its work name or none at all.
        EXPECT_LE(FilesIn(dir.Path()), 2u);
        abandoned.Stream().WriteBuffer("abandoned", 9);
    }
    EXPECT_EQ(FilesIn(dir.Path()), 1u);
    {
        TemporaryFile complete = TemporaryFile::Create(work);
        complete.Stream().WriteBuffer("complete", 8);
        EXPECT_EQ(test::ReadBytes(final), test::ToBytes("earlier delta"));
        complete.Publish(final);
    }
    EXPECT_EQ(FilesIn(dir.Path()), 1u);
    EXPECT_EQ(test::ReadBytes(final), test::ToBytes("complete"));

    const std::string nowhere = dir.File("missing/tool.kst.tmp");
    EXPECT_EQ(FailureMessage<EFCreateError>([&] { TemporaryFile::Create(nowhere); }),
              "Cannot create file " + nowhere);
}

TEST(TemporaryFile, PublishIfFreeLeavesATakenNameAlone) {
    test::ScratchDir dir;
    const std::string backup = dir.File("tool.exe_1.org");
    test::WriteBytes(backup, test::ToBytes("earlier backup"));
    {
        TemporaryFile copy = TemporaryFile::Create(backup + ".tmp");
        copy.Stream().WriteBuffer("copy", 4);
        EXPECT_FALSE(copy.PublishIfFree(backup));
    }
    EXPECT_EQ(test::ReadBytes(backup), test::ToBytes("earlier backup"));
    EXPECT_EQ(FilesIn(dir.Path()), 1u);
    fs::remove(backup);
    {
        TemporaryFile copy = TemporaryFile::Create(backup + ".tmp");
        copy.Stream().WriteBuffer("copy", 4);
        EXPECT_TRUE(copy.PublishIfFree(backup));
    }
    EXPECT_EQ(test::ReadBytes(backup), test::ToBytes("copy"));
    EXPECT_EQ(FilesIn(dir.Path()), 1u);
}

TEST(TemporaryFile, FailedPublishRemovesTheTemporaryFile) {
    test::ScratchDir dir;
    fs::create_directory(dir.Path() / "occupied");
    fs::create_directory(dir.Path() / "occupied" / "inside");
    {
        TemporaryFile file = TemporaryFile::Create(dir.File("target.new"));
        file.Stream().WriteBuffer("x", 1);
        EXPECT_EQ(FailureMessage<EFCreateError>([&] { file.Publish(dir.File("occupied")); }),
                  "Cannot create file " + dir.File("occupied"));
    }
    EXPECT_EQ(FilesIn(dir.Path()), 1u);
}

TEST(FileStream, ReadsWritesSeeksAndCopies) {
    test::ScratchDir dir;
    std::mt19937 random(3);
    const Bytes data = test::RandomBytes(random, 300000);
    test::WriteBytes(dir.File("in.bin"), data);
    FileStream in = FileStream::OpenRead(dir.File("in.bin"));
    EXPECT_EQ(in.Size(), 300000);
    in.SetPosition(1000);
    FileStream out = FileStream::Create(dir.File("out.bin"));
    out.CopyFrom(in, 200000);
    EXPECT_EQ(out.Position(), 200000);
    out.Close();
    EXPECT_EQ(test::ReadBytes(dir.File("out.bin")),
              Bytes(data.begin() + 1000, data.begin() + 201000));
    MemoryStream sink;
    EXPECT_THROW(sink.CopyFrom(in, 100001), EReadError);
}

TEST(FileStream, WriteThatTheDeviceRefusesIsStreamWriteError) {
    if (!fs::exists("/dev/full")) {
        GTEST_SKIP() << "no /dev/full here";
    }
    FileStream full = FileStream::Create("/dev/full");
    EXPECT_EQ(FailureMessage<EWriteError>([&] { full.WriteBuffer("x", 1); }), "Stream write error");
}

TEST(Files, ExistenceDeletionAndDirectories) {
    test::ScratchDir dir;
    EXPECT_FALSE(FileExists(dir.Path().string()));
    EXPECT_FALSE(FileExists(dir.File("a.bin")));
    EXPECT_FALSE(FileExists(""));
    test::WriteBytes(dir.File("a.bin"), test::ToBytes("a"));
    EXPECT_TRUE(FileExists(dir.File("a.bin")));
    EXPECT_TRUE(DeleteFile(dir.File("a.bin")));
    EXPECT_FALSE(FileExists(dir.File("a.bin")));
    EXPECT_FALSE(DeleteFile(dir.File("a.bin")));
#ifndef _WIN32
    // A device is no file to update or to read a delta from.
    EXPECT_FALSE(FileExists("/dev/null"));
#endif
}

#ifndef _WIN32
TEST(Files, PermissionsAreNeverPassedThroughALink) {
    test::ScratchDir dir;
    test::WriteBytes(dir.File("tool.exe"), test::ToBytes("program"));
    fs::permissions(dir.File("tool.exe"), fs::perms::owner_all);
    test::WriteBytes(dir.File("elsewhere"), test::ToBytes("other"));
    fs::permissions(dir.File("elsewhere"), fs::perms::owner_read | fs::perms::owner_write);
    std::error_code error;
    fs::create_symlink(dir.File("elsewhere"), dir.File("tool.exe.new"), error);
    if (error) {
        GTEST_SKIP() << "no symbolic links here: " << error.message();
    }
    EXPECT_FALSE(CopyFilePermissions(dir.File("tool.exe"), dir.File("tool.exe.new")));
    EXPECT_EQ(fs::status(dir.File("elsewhere")).permissions(),
              fs::perms::owner_read | fs::perms::owner_write);

    fs::remove(dir.File("tool.exe.new"));
    test::WriteBytes(dir.File("tool.exe.new"), test::ToBytes("rebuilt"));
    EXPECT_TRUE(CopyFilePermissions(dir.File("tool.exe"), dir.File("tool.exe.new")));
    EXPECT_EQ(fs::status(dir.File("tool.exe.new")).permissions(), fs::perms::owner_all);
}
#endif

TEST(Files, LinkMakesASecondNameAndNeverReplaces) {
    test::ScratchDir dir;
    const std::string source = dir.File("tool.exe");
    const std::string backup = dir.File("tool.exe_1.org");
    test::WriteBytes(source, test::ToBytes("program"));
    ASSERT_EQ(LinkFile(source, backup), NameOutcome::Made);
    EXPECT_EQ(test::ReadBytes(backup), test::ToBytes("program"));
    EXPECT_EQ(StampOfFile(backup), StampOfFile(source));

    // A name that is taken, by a file or a folder, stays as it was.
    fs::remove(backup);
    test::WriteBytes(backup, test::ToBytes("earlier backup"));
    EXPECT_EQ(LinkFile(source, backup), NameOutcome::Taken);
    EXPECT_EQ(test::ReadBytes(backup), test::ToBytes("earlier backup"));
    fs::create_directory(dir.File("folder"));
    EXPECT_EQ(LinkFile(source, dir.File("folder")), NameOutcome::Taken);
    EXPECT_EQ(LinkFile(dir.File("missing"), dir.File("other")), NameOutcome::Failed);
    EXPECT_FALSE(fs::exists(dir.File("other")));
}

TEST(Files, AnOpenFileIsLinkedItselfAndNamesFileTellsWhichFileANameNames) {
    test::ScratchDir dir;
    const std::string name = dir.File("tool.exe");
    const std::string backup = dir.File("tool.exe_1.org");
    test::WriteBytes(name, test::ToBytes("program"));
    ASSERT_EQ(LinkFile(name, dir.File("kept")), NameOutcome::Made);
    const FileStream file = FileStream::OpenRead(name);
    const FileStamp opened = file.Stamp();
    EXPECT_TRUE(NamesFile(name, opened));
    // Another file renamed over the name while the file is open; the file
    // lives on under its other name.
    test::WriteBytes(dir.File("other"), test::ToBytes("another program"));
    std::error_code error;
    fs::rename(dir.File("other"), name, error);
#ifdef _WIN32
    // Windows refuses to rename over an open file, and no open file is
    // linked: the program links by name, and checks, instead.
    EXPECT_TRUE(error);
    EXPECT_TRUE(NamesFile(name, opened));
    EXPECT_EQ(file.LinkAs(backup), NameOutcome::Failed);
#else
    ASSERT_FALSE(error) << error.message();
    EXPECT_FALSE(NamesFile(name, opened));
    ASSERT_EQ(file.LinkAs(backup), NameOutcome::Made);
    EXPECT_TRUE(NamesFile(backup, opened));
    EXPECT_EQ(file.LinkAs(backup), NameOutcome::Taken);
    // A file with no name left cannot get one.
    fs::remove(backup);
    fs::remove(dir.File("kept"));
    EXPECT_EQ(file.LinkAs(backup), NameOutcome::Failed);
    EXPECT_FALSE(fs::exists(backup));
#endif
}

TEST(Files, StampsTellAChangedFile) {
    test::ScratchDir dir;
    const std::string name = dir.File("tool.exe");
    test::WriteBytes(name, test::ToBytes("program"));
    {
        const FileStream file = FileStream::OpenRead(name);
        const FileStamp opened = file.Stamp();
        EXPECT_EQ(opened.size, 7);
        EXPECT_EQ(StampOfFile(name), opened);
        EXPECT_EQ(StampOfFile(dir.File("missing")), std::nullopt);

        // Content of another length; the same length but another time.
        test::WriteBytes(name, test::ToBytes("program!"));
        EXPECT_NE(file.Stamp(), opened);
        EXPECT_NE(StampOfFile(name), opened);
    }
    const std::optional<FileStamp> changedLength = StampOfFile(name);
    test::WriteBytes(name, test::ToBytes("PROGRAM!"));
    const auto time = fs::last_write_time(name);
    fs::last_write_time(name, time - std::chrono::hours(1));
    EXPECT_NE(StampOfFile(name), changedLength);

    // Another file put in its place, of the same size and time.
    const std::string other = dir.File("other.exe");
    test::WriteBytes(other, test::ToBytes("PROGRAM!"));
    fs::last_write_time(other, fs::last_write_time(name));
    const std::optional<FileStamp> before = StampOfFile(name);
    fs::rename(other, name);
    const std::optional<FileStamp> after = StampOfFile(name);
    ASSERT_TRUE(before && after);
    EXPECT_EQ(after->size, before->size);
    EXPECT_EQ(after->modified, before->modified);
    EXPECT_NE(after, before);
}

TEST(FileLock, OneHolderAtATimeAndNoLockFileLeft) {
    test::ScratchDir dir;
    const std::string lockName = dir.File("tool.exe.kestro-lock");
    {
        std::optional<FileLock> first =
            AcquireLock(lockName, "tool.exe", std::chrono::milliseconds{0});
        ASSERT_TRUE(first);
        // Another holder in the same process is refused as one in another
        // process would be.
        EXPECT_EQ(FailureMessage<EFOpenError>(
                      [&] { AcquireLock(lockName, "tool.exe", std::chrono::milliseconds{0}); }),
                  "File is in use by another run: tool.exe");
        RequestInterrupt();
        EXPECT_THROW(AcquireLock(lockName, "tool.exe"), EInterrupted);
        ClearInterrupt();

        // A waiter gets the lock once the holder lets go, whether it came
        // before or after that.
        std::thread waiter([&] { AcquireLock(lockName, "tool.exe"); });
        first.reset();
        waiter.join();
    }
    EXPECT_EQ(FilesIn(dir.Path()), 0u);

    // A lock file that a killed holder left blocks nobody, and goes with
    // the next holder.
    test::WriteBytes(lockName, {});
    EXPECT_TRUE(AcquireLock(lockName, "tool.exe", std::chrono::milliseconds{0}));
    EXPECT_EQ(FilesIn(dir.Path()), 0u);

    // Where no lock file can be made at all there is no lock, at once.
    EXPECT_FALSE(AcquireLock(dir.File("missing/tool.exe.kestro-lock"), "tool.exe"));
}

TEST(Files, ReplaceSwapsContentInOneStep) {
    test::ScratchDir dir;
    test::WriteBytes(dir.File("target"), test::ToBytes("old"));
    test::WriteBytes(dir.File("target.new"), test::ToBytes("new"));
    EXPECT_TRUE(ReplaceFile(dir.File("target.new"), dir.File("target")));
    EXPECT_EQ(test::ReadBytes(dir.File("target")), test::ToBytes("new"));
    EXPECT_FALSE(FileExists(dir.File("target.new")));
    EXPECT_FALSE(ReplaceFile(dir.File("target.new"), dir.File("target")));
}

TEST(Files, WorkingDirectoryCanBeChangedAndRestored) {
    test::ScratchDir dir;
    const std::string start = GetWorkingDirectory();
    ASSERT_FALSE(start.empty());
    EXPECT_TRUE(SetWorkingDirectory(dir.Path().string()));
    EXPECT_EQ(fs::current_path(), fs::canonical(dir.Path()));
    EXPECT_FALSE(SetWorkingDirectory(dir.File("missing")));
    EXPECT_FALSE(SetWorkingDirectory(""));
    EXPECT_EQ(fs::current_path(), fs::canonical(dir.Path()));
    EXPECT_TRUE(SetWorkingDirectory(start));
}

TEST(Paths, SplitAtTheLastSeparator) {
    EXPECT_EQ(DirectoryPart("dir/sub/tool.exe"), "dir/sub/");
    EXPECT_EQ(FileNamePart("dir/sub/tool.exe"), "tool.exe");
    EXPECT_EQ(DirectoryPart("tool.exe"), "");
    EXPECT_EQ(FileNamePart("tool.exe"), "tool.exe");
    EXPECT_EQ(DirectoryPart("/tool.exe"), "/");
    EXPECT_EQ(FileNamePart("dir/"), "");
#ifdef _WIN32
    EXPECT_EQ(DirectoryPart("C:\\app\\tool.exe"), "C:\\app\\");
    EXPECT_EQ(FileNamePart("C:tool.exe"), "tool.exe");
    EXPECT_EQ(DirectoryPart("C:tool.exe"), "C:");
    EXPECT_EQ(FileNamePart("a\\b/c.exe"), "c.exe");
#else
    // A backslash is an ordinary character of a POSIX file name.
    EXPECT_EQ(DirectoryPart("C:\\app\\tool.exe"), "");
    EXPECT_EQ(FileNamePart("dir/a\\b.exe"), "a\\b.exe");
#endif
}

TEST(Paths, PlainFileNamesReachNoOtherDirectory) {
    EXPECT_TRUE(IsPlainFileName("tool.exe_1.0.0.2.kst"));
    EXPECT_TRUE(IsPlainFileName("1, 0, 0, 1"));
    EXPECT_FALSE(IsPlainFileName(""));
    EXPECT_FALSE(IsPlainFileName("."));
    EXPECT_FALSE(IsPlainFileName(".."));
    EXPECT_FALSE(IsPlainFileName("../tool.exe"));
    EXPECT_FALSE(IsPlainFileName("a/b"));
    EXPECT_FALSE(IsPlainFileName(std::string_view("a\0b", 3)));
#ifdef _WIN32
    EXPECT_FALSE(IsPlainFileName("a\\b"));
    EXPECT_FALSE(IsPlainFileName("C:x"));
    EXPECT_FALSE(IsPlainFileName("a?b"));
#endif
}

TEST(Paths, SameFileNameFollowsTheFileSystemsCaseRule) {
    EXPECT_TRUE(SameFileName("tool.exe.new", "tool.exe.new"));
    EXPECT_FALSE(SameFileName("tool.exe.new", "tool.exe.ne"));
    EXPECT_FALSE(SameFileName("tool.exe", "tool.exe.new"));
#ifdef _WIN32
    EXPECT_TRUE(SameFileName("Tool.EXE.new", "tool.exe.NEW"));
#else
    EXPECT_FALSE(SameFileName("Tool.EXE.new", "tool.exe.NEW"));
#endif
}

// Both systems' name rules hold on every platform: a delta made on one is
// applied on the other.
TEST(NameRules, WindowsNamesAreCheckedEverywhere) {
    struct Case {
        const char* name;
        bool posixPlain;
        bool windowsPlain;
    };
    const Case cases[] = {
        {"tool.exe_1.0.0.2.kst", true, true},
        {"1, 0, 0, 1", true, true},
        {"a\\b", true, false},
        {"C:x", true, false},
        {"a?b", true, false},
        {"a<b>|\"*", true, false},
        {"tab\there", true, false},
        {"CON", true, false},
        {"con.exe", true, false},
        {"Nul .txt", true, false},
        {"COM1", true, false},
        {"lpt9.kst", true, false},
        {"COM10", true, true},
        {"CONSOLE", true, true},
        {"xcon", true, true},
        {"a/b", false, false},
        {"..", false, false},
        {"", false, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsPlainPosixFileName(c.name), c.posixPlain) << c.name;
        EXPECT_EQ(IsPlainWindowsFileName(c.name), c.windowsPlain) << c.name;
    }
    EXPECT_TRUE(IsWindowsDeviceName("aux"));
    EXPECT_FALSE(IsWindowsDeviceName("auxiliary"));
    EXPECT_TRUE(SameWindowsFileName("Tool.EXE.new", "tool.exe.NEW"));
    EXPECT_FALSE(SameWindowsFileName("tool.exe", "tool.exe.new"));
    EXPECT_TRUE(IsWindowsPathSeparator(':'));
    EXPECT_FALSE(IsPosixPathSeparator('\\'));
}

// ---- text and Windows' path forms, pure, on every system -----------------

TEST(Unicode, Utf8AndUtf16ConvertBothWaysAndWhatIsNotUtf8IsRefused) {
    struct Case {
        std::string utf8;
        std::u16string utf16;
    };
    const Case cases[] = {
        {"", u""},
        {"tool.exe", u"tool.exe"},
        {"Gr\xC3\xB6\xC3\x9F"
         "e",
         u"Gr\u00F6\u00DFe"},
        {"\xE6\x97\xA5\xE6\x9C\xAC", u"\u65E5\u672C"},
        {"\xEF\xBF\xBF", u"\uFFFF"},
        {"\xF0\x9F\x98\x80", u"\U0001F600"},
        {"\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Utf8ToUtf16(c.utf8), c.utf16) << c.utf8;
        EXPECT_EQ(ShownUtf16(c.utf8), c.utf16) << c.utf8;
        EXPECT_EQ(Utf16ToUtf8(c.utf16, LoneSurrogate::Kept), c.utf8);
        EXPECT_EQ(Utf16ToUtf8(c.utf16, LoneSurrogate::Question), c.utf8);
    }
    // A Windows file name may hold a lone surrogate: kept in three bytes, it
    // comes back as the same name; shown to people, it is "?".
    const std::u16string lone = {u'a', char16_t(0xD800), u'b', char16_t(0xDC00)};
    const std::string kept = "a\xED\xA0\x80"
                             "b\xED\xB0\x80";
    EXPECT_EQ(Utf16ToUtf8(lone, LoneSurrogate::Kept), kept);
    EXPECT_EQ(Utf8ToUtf16(kept), lone);
    EXPECT_EQ(Utf16ToUtf8(lone, LoneSurrogate::Question), "a?b?");

    // A stray continuation byte, overlong forms, a character cut short, one
    // beyond U+10FFFF, bytes UTF-8 never uses, and a pair spelled as two
    // lone halves (it has one spelling, its four bytes).
    for (const std::string invalid :
         {"\x80", "\xC0\xAF", "\xE0\x80\xAF", "\xF0\x80\x80\xAF", "a\xC3", "\xE6\x97",
          "\xF4\x90\x80\x80", "\xF8\x88\x80\x80\x80",
          "a\xFF"
          "b",
          "\xED\xA0\xBD\xED\xB8\x80"}) {
        EXPECT_FALSE(Utf8ToUtf16(invalid)) << testing::PrintToString(invalid);
    }
    EXPECT_EQ(ShownUtf16("a\xC3"
                         "b\xFF"),
              u"a\uFFFDb\uFFFD");
}

TEST(WindowsPaths, LongFormsStandForTheFullPath) {
    const std::pair<std::u16string, std::u16string> cases[] = {
        {u"C:\\dir\\file.exe", u"\\\\?\\C:\\dir\\file.exe"},
        {u"\\\\server\\share\\dir\\file.exe", u"\\\\?\\UNC\\server\\share\\dir\\file.exe"},
        {u"\\\\?\\C:\\already", u"\\\\?\\C:\\already"},
        {u"\\\\?\\UNC\\server\\share", u"\\\\?\\UNC\\server\\share"},
        {u"\\\\.\\pipe\\name", u"\\\\.\\pipe\\name"},
    };
    for (const auto& [full, form] : cases) {
        EXPECT_EQ(LongPathForm(full), form);
    }
}

// The reparse data of a link (WindowsPaths.hpp), with the substitute name
// first in its path buffer, then the print name.
Bytes ReparseData(std::uint32_t tag, std::u16string_view substitute, std::u16string_view print,
                  std::uint32_t flags = 0) {
    const std::size_t fixed = tag == SymbolicLinkTag ? 12 : 8;
    Bytes data(8 + fixed + 2 * (substitute.size() + print.size()));
    PutLe32(data.data(), tag);
    PutLe16(data.data() + 4, static_cast<std::uint16_t>(data.size() - 8));
    PutLe16(data.data() + 8, 0);
    PutLe16(data.data() + 10, static_cast<std::uint16_t>(2 * substitute.size()));
    PutLe16(data.data() + 12, static_cast<std::uint16_t>(2 * substitute.size()));
    PutLe16(data.data() + 14, static_cast<std::uint16_t>(2 * print.size()));
    if (tag == SymbolicLinkTag) {
        PutLe32(data.data() + 16, flags);
    }
    std::size_t at = 8 + fixed;
    for (const char16_t unit : std::u16string(substitute) + std::u16string(print)) {
        PutLe16(data.data() + at, unit);
        at += 2;
    }
    return data;
}

TEST(WindowsPaths, LinkTargetsAreReadFromReparseData) {
    const std::pair<Bytes, std::string> cases[] = {
        // Relative, as the link holds it, with "/" as a POSIX link has it.
        {ReparseData(SymbolicLinkTag, u"sub\\target.txt", u"sub\\target.txt", 1), "sub/target.txt"},
        {ReparseData(SymbolicLinkTag, u"..\\Gr\u00F6\u00DFe\\\u65E5", u"", 1),
         "../Gr\xC3\xB6\xC3\x9F"
         "e/\xE6\x97\xA5"},
        // Absolute: as people write it, the print name where there is one.
        {ReparseData(SymbolicLinkTag, u"\\??\\C:\\Program Files\\x", u"C:\\Program Files\\x"),
         "C:\\Program Files\\x"},
        {ReparseData(SymbolicLinkTag, u"\\??\\C:\\x", u""), "C:\\x"},
        {ReparseData(SymbolicLinkTag, u"\\??\\UNC\\server\\share\\x", u""), "\\\\server\\share\\x"},
        {ReparseData(JunctionTag, u"\\??\\D:\\data", u"D:\\data"), "D:\\data"},
        {ReparseData(JunctionTag, u"\\??\\D:\\data", u""), "D:\\data"},
    };
    for (const auto& [data, target] : cases) {
        EXPECT_EQ(LinkTargetOfReparseData(data), target) << target;
    }

    // Other reparse points, and data that does not hold its record.
    const Bytes link = ReparseData(SymbolicLinkTag, u"target", u"target", 1);
    EXPECT_FALSE(LinkTargetOfReparseData(ReparseData(0x8000001B, u"app", u"app")));
    EXPECT_FALSE(LinkTargetOfReparseData(ReparseData(SymbolicLinkTag, u"", u"", 1)));
    EXPECT_FALSE(LinkTargetOfReparseData(Bytes(link.begin(), link.begin() + 7)));
    EXPECT_FALSE(LinkTargetOfReparseData(Bytes(link.begin(), link.end() - 1)));
    const auto damaged = [&](std::size_t field, std::uint16_t value) {
        Bytes data = link;
        PutLe16(data.data() + field, value);
        return LinkTargetOfReparseData(data);
    };
    EXPECT_FALSE(damaged(8, 14));  // the name runs past the buffer
    EXPECT_FALSE(damaged(10, 13)); // an odd length
    EXPECT_FALSE(damaged(14, 14)); // the print name reaches past the end
    EXPECT_FALSE(damaged(4, 10));  // shorter than the record's fixed part
}

// ---- folders, links and permissions through the port --------------------

// Names no code page but UTF-8 holds whole: "Größe-日本.txt" and
// "Ordner-äöü-日本".
const std::string UnicodeFile = "Gr\xC3\xB6\xC3\x9F"
                                "e-\xE6\x97\xA5\xE6\x9C\xAC.txt";
const std::string UnicodeFolder = "Ordner-\xC3\xA4\xC3\xB6\xC3\xBC-\xE6\x97\xA5\xE6\x9C\xAC";

// name in folder, both the program's text.
std::string In(const std::string& folder, const std::string& name) {
    return test::TextOf(test::PathOf(folder) / test::PathOf(name));
}

// The names in folder as std::filesystem reads them (on Windows through
// the C runtime's wide calls), whatever the port makes of them.
std::set<std::string> SystemListing(const std::string& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(test::PathOf(folder))) {
        names.insert(test::TextOf(entry.path().filename()));
    }
    return names;
}

void WriteThroughPort(const std::string& name, std::string_view content) {
    FileStream out = FileStream::Create(name, CreateMode::New);
    out.WriteBuffer(content.data(), static_cast<std::int64_t>(content.size()));
    out.Close();
}

std::string ReadThroughPort(const std::string& name) {
    FileStream in = FileStream::OpenRead(name);
    std::string content(static_cast<std::size_t>(in.Size()), '\0');
    in.ReadBuffer(content.data(), static_cast<std::int64_t>(content.size()));
    return content;
}

TEST(Folders, UnicodeNamesReachTheSystemWhole) {
    // The system must hold the names themselves: their UTF-8 bytes taken
    // for code page characters would name other files, which the program's
    // own listing alone could not tell.
    test::ScratchDir dir;
    const std::string root = test::TextOf(dir.Path());
    const std::string folder = In(root, UnicodeFolder);
    const std::string file = In(folder, UnicodeFile);
    ASSERT_EQ(MakeFolder(folder), NameOutcome::Made);
    EXPECT_EQ(MakeFolder(folder), NameOutcome::Taken);
    WriteThroughPort(file, "content");
    EXPECT_EQ(SystemListing(root), std::set<std::string>{UnicodeFolder});
    EXPECT_EQ(SystemListing(folder), std::set<std::string>{UnicodeFile});
    EXPECT_EQ(ListFolder(folder), std::vector<std::string>{UnicodeFile});

    const std::optional<EntryStatus> folderStatus = StatusOf(folder);
    const std::optional<EntryStatus> fileStatus = StatusOf(file);
    ASSERT_TRUE(folderStatus && fileStatus);
    EXPECT_EQ(folderStatus->kind, EntryKind::Folder);
    EXPECT_EQ(fileStatus->kind, EntryKind::File);
    EXPECT_EQ(fileStatus->size, 7);
    EXPECT_EQ(ReadThroughPort(file), "content");
    EXPECT_EQ(test::ReadBytes(file), test::ToBytes("content"));

    // Renamed, the file and then its folder ("Übersicht-日本" both).
    const std::string renamed = "\xC3\x9C"
                                "bersicht-\xE6\x97\xA5\xE6\x9C\xAC";
    ASSERT_EQ(RenameIfFree(file, In(folder, renamed + ".txt")), NameOutcome::Made);
    EXPECT_EQ(SystemListing(folder), std::set<std::string>{renamed + ".txt"});
    const std::string moved = In(root, renamed);
    ASSERT_EQ(RenameIfFree(folder, moved), NameOutcome::Made);
    EXPECT_EQ(SystemListing(root), std::set<std::string>{renamed});
    EXPECT_EQ(ListFolder(moved), std::vector<std::string>{renamed + ".txt"});

    EXPECT_FALSE(RemoveFolder(moved)); // not empty
    EXPECT_TRUE(DeleteFile(In(moved, renamed + ".txt")));
    EXPECT_TRUE(RemoveFolder(moved));
    EXPECT_EQ(SystemListing(root), std::set<std::string>{});
    EXPECT_FALSE(StatusOf(moved));
    EXPECT_THROW(ListFolder(moved), EReadError);
}

TEST(Folders, PathsLongerThanMaxPathAreMadeUsedAndRemoved) {
    // Seven nested folders of 48 characters, over 300 in all: beyond what
    // Windows' calls take without the long form. (Wine takes any length, so
    // there this shows that the long forms name the right files.)
    test::ScratchDir dir;
    std::vector<std::string> folders;
    fs::path deep = dir.Path();
    for (char level = 'a'; level < 'h'; ++level) {
        deep /= std::string(48, level);
        folders.push_back(test::TextOf(deep));
        ASSERT_EQ(MakeFolder(folders.back()), NameOutcome::Made) << folders.back().size();
    }
    const std::string deepest = folders.back();
    ASSERT_GT(deepest.size(), 300u);
    const std::string file = In(deepest, UnicodeFile);
    WriteThroughPort(file, "deep content");
    EXPECT_EQ(ReadThroughPort(file), "deep content");
    EXPECT_EQ(test::ReadBytes(file), test::ToBytes("deep content"));
    EXPECT_EQ(ListFolder(deepest), std::vector<std::string>{UnicodeFile});
    ASSERT_TRUE(StatusOf(file));
    EXPECT_EQ(StatusOf(file)->size, 12);
    EXPECT_EQ(ListFolder(folders[5]), std::vector<std::string>{std::string(48, 'g')});

    // Renamed, replaced, linked and removed at that depth.
    const std::string other = In(deepest, "other.bin");
    ASSERT_EQ(RenameIfFree(file, other), NameOutcome::Made);
    WriteThroughPort(file, "newer");
    EXPECT_TRUE(ReplaceFile(file, other));
    EXPECT_EQ(ReadThroughPort(other), "newer");
    ASSERT_EQ(LinkFile(other, file), NameOutcome::Made);
    EXPECT_TRUE(SameExistingFile(file, other));

    // A name that is short until it is made absolute against a working
    // folder that is deep already.
    const std::string start = GetWorkingDirectory();
    ASSERT_TRUE(SetWorkingDirectory(folders[2]));
    const std::string relative =
        test::TextOf(fs::path(std::string(48, 'd')) / std::string(48, 'e') / std::string(48, 'f') /
                     std::string(48, 'g') / test::PathOf(UnicodeFile));
    EXPECT_EQ(ReadThroughPort(relative), "newer");
    EXPECT_GT(FullPath(relative).size(), 300u);
    EXPECT_TRUE(SameExistingFile(FullPath(relative), file));
    // Windows lets the working folder be no longer than MAX_PATH - 2
    // characters (the port refuses it under Wine too); POSIX has no limit.
#ifdef _WIN32
    EXPECT_FALSE(SetWorkingDirectory(deepest));
#else
    EXPECT_TRUE(SetWorkingDirectory(deepest));
#endif
    ASSERT_TRUE(SetWorkingDirectory(start));

    EXPECT_TRUE(DeleteFile(file));
    folders.back() = In(folders[5], "renamed");
    ASSERT_EQ(RenameIfFree(deepest, folders.back()), NameOutcome::Made);
    EXPECT_EQ(ListFolder(folders.back()), std::vector<std::string>{"other.bin"});
    EXPECT_TRUE(DeleteFile(In(folders.back(), "other.bin")));
    for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder) {
        EXPECT_TRUE(RemoveFolder(*folder)) << *folder;
    }
    EXPECT_TRUE(ListFolder(test::TextOf(dir.Path())).empty());
}

TEST(Folders, LinksAreMadeAndReadBackAndNeverFollowed) {
    test::ScratchDir dir;
    const std::string root = test::TextOf(dir.Path());
    ASSERT_EQ(MakeFolder(In(root, UnicodeFolder)), NameOutcome::Made);
    const std::string target = In(In(root, UnicodeFolder), "target.txt");
    WriteThroughPort(target, "target");
    ASSERT_TRUE(SetPermissions(target, 0644));
    // A relative target in POSIX spelling, as a release package carries it.
    const std::string relative = UnicodeFolder + "/target.txt";
    const std::string link = In(root, "link.txt");
    const NameOutcome made = MakeLink(relative, link, false);
#ifdef _WIN32
    if (made == NameOutcome::Failed) {
        GTEST_SKIP() << "the system made no symbolic link: Wine makes none (its "
                        "CreateSymbolicLink says it made one and makes nothing), Windows only "
                        "for a user with the right or in developer mode";
    }
#endif
    ASSERT_EQ(made, NameOutcome::Made);
    EXPECT_EQ(MakeLink(relative, link, false), NameOutcome::Taken);
    EXPECT_EQ(ReadLink(link), relative);
    ASSERT_TRUE(StatusOf(link));
    EXPECT_EQ(StatusOf(link)->kind, EntryKind::Link);
    EXPECT_EQ(ReadThroughPort(link), "target");

    const std::string folderLink = In(root, "folder-link");
    ASSERT_EQ(MakeLink(UnicodeFolder, folderLink, true), NameOutcome::Made);
    EXPECT_EQ(ReadLink(folderLink), UnicodeFolder);
    EXPECT_EQ(StatusOf(folderLink)->kind, EntryKind::Link);
    EXPECT_EQ(ListFolder(folderLink), std::vector<std::string>{"target.txt"});

    // A link that points nowhere is still a link, with its target.
    const std::string dangling = In(root, "dangling");
    ASSERT_EQ(MakeLink("missing/file", dangling, false), NameOutcome::Made);
    EXPECT_EQ(StatusOf(dangling)->kind, EntryKind::Link);
    EXPECT_EQ(ReadLink(dangling), "missing/file");
    EXPECT_FALSE(ReadLink(target));
    EXPECT_FALSE(ReadLink(In(root, "missing")));

    // Permission bits are never set through a link, and removing a link
    // leaves what it points to.
    EXPECT_FALSE(SetPermissions(link, 0444));
    EXPECT_EQ(StatusOf(target)->permissions, 0644u);
    for (const std::string& name : {link, folderLink, dangling}) {
        EXPECT_TRUE(DeleteFile(name)) << name;
    }
    EXPECT_EQ(SystemListing(root), std::set<std::string>{UnicodeFolder});
    EXPECT_EQ(ReadThroughPort(target), "target");
}

TEST(Folders, PermissionBitsAreKeptAsTheSystemHoldsThem) {
    // POSIX keeps the bits; Windows a file's read-only attribute, set when
    // no write bit is, and nothing of a folder.
    struct Case {
        std::uint32_t bits;
        std::uint32_t posix;
        std::uint32_t windows;
    };
    const Case files[] = {{0444, 0444, 0444},
                          {0640, 0640, 0644},
                          {0755, 0755, 0644},
                          {0400, 0400, 0444},
                          {04711, 04711, 0644}};
    test::ScratchDir dir;
    const std::string file = In(test::TextOf(dir.Path()), UnicodeFile);
    WriteThroughPort(file, "x");
    for (const Case& c : files) {
        ASSERT_TRUE(SetPermissions(file, c.bits)) << std::oct << c.bits;
#ifdef _WIN32
        EXPECT_EQ(StatusOf(file)->permissions, c.windows) << std::oct << c.bits;
#else
        EXPECT_EQ(StatusOf(file)->permissions, c.posix) << std::oct << c.bits;
#endif
        // What the system says, read another way.
        const bool writable = (fs::status(test::PathOf(file)).permissions() &
                               fs::perms::owner_write) != fs::perms::none;
        EXPECT_EQ(writable, (c.bits & 0200) != 0) << std::oct << c.bits;
    }
    // A read-only file is still removed as on POSIX.
    ASSERT_TRUE(SetPermissions(file, 0444));
    EXPECT_TRUE(DeleteFile(file));

    const std::string folder = In(test::TextOf(dir.Path()), UnicodeFolder);
    ASSERT_EQ(MakeFolder(folder), NameOutcome::Made);
    ASSERT_TRUE(SetPermissions(folder, 0700));
#ifdef _WIN32
    EXPECT_EQ(StatusOf(folder)->permissions, 0755u);
#else
    EXPECT_EQ(StatusOf(folder)->permissions, 0700u);
#endif
    EXPECT_TRUE(SyncFolder(folder));
    EXPECT_TRUE(SyncFolder(test::TextOf(dir.Path())));
    EXPECT_FALSE(SyncFolder(In(folder, "missing")));
    EXPECT_FALSE(SetPermissions(In(folder, "missing"), 0644));
}

// ---- where the program meets the code page -------------------------------

// The ANSI code page of the machines the Windows tests run on.
constexpr bool Windows1252 =
#ifdef _WIN32
    true;
#else
    false;
#endif

TEST(CodePage, ADeltaStoresItsOriginalsNameInTheCodePageAndThatNameApplies) {
    // "Größe.exe": its name field holds Windows-1252 bytes on Windows, as
    // every version there has stored it, and UTF-8 elsewhere.
    test::ScratchDir dir;
    const auto [original, newer] = test::SamplePrograms();
    const std::string name = "Gr\xC3\xB6\xC3\x9F"
                             "e.exe";
    const std::string stored = Windows1252 ? "Gr\xF6\xDF"
                                             "e.exe"
                                           : name;
    test::WriteBytes(dir.File(name), original);
    test::WriteBytes(dir.File("newer.exe"), newer);
    ASSERT_EQ(MakeDelta(dir.File(name), dir.File("newer.exe"), {}), ResultOk);
    const std::string delta = dir.File(name + "_1.0.0.2.kst");
    Bytes bytes = test::ReadBytes(delta);
    const std::size_t field = DeltaHeaderBytes + NameField;
    EXPECT_EQ(std::string(bytes.begin() + field + 1,
                          bytes.begin() + field + 1 + static_cast<std::ptrdiff_t>(bytes[field])),
              stored);
    ASSERT_EQ(ApplyDelta(delta, {}), ResultOk);
    EXPECT_EQ(test::ReadBytes(dir.File(name)), newer);

    // An earlier version's delta for "café.exe" (its stored name "caf" E9
    // on Windows, where the file is "café.exe"; elsewhere that byte is the
    // file's name).
    const std::string earlier = "caf\xE9.exe";
    const std::string target = Windows1252 ? "caf\xC3\xA9.exe" : earlier;
    bytes[field] = static_cast<std::uint8_t>(earlier.size());
    std::copy(earlier.begin(), earlier.end(), bytes.begin() + field + 1);
    test::WriteBytes(dir.File("earlier.kst"), bytes);
    test::WriteBytes(dir.File(target), original);
    EXPECT_EQ(ApplyDelta(dir.File("earlier.kst"), {}), ResultOk);
    EXPECT_EQ(test::ReadBytes(dir.File(target)), newer);
    EXPECT_TRUE(fs::exists(test::PathOf(dir.File(target + "_1.0.0.1.org"))));
}

TEST(CodePage, AnOriginalWhoseNameTheCodePageCannotHoldIsRefusedBeforeAnythingIsWritten) {
    test::ScratchDir dir;
    const auto [original, newer] = test::SamplePrograms();
    const std::string name = "\xE6\x97\xA5\xE6\x9C\xAC.exe"; // "日本.exe"
    test::WriteBytes(dir.File(name), original);
    test::WriteBytes(dir.File("newer.exe"), newer);
    const std::set<std::string> before = SystemListing(test::TextOf(dir.Path()));
    if (Windows1252) {
        try {
            MakeDelta(dir.File(name), dir.File("newer.exe"), {});
            ADD_FAILURE() << "a delta was made";
        } catch (const EFCreateError& refused) {
            EXPECT_EQ(refused.Message(),
                      "Original file name has a character that a delta made here cannot store "
                      "(the system's ANSI code page has none for it): " +
                          name);
        }
        EXPECT_EQ(SystemListing(test::TextOf(dir.Path())), before);
    } else {
        EXPECT_EQ(MakeDelta(dir.File(name), dir.File("newer.exe"), {}), ResultOk);
        EXPECT_EQ(ApplyDelta(dir.File(name + "_1.0.0.2.kst"), {}), ResultOk);
    }
}

TEST(CodePage, TheProgramsReadUnicodeArgumentsAndPipeTheirTextInTheCodePage) {
    // kestro-info, named a file the code page cannot name, prints a version
    // string ("Größe € 日本") to a pipe: in Windows-1252 there, with "?" for
    // what it has no byte for, as earlier versions printed it.
    test::ScratchDir dir;
    const std::string file = dir.File(UnicodeFile);
    test::WriteBytes(file, test::PeWithVersion(test::SerializeVersion(test::VersionRoot(
                               test::FixedRecordBytes(test::FixedRecordOf(1, 0, 0, 1)),
                               {test::StringFileInfo({test::StringTable(
                                    u"040904B0", {{u"CompanyName", u"Gr\u00F6\u00DFe \u20AC "
                                                                   u"\u65E5\u672C"}})}),
                                test::Translations({{0x0409, 0x04B0}})}))));
    const test::ProcessResult info = test::RunProcess(KESTRO_INFO_PROGRAM, {file}, dir);
    EXPECT_EQ(info.status, 0) << info.output;
    const std::string expected = Windows1252 ? "L_CompanyName=Gr\xF6\xDF"
                                               "e \x80 ??\r\n"
                                             : "L_CompanyName=Gr\xC3\xB6\xC3\x9F"
                                               "e \xE2\x82\xAC \xE6\x97\xA5\xE6\x9C\xAC\r\n";
    EXPECT_NE(info.output.find(expected), std::string::npos) << info.output;

    // kestro's failure report names the file in the code page too.
    const std::string tooLong = std::string(70, 'x') + "\xC3\xA9.exe";
    test::WriteBytes(dir.File(tooLong), test::ToBytes("original"));
    const test::ProcessResult failed =
        test::RunProcess(KESTRO_PROGRAM, {dir.File(tooLong), file}, dir);
    EXPECT_EQ(failed.status, 1);
    const std::string named = std::string(70, 'x') + (Windows1252 ? "\xE9" : "\xC3\xA9") + ".exe.";
    EXPECT_TRUE(failed.output.ends_with("(at most 70 bytes): " + named + "\r\n")) << failed.output;
}

TEST(CodePage, TheCInterfaceTakesAndGivesCodePageText) {
    // The C interface's names are code page text: on Windows "caf" E9 is
    // "café.exe".
    test::ScratchDir dir;
    const auto [original, newer] = test::SamplePrograms();
    const std::string given = test::TextOf(dir.Path() / "caf") + "\xE9";
    const std::string file = Windows1252 ? dir.File("caf\xC3\xA9.exe") : given + ".exe";
    test::WriteBytes(file, original);
    test::WriteBytes(dir.File("newer.exe"), newer);
    char message[512] = {};
    kestro_options options{};
    options.message = message;
    options.message_size = sizeof message;
    ASSERT_EQ(kestro_create((given + ".exe").c_str(), dir.File("newer.exe").c_str(), &options),
              KESTRO_OK)
        << message;
    EXPECT_EQ(kestro_apply((given + ".exe_1.0.0.2.kst").c_str(), &options), KESTRO_OK) << message;
    EXPECT_EQ(test::ReadBytes(file), newer);

    // Its messages name files in the code page as well.
    EXPECT_EQ(kestro_apply((given + "-missing.kst").c_str(), &options), KESTRO_FAILED);
    EXPECT_NE(std::string(message).find("caf\xE9-missing.kst"), std::string::npos) << message;
}

TEST(Failures, CarryMessageKindAndAStablePerSiteLocation) {
    auto raise = [](int site) {
        if (site == 0) {
            throw EFOpenError("Cannot open file x");
        }
        throw EFOpenError("Cannot open file x");
    };
    std::uint32_t locations[2] = {};
    for (int site = 0; site < 2; ++site) {
        try {
            raise(site);
        } catch (const Exception& failure) {
            EXPECT_STREQ(failure.KindName(), "EFOpenError");
            EXPECT_STREQ(failure.what(), "Cannot open file x");
            locations[site] = failure.Location();
        }
    }
    EXPECT_NE(locations[0], locations[1]);
    try {
        raise(0);
    } catch (const Exception& failure) {
        EXPECT_EQ(failure.Location(), locations[0]);
    }
}

} // namespace
} // namespace kestro
