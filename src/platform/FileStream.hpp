// File streams and the temporary files every output of the program goes
// through: the byte streams (common/ByteStream.hpp) that reach files. Their
// messages, failures, fault injection and interrupt checks are written here
// once, above the port's primitives (Port.hpp).
#pragma once

#include "common/ByteStream.hpp"

#include <cstdint>
#include <string>

namespace kestro {

enum class NameOutcome; // Files.hpp

// How a file stream is created.
enum class CreateMode {
    // Replace any existing file of that name (its content is discarded).
    ReplaceExisting,
    // Fail when any file, directory or link of that name exists; never
    // follows a symbolic link.
    New,
    // New, and readable and writable by the user who runs the program
    // alone: for a private key.
    NewPrivate,
    // New, and writable by the user who runs the program alone, readable
    // by all (POSIX 0644, less what the umask takes): for a public key.
    NewPublic,
};

// What tells one state of a file from another without reading it: which
// file it is (so that another file put in its place, even one of the same
// size and time, differs), its size and the time of its last change, in the
// system's own units.
struct FileStamp {
    std::uint64_t device = 0;
    std::uint64_t file = 0;
    std::int64_t size = 0;
    std::int64_t modified = 0;
    bool operator==(const FileStamp&) const = default;
};

class FileStream final : public ByteStream {
public:
    // Opens an existing file read-only; other processes may read and write
    // it meanwhile. Fails with EFOpenError "Cannot open file %s".
    static FileStream OpenRead(const std::string& name);
    // Creates an empty file opened for this process's exclusive use. Fails
    // with EFCreateError "Cannot create file %s".
    static FileStream Create(const std::string& name,
                             CreateMode mode = CreateMode::ReplaceExisting);
    // A scratch file in name's folder (Port.hpp's CreateScratch): private,
    // and gone when closed, whatever ends the process; name is for
    // messages. Fails with EFCreateError "Cannot create file <name>".
    static FileStream CreateScratch(const std::string& name);

    FileStream(FileStream&& other) noexcept;
    FileStream& operator=(FileStream&& other) noexcept;
    ~FileStream() override;

    std::int64_t Read(void* buffer, std::int64_t count) override;
    // A positional read, one call of the system's own (the position it
    // leaves is not to be relied on: Windows moves it, POSIX does not).
    std::int64_t ReadAt(std::int64_t position, void* buffer, std::int64_t count) override;
    std::int64_t Write(const void* buffer, std::int64_t count) override;
    std::int64_t Position() const override;
    void SetPosition(std::int64_t position) override;
    std::int64_t Size() const override;

    // Forces written data to the storage device, so that a later rename
    // publishes complete content even across a power loss. Fails with
    // EWriteError "Stream write error".
    void Sync();
    // Closes the file now; a failure to close reports a write error, since
    // it can mean that written data did not reach the file.
    void Close();
    const std::string& Name() const { return name_; }
    // The file's size and time of last change, as the system reports them
    // for the open file.
    FileStamp Stamp() const;
    // Gives the open file itself the second name newName, whatever file its
    // own name names by now, as LinkFile does. Failed where the system
    // cannot name an open file (Windows): the caller then links by name and
    // compares the stamps.
    NameOutcome LinkAs(const std::string& newName) const;

private:
    friend class TemporaryFile;
    static constexpr std::intptr_t NoHandle = -1;

    FileStream(std::intptr_t handle, std::string name) : handle_(handle), name_(std::move(name)) {}
    // Closes the file, if open, ignoring any failure (system-specific).
    void Release() noexcept;

    std::intptr_t handle_;
    std::string name_;
    // For a file that will be synced (TemporaryFile): bytes written since
    // the system was last asked to start writing them out.
    bool startsWriteback_ = false;
    std::int64_t unstarted_ = 0;
};

// A file written under a name of its own and published under its final name
// only when complete. Until it is published, leaving the scope, on every way
// out, closes the file and removes it, so a failed operation leaves no
// partial output behind.
//
// Where the system allows (Linux: O_TMPFILE), the file has no name at all
// while it is written, so not even a killed run leaves it behind; it gets
// its work name only for the moment of publishing. Elsewhere it is created
// under its work name. Work names are fixed (target.new, delta.tmp), so the
// next run of the same operation recognises a leftover of a killed run: the
// caller holds the lock that makes the work name its own (Locks.hpp), and a
// file found there is stale and removed.
class TemporaryFile {
public:
    // A new empty file in workName's folder. Fails with EFCreateError
    // "Cannot create file <workName>".
    static TemporaryFile Create(const std::string& workName);

    TemporaryFile(TemporaryFile&& other) noexcept;
    TemporaryFile& operator=(TemporaryFile&&) = delete;
    ~TemporaryFile();

    FileStream& Stream() { return stream_; }
    // Makes the content durable; nothing may be written after it. Fails
    // with EWriteError "Stream write error".
    void Finish();
    // What TakeAccessOf did.
    enum class Access { Failed, Whole, WithoutOwner };
    // Gives the file the owner, the group and the access permissions of the
    // open file source, as far as this process may: where the owner cannot
    // be kept (a user other than root, another user's file), the file is
    // this process's, and it gets the permissions without the setuid and
    // setgid bits (WithoutOwner). Failed when the permissions could not be
    // set. Windows keeps the read-only attribute only.
    Access TakeAccessOf(const FileStream& source);
    // Finishes the file if need be, gives it its work name and closes it, so
    // that what is left of publishing is one rename. Fails with
    // EFCreateError "Cannot create file <workName>".
    void Settle();
    // Finishes the file if need be and renames it onto finalName, replacing
    // any file there in one step. Fails with EFCreateError "Cannot create
    // file <finalName>"; the temporary file is then still removed.
    void Publish(const std::string& finalName);
    // The same, but only where finalName is free: false when a file or
    // anything else has that name, which is left alone (the temporary file
    // is removed). Taken name and publishing are one step, so no check can
    // go stale before the publish.
    bool PublishIfFree(const std::string& finalName);

private:
    TemporaryFile(FileStream stream, std::string workName, bool named);

    FileStream stream_;
    std::string workName_;
    bool named_;             // the file exists under workName_
    bool finished_ = false;  // the content is durable
    bool published_ = false; // the file belongs to its final name now
};

} // namespace kestro
