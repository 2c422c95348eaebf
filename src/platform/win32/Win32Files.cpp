// Win32 implementation of the file streams, the file services and the
// console. File names are 8-bit text in the ANSI code page, as the command
// line delivers them, and go to the ANSI forms of the system calls.
#include "platform/ByteStream.hpp"
#include "platform/Console.hpp"
#include "platform/Failures.hpp"
#include "platform/FaultInjection.hpp"
#include "platform/Files.hpp"
#include "platform/Interrupts.hpp"
#include "platform/win32/Win32Support.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <optional>
#include <vector>

namespace kestro {

namespace win32 {

namespace {

// The most bytes handed to one read or write call.
constexpr std::int64_t MaxTransfer = std::int64_t{1} << 30;

} // namespace

std::int64_t ReadHandle(HANDLE handle, void* buffer, std::int64_t count) {
    auto* at = static_cast<unsigned char*>(buffer);
    std::int64_t done = 0;
    while (done < count) {
        DWORD n = 0;
        const auto ask = static_cast<DWORD>(std::min(count - done, MaxTransfer));
        if (!::ReadFile(handle, at + done, ask, &n, nullptr)) {
            // The writing end of a pipe has gone: that is the end of data.
            return ::GetLastError() == ERROR_BROKEN_PIPE ? done : -1;
        }
        if (n == 0) {
            break;
        }
        done += n;
    }
    return done;
}

std::int64_t WriteHandle(HANDLE handle, const void* buffer, std::int64_t count) {
    const auto* at = static_cast<const unsigned char*>(buffer);
    std::int64_t done = 0;
    while (done < count) {
        DWORD n = 0;
        const auto ask = static_cast<DWORD>(std::min(count - done, MaxTransfer));
        if (!::WriteFile(handle, at + done, ask, &n, nullptr) || n == 0) {
            break;
        }
        done += n;
    }
    return done;
}

} // namespace win32

using win32::ReadHandle;
using win32::WriteHandle;

namespace {

HANDLE Handle(std::intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}

FileStamp StampOf(DWORD sizeHigh, DWORD sizeLow, FILETIME modified) {
    return {static_cast<std::int64_t>((std::uint64_t{sizeHigh} << 32) | sizeLow),
            static_cast<std::int64_t>((std::uint64_t{modified.dwHighDateTime} << 32) |
                                      modified.dwLowDateTime)};
}

bool NameIsTaken(DWORD error) {
    return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS;
}

// Device names that Windows resolves in every folder: a file of that name,
// with or without an extension, opens the device.
bool IsDeviceName(std::string_view name) {
    std::string base(name.substr(0, name.find('.')));
    while (!base.empty() && base.back() == ' ') {
        base.pop_back();
    }
    for (char& c : base) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    static const std::array<std::string_view, 4> plain = {"CON", "PRN", "AUX", "NUL"};
    if (std::find(plain.begin(), plain.end(), base) != plain.end()) {
        return true;
    }
    return base.size() == 4 && (base.starts_with("COM") || base.starts_with("LPT")) &&
           base[3] >= '0' && base[3] <= '9';
}

// The attributes of an existing read-only file that is not a directory.
std::optional<DWORD> ReadOnlyAttributes(const std::string& name) {
    const DWORD attributes = ::GetFileAttributesA(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
        (attributes & FILE_ATTRIBUTE_READONLY) == 0) {
        return std::nullopt;
    }
    return attributes;
}

} // namespace

FileStream FileStream::OpenRead(const std::string& name) {
    const HANDLE handle =
        FileCallFails()
            ? INVALID_HANDLE_VALUE
            : ::CreateFileA(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        throw EFOpenError("Cannot open file " + name);
    }
    return FileStream(reinterpret_cast<std::intptr_t>(handle), name);
}

FileStream FileStream::Create(const std::string& name, CreateMode mode) {
    const DWORD disposition = mode == CreateMode::New ? CREATE_NEW : CREATE_ALWAYS;
    const HANDLE handle = FileCallFails()
                              ? INVALID_HANDLE_VALUE
                              : ::CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                              nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        throw EFCreateError("Cannot create file " + name);
    }
    return FileStream(reinterpret_cast<std::intptr_t>(handle), name);
}

void FileStream::Release() noexcept {
    if (handle_ != NoHandle) {
        ::CloseHandle(Handle(handle_));
        handle_ = NoHandle;
    }
}

void FileStream::Close() {
    if (handle_ != NoHandle) {
        const HANDLE handle = Handle(handle_);
        handle_ = NoHandle;
        const bool injected = FileCallFails();
        if (!::CloseHandle(handle) || injected) {
            throw EWriteError("Stream write error");
        }
    }
}

std::int64_t FileStream::Read(void* buffer, std::int64_t count) {
    CheckInterrupt();
    if (count <= 0) {
        return 0;
    }
    const std::int64_t n = FileCallFails() ? -1 : ReadHandle(Handle(handle_), buffer, count);
    if (n < 0) {
        throw EReadError("Cannot read file " + name_);
    }
    return n;
}

std::int64_t FileStream::Write(const void* buffer, std::int64_t count) {
    CheckInterrupt();
    return count <= 0 || FileCallFails() ? 0 : WriteHandle(Handle(handle_), buffer, count);
}

std::int64_t FileStream::Position() const {
    LARGE_INTEGER zero{};
    LARGE_INTEGER position{};
    if (!::SetFilePointerEx(Handle(handle_), zero, &position, FILE_CURRENT)) {
        throw EStreamError("Cannot get the position in file " + name_);
    }
    return position.QuadPart;
}

void FileStream::SetPosition(std::int64_t position) {
    LARGE_INTEGER to{};
    to.QuadPart = position;
    if (!::SetFilePointerEx(Handle(handle_), to, nullptr, FILE_BEGIN)) {
        throw EStreamError("Cannot set the position in file " + name_);
    }
}

std::int64_t FileStream::Size() const {
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(Handle(handle_), &size)) {
        throw EStreamError("Cannot get the size of file " + name_);
    }
    return size.QuadPart;
}

void FileStream::Sync() {
    if (FileCallFails() || !::FlushFileBuffers(Handle(handle_))) {
        throw EWriteError("Stream write error");
    }
}

FileStamp FileStream::Stamp() const {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(Handle(handle_), &info)) {
        throw EStreamError("Cannot get the size of file " + name_);
    }
    return StampOf(info.nFileSizeHigh, info.nFileSizeLow, info.ftLastWriteTime);
}

TemporaryFile TemporaryFile::Create(const std::string& workName) {
    // Windows has no file without a name: the work name it is, and a
    // leftover there goes first.
    DeleteFile(workName);
    return TemporaryFile(FileStream::Create(workName, CreateMode::New), workName, true);
}

void TemporaryFile::Finish() {
    if (!finished_) {
        stream_.Sync();
        // Closed now, since attributes cannot be set and names cannot be
        // changed while this process holds the file for its own use.
        stream_.Close();
        finished_ = true;
    }
}

bool TemporaryFile::TakePermissionsOf(const std::string& source) {
    Finish();
    return CopyFilePermissions(source, workName_);
}

void TemporaryFile::Settle() {
    Finish();
}

bool FileExists(const std::string& name) {
    if (name.empty()) {
        return false;
    }
    const DWORD attributes = ::GetFileAttributesA(name.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool DeleteFile(const std::string& name) {
    if (FileCallFails()) {
        return false;
    }
    if (::DeleteFileA(name.c_str())) {
        return true;
    }
    // Windows refuses to delete a read-only file; POSIX deletes it as any
    // other, and the program's own temporary files may carry the attribute.
    const std::optional<DWORD> attributes = ReadOnlyAttributes(name);
    if (!attributes ||
        !::SetFileAttributesA(name.c_str(), *attributes & ~DWORD{FILE_ATTRIBUTE_READONLY})) {
        return false;
    }
    if (::DeleteFileA(name.c_str())) {
        return true;
    }
    ::SetFileAttributesA(name.c_str(), *attributes);
    return false;
}

NameOutcome LinkFile(const std::string& existing, const std::string& newName) {
    if (FileCallFails()) {
        return NameOutcome::Failed;
    }
    if (::CreateHardLinkA(newName.c_str(), existing.c_str(), nullptr)) {
        return NameOutcome::Made;
    }
    return NameIsTaken(::GetLastError()) ? NameOutcome::Taken : NameOutcome::Failed;
}

NameOutcome RenameIfFree(const std::string& source, const std::string& destination) {
    if (FileCallFails()) {
        return NameOutcome::Failed;
    }
    if (::MoveFileExA(source.c_str(), destination.c_str(), MOVEFILE_WRITE_THROUGH)) {
        return NameOutcome::Made;
    }
    return NameIsTaken(::GetLastError()) ? NameOutcome::Taken : NameOutcome::Failed;
}

std::optional<FileStamp> StampOfFile(const std::string& name) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExA(name.c_str(), GetFileExInfoStandard, &data)) {
        return std::nullopt;
    }
    return StampOf(data.nFileSizeHigh, data.nFileSizeLow, data.ftLastWriteTime);
}

bool ReplaceFile(const std::string& source, const std::string& destination) {
    // A read-only destination is replaced as on POSIX, where a rename does
    // not look at the file it replaces; the attribute comes back when the
    // rename fails.
    const std::optional<DWORD> attributes = ReadOnlyAttributes(destination);
    if (attributes) {
        ::SetFileAttributesA(destination.c_str(), *attributes & ~DWORD{FILE_ATTRIBUTE_READONLY});
    }
    if (!FileCallFails() && ::MoveFileExA(source.c_str(), destination.c_str(),
                                          MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return true;
    }
    if (attributes) {
        ::SetFileAttributesA(destination.c_str(), *attributes);
    }
    return false;
}

bool CopyFilePermissions(const std::string& source, const std::string& destination) {
    // Access rights follow the folder; what a file carries of its own is the
    // read-only attribute.
    if (FileCallFails()) {
        return false;
    }
    const DWORD from = ::GetFileAttributesA(source.c_str());
    const DWORD to = ::GetFileAttributesA(destination.c_str());
    if (from == INVALID_FILE_ATTRIBUTES || to == INVALID_FILE_ATTRIBUTES) {
        return false;
    }
    const DWORD readOnly = from & FILE_ATTRIBUTE_READONLY;
    return (to & FILE_ATTRIBUTE_READONLY) == readOnly ||
           ::SetFileAttributesA(destination.c_str(),
                                (to & ~DWORD{FILE_ATTRIBUTE_READONLY}) | readOnly) != 0;
}

std::string GetWorkingDirectory() {
    const DWORD size = ::GetCurrentDirectoryA(0, nullptr);
    if (size == 0) {
        return std::string();
    }
    std::vector<char> buffer(size);
    const DWORD length = ::GetCurrentDirectoryA(size, buffer.data());
    if (length == 0 || length >= size) {
        return std::string();
    }
    return std::string(buffer.data(), length);
}

bool SetWorkingDirectory(const std::string& directory) {
    return !directory.empty() && ::SetCurrentDirectoryA(directory.c_str()) != 0;
}

bool IsPathSeparator(char c) {
    return c == '\\' || c == '/' || c == ':';
}

bool IsPlainFileName(std::string_view name) {
    if (name.empty() || name == "." || name == ".." || IsDeviceName(name)) {
        return false;
    }
    for (char c : name) {
        if (static_cast<unsigned char>(c) < 32 ||
            std::string_view("<>:\"/\\|?*").find(c) != std::string_view::npos) {
            return false;
        }
    }
    return true;
}

bool SameFileName(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::toupper(static_cast<unsigned char>(x)) ==
               std::toupper(static_cast<unsigned char>(y));
    });
}

Console StandardConsole() {
    Console console;
    console.write = [](std::string_view bytes) {
        WriteHandle(::GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(),
                    static_cast<std::int64_t>(bytes.size()));
    };
    console.readLine = [] {
        const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
        char c = 0;
        while (ReadHandle(input, &c, 1) == 1 && c != '\n') {
        }
    };
    return console;
}

} // namespace kestro
