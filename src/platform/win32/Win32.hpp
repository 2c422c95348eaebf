// What the Win32 files share: the system's header with the program's
// settings, a handle closed on every way out, and names as the wide ("W")
// calls take them. Every name of the program is UTF-8; each one reaches the
// system through WideName, in this one place converted to UTF-16 and, when
// it is too long for the calls' old limit, given its long form.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601 // Windows 7: file information set through a handle
#endif
#include <windows.h>
// The system's macros would rename the program's own functions.
#undef CopyFile
#undef DeleteFile
#undef ReplaceFile

#include <optional>
#include <string>
#include <string_view>

namespace kestro::port {

// Closes a handle on every way out of the function that opened it.
class HandleGuard {
public:
    explicit HandleGuard(HANDLE handle) : handle_(handle) {}
    HandleGuard(const HandleGuard&) = delete;
    HandleGuard& operator=(const HandleGuard&) = delete;
    ~HandleGuard() {
        if (handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr) {
            ::CloseHandle(handle_);
        }
    }
    HANDLE Get() const { return handle_; }

private:
    HANDLE handle_;
};

// text, the program's, as UTF-16; nothing when it is not UTF-8.
std::optional<std::wstring> WideText(std::string_view text);
// Text from the system, UTF-16, as the program's: a lone surrogate of a
// file name kept, so that the name comes back to the same file.
std::string TextOfWide(std::wstring_view text);

// name as the wide calls take it: UTF-16, and where the name, made
// absolute against the working folder, is at least LongPathLength
// characters long, that full path in its long form ("\\?\C:\...",
// "\\?\UNC\server\..."), which no length limit applies to. A shorter name
// goes as it was given, resolved by the system as ever. Nothing when name
// is not UTF-8 or holds a zero, which would end it early.
std::optional<std::wstring> WideName(std::string_view name);

// The old calls refuse a path of MAX_PATH (260) characters or more, and
// CreateDirectory one that leaves no room for an 8.3 name in it (12 more).
inline constexpr std::size_t LongPathLength = MAX_PATH - 12;

// path made absolute by the system (GetFullPathNameW), at any length;
// empty when it cannot be.
std::wstring FullWidePath(const std::wstring& path);

} // namespace kestro::port
