#include "platform/Files.hpp"

#include "common/Failures.hpp"
#include "platform/FaultInjection.hpp"
#include "platform/NameRules.hpp"
#include "platform/Port.hpp"

#include <algorithm>

namespace kestro {

namespace {

std::size_t FileNameStart(std::string_view path) {
    for (std::size_t i = path.size(); i > 0; --i) {
        if (IsPathSeparator(path[i - 1])) {
            return i;
        }
    }
    return 0;
}

} // namespace

bool FileExists(const std::string& name) {
    // Only a regular file counts: opening a pipe or a device named by a
    // delta would block or read something that is no program.
    return !name.empty() && port::IsFile(name);
}

std::optional<std::string> ReadSmallFile(const std::string& name, std::int64_t limit) {
    if (!FileExists(name)) {
        throw EFOpenError("Cannot open file " + name);
    }
    FileStream file = FileStream::OpenRead(name);
    std::string text(static_cast<std::size_t>(limit) + 1, '\0');
    std::int64_t size = 0;
    for (std::int64_t n = 1; n > 0 && size <= limit; size += n) {
        n = file.Read(text.data() + size, limit + 1 - size);
    }
    if (size > limit) {
        return std::nullopt;
    }
    text.resize(static_cast<std::size_t>(size));
    return text;
}

bool IsOwnerOnly(const std::string& name) {
    return port::OwnerOnly(name);
}

std::optional<EntryStatus> StatusOf(const std::string& name) {
    return port::StatusOf(name);
}

std::vector<std::string> ListFolder(const std::string& folder) {
    std::vector<std::string> names;
    if (FileCallFails() || !port::ListFolder(folder, names)) {
        throw EReadError("Cannot read folder " + folder);
    }
    std::sort(names.begin(), names.end());
    return names;
}

NameOutcome MakeFolder(const std::string& name) {
    return FileCallFails() ? NameOutcome::Failed : port::MakeFolder(name);
}

bool RemoveFolder(const std::string& name) {
    return !FileCallFails() && port::RemoveFolder(name);
}

std::optional<std::string> ReadLink(const std::string& name) {
    return FileCallFails() ? std::nullopt : port::ReadLink(name);
}

NameOutcome MakeLink(const std::string& target, const std::string& name, bool toFolder) {
    return FileCallFails() ? NameOutcome::Failed : port::MakeLink(target, name, toFolder);
}

bool SetPermissions(const std::string& name, std::uint32_t permissions) {
    return !FileCallFails() && port::SetPermissions(name, permissions);
}

bool SyncFolder(const std::string& folder) {
    return !FileCallFails() && port::SyncFolder(folder);
}

bool DeleteFile(const std::string& name) {
    return !FileCallFails() && port::Remove(name);
}

bool ReplaceFile(const std::string& source, const std::string& destination) {
    return !FileCallFails() && port::Replace(source, destination);
}

NameOutcome LinkFile(const std::string& existing, const std::string& newName) {
    return FileCallFails() ? NameOutcome::Failed : port::Link(existing, newName);
}

NameOutcome RenameIfFree(const std::string& source, const std::string& destination) {
    return FileCallFails() ? NameOutcome::Failed : port::RenameIfFree(source, destination);
}

std::optional<FileStamp> StampOfFile(const std::string& name) {
    return port::StampOfFile(name);
}

bool SameExistingFile(const std::string& a, const std::string& b) {
    const std::optional<FileStamp> first = port::StampOfFile(a);
    const std::optional<FileStamp> second = port::StampOfFile(b);
    return first && second && first->device == second->device && first->file == second->file;
}

bool NamesFile(const std::string& name, const FileStamp& stamp) {
    if (FileCallFails()) {
        return false;
    }
    const std::optional<FileStamp> named = port::StampOfFile(name);
    return named && named->device == stamp.device && named->file == stamp.file;
}

bool FileInUse(const std::string& name) {
    return FileCallFails() || port::InUse(name);
}

bool WindowsNameRules() {
    return port::WindowsNames;
}

bool OpenFileBlocksReplace() {
    return port::OpenFileBlocksReplace;
}

bool CopyFilePermissions(const std::string& source, const std::string& destination) {
    return !FileCallFails() && port::CopyPermissions(source, destination);
}

std::string GetWorkingDirectory() {
    return port::WorkingDirectory();
}

bool SetWorkingDirectory(const std::string& directory) {
    return !directory.empty() && port::SetWorkingDirectory(directory);
}

std::string FullPath(const std::string& path) {
    return path.empty() ? path : port::FullPath(path);
}

bool IsPathSeparator(char c) {
    return port::WindowsNames ? IsWindowsPathSeparator(c) : IsPosixPathSeparator(c);
}

char PathSeparator() {
    return port::WindowsNames ? '\\' : '/';
}

std::string DirectoryPart(std::string_view path) {
    return std::string(path.substr(0, FileNameStart(path)));
}

std::string FileNamePart(std::string_view path) {
    return std::string(path.substr(FileNameStart(path)));
}

bool IsPlainFileName(std::string_view name) {
    return port::WindowsNames ? IsPlainWindowsFileName(name) : IsPlainPosixFileName(name);
}

bool SameFileName(std::string_view a, std::string_view b) {
    return port::WindowsNames ? SameWindowsFileName(a, b) : a == b;
}

} // namespace kestro
