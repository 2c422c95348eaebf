#include "platform/FileStream.hpp"

#include "common/Failures.hpp"
#include "platform/FaultInjection.hpp"
#include "platform/Files.hpp"
#include "platform/Interrupts.hpp"
#include "platform/Port.hpp"
#include "platform/Transfer.hpp"

namespace kestro {

namespace {

// How much a file that will be synced is written before the system is asked
// to start writing it out.
constexpr std::int64_t WritebackStep = std::int64_t{8} << 20;

} // namespace

FileStream FileStream::OpenRead(const std::string& name) {
    const port::Handle handle = FileCallFails() ? port::NoHandle : port::OpenRead(name);
    if (handle == port::NoHandle) {
        throw EFOpenError("Cannot open file " + name);
    }
    return FileStream(handle, name);
}

FileStream FileStream::Create(const std::string& name, CreateMode mode) {
    const port::Handle handle = FileCallFails() ? port::NoHandle : port::Create(name, mode);
    if (handle == port::NoHandle) {
        throw EFCreateError("Cannot create file " + name);
    }
    return FileStream(handle, name);
}

FileStream FileStream::CreateScratch(const std::string& name) {
    const port::Handle handle =
        FileCallFails() ? port::NoHandle : port::CreateScratch(DirectoryPart(name));
    if (handle == port::NoHandle) {
        throw EFCreateError("Cannot create file " + name);
    }
    return FileStream(handle, name);
}

FileStream::FileStream(FileStream&& other) noexcept
    : handle_(other.handle_), name_(std::move(other.name_)),
      startsWriteback_(other.startsWriteback_), unstarted_(other.unstarted_) {
    other.handle_ = NoHandle;
}

FileStream& FileStream::operator=(FileStream&& other) noexcept {
    if (this != &other) {
        Release();
        handle_ = other.handle_;
        name_ = std::move(other.name_);
        startsWriteback_ = other.startsWriteback_;
        unstarted_ = other.unstarted_;
        other.handle_ = NoHandle;
    }
    return *this;
}

FileStream::~FileStream() {
    Release();
}

void FileStream::Release() noexcept {
    if (handle_ != NoHandle) {
        port::Close(handle_);
        handle_ = NoHandle;
    }
}

void FileStream::Close() {
    if (handle_ != NoHandle) {
        const port::Handle handle = handle_;
        handle_ = NoHandle;
        const bool injected = FileCallFails();
        if (!port::Close(handle) || injected) {
            throw EWriteError("Stream write error");
        }
    }
}

std::int64_t FileStream::Read(void* buffer, std::int64_t count) {
    CheckInterrupt();
    if (count <= 0) {
        return 0;
    }
    const std::int64_t n = FileCallFails() ? -1 : ReadFully(handle_, buffer, count);
    if (n < 0) {
        CheckInterrupt();
        throw EReadError("Cannot read file " + name_);
    }
    return n;
}

std::int64_t FileStream::ReadAt(std::int64_t position, void* buffer, std::int64_t count) {
    CheckInterrupt();
    if (count <= 0) {
        return 0;
    }
    const std::int64_t n = FileCallFails() ? -1 : ReadFullyAt(handle_, buffer, count, position);
    if (n < 0) {
        CheckInterrupt();
        throw EReadError("Cannot read file " + name_);
    }
    return n;
}

std::int64_t FileStream::Write(const void* buffer, std::int64_t count) {
    CheckInterrupt();
    const std::int64_t n = count <= 0 || FileCallFails() ? 0 : WriteFully(handle_, buffer, count);
    if (n < count) {
        CheckInterrupt();
    }
    // A large file that will be synced goes out while it is written, so
    // that the sync at the end waits for the last part only.
    unstarted_ += n;
    if (startsWriteback_ && unstarted_ >= WritebackStep) {
        port::StartWriteback(handle_);
        unstarted_ = 0;
    }
    return n;
}

std::int64_t FileStream::Position() const {
    const std::optional<std::int64_t> position = port::Position(handle_);
    if (!position) {
        throw EStreamError("Cannot get the position in file " + name_);
    }
    return *position;
}

void FileStream::SetPosition(std::int64_t position) {
    if (!port::SetPosition(handle_, position)) {
        throw EStreamError("Cannot set the position in file " + name_);
    }
}

std::int64_t FileStream::Size() const {
    return Stamp().size;
}

FileStamp FileStream::Stamp() const {
    const std::optional<FileStamp> stamp = port::Stamp(handle_);
    if (!stamp) {
        throw EStreamError("Cannot get the size of file " + name_);
    }
    return *stamp;
}

NameOutcome FileStream::LinkAs(const std::string& newName) const {
    return FileCallFails() ? NameOutcome::Failed : port::LinkOpen(handle_, newName);
}

void FileStream::Sync() {
    if (FileCallFails() || !port::Sync(handle_)) {
        throw EWriteError("Stream write error");
    }
}

TemporaryFile TemporaryFile::Create(const std::string& workName) {
    DeleteFile(workName);
    if (!FileCallFails()) {
        const port::Handle unnamed = port::CreateUnnamed(DirectoryPart(workName));
        if (unnamed != port::NoHandle) {
            return TemporaryFile(FileStream(unnamed, workName), workName, false);
        }
    }
    // No file without a name here (or an injected fault): the work name it
    // is, which the leftover has just left free.
    return TemporaryFile(FileStream::Create(workName, CreateMode::New), workName, true);
}

TemporaryFile::TemporaryFile(FileStream stream, std::string workName, bool named)
    : stream_(std::move(stream)), workName_(std::move(workName)), named_(named) {
    stream_.startsWriteback_ = true;
}

TemporaryFile::TemporaryFile(TemporaryFile&& other) noexcept
    : stream_(std::move(other.stream_)), workName_(std::move(other.workName_)),
      named_(other.named_), finished_(other.finished_), published_(other.published_) {
    other.published_ = true; // the moved-from object owns nothing
}

TemporaryFile::~TemporaryFile() {
    if (!published_) {
        // Closed first: Windows cannot remove an open file.
        try {
            stream_.Close();
        } catch (const Exception&) {
            // The content is being discarded; a failed close loses nothing.
        }
        if (named_) {
            DeleteFile(workName_);
        }
    }
}

void TemporaryFile::Finish() {
    if (!finished_) {
        stream_.Sync();
        finished_ = true;
    }
}

TemporaryFile::Access TemporaryFile::TakeAccessOf(const FileStream& source) {
    // An owner refused (or an injected fault) leaves the file as safe as a
    // copy made by this user.
    const bool ownerKept = !FileCallFails() && port::CopyOwner(source.handle_, stream_.handle_);
    if (FileCallFails() || !port::CopyPermissions(source.handle_, stream_.handle_, ownerKept)) {
        return Access::Failed;
    }
    return ownerKept ? Access::Whole : Access::WithoutOwner;
}

void TemporaryFile::Settle() {
    Finish();
    if (!named_) {
        // A file already at the work name is a leftover that appeared after
        // Create; the caller's lock makes the name this run's own.
        if (FileCallFails() ||
            !(port::NameUnnamed(stream_.handle_, workName_) ||
              (DeleteFile(workName_) && port::NameUnnamed(stream_.handle_, workName_)))) {
            throw EFCreateError("Cannot create file " + workName_);
        }
        named_ = true;
    }
    stream_.Close();
}

void TemporaryFile::Publish(const std::string& finalName) {
    Settle();
    if (!ReplaceFile(workName_, finalName)) {
        throw EFCreateError("Cannot create file " + finalName);
    }
    published_ = true;
}

bool TemporaryFile::PublishIfFree(const std::string& finalName) {
    Settle();
    switch (RenameIfFree(workName_, finalName)) {
    case NameOutcome::Made:
        published_ = true;
        return true;
    case NameOutcome::Taken:
        return false;
    case NameOutcome::Failed:
        break;
    }
    throw EFCreateError("Cannot create file " + finalName);
}

} // namespace kestro
