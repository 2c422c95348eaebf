// The POSIX port (Port.hpp).
#include "platform/Files.hpp"
#include "platform/InterruptState.hpp"
#include "platform/Port.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace kestro::port {

namespace {

// The most bytes handed to one read or write call.
constexpr std::int64_t MaxTransfer = std::int64_t{1} << 30;

int Fd(Handle handle) {
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
    int Release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

// A signal cuts a wait short; the wait goes on unless the program has been
// interrupted itself.
bool Retry() {
    return errno == EINTR && ReceivedInterrupt.load(std::memory_order_relaxed) == 0;
}

// Makes a completed rename or link durable by syncing its folder.
void SyncFolderOf(const std::string& name) {
    const std::string parent = DirectoryPart(name);
    FdGuard fd(::open(parent.empty() ? "." : parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.Get() >= 0) {
        ::fsync(fd.Get());
    }
}

FileStamp StampOf(const struct stat& info) {
    return {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino),
            static_cast<std::int64_t>(info.st_size),
            static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec};
}

bool SetMode(int fd, const std::string& source) {
    struct stat info {};
    return ::stat(source.c_str(), &info) == 0 && ::fchmod(fd, info.st_mode & 07777) == 0;
}

// The name under /proc by which an open file can be linked.
std::string ProcEntry(Handle file) {
    char entry[64];
    std::snprintf(entry, sizeof entry, "/proc/self/fd/%d", Fd(file));
    return entry;
}

} // namespace

const bool WindowsNames = false;

Handle OpenRead(const std::string& name) {
    FdGuard fd(::open(name.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat info {};
    if (fd.Get() < 0 || ::fstat(fd.Get(), &info) != 0 || S_ISDIR(info.st_mode)) {
        return NoHandle;
    }
    return fd.Release();
}

Handle Create(const std::string& name, CreateMode mode) {
    const bool exclusive = mode != CreateMode::ReplaceExisting;
    const int flags = O_RDWR | O_CREAT | O_CLOEXEC | (exclusive ? O_EXCL | O_NOFOLLOW : O_TRUNC);
    // A private file is made with its final permissions, never readable by
    // others for a moment; the umask can only take more away.
    const mode_t permissions = mode == CreateMode::NewPrivate  ? 0600
                               : mode == CreateMode::NewPublic ? 0644
                                                               : 0666;
    return ::open(name.c_str(), flags, permissions);
}

Handle CreateUnnamed(const std::string& folder) {
#ifdef O_TMPFILE
    // Naming the file later takes its entry under /proc.
    static const bool namable = ::access("/proc/self/fd", X_OK) == 0;
    if (namable) {
        return ::open(folder.empty() ? "." : folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    }
#endif
    static_cast<void>(folder);
    return NoHandle;
}

Handle CreateScratch(const std::string& folder) {
    const std::string where = folder.empty() ? "." : folder;
#ifdef O_TMPFILE
    // O_EXCL: the file can never be given a name either.
    const int unnamed = ::open(where.c_str(), O_TMPFILE | O_EXCL | O_RDWR | O_CLOEXEC, 0600);
    if (unnamed >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) {
        return unnamed;
    }
#endif
    std::string name = where + "/.kestro-scratch-XXXXXX";
    const int fd = ::mkstemp(name.data());
    if (fd < 0) {
        return NoHandle;
    }
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    if (::unlink(name.c_str()) != 0) {
        ::close(fd);
        return NoHandle;
    }
    return fd;
}

bool NameUnnamed(Handle file, const std::string& name) {
    return ::linkat(AT_FDCWD, ProcEntry(file).c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) ==
           0;
}

bool Close(Handle file) {
    return ::close(Fd(file)) == 0;
}

std::int64_t ReadSome(Handle file, void* buffer, std::int64_t count) {
    for (;;) {
        const ssize_t n =
            ::read(Fd(file), buffer, static_cast<std::size_t>(std::min(count, MaxTransfer)));
        if (n >= 0 || !Retry()) {
            return n;
        }
    }
}

std::int64_t ReadSomeAt(Handle file, void* buffer, std::int64_t count, std::int64_t position) {
    for (;;) {
        const ssize_t n =
            ::pread(Fd(file), buffer, static_cast<std::size_t>(std::min(count, MaxTransfer)),
                    static_cast<off_t>(position));
        if (n >= 0 || !Retry()) {
            return n;
        }
    }
}

std::int64_t WriteSome(Handle file, const void* buffer, std::int64_t count) {
    for (;;) {
        const ssize_t n =
            ::write(Fd(file), buffer, static_cast<std::size_t>(std::min(count, MaxTransfer)));
        if (n >= 0 || !Retry()) {
            return n;
        }
    }
}

std::optional<std::int64_t> Position(Handle file) {
    const off_t position = ::lseek(Fd(file), 0, SEEK_CUR);
    return position < 0 ? std::nullopt : std::optional<std::int64_t>(position);
}

bool SetPosition(Handle file, std::int64_t position) {
    return ::lseek(Fd(file), static_cast<off_t>(position), SEEK_SET) >= 0;
}

bool Sync(Handle file) {
    return ::fsync(Fd(file)) == 0;
}

void StartWriteback(Handle file) {
#ifdef SYNC_FILE_RANGE_WRITE
    ::sync_file_range(Fd(file), 0, 0, SYNC_FILE_RANGE_WRITE);
#else
    static_cast<void>(file);
#endif
}

std::optional<FileStamp> Stamp(Handle file) {
    struct stat info {};
    return ::fstat(Fd(file), &info) == 0 ? std::optional(StampOf(info)) : std::nullopt;
}

std::optional<FileStamp> StampOfFile(const std::string& name) {
    struct stat info {};
    return ::stat(name.c_str(), &info) == 0 ? std::optional(StampOf(info)) : std::nullopt;
}

bool IsFile(const std::string& name) {
    struct stat info {};
    return ::stat(name.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool CopyPermissions(const std::string& source, const std::string& destination) {
    // The bits go to the file opened without following a link: a link
    // planted in destination's place must not pass them to a file elsewhere.
    FdGuard file(::open(destination.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    return file.Get() >= 0 && SetMode(file.Get(), source);
}

bool CopyOwner(Handle source, Handle destination) {
    struct stat info {};
    return ::fstat(Fd(source), &info) == 0 &&
           ::fchown(Fd(destination), info.st_uid, info.st_gid) == 0;
}

bool CopyPermissions(Handle source, Handle destination, bool ownerKept) {
    // Set after the owner: a change of owner may clear the setuid bit.
    struct stat info {};
    if (::fstat(Fd(source), &info) != 0) {
        return false;
    }
    mode_t mode = info.st_mode & 07777;
    if (!ownerKept) {
        // As cp and install do: a program that would run as another user
        // or group than its file's does not keep the right to.
        mode &= ~mode_t{S_ISUID | S_ISGID};
    }
    return ::fchmod(Fd(destination), mode) == 0;
}

bool OwnerOnly(const std::string& name) {
    struct stat status {};
    return ::stat(name.c_str(), &status) == 0 && (status.st_mode & 077) == 0;
}

bool InUse(const std::string&) {
    return false;
}

const bool OpenFileBlocksReplace = false;

bool Remove(const std::string& name) {
    return ::unlink(name.c_str()) == 0;
}

bool Replace(const std::string& source, const std::string& destination) {
    if (::rename(source.c_str(), destination.c_str()) != 0) {
        return false;
    }
    SyncFolderOf(destination);
    return true;
}

NameOutcome Link(const std::string& existing, const std::string& destination) {
    if (::linkat(AT_FDCWD, existing.c_str(), AT_FDCWD, destination.c_str(), AT_SYMLINK_FOLLOW) !=
        0) {
        return errno == EEXIST ? NameOutcome::Taken : NameOutcome::Failed;
    }
    SyncFolderOf(destination);
    return NameOutcome::Made;
}

NameOutcome LinkOpen(Handle file, const std::string& destination) {
#ifdef AT_EMPTY_PATH
    // The descriptor itself needs CAP_DAC_READ_SEARCH; its entry under /proc
    // serves everyone else.
    int made = ::linkat(Fd(file), "", AT_FDCWD, destination.c_str(), AT_EMPTY_PATH);
    if (made != 0 && errno != EEXIST) {
        made = ::linkat(AT_FDCWD, ProcEntry(file).c_str(), AT_FDCWD, destination.c_str(),
                        AT_SYMLINK_FOLLOW);
    }
    if (made != 0) {
        return errno == EEXIST ? NameOutcome::Taken : NameOutcome::Failed;
    }
    SyncFolderOf(destination);
    return NameOutcome::Made;
#else
    static_cast<void>(file);
    static_cast<void>(destination);
    return NameOutcome::Failed;
#endif
}

NameOutcome RenameIfFree(const std::string& source, const std::string& destination) {
    NameOutcome outcome = NameOutcome::Failed;
#ifdef RENAME_NOREPLACE
    if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, destination.c_str(), RENAME_NOREPLACE) ==
        0) {
        outcome = NameOutcome::Made;
    } else if (errno == EEXIST) {
        return NameOutcome::Taken;
    } else if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) {
        return NameOutcome::Failed;
    }
#endif
    if (outcome != NameOutcome::Made) {
        // Without a rename that refuses to replace: a second name, which
        // cannot replace either, then the first name goes.
        if (::link(source.c_str(), destination.c_str()) == 0) {
            ::unlink(source.c_str());
        } else if (errno == EEXIST) {
            return NameOutcome::Taken;
        } else {
            // A file system that can do neither: check, then rename. Another
            // program could slip a file in between; another run of this one
            // cannot, as the caller holds the lock.
            struct stat info {};
            if (::lstat(destination.c_str(), &info) == 0) {
                return NameOutcome::Taken;
            }
            if (::rename(source.c_str(), destination.c_str()) != 0) {
                return NameOutcome::Failed;
            }
        }
    }
    SyncFolderOf(destination);
    return NameOutcome::Made;
}

std::optional<EntryStatus> StatusOf(const std::string& name) {
    struct stat info {};
    if (::lstat(name.c_str(), &info) != 0) {
        return std::nullopt;
    }
    EntryStatus status;
    status.kind = S_ISREG(info.st_mode)   ? EntryKind::File
                  : S_ISDIR(info.st_mode) ? EntryKind::Folder
                  : S_ISLNK(info.st_mode) ? EntryKind::Link
                                          : EntryKind::Other;
    status.size = status.kind == EntryKind::File ? static_cast<std::int64_t>(info.st_size) : 0;
    status.permissions = static_cast<std::uint32_t>(info.st_mode & 07777);
    return status;
}

bool ListFolder(const std::string& folder, std::vector<std::string>& names) {
    DIR* const listing = ::opendir(folder.empty() ? "." : folder.c_str());
    if (listing == nullptr) {
        return false;
    }
    errno = 0;
    while (const dirent* entry = ::readdir(listing)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    const bool complete = errno == 0;
    ::closedir(listing);
    return complete;
}

NameOutcome MakeFolder(const std::string& name) {
    if (::mkdir(name.c_str(), 0777) != 0) {
        return errno == EEXIST ? NameOutcome::Taken : NameOutcome::Failed;
    }
    return NameOutcome::Made;
}

bool RemoveFolder(const std::string& name) {
    return ::rmdir(name.c_str()) == 0;
}

std::optional<std::string> ReadLink(const std::string& name) {
    std::vector<char> target(256);
    for (;;) {
        const ssize_t n = ::readlink(name.c_str(), target.data(), target.size());
        if (n < 0) {
            return std::nullopt;
        }
        if (static_cast<std::size_t>(n) < target.size()) {
            return std::string(target.data(), static_cast<std::size_t>(n));
        }
        target.resize(target.size() * 2);
    }
}

NameOutcome MakeLink(const std::string& target, const std::string& name, bool) {
    if (::symlink(target.c_str(), name.c_str()) != 0) {
        return errno == EEXIST ? NameOutcome::Taken : NameOutcome::Failed;
    }
    return NameOutcome::Made;
}

bool SetPermissions(const std::string& name, std::uint32_t permissions) {
    // Through a descriptor opened without following a link, so that a link
    // put in the name's place is never what gets the bits.
    FdGuard fd(::open(name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    return fd.Get() >= 0 && ::fchmod(fd.Get(), static_cast<mode_t>(permissions & 07777)) == 0;
}

bool SyncFolder(const std::string& folder) {
    FdGuard fd(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return fd.Get() >= 0 && ::fsync(fd.Get()) == 0;
}

LockOutcome TryLock(const std::string& name, Handle& held) {
    // An flock belongs to the open file, not to the process, so two threads
    // of one process exclude each other as two processes do.
    for (int attempt = 0; attempt < 1000; ++attempt) {
        // Read-only is enough to lock, and lets a run of another user take
        // a lock file that a killed run left.
        FdGuard fd(::open(name.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666));
        if (fd.Get() < 0) {
            return LockOutcome::Failed;
        }
        if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
            return errno == EWOULDBLOCK || errno == EINTR ? LockOutcome::Busy : LockOutcome::Failed;
        }
        // The holder before this run removes the file as it lets go; a run
        // that opened it just before then holds a lock on a file that no
        // longer stands for anything, and starts again with a fresh one.
        struct stat locked {};
        struct stat named {};
        if (::fstat(fd.Get(), &locked) == 0 && ::lstat(name.c_str(), &named) == 0 &&
            locked.st_dev == named.st_dev && locked.st_ino == named.st_ino) {
            held = fd.Release();
            return LockOutcome::Taken;
        }
    }
    return LockOutcome::Failed;
}

void Unlock(Handle held, const std::string& name) {
    // Removed while still locked, so that no other run can take the lock on
    // the file and then see it vanish.
    ::unlink(name.c_str());
    ::close(Fd(held));
}

Handle StandardOutput() {
    return STDOUT_FILENO;
}

Handle StandardInput() {
    return STDIN_FILENO;
}

bool WriteCharacters(Handle, std::string_view) {
    return false;
}

std::vector<std::string> CommandLine(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

bool IsTerminal(Handle file) {
    return ::isatty(Fd(file)) == 1;
}

int TerminalWidth(Handle file) {
    struct winsize size {};
    return ::ioctl(Fd(file), TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

std::string WorkingDirectory() {
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
    return ::chdir(directory.c_str()) == 0;
}

std::string FullPath(const std::string& path) {
    // Joined, not resolved: ".." after a symbolic link means what the system
    // makes of it when the file is opened, as with the path given.
    if (path.starts_with('/')) {
        return path;
    }
    const std::string folder = WorkingDirectory();
    return folder.empty() ? folder : folder + (folder.ends_with('/') ? "" : "/") + path;
}

// SIGINT, SIGTERM and SIGHUP are caught by a handler that only records the
// signal. It is installed without SA_RESTART, so a read that waits on a
// terminal returns and sees the record.
namespace {

constexpr std::array<int, 3> CaughtSignals = {SIGINT, SIGTERM, SIGHUP};
std::array<struct sigaction, CaughtSignals.size()> previous{};
std::array<bool, CaughtSignals.size()> installed{};

extern "C" void RecordSignal(int signal) {
    ReceivedInterrupt.store(signal, std::memory_order_relaxed);
}

} // namespace

static_assert(SIGINT == InterruptSignalNumber);

void InstallInterruptHandlers() {
    for (std::size_t i = 0; i < CaughtSignals.size(); ++i) {
        struct sigaction action {};
        action.sa_handler = RecordSignal;
        sigemptyset(&action.sa_mask);
        if (::sigaction(CaughtSignals[i], nullptr, &previous[i]) == 0 &&
            previous[i].sa_handler != SIG_IGN) {
            installed[i] = ::sigaction(CaughtSignals[i], &action, nullptr) == 0;
        }
    }
}

void RemoveInterruptHandlers() {
    for (std::size_t i = 0; i < CaughtSignals.size(); ++i) {
        if (installed[i]) {
            ::sigaction(CaughtSignals[i], &previous[i], nullptr);
            installed[i] = false;
        }
    }
}

void EndAsInterrupted(int interrupt) {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    ::sigaction(interrupt, &action, nullptr);
    sigset_t unblock;
    sigemptyset(&unblock);
    sigaddset(&unblock, interrupt);
    ::sigprocmask(SIG_UNBLOCK, &unblock, nullptr);
    ::raise(interrupt);
}

void MapLargeBlocksApart() {
#if defined(__GLIBC__)
    // A threshold that is set stays where it is set.
    constexpr int LargeBlockBytes = 1 << 20;
    mallopt(M_MMAP_THRESHOLD, LargeBlockBytes);
#endif
}

void* MapBlock(std::size_t bytes) {
    // Huge pages need a block that starts on their boundary: a mapping one
    // huge page longer is trimmed to the part that does.
    constexpr std::size_t HugePageBytes = std::size_t{2} << 20;
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    if (bytes > SIZE_MAX - 2 * HugePageBytes) {
        return nullptr;
    }
    const std::size_t kept = (bytes + page - 1) / page * page;
    const bool huge = kept >= HugePageBytes;
    const std::size_t mapped = huge ? kept + HugePageBytes : kept;
    void* const whole = ::mmap(nullptr, mapped == 0 ? page : mapped, PROT_READ | PROT_WRITE,
                               MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (whole == MAP_FAILED || !huge) {
        return whole == MAP_FAILED ? nullptr : whole;
    }
    auto* const start = static_cast<std::uint8_t*>(whole);
    const std::size_t head =
        (HugePageBytes - reinterpret_cast<std::uintptr_t>(start) % HugePageBytes) % HugePageBytes;
    if (head > 0) {
        ::munmap(start, head);
    }
    ::munmap(start + head + kept, HugePageBytes - head);
#if defined(MADV_HUGEPAGE)
    // Advice only: where the system gives no huge pages, small ones serve.
    ::madvise(start + head, kept, MADV_HUGEPAGE);
#endif
    return start + head;
}

void UnmapBlock(void* block, std::size_t bytes) noexcept {
    if (block != nullptr) {
        ::munmap(block, bytes == 0 ? 1 : bytes);
    }
}

} // namespace kestro::port
