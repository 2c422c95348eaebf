// POSIX implementation of the file streams, the file services and the
// console.
#include "platform/ByteStream.hpp"
#include "platform/Console.hpp"
#include "platform/Failures.hpp"
#include "platform/FaultInjection.hpp"
#include "platform/Files.hpp"
#include "platform/Interrupts.hpp"
#include "platform/posix/PosixSupport.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace kestro {

namespace posix {

namespace {

// The most bytes handed to one read or write call.
constexpr std::int64_t MaxTransfer = std::int64_t{1} << 30;

} // namespace

std::int64_t ReadFd(int fd, void* buffer, std::int64_t count) {
    auto* at = static_cast<unsigned char*>(buffer);
    std::int64_t done = 0;
    while (done < count) {
        const ssize_t n = ::read(fd, at + done, std::min(count - done, MaxTransfer));
        if (n < 0) {
            if (errno == EINTR && !InterruptRequested()) {
                continue;
            }
            return -1;
        }
        if (n == 0) {
            break;
        }
        done += n;
    }
    return done;
}

std::int64_t WriteFd(int fd, const void* buffer, std::int64_t count) {
    const auto* at = static_cast<const unsigned char*>(buffer);
    std::int64_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(fd, at + done, std::min(count - done, MaxTransfer));
        if (n < 0) {
            if (errno == EINTR && !InterruptRequested()) {
                continue;
            }
            break;
        }
        if (n == 0) {
            break;
        }
        done += n;
    }
    return done;
}

void SyncDirectoryOf(const std::string& name) {
    const std::string parent = DirectoryPart(name);
    const char* directory = parent.empty() ? "." : parent.c_str();
    FdGuard fd(::open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.Get() >= 0) {
        ::fsync(fd.Get());
    }
}

} // namespace posix

using posix::FdGuard;
using posix::ReadFd;
using posix::SyncDirectoryOf;
using posix::WriteFd;

namespace {

int Fd(std::intptr_t handle) {
    return static_cast<int>(handle);
}

FileStamp StampOf(const struct stat& info) {
    return {static_cast<std::int64_t>(info.st_size),
            static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec};
}

// Whether files without a name can be linked into place: that takes the
// file's entry under /proc.
bool AnonymousFilesWork() {
#ifdef O_TMPFILE
    static const bool works = ::access("/proc/self/fd", X_OK) == 0;
    return works;
#else
    return false;
#endif
}

} // namespace

FileStream FileStream::OpenRead(const std::string& name) {
    FdGuard fd(FileCallFails() ? -1 : ::open(name.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat info {};
    if (fd.Get() < 0 || ::fstat(fd.Get(), &info) != 0 || S_ISDIR(info.st_mode)) {
        throw EFOpenError("Cannot open file " + name);
    }
    return FileStream(fd.Release(), name);
}

FileStream FileStream::Create(const std::string& name, CreateMode mode) {
    int flags = O_RDWR | O_CREAT | O_CLOEXEC;
    flags |= mode == CreateMode::New ? (O_EXCL | O_NOFOLLOW) : O_TRUNC;
    const int fd = FileCallFails() ? -1 : ::open(name.c_str(), flags, 0666);
    if (fd < 0) {
        throw EFCreateError("Cannot create file " + name);
    }
    return FileStream(fd, name);
}

void FileStream::Release() noexcept {
    if (handle_ != NoHandle) {
        ::close(Fd(handle_));
        handle_ = NoHandle;
    }
}

void FileStream::Close() {
    if (handle_ != NoHandle) {
        const int fd = Fd(handle_);
        handle_ = NoHandle;
        const bool injected = FileCallFails();
        if (::close(fd) != 0 || injected) {
            throw EWriteError("Stream write error");
        }
    }
}

std::int64_t FileStream::Read(void* buffer, std::int64_t count) {
    CheckInterrupt();
    if (count <= 0) {
        return 0;
    }
    const std::int64_t n = FileCallFails() ? -1 : ReadFd(Fd(handle_), buffer, count);
    if (n < 0) {
        CheckInterrupt();
        throw EReadError("Cannot read file " + name_);
    }
    return n;
}

std::int64_t FileStream::Write(const void* buffer, std::int64_t count) {
    CheckInterrupt();
    const std::int64_t n = count <= 0 || FileCallFails() ? 0 : WriteFd(Fd(handle_), buffer, count);
    if (n < count) {
        CheckInterrupt();
    }
    return n;
}

std::int64_t FileStream::Position() const {
    const off_t position = ::lseek(Fd(handle_), 0, SEEK_CUR);
    if (position < 0) {
        throw EStreamError("Cannot get the position in file " + name_);
    }
    return position;
}

void FileStream::SetPosition(std::int64_t position) {
    if (::lseek(Fd(handle_), static_cast<off_t>(position), SEEK_SET) < 0) {
        throw EStreamError("Cannot set the position in file " + name_);
    }
}

std::int64_t FileStream::Size() const {
    struct stat info {};
    if (::fstat(Fd(handle_), &info) != 0) {
        throw EStreamError("Cannot get the size of file " + name_);
    }
    return info.st_size;
}

void FileStream::Sync() {
    if (FileCallFails() || ::fsync(Fd(handle_)) != 0) {
        throw EWriteError("Stream write error");
    }
}

FileStamp FileStream::Stamp() const {
    struct stat info {};
    if (::fstat(Fd(handle_), &info) != 0) {
        throw EStreamError("Cannot get the size of file " + name_);
    }
    return StampOf(info);
}

TemporaryFile TemporaryFile::Create(const std::string& workName) {
    DeleteFile(workName);
#ifdef O_TMPFILE
    if (AnonymousFilesWork()) {
        const std::string folder = DirectoryPart(workName);
        const int fd = FileCallFails() ? -1
                                       : ::open(folder.empty() ? "." : folder.c_str(),
                                                O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
        if (fd >= 0) {
            return TemporaryFile(FileStream(fd, workName), workName, false);
        }
        // Not on this file system (or the folder is missing, which the
        // named file below reports).
    }
#endif
    return TemporaryFile(FileStream::Create(workName, CreateMode::New), workName, true);
}

void TemporaryFile::Finish() {
    if (!finished_) {
        stream_.Sync();
        finished_ = true;
    }
}

bool TemporaryFile::TakePermissionsOf(const std::string& source) {
    struct stat info {};
    if (FileCallFails() || ::stat(source.c_str(), &info) != 0) {
        return false;
    }
    return stream_.IsOpen() ? ::fchmod(Fd(stream_.handle_), info.st_mode & 07777) == 0
                            : CopyFilePermissions(source, workName_);
}

void TemporaryFile::Settle() {
    Finish();
    if (!named_) {
        // The file gets its work name through its entry under /proc. A file
        // already there is a leftover that appeared after Create.
        char entry[64];
        std::snprintf(entry, sizeof entry, "/proc/self/fd/%d", Fd(stream_.handle_));
        auto link = [&] {
            return ::linkat(AT_FDCWD, entry, AT_FDCWD, workName_.c_str(), AT_SYMLINK_FOLLOW) == 0;
        };
        if (FileCallFails() ||
            !(link() || (errno == EEXIST && ::unlink(workName_.c_str()) == 0 && link()))) {
            throw EFCreateError("Cannot create file " + workName_);
        }
        named_ = true;
    }
    stream_.Close();
}

bool FileExists(const std::string& name) {
    struct stat info {};
    // Only a regular file counts: opening a pipe or a device named by a
    // delta would block or read something that is no program.
    return !name.empty() && ::stat(name.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool DeleteFile(const std::string& name) {
    return !FileCallFails() && ::unlink(name.c_str()) == 0;
}

NameOutcome LinkFile(const std::string& existing, const std::string& newName) {
    if (FileCallFails()) {
        return NameOutcome::Failed;
    }
    if (::linkat(AT_FDCWD, existing.c_str(), AT_FDCWD, newName.c_str(), AT_SYMLINK_FOLLOW) != 0) {
        return errno == EEXIST ? NameOutcome::Taken : NameOutcome::Failed;
    }
    SyncDirectoryOf(newName);
    return NameOutcome::Made;
}

NameOutcome RenameIfFree(const std::string& source, const std::string& destination) {
    if (FileCallFails()) {
        return NameOutcome::Failed;
    }
#ifdef RENAME_NOREPLACE
    if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, destination.c_str(), RENAME_NOREPLACE) ==
        0) {
        SyncDirectoryOf(destination);
        return NameOutcome::Made;
    }
    if (errno == EEXIST) {
        return NameOutcome::Taken;
    }
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) {
        return NameOutcome::Failed;
    }
#endif
    // Without a rename that refuses to replace: a second name, which cannot
    // replace either, then the first name goes.
    if (::link(source.c_str(), destination.c_str()) == 0) {
        ::unlink(source.c_str());
        SyncDirectoryOf(destination);
        return NameOutcome::Made;
    }
    if (errno == EEXIST) {
        return NameOutcome::Taken;
    }
    // A file system that can do neither: check, then rename. Another
    // program could slip a file in between; a run of this one cannot, as
    // the caller holds the lock.
    struct stat info {};
    if (::lstat(destination.c_str(), &info) == 0) {
        return NameOutcome::Taken;
    }
    if (::rename(source.c_str(), destination.c_str()) != 0) {
        return NameOutcome::Failed;
    }
    SyncDirectoryOf(destination);
    return NameOutcome::Made;
}

std::optional<FileStamp> StampOfFile(const std::string& name) {
    struct stat info {};
    if (::stat(name.c_str(), &info) != 0) {
        return std::nullopt;
    }
    return StampOf(info);
}

bool ReplaceFile(const std::string& source, const std::string& destination) {
    if (FileCallFails() || ::rename(source.c_str(), destination.c_str()) != 0) {
        return false;
    }
    SyncDirectoryOf(destination);
    return true;
}

bool CopyFilePermissions(const std::string& source, const std::string& destination) {
    // The bits go to the file opened without following a link: a link
    // planted in destination's place must not pass them to a file elsewhere.
    struct stat info {};
    if (FileCallFails() || ::stat(source.c_str(), &info) != 0) {
        return false;
    }
    FdGuard file(::open(destination.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    return file.Get() >= 0 && ::fchmod(file.Get(), info.st_mode & 07777) == 0;
}

std::string GetWorkingDirectory() {
    std::vector<char> buffer(4096);
    while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
        if (errno != ERANGE) {
            return std::string();
        }
        buffer.resize(buffer.size() * 2);
    }
    return std::string(buffer.data());
}

bool SetWorkingDirectory(const std::string& directory) {
    return !directory.empty() && ::chdir(directory.c_str()) == 0;
}

bool IsPathSeparator(char c) {
    return c == '/';
}

bool IsPlainFileName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

bool SameFileName(std::string_view a, std::string_view b) {
    return a == b;
}

Console StandardConsole() {
    Console console;
    console.write = [](std::string_view bytes) {
        WriteFd(STDOUT_FILENO, bytes.data(), std::ssize(bytes));
    };
    console.readLine = [] {
        // An interrupt ends the wait as a line would.
        char c = 0;
        while (ReadFd(STDIN_FILENO, &c, 1) == 1 && c != '\n') {
        }
    };
    return console;
}

} // namespace kestro
