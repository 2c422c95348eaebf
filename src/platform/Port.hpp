// The port: everything a platform must implement for the program to run on
// it, as a short list of primitives over the system's calls. Each reports
// what the system said and nothing more: no messages, no failures, no
// retries beyond partial transfers. The program's own rules (its messages
// and failure kinds, the fault-injection seam, interrupt checks, the lock
// protocol, temporary files) are written once above them, in FileStream,
// Files, Locks, Interrupts and Console.
//
// Two ports exist: posix/PosixPort.cpp and win32/Win32Port.cpp, chosen at
// build time. File names are the program's text, UTF-8 as the command line
// gave it: passed to the system unchanged on POSIX; on Windows converted to
// UTF-16 for the wide calls, a path too long for their old limit in its
// long form (win32/Win32.hpp), so that every name and every length the
// system allows can be reached.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestro {

struct FileStamp;
struct EntryStatus;
enum class NameOutcome;
enum class CreateMode;

namespace port {

// An open file or lock; NoHandle when there is none.
using Handle = std::intptr_t;
inline constexpr Handle NoHandle = -1;

// ---- opening and closing -------------------------------------------------

// An existing file for reading; others may read and write it meanwhile, and
// rename or remove it. A directory is not opened.
Handle OpenRead(const std::string& name);
// A new empty file for reading and writing, for this process's own use, as
// mode says (FileStream.hpp): an existing file emptied, or a new one that
// never goes through a symbolic link, for a private one with access for the
// user who runs the program alone (POSIX 0600; on Windows a protected
// access list that names only that user).
Handle Create(const std::string& name, CreateMode mode);
// A new empty file without a name in folder (empty for the working folder),
// where the system has such files; NoHandle elsewhere.
Handle CreateUnnamed(const std::string& folder);
// A new empty file in folder (empty for the working folder) for this
// process's own use, that no other program can open and that goes when it
// is closed or the process ends, however it ends: without a name (Linux:
// O_TMPFILE; elsewhere a name nobody can guess, removed at once), on
// Windows a file that nobody may share, deleted on close.
Handle CreateScratch(const std::string& folder);
// Gives a file made by CreateUnnamed the name name; fails when it is taken.
bool NameUnnamed(Handle file, const std::string& name);
bool Close(Handle file);

// ---- reading and writing -------------------------------------------------

// One read of up to count bytes, as the system gives it: how many arrived,
// 0 at the end of the data, -1 on a read error or when an interrupt of the
// program's cut a wait short. Callers loop (Transfer.hpp).
std::int64_t ReadSome(Handle file, void* buffer, std::int64_t count);
// The same from position on, for random access; the file's own position is
// not used, and on POSIX not moved either.
std::int64_t ReadSomeAt(Handle file, void* buffer, std::int64_t count, std::int64_t position);
// One write of up to count bytes: how many were taken, 0 or -1 when none
// could be.
std::int64_t WriteSome(Handle file, const void* buffer, std::int64_t count);
std::optional<std::int64_t> Position(Handle file);
bool SetPosition(Handle file, std::int64_t position);
// Forces written data to the storage device.
bool Sync(Handle file);
// Asks the system to start writing the file's written data to the storage
// device now, without waiting for it, so that a Sync later has less left to
// wait for. Nothing where the system has no such request.
void StartWriteback(Handle file);

// ---- attributes ----------------------------------------------------------

std::optional<FileStamp> Stamp(Handle file);
std::optional<FileStamp> StampOfFile(const std::string& name);
// A regular file: not a directory, and on POSIX not a pipe or a device.
bool IsFile(const std::string& name);
// The access permissions of source given to destination: the POSIX
// permission bits, never set through a link; on Windows the read-only
// attribute.
bool CopyPermissions(const std::string& source, const std::string& destination);
// The owner and group of the open file source given to destination (POSIX:
// fchown, which only root may do for another user's file; false when it
// was refused). True on Windows, where a file's owner is who made it.
bool CopyOwner(Handle source, Handle destination);
// The access permissions of the open file source given to destination, as
// above; without ownerKept, the POSIX setuid and setgid bits are left out.
bool CopyPermissions(Handle source, Handle destination, bool ownerKept);
// Whether name's file can be reached by the user who runs the program
// alone, as a private file is made: POSIX permissions for nobody else; on
// Windows an access list that grants nobody else anything (the system
// itself aside).
bool OwnerOnly(const std::string& name);
// Whether another program holds name open in a way that stands in the way
// of replacing it (Windows: opened without delete sharing). Never on POSIX.
bool InUse(const std::string& name);
// Whether a file this process holds open stands in the way of renaming
// another file over its name (Windows), so that it must be closed first.
extern const bool OpenFileBlocksReplace;

// ---- names ---------------------------------------------------------------

// Removes a file, or a symbolic link (to a folder too) without its target.
bool Remove(const std::string& name);
// Renames source onto destination, replacing it in one step, and makes the
// change durable.
bool Replace(const std::string& source, const std::string& destination);
// destination as a second name of existing's file (of the file a symbolic
// link points to), made durable where the system can; Taken when anything
// has that name.
NameOutcome Link(const std::string& existing, const std::string& destination);
// destination as a second name of the open file itself, whatever its name
// names now, made durable; Failed where the system cannot name an open file
// (Windows) or the file has no name left.
NameOutcome LinkOpen(Handle file, const std::string& destination);
// Renames source to destination unless destination exists, in one step
// wherever the system offers it, made durable.
NameOutcome RenameIfFree(const std::string& source, const std::string& destination);

// ---- folders and links ---------------------------------------------------

// What name is, a symbolic link (on Windows also a junction) not followed;
// nothing when it does not exist or cannot be looked at.
std::optional<EntryStatus> StatusOf(const std::string& name);
// The names in folder, without "." and "..", in the order the system gives
// them; false when the folder cannot be read.
bool ListFolder(const std::string& folder, std::vector<std::string>& names);
// A new empty folder (Taken when anything has that name), and the removal
// of an empty one.
NameOutcome MakeFolder(const std::string& name);
bool RemoveFolder(const std::string& name);
// A symbolic link's target, as it stands (on Windows a relative one with
// "/" for its separators, as POSIX spells it; a junction's, absolute);
// nothing when name is none.
std::optional<std::string> ReadLink(const std::string& name);
// A new symbolic link name to target (relative to the link's folder; on
// Windows its "/" become "\"); toFolder tells Windows, whose links know
// what they point to, that the target is a folder. Failed where the system
// or the user's rights allow no symbolic link.
NameOutcome MakeLink(const std::string& target, const std::string& name, bool toFolder);
// Sets the POSIX permission bits (07777) of a file or folder, never
// through a symbolic link; on Windows the read-only attribute of a file,
// set when no write bit is.
bool SetPermissions(const std::string& name, std::uint32_t permissions);
// Makes the names made or removed in folder durable.
bool SyncFolder(const std::string& folder);

// ---- locks ---------------------------------------------------------------

// A lock between processes and between threads, held through the lock
// file name. Taken hands the holder's handle back through held; Busy when
// another holder has it.
enum class LockOutcome { Taken, Busy, Failed };
LockOutcome TryLock(const std::string& name, Handle& held);
// Removes the lock file and lets go of the lock.
void Unlock(Handle held, const std::string& name);

// ---- console, working folder, interrupts, text ---------------------------

Handle StandardOutput();
Handle StandardInput();
// Writes text, the program's, to file as characters where file is a console
// window that takes them (Windows: UTF-16, so that the window shows every
// character whatever its code page); false, with nothing written, where it
// is not one or the system has no such write (POSIX, where a terminal takes
// the bytes).
bool WriteCharacters(Handle file, std::string_view text);
// The process's command line as the program's text, its own name first: on
// POSIX argv as it is; on Windows the system's UTF-16 command line, split
// as the C runtime splits it for argv, or argv itself (in the ANSI code
// page) where the runtime cannot split it.
std::vector<std::string> CommandLine(int argc, char** argv);
// Whether file is a terminal (a console on Windows) rather than a file or
// a pipe.
bool IsTerminal(Handle file);
// How many characters a line of the terminal file holds now; 0 where the
// system does not tell.
int TerminalWidth(Handle file);

std::string WorkingDirectory();
// False, the working folder unchanged, when directory cannot be entered; on
// Windows also when its full path is longer than MAX_PATH - 2 characters,
// which Windows refuses to programs that do not declare themselves aware
// of long paths (Wine does not): callers then name files by their full
// paths, the same way on both.
bool SetWorkingDirectory(const std::string& directory);
// path as a path that names the same file whatever the working folder is
// later: an absolute path as it is, a relative one taken from the working
// folder now (on Windows as the system resolves it, a drive-relative or
// root-relative form included). Empty when the working folder is unknown.
std::string FullPath(const std::string& path);

// Installs the handlers that record interrupts (InterruptState.hpp), leaving
// alone an interrupt that was ignored when the program started; and takes
// them away again.
void InstallInterruptHandlers();
void RemoveInterruptHandlers();
// After the clean-up of an interrupted run: ends the process as the
// received interrupt would have (POSIX: the signal's default action), or
// returns where the program ends with its own status (Windows).
void EndAsInterrupted(int interrupt);

// ---- memory --------------------------------------------------------------

// Memory.hpp.
void MapLargeBlocksApart();
// A zeroed block of bytes mapped apart, in pages as large as the system
// gives to whoever asks for them; nullptr when there is no room. Unmapped
// with the same size.
void* MapBlock(std::size_t bytes);
void UnmapBlock(void* block, std::size_t bytes) noexcept;

// Whether file names follow Windows' rules (NameRules.hpp) rather than
// POSIX's.
extern const bool WindowsNames;

} // namespace port
} // namespace kestro
