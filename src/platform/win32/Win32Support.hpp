// What the Win32 implementation files share: a handle owner and the read
// and write loops.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// The system's macros would rename the program's own functions.
#undef CopyFile
#undef DeleteFile
#undef ReplaceFile

#include <cstdint>

namespace kestro::win32 {

// Closes a handle on every way out of the function that opened it.
class HandleGuard {
public:
    explicit HandleGuard(HANDLE handle) : handle_(handle) {}
    HandleGuard(const HandleGuard&) = delete;
    HandleGuard& operator=(const HandleGuard&) = delete;
    ~HandleGuard() {
        if (handle_ != INVALID_HANDLE_VALUE) {
            ::CloseHandle(handle_);
        }
    }
    HANDLE Get() const { return handle_; }
    HANDLE Release() {
        const HANDLE handle = handle_;
        handle_ = INVALID_HANDLE_VALUE;
        return handle;
    }

private:
    HANDLE handle_;
};

// Reads up to count bytes, retrying partial reads; -1 on a read error.
std::int64_t ReadHandle(HANDLE handle, void* buffer, std::int64_t count);

// Writes up to count bytes; returns how many were taken before an error.
std::int64_t WriteHandle(HANDLE handle, const void* buffer, std::int64_t count);

} // namespace kestro::win32
