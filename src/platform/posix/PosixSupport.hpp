// What the POSIX implementation files share: a descriptor owner and the
// read and write loops.
#pragma once

#include <cstdint>
#include <string>
#include <unistd.h>

namespace kestro::posix {

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

// Reads up to count bytes, retrying partial reads and reads a signal
// interrupted (unless an interrupt of the program's own is recorded); -1 on
// a read error.
std::int64_t ReadFd(int fd, void* buffer, std::int64_t count);

// Writes up to count bytes; returns how many were taken before an error.
std::int64_t WriteFd(int fd, const void* buffer, std::int64_t count);

// Makes a completed rename or link durable by syncing the directory that
// holds name.
void SyncDirectoryOf(const std::string& name);

} // namespace kestro::posix
