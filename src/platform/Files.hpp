// File, directory and path services.
//
// Every name here is 8-bit text as the command line gave it; on POSIX it is
// passed to the system unchanged, on Windows it is in the ANSI code page.
#pragma once

#include <string>
#include <string_view>

namespace kestro {

// True when name denotes an existing regular file: never a directory, and on
// POSIX never a pipe or a device either.
bool FileExists(const std::string& name);

// Deletes a file; false when it could not be deleted (it may not exist).
bool DeleteFile(const std::string& name);

// Copies a file's content to a new file. With failIfExists an existing
// destination makes the copy fail and is left alone; without it an existing
// destination is replaced. On POSIX the copy keeps the source's permission
// bits. A copy that fails part way removes what it wrote. False on failure.
bool CopyFile(const std::string& source, const std::string& destination, bool failIfExists);

// Renames source to destination, replacing an existing destination in one
// step: a reader sees either the old or the new file, never a mix, and the
// change is made durable before the call returns. False on failure.
bool ReplaceFile(const std::string& source, const std::string& destination);

// Gives destination the access permissions of source: the POSIX permission
// bits, set on destination itself and never through a link in its place; on
// Windows the read-only attribute. False on failure.
bool CopyFilePermissions(const std::string& source, const std::string& destination);

// Deletes a file when it goes out of scope, unless Cancel was called: the
// owner of a temporary file keeps one of these, so that every way out of an
// operation that fails removes what it had half written.
class ScopedFileRemoval {
public:
    explicit ScopedFileRemoval(std::string name) : name_(std::move(name)) {}
    ScopedFileRemoval(const ScopedFileRemoval&) = delete;
    ScopedFileRemoval& operator=(const ScopedFileRemoval&) = delete;
    ~ScopedFileRemoval() {
        if (!name_.empty()) {
            DeleteFile(name_);
        }
    }
    void Cancel() { name_.clear(); }

private:
    std::string name_;
};

std::string GetWorkingDirectory();
// False when the directory could not be entered; the working directory is
// then unchanged.
bool SetWorkingDirectory(const std::string& directory);

// True for the characters that separate directories in a path: "/" on POSIX
// (a backslash is an ordinary file-name character there); "\", "/" and ":"
// on Windows.
bool IsPathSeparator(char c);

// The directory part of a path: everything up to and including its last
// separator, empty when there is none.
std::string DirectoryPart(std::string_view path);
// The file-name part of a path: everything after its last separator.
std::string FileNamePart(std::string_view path);

// True when name can be used as the name of a file in the current directory
// without reaching any other directory: not empty, not "." or "..", no
// separator, no zero byte, and on Windows none of the characters that a file
// name cannot hold.
bool IsPlainFileName(std::string_view name);

// True when two names spelled from the same folder name the same file: the
// same bytes on POSIX; on Windows, whose file names ignore letter case, the
// same up to the case of ASCII letters.
bool SameFileName(std::string_view a, std::string_view b);

} // namespace kestro
