// File, directory and path services.
//
// Every name here is the program's text, UTF-8 as the command line gave it:
// on POSIX passed to the system unchanged, on Windows converted to UTF-16
// and reaching paths longer than MAX_PATH (Port.hpp).
#pragma once

#include "platform/FileStream.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestro {

// True when name denotes an existing regular file: never a directory, and on
// POSIX never a pipe or a device either.
bool FileExists(const std::string& name);

// A whole small regular file as text: nothing when it holds more than limit
// bytes. Fails with EFOpenError "Cannot open file <name>" when it is no
// regular file or cannot be read.
std::optional<std::string> ReadSmallFile(const std::string& name, std::int64_t limit);

// True when name's file can be reached by the user who runs the program
// alone, as a private key must be: POSIX permissions for nobody else; on
// Windows an access list that grants nobody else anything.
bool IsOwnerOnly(const std::string& name);

// What a name is, a symbolic link (on Windows also a junction) not
// followed.
enum class EntryKind { File, Folder, Link, Other };
struct EntryStatus {
    EntryKind kind = EntryKind::Other;
    std::int64_t size = 0; // of a file
    // The POSIX permission bits (07777). Windows has none but the read-only
    // attribute: 0444 for a read-only file, 0644 for another, 0755 for a
    // folder.
    std::uint32_t permissions = 0;
};
// Nothing when name does not exist or cannot be looked at.
std::optional<EntryStatus> StatusOf(const std::string& name);

// The names in folder, without "." and "..", sorted by their bytes. Fails
// with EReadError "Cannot read folder <folder>".
std::vector<std::string> ListFolder(const std::string& folder);
// A new empty folder, or Taken when something has that name already.
NameOutcome MakeFolder(const std::string& name);
// Removes an empty folder; false when it could not be removed.
bool RemoveFolder(const std::string& name);
// A symbolic link's target as it stands, a relative one with "/" for its
// separators on every system; nothing when name is no link or cannot be
// read.
std::optional<std::string> ReadLink(const std::string& name);
// A new symbolic link name to target (relative to the link's folder, "/"
// separating its folders on every system); toFolder says the target is a
// folder (Windows links need to know). Failed where the system or the
// user's rights allow no symbolic link.
NameOutcome MakeLink(const std::string& target, const std::string& name, bool toFolder);
// Sets a file's or folder's permission bits, never through a symbolic
// link; on Windows the read-only attribute of a file, set when no write
// bit is. False on failure.
bool SetPermissions(const std::string& name, std::uint32_t permissions);
// Makes the names made or removed in folder durable before it returns.
bool SyncFolder(const std::string& folder);

// Deletes a file, or a symbolic link (to a folder too) without its target;
// false when it could not be deleted (it may not exist).
bool DeleteFile(const std::string& name);

// Renames source to destination, replacing an existing destination in one
// step: a reader sees either the old or the new file, never a mix, and the
// change is made durable before the call returns. False on failure.
bool ReplaceFile(const std::string& source, const std::string& destination);

// What became of an attempt to give a file a name that must not replace
// anything: made, refused because something has that name already (which is
// left alone), or failed for any other reason.
enum class NameOutcome { Made, Taken, Failed };

// Makes newName a second name (a hard link) of the file existing: no copy,
// no space, the file's times and permissions kept. Where existing is a
// symbolic link, the link goes to the file it points to. Failed where the
// file system cannot link (FAT, some network shares). On POSIX the new name
// is made durable before the call returns; Windows leaves that to the file
// system's own journal.
NameOutcome LinkFile(const std::string& existing, const std::string& newName);

// Renames source to destination unless destination exists, in one step
// wherever the system offers it, and makes the change durable.
NameOutcome RenameIfFree(const std::string& source, const std::string& destination);

// True when both names name one existing file, however they are spelled
// (other folders, links, letter case).
bool SameExistingFile(const std::string& a, const std::string& b);

// True when name names the file that stamp was taken of: the same device
// and file number, whatever its size and time.
bool NamesFile(const std::string& name, const FileStamp& stamp);

// True when another program holds name open in a way that stands in the way
// of replacing it: on Windows, opened without delete sharing. Never on
// POSIX.
bool FileInUse(const std::string& name);

// True where a file this process holds open stands in the way of renaming
// another file over its name (Windows): it must be closed before.
bool OpenFileBlocksReplace();

// The stamp of the named file (FileStream.hpp); nothing when it cannot be had.
std::optional<FileStamp> StampOfFile(const std::string& name);

// Gives destination the access permissions of source: the POSIX permission
// bits, set on destination itself and never through a link in its place; on
// Windows the read-only attribute. False on failure.
bool CopyFilePermissions(const std::string& source, const std::string& destination);

std::string GetWorkingDirectory();
// False when the directory could not be entered; the working directory is
// then unchanged. On Windows also false for a directory whose full path is
// longer than MAX_PATH - 2 characters (Port.hpp): its files are then named
// by their full paths.
bool SetWorkingDirectory(const std::string& directory);
// path made independent of the working folder: an absolute path as it is, a
// relative one taken from the working folder of the moment. Empty when the
// working folder cannot be had.
std::string FullPath(const std::string& path);

// True for the characters that separate directories in a path: "/" on POSIX
// (a backslash is an ordinary file-name character there); "\", "/" and ":"
// on Windows.
bool IsPathSeparator(char c);

// The separator the system writes paths with: "/" on POSIX, "\" on
// Windows.
char PathSeparator();

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

// Whether the running system's file names follow Windows' rules
// (NameRules.hpp) rather than POSIX's.
bool WindowsNameRules();

// True when two names spelled from the same folder name the same file: the
// same bytes on POSIX; on Windows, whose file names ignore letter case, the
// same up to the case of ASCII letters.
bool SameFileName(std::string_view a, std::string_view b);

} // namespace kestro
