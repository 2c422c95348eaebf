// POSIX locks: flock on the lock file. An flock belongs to the open file,
// not to the process, so two threads of one process exclude each other as
// two processes do.
#include "platform/Failures.hpp"
#include "platform/FaultInjection.hpp"
#include "platform/Locks.hpp"
#include "platform/posix/PosixSupport.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

namespace kestro {

using posix::FdGuard;

namespace {

// How often a lock file may vanish under a run that has just opened it
// before something is taken to be wrong.
constexpr int MaxLockFileChanges = 1000;

} // namespace

std::optional<FileLock> FileLock::TryAcquire(const std::string& lockName) {
    if (FileCallFails()) {
        throw EFCreateError("Cannot create file " + lockName);
    }
    for (int attempt = 0; attempt < MaxLockFileChanges; ++attempt) {
        // Read-only is enough to lock, and lets a run of another user take a
        // lock file that a killed run left.
        FdGuard fd(::open(lockName.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666));
        if (fd.Get() < 0) {
            break;
        }
        if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
            if (errno == EWOULDBLOCK || errno == EINTR) {
                return std::nullopt;
            }
            break;
        }
        // The holder before this run removes the file as it lets go; a run
        // that opened it just before then holds a lock on a file that no
        // longer stands for anything, and starts again with a fresh one.
        struct stat held {};
        struct stat named {};
        if (::fstat(fd.Get(), &held) == 0 && ::lstat(lockName.c_str(), &named) == 0 &&
            held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
            return FileLock(fd.Release(), lockName);
        }
    }
    throw EFCreateError("Cannot create file " + lockName);
}

FileLock::FileLock(FileLock&& other) noexcept
    : handle_(other.handle_), name_(std::move(other.name_)) {
    other.handle_ = NoHandle;
}

FileLock::~FileLock() {
    if (handle_ != NoHandle) {
        // Removed while still locked, so that no other run can take the lock
        // on the file and then see it vanish.
        ::unlink(name_.c_str());
        ::close(static_cast<int>(handle_));
    }
}

} // namespace kestro
