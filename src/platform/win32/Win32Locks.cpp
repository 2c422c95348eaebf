// Windows locks: the lock file opened for exclusive use and marked to be
// deleted when it is closed, also when the system closes it for a process
// that died. Another run's open fails with a sharing violation, or with
// access denied while the file waits to be deleted; both mean "held".
#include "platform/Failures.hpp"
#include "platform/FaultInjection.hpp"
#include "platform/Locks.hpp"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace kestro {

std::optional<FileLock> FileLock::TryAcquire(const std::string& lockName) {
    if (FileCallFails()) {
        throw EFCreateError("Cannot create file " + lockName);
    }
    const HANDLE handle =
        ::CreateFileA(lockName.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr,
                      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED) {
            return std::nullopt;
        }
        throw EFCreateError("Cannot create file " + lockName);
    }
    return FileLock(reinterpret_cast<std::intptr_t>(handle), lockName);
}

FileLock::FileLock(FileLock&& other) noexcept
    : handle_(other.handle_), name_(std::move(other.name_)) {
    other.handle_ = NoHandle;
}

FileLock::~FileLock() {
    if (handle_ != NoHandle) {
        ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
    }
}

} // namespace kestro
