// POSIX implementation of the file streams, the file services and the
// console.
#include "platform/ByteStream.hpp"
#include "platform/Console.hpp"
#include "platform/Failures.hpp"
#include "platform/FaultInjection.hpp"
#include "platform/Files.hpp"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace kestro {

namespace {

// The most bytes handed to one read or write call.
constexpr std::int64_t MaxTransfer = std::int64_t{1} << 30;

int Fd(std::intptr_t handle) {
    return static_cast<int>(handle);
}

// Closes a descriptor on every way out of the function that opened it.
class FdGuard {
public:
    explicit FdGuard(int fd) : fd_(fd) {}
    FdGuard(const FdGuard&) = delete;
    FdGuard& operator=(const FdGuard&) = delete;
    ~FdGuard() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int Get() const { return fd_; }
    // Hands the descriptor over to a new owner.
    int Release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes now and tells whether the close succeeded.
    bool Close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

private:
    int fd_;
};

// Reads up to count bytes, retrying interrupted and partial reads; -1 on a
// read error.
std::int64_t ReadFd(int fd, void* buffer, std::int64_t count) {
    auto* at = static_cast<unsigned char*>(buffer);
    std::int64_t done = 0;
    while (done < count) {
        const ssize_t n = ::read(fd, at + done, std::min(count - done, MaxTransfer));
        if (n < 0) {
            if (errno == EINTR) {
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

// Writes up to count bytes; returns how many were taken before an error.
std::int64_t WriteFd(int fd, const void* buffer, std::int64_t count) {
    const auto* at = static_cast<const unsigned char*>(buffer);
    std::int64_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(fd, at + done, std::min(count - done, MaxTransfer));
        if (n < 0) {
            if (errno == EINTR) {
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

// Makes a completed rename durable by syncing the directory that holds it.
void SyncDirectoryOf(const std::string& name) {
    const std::string parent = DirectoryPart(name);
    const char* directory = parent.empty() ? "." : parent.c_str();
    FdGuard fd(::open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.Get() >= 0) {
        ::fsync(fd.Get());
    }
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
    if (count <= 0) {
        return 0;
    }
    const std::int64_t n = FileCallFails() ? -1 : ReadFd(Fd(handle_), buffer, count);
    if (n < 0) {
        throw EReadError("Cannot read file " + name_);
    }
    return n;
}

std::int64_t FileStream::Write(const void* buffer, std::int64_t count) {
    return count <= 0 || FileCallFails() ? 0 : WriteFd(Fd(handle_), buffer, count);
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

bool FileExists(const std::string& name) {
    struct stat info {};
    // Only a regular file counts: opening a pipe or a device named by a
    // delta would block or read something that is no program.
    return !name.empty() && ::stat(name.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool DeleteFile(const std::string& name) {
    return !FileCallFails() && ::unlink(name.c_str()) == 0;
}

bool CopyFile(const std::string& source, const std::string& destination, bool failIfExists) {
    FdGuard in(FileCallFails() ? -1 : ::open(source.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat info {};
    if (in.Get() < 0 || ::fstat(in.Get(), &info) != 0 || S_ISDIR(info.st_mode)) {
        return false;
    }
    const mode_t permissions = info.st_mode & 07777;
    const int flags =
        O_WRONLY | O_CREAT | O_CLOEXEC | (failIfExists ? O_EXCL | O_NOFOLLOW : O_TRUNC);
    FdGuard out(::open(destination.c_str(), flags, permissions));
    if (out.Get() < 0) {
        return false;
    }
    std::vector<unsigned char> buffer(1 << 20);
    bool ok = true;
    for (;;) {
        const std::int64_t n = ReadFd(in.Get(), buffer.data(), std::ssize(buffer));
        if (n < 0 || FileCallFails() ||
            WriteFd(out.Get(), buffer.data(), std::max<std::int64_t>(n, 0)) != n) {
            ok = false;
            break;
        }
        if (n == 0) {
            break;
        }
    }
    // The creation mode was filtered by the umask; the copy keeps the
    // source's bits exactly.
    ok = ok && ::fchmod(out.Get(), permissions) == 0 && ::fsync(out.Get()) == 0;
    ok = out.Close() && ok;
    if (!ok) {
        ::unlink(destination.c_str());
    }
    return ok;
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
        char c = 0;
        while (ReadFd(STDIN_FILENO, &c, 1) == 1 && c != '\n') {
        }
    };
    return console;
}

} // namespace kestro
