// The Win32 port (Port.hpp). Every name goes to the wide ("W") forms of
// the system calls through WideName (Win32.hpp): UTF-16, and a long path
// in its long form.
#include "platform/Files.hpp"
#include "platform/InterruptState.hpp"
#include "platform/Port.hpp"
#include "platform/Text.hpp"
#include "platform/WindowsPaths.hpp"
#include "platform/win32/Win32.hpp"

// After windows.h, whose types they use.
#include <aclapi.h>
#include <winioctl.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

// The C runtime's own split of the wide command line (msvcrt.dll), and the
// wildcard setting its start-up used for argv, so that both agree. Its
// last argument is the runtime's start-up record, one int.
extern "C" int __wgetmainargs(int* count, wchar_t*** arguments, wchar_t*** environment,
                              int expandWildcards, int* startInfo);
extern "C" int _dowildcard;

namespace kestro::port {

namespace {

// The most bytes handed to one read or write call.
constexpr std::int64_t MaxTransfer = std::int64_t{1} << 30;

// name's wide form for a call; when it has none (it is not UTF-8, or holds
// a zero), the last error says the name is invalid, as the call would.
std::optional<std::wstring> Name(const std::string& name) {
    std::optional<std::wstring> wide = WideName(name);
    if (!wide) {
        ::SetLastError(ERROR_INVALID_NAME);
    }
    return wide;
}

DWORD AttributesOf(const std::string& name) {
    const std::optional<std::wstring> wide = Name(name);
    return wide ? ::GetFileAttributesW(wide->c_str()) : INVALID_FILE_ATTRIBUTES;
}

bool SetAttributes(const std::string& name, DWORD attributes) {
    const std::optional<std::wstring> wide = Name(name);
    return wide && ::SetFileAttributesW(wide->c_str(), attributes) != 0;
}

// Opens name itself, a link not followed, a folder too, with access.
HANDLE OpenEntry(const std::wstring& name, DWORD access) {
    return ::CreateFileW(
        name.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// Whether an open entry is a link: a reparse point that stands for another
// name (a symbolic link, a junction). Other reparse points (a cloud file's
// placeholder, a deduplicated file) are the file or folder they hold.
bool IsLink(HANDLE entry) {
    FILE_ATTRIBUTE_TAG_INFO info{};
    return ::GetFileInformationByHandleEx(entry, FileAttributeTagInfo, &info, sizeof info) &&
           (info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
           IsReparseTagNameSurrogate(info.ReparseTag);
}

// Whether an entry whose attributes name a reparse point is a link. One
// whose tag the system does not tell counts as a link, never to be walked
// into: Wine marks a Unix symbolic link to a folder so.
bool ReparsePointIsLink(const std::wstring& name) {
    const HandleGuard entry(OpenEntry(name, FILE_READ_ATTRIBUTES));
    FILE_ATTRIBUTE_TAG_INFO info{};
    if (entry.Get() == INVALID_HANDLE_VALUE ||
        !::GetFileInformationByHandleEx(entry.Get(), FileAttributeTagInfo, &info, sizeof info)) {
        return true;
    }
    return (info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 ||
           IsReparseTagNameSurrogate(info.ReparseTag);
}

// Closes a search on every way out.
class SearchGuard {
public:
    explicit SearchGuard(HANDLE search) : search_(search) {}
    SearchGuard(const SearchGuard&) = delete;
    SearchGuard& operator=(const SearchGuard&) = delete;
    ~SearchGuard() {
        if (search_ != INVALID_HANDLE_VALUE) {
            ::FindClose(search_);
        }
    }
    HANDLE Get() const { return search_; }

private:
    HANDLE search_;
};

// The TOKEN_USER record of the user who runs the program; empty when the
// system does not tell.
std::vector<std::uint8_t> CurrentUser() {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return {};
    }
    const HandleGuard guard(token);
    DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<std::uint8_t> user(size);
    if (size == 0 || !::GetTokenInformation(token, TokenUser, user.data(), size, &size)) {
        return {};
    }
    return user;
}

PSID UserSid(std::vector<std::uint8_t>& user) {
    return reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid;
}

// Security attributes whose access list gives the user who runs the program
// every right and nobody else any, inherited from nowhere.
struct OwnerOnlyAccess {
    bool Make() {
        user = CurrentUser();
        if (user.empty()) {
            return false;
        }
        const PSID sid = UserSid(user);
        const DWORD size = sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + ::GetLengthSid(sid);
        acl.assign(size, 0);
        const auto list = reinterpret_cast<PACL>(acl.data());
        if (!::InitializeAcl(list, size, ACL_REVISION) ||
            !::AddAccessAllowedAce(list, ACL_REVISION, FILE_ALL_ACCESS, sid) ||
            !::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
            !::SetSecurityDescriptorDacl(&descriptor, TRUE, list, FALSE) ||
            !::SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
            return false;
        }
        attributes = {sizeof(attributes), &descriptor, FALSE};
        return true;
    }

    std::vector<std::uint8_t> user;
    std::vector<std::uint8_t> acl;
    SECURITY_DESCRIPTOR descriptor{};
    SECURITY_ATTRIBUTES attributes{};
};

HANDLE Win32(Handle handle) {
    return reinterpret_cast<HANDLE>(handle);
}

Handle Own(HANDLE handle) {
    return handle == INVALID_HANDLE_VALUE ? NoHandle : reinterpret_cast<Handle>(handle);
}

std::optional<FileStamp> StampOf(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(file, &info)) {
        return std::nullopt;
    }
    auto join = [](DWORD high, DWORD low) { return (std::uint64_t{high} << 32) | low; };
    return FileStamp{info.dwVolumeSerialNumber, join(info.nFileIndexHigh, info.nFileIndexLow),
                     static_cast<std::int64_t>(join(info.nFileSizeHigh, info.nFileSizeLow)),
                     static_cast<std::int64_t>(join(info.ftLastWriteTime.dwHighDateTime,
                                                    info.ftLastWriteTime.dwLowDateTime))};
}

NameOutcome Refused() {
    const DWORD error = ::GetLastError();
    return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? NameOutcome::Taken
                                                                       : NameOutcome::Failed;
}

// The attributes of an existing read-only file that is not a directory.
std::optional<DWORD> ReadOnlyAttributes(const std::string& name) {
    const DWORD attributes = AttributesOf(name);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
        (attributes & FILE_ATTRIBUTE_READONLY) == 0) {
        return std::nullopt;
    }
    return attributes;
}

// attributes with the read-only attribute of from, a file's attributes:
// access rights follow the folder, and what a file carries of its own is
// that attribute.
DWORD WithReadOnlyOf(DWORD from, DWORD attributes) {
    DWORD result =
        (attributes & ~DWORD{FILE_ATTRIBUTE_READONLY}) | (from & FILE_ATTRIBUTE_READONLY);
    if (result != FILE_ATTRIBUTE_NORMAL) {
        result &= ~DWORD{FILE_ATTRIBUTE_NORMAL};
    }
    return result == 0 ? FILE_ATTRIBUTE_NORMAL : result;
}

std::optional<DWORD> WithReadOnlyOf(const std::string& source, DWORD attributes) {
    const DWORD from = AttributesOf(source);
    if (from == INVALID_FILE_ATTRIBUTES) {
        return std::nullopt;
    }
    return WithReadOnlyOf(from, attributes);
}

} // namespace

const bool WindowsNames = true;

Handle OpenRead(const std::string& name) {
    // Shared for deleting too, so that this process's own reading does not
    // stand in the way of linking the file or of telling whether another
    // program holds it (InUse).
    const std::optional<std::wstring> wide = Name(name);
    if (!wide) {
        return NoHandle;
    }
    return Own(::CreateFileW(wide->c_str(), GENERIC_READ,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

Handle Create(const std::string& name, CreateMode mode) {
    // A private file gets its access list as it is made, so that it is
    // never readable by others for a moment.
    OwnerOnlyAccess access;
    const std::optional<std::wstring> wide = Name(name);
    if (!wide || (mode == CreateMode::NewPrivate && !access.Make())) {
        return NoHandle;
    }
    return Own(::CreateFileW(wide->c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                             mode == CreateMode::NewPrivate ? &access.attributes : nullptr,
                             mode == CreateMode::ReplaceExisting ? CREATE_ALWAYS : CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
}

Handle CreateUnnamed(const std::string&) {
    // Windows has no file without a name.
    return NoHandle;
}

Handle CreateScratch(const std::string& folder) {
    // A name of this process's own, shared with nobody, deleted when the
    // last handle goes, which the system closes for a process that died.
    OwnerOnlyAccess access;
    if (!access.Make()) {
        return NoHandle;
    }
    static std::atomic<unsigned> made{0};
    for (int attempt = 0; attempt < 64; ++attempt) {
        const std::optional<std::wstring> name =
            Name(folder + "kestro-" + std::to_string(::GetCurrentProcessId()) + "-" +
                 std::to_string(made++) + ".scratch");
        if (!name) {
            return NoHandle;
        }
        const HANDLE file = ::CreateFileW(
            name->c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, &access.attributes, CREATE_NEW,
            FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (file != INVALID_HANDLE_VALUE || ::GetLastError() != ERROR_FILE_EXISTS) {
            return Own(file);
        }
    }
    return NoHandle;
}

bool NameUnnamed(Handle, const std::string&) {
    return false;
}

bool Close(Handle file) {
    return ::CloseHandle(Win32(file)) != 0;
}

std::int64_t ReadSome(Handle file, void* buffer, std::int64_t count) {
    DWORD n = 0;
    if (!::ReadFile(Win32(file), buffer, static_cast<DWORD>(std::min(count, MaxTransfer)), &n,
                    nullptr)) {
        // The writing end of a pipe has gone: that is the end of data.
        return ::GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
    }
    return n;
}

std::int64_t ReadSomeAt(Handle file, void* buffer, std::int64_t count, std::int64_t position) {
    // On a handle opened for synchronous use the offset is the read's, and
    // the file pointer ends behind what was read; callers of this read do
    // not use the pointer.
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(position);
    at.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(position) >> 32);
    DWORD n = 0;
    if (!::ReadFile(Win32(file), buffer, static_cast<DWORD>(std::min(count, MaxTransfer)), &n,
                    &at)) {
        return ::GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
    }
    return n;
}

std::int64_t WriteSome(Handle file, const void* buffer, std::int64_t count) {
    DWORD n = 0;
    if (!::WriteFile(Win32(file), buffer, static_cast<DWORD>(std::min(count, MaxTransfer)), &n,
                     nullptr)) {
        return -1;
    }
    return n;
}

std::optional<std::int64_t> Position(Handle file) {
    LARGE_INTEGER zero{};
    LARGE_INTEGER position{};
    if (!::SetFilePointerEx(Win32(file), zero, &position, FILE_CURRENT)) {
        return std::nullopt;
    }
    return position.QuadPart;
}

bool SetPosition(Handle file, std::int64_t position) {
    LARGE_INTEGER to{};
    to.QuadPart = position;
    return ::SetFilePointerEx(Win32(file), to, nullptr, FILE_BEGIN) != 0;
}

bool Sync(Handle file) {
    return ::FlushFileBuffers(Win32(file)) != 0;
}

void StartWriteback(Handle) {
    // The system's lazy writer starts on its own.
}

std::optional<FileStamp> Stamp(Handle file) {
    return StampOf(Win32(file));
}

std::optional<FileStamp> StampOfFile(const std::string& name) {
    // Opened for no access at all, which nobody's sharing refuses.
    const std::optional<std::wstring> wide = Name(name);
    if (!wide) {
        return std::nullopt;
    }
    const HandleGuard file(
        ::CreateFileW(wide->c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (file.Get() == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    return StampOf(file.Get());
}

bool IsFile(const std::string& name) {
    const DWORD attributes = AttributesOf(name);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool CopyPermissions(const std::string& source, const std::string& destination) {
    const DWORD to = AttributesOf(destination);
    const std::optional<DWORD> wanted =
        to == INVALID_FILE_ATTRIBUTES ? std::nullopt : WithReadOnlyOf(source, to);
    return wanted && (*wanted == to || SetAttributes(destination, *wanted));
}

bool CopyOwner(Handle, Handle) {
    return true;
}

bool CopyPermissions(Handle source, Handle destination, bool) {
    // Set through the handle: the file is open for this process's own use,
    // so its name cannot be opened again meanwhile.
    BY_HANDLE_FILE_INFORMATION from{};
    FILE_BASIC_INFO info{};
    if (!::GetFileInformationByHandle(Win32(source), &from) ||
        !::GetFileInformationByHandleEx(Win32(destination), FileBasicInfo, &info, sizeof info)) {
        return false;
    }
    const DWORD wanted = WithReadOnlyOf(from.dwFileAttributes, info.FileAttributes);
    if (wanted == info.FileAttributes) {
        return true;
    }
    info.FileAttributes = wanted;
    // Times of 0 are left as they are.
    info.CreationTime.QuadPart = info.LastAccessTime.QuadPart = 0;
    info.LastWriteTime.QuadPart = info.ChangeTime.QuadPart = 0;
    return ::SetFileInformationByHandle(Win32(destination), FileBasicInfo, &info, sizeof info) != 0;
}

bool OwnerOnly(const std::string& name) {
    PACL list = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const std::optional<std::wstring> wide = Name(name);
    if (!wide ||
        ::GetNamedSecurityInfoW(wide->c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                nullptr, &list, nullptr, &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    // Access is granted to the user and at most the system itself; no list
    // at all would let everybody in.
    std::vector<std::uint8_t> user = CurrentUser();
    bool userGranted = false;
    bool othersGranted = list == nullptr || user.empty();
    for (DWORD i = 0; !othersGranted && i < list->AceCount; ++i) {
        void* entry = nullptr;
        if (!::GetAce(list, i, &entry)) {
            othersGranted = true;
        } else if (static_cast<ACE_HEADER*>(entry)->AceType == ACCESS_ALLOWED_ACE_TYPE) {
            const PSID sid = &static_cast<ACCESS_ALLOWED_ACE*>(entry)->SidStart;
            const bool isUser = ::EqualSid(sid, UserSid(user)) != 0;
            userGranted = userGranted || isUser;
            othersGranted = !isUser && !::IsWellKnownSid(sid, WinLocalSystemSid);
        }
    }
    ::LocalFree(descriptor);
    return userGranted && !othersGranted;
}

bool InUse(const std::string& name) {
    // Replacing the file opens it for deleting, which a holder that does
    // not share deleting refuses; so does this open.
    const std::optional<std::wstring> wide = Name(name);
    if (!wide) {
        return false;
    }
    const HandleGuard file(
        ::CreateFileW(wide->c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return file.Get() == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_SHARING_VIOLATION;
}

// Renaming over a file that has open handles is refused by file systems
// without POSIX rename semantics, even when the handles share deleting.
const bool OpenFileBlocksReplace = true;

bool Remove(const std::string& name) {
    const std::optional<std::wstring> wide = Name(name);
    if (!wide) {
        return false;
    }
    if (::DeleteFileW(wide->c_str())) {
        return true;
    }
    // A link to a folder is a folder to DeleteFile; it goes as POSIX
    // removes a link, its folder left alone.
    const DWORD kind = ::GetFileAttributesW(wide->c_str());
    constexpr DWORD FolderLink = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    if (kind != INVALID_FILE_ATTRIBUTES && (kind & FolderLink) == FolderLink &&
        ReparsePointIsLink(*wide)) {
        return ::RemoveDirectoryW(wide->c_str()) != 0;
    }
    // Windows refuses to delete a read-only file; POSIX deletes it as any
    // other, and the program's own temporary files may carry the attribute.
    const std::optional<DWORD> attributes = ReadOnlyAttributes(name);
    if (!attributes ||
        !::SetFileAttributesW(wide->c_str(), *attributes & ~DWORD{FILE_ATTRIBUTE_READONLY})) {
        return false;
    }
    if (::DeleteFileW(wide->c_str())) {
        return true;
    }
    ::SetFileAttributesW(wide->c_str(), *attributes);
    return false;
}

bool Replace(const std::string& source, const std::string& destination) {
    // A read-only destination is replaced as on POSIX, where a rename does
    // not look at the file it replaces; the attribute comes back when the
    // rename fails.
    const std::optional<std::wstring> from = Name(source);
    const std::optional<std::wstring> to = Name(destination);
    if (!from || !to) {
        return false;
    }
    const std::optional<DWORD> attributes = ReadOnlyAttributes(destination);
    if (attributes) {
        ::SetFileAttributesW(to->c_str(), *attributes & ~DWORD{FILE_ATTRIBUTE_READONLY});
    }
    if (::MoveFileExW(from->c_str(), to->c_str(),
                      MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return true;
    }
    if (attributes) {
        ::SetFileAttributesW(to->c_str(), *attributes);
    }
    return false;
}

NameOutcome Link(const std::string& existing, const std::string& destination) {
    const std::optional<std::wstring> from = Name(existing);
    const std::optional<std::wstring> to = Name(destination);
    return from && to && ::CreateHardLinkW(to->c_str(), from->c_str(), nullptr) ? NameOutcome::Made
                                                                                : Refused();
}

NameOutcome LinkOpen(Handle, const std::string&) {
    // No call names an open file; the caller links by name.
    return NameOutcome::Failed;
}

NameOutcome RenameIfFree(const std::string& source, const std::string& destination) {
    // A folder too: MoveFileEx renames one within its volume.
    const std::optional<std::wstring> from = Name(source);
    const std::optional<std::wstring> to = Name(destination);
    return from && to && ::MoveFileExW(from->c_str(), to->c_str(), MOVEFILE_WRITE_THROUGH)
               ? NameOutcome::Made
               : Refused();
}

std::optional<EntryStatus> StatusOf(const std::string& name) {
    const std::optional<std::wstring> wide = Name(name);
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!wide || !::GetFileAttributesExW(wide->c_str(), GetFileExInfoStandard, &data)) {
        return std::nullopt;
    }
    EntryStatus status;
    const DWORD attributes = data.dwFileAttributes;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && ReparsePointIsLink(*wide)) {
        status.kind = EntryKind::Link;
    } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        status.kind = EntryKind::Folder;
        status.permissions = 0755;
    } else {
        status.kind = EntryKind::File;
        status.size = static_cast<std::int64_t>((std::uint64_t{data.nFileSizeHigh} << 32) |
                                                data.nFileSizeLow);
        status.permissions = (attributes & FILE_ATTRIBUTE_READONLY) != 0 ? 0444 : 0644;
    }
    return status;
}

bool ListFolder(const std::string& folder, std::vector<std::string>& names) {
    // "C:" and "dir\" take the pattern as it stands; "C:\*" would be the
    // root, not the drive's working folder.
    const bool ended = !folder.empty() && IsPathSeparator(folder.back());
    const std::optional<std::wstring> pattern =
        Name(folder.empty() ? std::string("*") : folder + (ended ? "*" : "\\*"));
    WIN32_FIND_DATAW entry{};
    const SearchGuard search(pattern ? ::FindFirstFileExW(pattern->c_str(), FindExInfoBasic, &entry,
                                                          FindExSearchNameMatch, nullptr,
                                                          FIND_FIRST_EX_LARGE_FETCH)
                                     : INVALID_HANDLE_VALUE);
    if (search.Get() == INVALID_HANDLE_VALUE) {
        return false;
    }
    do {
        const std::wstring_view name = entry.cFileName;
        if (name != L"." && name != L"..") {
            names.push_back(TextOfWide(name));
        }
    } while (::FindNextFileW(search.Get(), &entry));
    return ::GetLastError() == ERROR_NO_MORE_FILES;
}

NameOutcome MakeFolder(const std::string& name) {
    const std::optional<std::wstring> wide = Name(name);
    return wide && ::CreateDirectoryW(wide->c_str(), nullptr) ? NameOutcome::Made : Refused();
}

bool RemoveFolder(const std::string& name) {
    // A link to a folder goes itself, its folder left alone.
    const std::optional<std::wstring> wide = Name(name);
    return wide && ::RemoveDirectoryW(wide->c_str()) != 0;
}

std::optional<std::string> ReadLink(const std::string& name) {
    const std::optional<std::wstring> wide = Name(name);
    if (!wide) {
        return std::nullopt;
    }
    const HandleGuard link(OpenEntry(*wide, 0));
    std::vector<std::uint8_t> data(MAXIMUM_REPARSE_DATA_BUFFER_SIZE);
    DWORD size = 0;
    if (link.Get() == INVALID_HANDLE_VALUE ||
        !::DeviceIoControl(link.Get(), FSCTL_GET_REPARSE_POINT, nullptr, 0, data.data(),
                           static_cast<DWORD>(data.size()), &size, nullptr)) {
        return std::nullopt;
    }
    data.resize(size);
    return LinkTargetOfReparseData(data);
}

NameOutcome MakeLink(const std::string& target, const std::string& name, bool toFolder) {
    std::string systemTarget = target;
    std::replace(systemTarget.begin(), systemTarget.end(), '/', '\\');
    const std::optional<std::wstring> to = WideText(systemTarget);
    const std::optional<std::wstring> wide = Name(name);
    if (!to || !wide) {
        return NameOutcome::Failed;
    }
    // Without the right to make links, Windows 10 and later let a user in
    // developer mode make one when asked to; earlier systems refuse the
    // flag itself, and are asked again without it.
    const DWORD kind = toFolder ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0;
    if (!::CreateSymbolicLinkW(wide->c_str(), to->c_str(),
                               kind | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) &&
        (::GetLastError() != ERROR_INVALID_PARAMETER ||
         !::CreateSymbolicLinkW(wide->c_str(), to->c_str(), kind))) {
        return Refused();
    }
    // Wine's CreateSymbolicLink says it made the link and makes nothing.
    const DWORD attributes = ::GetFileAttributesW(wide->c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        return NameOutcome::Failed;
    }
    return NameOutcome::Made;
}

bool SetPermissions(const std::string& name, std::uint32_t permissions) {
    // Through the entry itself, opened without following a link: a link has
    // no attribute of its own to set, and its target must never get one
    // through it.
    const std::optional<std::wstring> wide = Name(name);
    if (!wide) {
        return false;
    }
    const HandleGuard entry(OpenEntry(*wide, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES));
    FILE_BASIC_INFO info{};
    if (entry.Get() == INVALID_HANDLE_VALUE || IsLink(entry.Get()) ||
        !::GetFileInformationByHandleEx(entry.Get(), FileBasicInfo, &info, sizeof info)) {
        return false;
    }
    if ((info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return true;
    }
    const DWORD readOnly = (permissions & 0222) == 0 ? FILE_ATTRIBUTE_READONLY : 0;
    const DWORD wanted = WithReadOnlyOf(readOnly, info.FileAttributes);
    if (wanted == info.FileAttributes) {
        return true;
    }
    info.FileAttributes = wanted;
    // Times of 0 are left as they are.
    info.CreationTime.QuadPart = info.LastAccessTime.QuadPart = 0;
    info.LastWriteTime.QuadPart = info.ChangeTime.QuadPart = 0;
    return ::SetFileInformationByHandle(entry.Get(), FileBasicInfo, &info, sizeof info) != 0;
}

bool SyncFolder(const std::string& folder) {
    const std::optional<std::wstring> wide = Name(folder.empty() ? std::string(".") : folder);
    const DWORD attributes = wide ? ::GetFileAttributesW(wide->c_str()) : INVALID_FILE_ATTRIBUTES;
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return false;
    }
    // NTFS writes a folder's changed entries out when the folder, opened
    // for writing, is flushed. Where the file system or the user's rights
    // allow no such flush, the names are left to the file system's journal,
    // as every other name change of the program's is on Windows.
    const HandleGuard opened(::CreateFileW(
        wide->c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (opened.Get() != INVALID_HANDLE_VALUE) {
        ::FlushFileBuffers(opened.Get());
    }
    return true;
}
LockOutcome TryLock(const std::string& name, Handle& held) {
    // The lock file is opened for exclusive use and deleted when it is
    // closed, also when the system closes it for a process that died.
    // Another opener meets a sharing violation, or access denied while the
    // file waits to be deleted: both mean the lock is held.
    const std::optional<std::wstring> wide = Name(name);
    if (!wide) {
        return LockOutcome::Failed;
    }
    const HANDLE handle =
        ::CreateFileW(wide->c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, OPEN_ALWAYS,
                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        // Access denied with no lock file there is a folder this run may not
        // write, not a holder.
        const DWORD error = ::GetLastError();
        const bool held = error == ERROR_SHARING_VIOLATION ||
                          (error == ERROR_ACCESS_DENIED &&
                           ::GetFileAttributesW(wide->c_str()) != INVALID_FILE_ATTRIBUTES);
        return held ? LockOutcome::Busy : LockOutcome::Failed;
    }
    held = Own(handle);
    return LockOutcome::Taken;
}

void Unlock(Handle held, const std::string&) {
    ::CloseHandle(Win32(held));
}

Handle StandardOutput() {
    return Own(::GetStdHandle(STD_OUTPUT_HANDLE));
}

Handle StandardInput() {
    return Own(::GetStdHandle(STD_INPUT_HANDLE));
}

bool WriteCharacters(Handle file, std::string_view text) {
    DWORD mode = 0;
    if (!::GetConsoleMode(Win32(file), &mode)) {
        return false;
    }
    // In pieces the console takes in one call, none ending between the two
    // halves of a surrogate pair.
    constexpr std::size_t Piece = 8192;
    const std::u16string units = ShownUtf16(text);
    const std::wstring wide(units.begin(), units.end());
    for (std::size_t at = 0; at < wide.size();) {
        std::size_t count = std::min(Piece, wide.size() - at);
        if (count > 1 && at + count < wide.size() && wide[at + count - 1] >= 0xD800 &&
            wide[at + count - 1] <= 0xDBFF) {
            --count;
        }
        DWORD written = 0;
        if (!::WriteConsoleW(Win32(file), wide.data() + at, static_cast<DWORD>(count), &written,
                             nullptr) ||
            written == 0) {
            break;
        }
        at += written;
    }
    return true;
}

std::vector<std::string> CommandLine(int argc, char** argv) {
    int count = 0;
    wchar_t** arguments = nullptr;
    wchar_t** environment = nullptr;
    int startInfo = 0;
    std::vector<std::string> line;
    if (__wgetmainargs(&count, &arguments, &environment, _dowildcard, &startInfo) >= 0 &&
        arguments != nullptr && count == argc) {
        for (int i = 0; i < count; ++i) {
            line.push_back(TextOfWide(arguments[i]));
        }
        return line;
    }
    for (int i = 0; i < argc; ++i) {
        line.push_back(CodePageToText(argv[i]));
    }
    return line;
}

int TerminalWidth(Handle file) {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!::GetConsoleScreenBufferInfo(Win32(file), &info)) {
        return 0;
    }
    return info.srWindow.Right - info.srWindow.Left + 1;
}

bool IsTerminal(Handle file) {
    // Only a console has a console mode; a file or a pipe has none.
    DWORD mode = 0;
    return ::GetConsoleMode(Win32(file), &mode) != 0;
}

std::string WorkingDirectory() {
    const DWORD size = ::GetCurrentDirectoryW(0, nullptr);
    if (size == 0) {
        return std::string();
    }
    std::vector<wchar_t> buffer(size);
    const DWORD length = ::GetCurrentDirectoryW(size, buffer.data());
    if (length == 0 || length >= size) {
        return std::string();
    }
    return TextOfWide(std::wstring_view(buffer.data(), length));
}

bool SetWorkingDirectory(const std::string& directory) {
    // The working folder's limit is measured without a closing separator.
    constexpr std::size_t MaxWorkingFolder = MAX_PATH - 2;
    const std::optional<std::wstring> wide = WideText(directory);
    if (!wide || wide->find(L'\0') != std::wstring::npos) {
        return false;
    }
    std::wstring full = FullWidePath(*wide);
    if (full.size() > 3 && (full.back() == L'\\' || full.back() == L'/')) {
        full.pop_back();
    }
    if (full.empty() || full.size() > MaxWorkingFolder) {
        ::SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    return ::SetCurrentDirectoryW(wide->c_str()) != 0;
}

std::string FullPath(const std::string& path) {
    const std::optional<std::wstring> wide = WideText(path);
    return wide ? TextOfWide(FullWidePath(*wide)) : std::string();
}

// A console control handler records Ctrl-C, Ctrl-Break and the closing of
// the console. The system runs it on a thread of its own. For Ctrl-C and
// Ctrl-Break the program goes on and unwinds at its next check. When the
// console closes, or the user logs off, the system ends the process as soon
// as the handler returns, so the handler waits (a few seconds at most,
// within the time the system grants) until the program has cleaned up.
namespace {

// Set once the program has cleaned up. It lives as long as the process,
// since a handler may still be waiting on it when the program ends.
HANDLE cleanedUp = nullptr;
constexpr DWORD CleanUpWaitMilliseconds = 4000;

BOOL WINAPI RecordConsoleEvent(DWORD event) {
    ReceivedInterrupt.store(InterruptSignalNumber);
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && cleanedUp != nullptr) {
        ::WaitForSingleObject(cleanedUp, CleanUpWaitMilliseconds);
    }
    return TRUE;
}

} // namespace

void InstallInterruptHandlers() {
    if (cleanedUp == nullptr) {
        cleanedUp = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    } else {
        ::ResetEvent(cleanedUp);
    }
    ::SetConsoleCtrlHandler(RecordConsoleEvent, TRUE);
}

void RemoveInterruptHandlers() {
    if (cleanedUp != nullptr) {
        ::SetEvent(cleanedUp);
    }
    ::SetConsoleCtrlHandler(RecordConsoleEvent, FALSE);
}

void EndAsInterrupted(int) {
    // The program ends with its failure report and status 1; a closing
    // console's handler may stop waiting now.
    if (cleanedUp != nullptr) {
        ::SetEvent(cleanedUp);
    }
}

void MapLargeBlocksApart() {}

// Large pages on Windows need a privilege that an updater's user seldom
// holds: the block is committed in the usual pages.
void* MapBlock(std::size_t bytes) {
    return ::VirtualAlloc(nullptr, bytes == 0 ? 1 : bytes, MEM_RESERVE | MEM_COMMIT,
                          PAGE_READWRITE);
}

void UnmapBlock(void* block, std::size_t) noexcept {
    if (block != nullptr) {
        ::VirtualFree(block, 0, MEM_RELEASE);
    }
}

} // namespace kestro::port
