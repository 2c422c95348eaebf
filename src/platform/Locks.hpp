// Locks between runs of the program, and between threads of one process:
// one update of a target at a time, one writer of a delta at a time.
//
// A lock lives in a lock file beside what it guards. The holder creates the
// file if need be, holds it locked through the system (POSIX: flock on the
// open file; Windows: the file opened for exclusive use, deleted when
// closed), and removes it again when it lets go. The system drops the lock
// when the holder's process dies, so a lock file left behind by a killed run
// blocks nobody, and the next holder removes it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace kestro {

class FileLock {
public:
    FileLock(FileLock&& other) noexcept;
    FileLock& operator=(FileLock&&) = delete;
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    // Removes the lock file and lets go of the lock.
    ~FileLock();

private:
    friend std::optional<FileLock> AcquireLock(const std::string&, const std::string&,
                                               std::chrono::milliseconds,
                                               const std::function<void(const std::string&)>&);
    static constexpr std::intptr_t NoHandle = -1;
    FileLock(std::intptr_t handle, std::string name) : handle_(handle), name_(std::move(name)) {}

    std::intptr_t handle_;
    std::string name_;
};

// How long a run waits for a lock that another run holds.
inline constexpr std::chrono::milliseconds DefaultLockWait{60000};

// Takes the lock of lockName, waiting up to wait while another holder has
// it (a wait of 0 tries once). Nothing when the lock file cannot be made at
// all (a folder this run may not write): the caller decides whether it can
// go on without the lock. Fails with EFOpenError "File is in use by another
// run: <subject>" when the time runs out, and with EInterrupted when an
// interrupt arrives meanwhile. However long it waits, it counts as one
// file-system call for the fault-injection seam. waiting, when set, is told
// subject once, on the calling thread, when a wait begins: the lock was
// busy and there is time to wait for it.
std::optional<FileLock> AcquireLock(const std::string& lockName, const std::string& subject,
                                    std::chrono::milliseconds wait = DefaultLockWait,
                                    const std::function<void(const std::string&)>& waiting = {});

} // namespace kestro
