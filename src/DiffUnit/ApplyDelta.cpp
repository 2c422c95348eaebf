#include "DiffUnit/DeltaFile.hpp"
#include "DiffUnit/DeltaPackage.hpp"
#include "DiffUnit/DeltaSignature.hpp"
#include "DiffUnit/ResultCodes.hpp"
#include "UVersieIn/UVersieIn.hpp"
#include "checksum/Crc32.hpp"
#include "codec/blocks/BlockStream.hpp"
#include "codec/compact/CompactStream.hpp"
#include "common/Failures.hpp"
#include "platform/FaultInjection.hpp"
#include "platform/FileStream.hpp"
#include "platform/Files.hpp"
#include "platform/Interrupts.hpp"

#include <algorithm>
#include <memory>
#include <optional>
#include <utility>

namespace kestro {

namespace {

// The files an update reads and writes, all in the delta's folder.
struct UpdateNames {
    std::string target;     // the file to update, named by the descriptor
    std::string newFile;    // target + ".new": the rebuilt file until it replaces the target
    std::string backup;     // target + "_" + version + ".org"
    std::string backupWork; // backup + ".tmp": a copied backup until it takes its name
};

// Settling the names of the files the update writes, before anything
// is written. A version string with a separator would put the backup into
// another folder. None of them may be the delta itself: clean-up would
// delete it, and a delta taken for the backup would leave the user with no
// copy of the original.
UpdateNames SettleNames(const std::string& deltaName, const std::string& target,
                        const VersionInfo& version) {
    const std::string backupFile = FileNamePart(target) + "_" + VersionString(version) + ".org";
    UpdateNames names;
    names.target = target;
    names.newFile = target + ".new";
    names.backup = DirectoryPart(target) + backupFile;
    names.backupWork = names.backup + ".tmp";
    if (!IsPlainFileName(backupFile)) {
        throw EFCreateError("Cannot create file " + names.backup);
    }
    for (const std::string& name : {names.newFile, names.backup, names.backupWork}) {
        if (SameFileName(name, deltaName)) {
            throw EFCreateError("Cannot create file " + name);
        }
    }
    return names;
}

// A delta file opened and its container read: the header and descriptor,
// the compact body's header for a delta of that format, and the names of
// the target and of its lock, which lie in the delta's own folder (the
// stored name is a plain file name) unless into names the target. code is ResultOk, or the code
// that refuses the delta. With a key, the signature is checked first, so that no field of a delta
// that is not the signer's is looked at: the delta is read once, into a copy that no other program
// can reach, which is checked against the signature and is all that is read afterwards.
struct OpenDelta {
    OpenDelta(const std::string& deltaName, const std::optional<PublicKey>& key,
              const ProgressFunction& told, const std::string& into = {})
        : file(FileStream::OpenRead(deltaName)) {
        if (key) {
            // The signed record is checked before the delta's bytes are
            // read, so the size of the newer file it names can be told as
            // the work's total from the start.
            signature = ReadVerifiedSignature(deltaName, *key);
            const std::int64_t newerSize = signature->Newer.size;
            verified = CopySignedDelta(*signature, deltaName, file,
                                       [&](std::int64_t done, std::int64_t total) {
                                           if (told) {
                                               told({Phase::Verifying, done, total, 0, newerSize});
                                           }
                                       });
        }
        ByteStream& delta = Body();
        code = ReadDeltaHeader(delta, format, minor);
        if (code == ResultOk && format == DeltaFormat::Release) {
            code = ResultWrongDeltaVersion; // a release package, which ApplyRelease applies
        }
        if (code == ResultOk) {
            code = ReadDeltaDescriptor(delta, descriptor);
        }
        if (code == ResultOk && signature) {
            BindSignature(*signature, format, minor, descriptor, deltaName);
        }
        if (code == ResultOk && format == DeltaFormat::Compact &&
            !ReadCompactHeader(delta, minor, compact)) {
            code = ResultWrongDeltaVersion; // a compact body of a kind this reader does not know
        }
        if (code != ResultOk) {
            return;
        }
        target = into.empty() ? DirectoryPart(deltaName) + descriptor.OriginalName : into;
        lock = LockFileName(target);
        if (SameFileName(lock, deltaName)) {
            throw EFCreateError("Cannot create file " + lock);
        }
    }

    // The delta's bytes: the checked copy of a signed delta, else the file.
    ByteStream& Body() { return verified ? *verified : static_cast<ByteStream&>(file); }

    // Rebuilds the newer file from the body, which is positioned there, and
    // the target, read from its first byte. A signed delta's rebuilt bytes
    // must be the newer file it names. poll is called where the compact
    // reader works without writing.
    void Decode(FileStream& original, ByteStream& out, const std::function<void()>& poll) {
        original.SetPosition(0);
        DigestingStream rebuilt(out);
        ByteStream& sink = signature ? static_cast<ByteStream&>(rebuilt) : out;
        if (format == DeltaFormat::Compact) {
            DecodeCompactBody(Body(), compact, original, sink, poll);
        } else {
            DecodeBlockStream(Body(), original, sink);
        }
        if (signature) {
            CheckRebuilt(*signature, rebuilt.Finish(), target);
        }
    }

    // The bytes the body rebuilds; the body is left where it was.
    std::int64_t RebuiltSize() {
        if (format == DeltaFormat::Compact) {
            return static_cast<std::int64_t>(compact.NewerSize);
        }
        ByteStream& delta = Body();
        const std::int64_t start = delta.Position();
        std::int64_t size = 0;
        for (const BlockSummary& block : ListBlockStream(delta)) {
            size += block.TargetLength;
        }
        delta.SetPosition(start);
        return size;
    }

    FileStream file;
    std::optional<DeltaSignature> signature; // bound to the delta's descriptor
    std::unique_ptr<ByteStream> verified;    // the signed delta's checked copy
    DeltaFormat format = DeltaFormat::Blocks;
    std::int32_t minor = 0; // of the compact format
    DeltaDescriptor descriptor;
    CompactHeader compact;
    std::string target;
    std::string lock;
    std::int32_t code = ResultOk;
};

// Checking the target: the checks that decide whether the delta fits it.
// The target's version information is read once, from the file that is
// then checksummed and rebuilt. A compact delta knows the newer file's size
// and CRC-32, so a target that is the newer file already is told apart from
// a damaged or foreign one. A signed statement that names the original's
// SHA-512 must name the target's: a file made to fit the version numbers and
// the CRC-32 fails with ESignatureError. The checksum's progress goes to
// told. ResultOk or ResultSourceUnversioned when the update may go on.
std::int32_t CheckTarget(FileStream& target, const OpenDelta& delta, VersionInfo& version,
                         const std::function<void(std::int64_t done)>& told) {
    std::int32_t code = ResultOk;
    version = ReadVersionInfo(target);
    if (!version.HasFixedRecord) {
        code = ResultSourceUnversioned;
    } else if (version.Version == delta.descriptor.NewerVersion) {
        return ResultAlreadyUpdated;
    } else if (version.Version != delta.descriptor.OriginalVersion) {
        return ResultWrongSourceVersion;
    }
    // A statement that names the original's digest is checked in the same
    // pass as the checksum.
    target.SetPosition(0);
    DigestingStream digesting(target);
    const bool digest = delta.signature && SignsOriginal(*delta.signature);
    CountingStream counted(
        digest ? static_cast<ByteStream&>(digesting) : target, told ? told : [](std::int64_t) {});
    const std::uint32_t crc = StreamCrc32(counted);
    if (crc != delta.descriptor.OriginalCrc) {
        const bool isNewer = delta.format == DeltaFormat::Compact &&
                             static_cast<std::uint64_t>(target.Size()) == delta.compact.NewerSize &&
                             crc == delta.compact.NewerCrc;
        return isNewer ? ResultAlreadyUpdated : ResultCrcWrong;
    }
    if (digest) {
        CheckSignedOriginal(*delta.signature, digesting.Finish(), target.Name());
    }
    return code;
}

// Rebuilding the newer file from the delta and the target into a temporary
// file with the target's owner and permissions (TakeAccessOf). Every block is
// checked before it is written. Progress counts the rebuilt bytes as they
// are written, and has its last word before anything is published.
TemporaryFile Rebuild(OpenDelta& delta, FileStream& target, const UpdateNames& names,
                      const OperationOptions& options, std::int64_t total,
                      TemporaryFile::Access& access) {
    TemporaryFile output = TemporaryFile::Create(names.newFile);
    const ProgressFunction tell = PolledProgress(options.progress);
    Progress now{Phase::Rebuilding, 0, total, 0, total};
    CountingStream rebuilt(output.Stream(), [&](std::int64_t done) {
        done = std::min(done, total);
        now = {Phase::Rebuilding, done, total, done, total};
        tell(now);
    });
    delta.Decode(target, rebuilt, [&] { tell(now); });
    output.Finish();
    access = output.TakeAccessOf(target);
    if (access == TemporaryFile::Access::Failed) {
        throw EFCreateError("Cannot create file " + names.newFile);
    }
    if (options.progress) {
        options.progress({Phase::Rebuilding, total, total, total, total});
    }
    return output;
}

// The failure of an update whose target is no longer the file it checked.
EReadError TargetChanged(const UpdateNames& names) {
    return EReadError("File changed while reading: " + names.target);
}

// A backup this run made, taken back if the update cannot be completed: a
// second name would share the file of a target that stays. Windows keeps
// the read-only attribute with the file, not the name, and removing a
// read-only name clears it, for the target too; the target gets it back
// from the rebuilt file, which took the target's (elsewhere that changes
// nothing), unless the target's name names another file by now, which is
// left as it is, or the rebuilt file had to leave out setuid and setgid.
class MadeBackup {
public:
    MadeBackup() = default;
    MadeBackup(const UpdateNames& names, const FileStamp& checked, bool sameAccess)
        : names_(names), checked_(checked), sameAccess_(sameAccess) {}
    MadeBackup(MadeBackup&& other) noexcept
        : names_(std::exchange(other.names_, std::nullopt)), checked_(other.checked_),
          sameAccess_(other.sameAccess_) {}
    MadeBackup& operator=(MadeBackup&&) = delete;
    ~MadeBackup() {
        if (names_) {
            DeleteFile(names_->backup);
            if (sameAccess_ && NamesFile(names_->target, checked_)) {
                CopyFilePermissions(names_->newFile, names_->target);
            }
        }
    }
    // The update is complete: the backup stays. True when this run made it.
    bool Keep() { return std::exchange(names_, std::nullopt).has_value(); }

private:
    std::optional<UpdateNames> names_;
    FileStamp checked_;
    bool sameAccess_ = true;
};

// Backing up: keeps the checked target, the open file, under the backup
// name, unless a backup of that name exists, which is kept. A second name
// of the open file where the system can make one (Linux); else a second
// name of the target's name, which must turn out to be the checked file
// (another program may have renamed a file over it meanwhile) or is taken
// back. Either way no copy, no space, the original's times and permissions.
// Where the file system cannot link, a copy of the open file, which takes
// the backup name only if it is still free. Either way the name is made in
// one step that fails when it is taken, so no check can go stale before it.
MadeBackup BackUp(const UpdateNames& names, FileStream& target, const FileStamp& checked,
                  bool sameAccess) {
    NameOutcome linked = target.LinkAs(names.backup);
    if (linked == NameOutcome::Failed) {
        linked = LinkFile(names.target, names.backup);
        if (linked == NameOutcome::Made && !NamesFile(names.backup, checked)) {
            const MadeBackup wrong(names, checked, sameAccess);
            throw TargetChanged(names);
        }
    }
    switch (linked) {
    case NameOutcome::Made:
        return MadeBackup(names, checked, sameAccess);
    case NameOutcome::Taken:
        break;
    case NameOutcome::Failed: {
        TemporaryFile copy = TemporaryFile::Create(names.backupWork);
        target.SetPosition(0);
        copy.Stream().CopyFrom(target, checked.size);
        copy.Finish();
        if (copy.TakeAccessOf(target) == TemporaryFile::Access::Failed) {
            throw EFCreateError("Cannot create file " + names.backup);
        }
        if (copy.PublishIfFree(names.backup)) {
            return MadeBackup(names, checked, sameAccess);
        }
        break;
    }
    }
    // Taken: only an earlier backup, a file, may keep the name.
    if (!FileExists(names.backup)) {
        throw EFCreateError("Cannot create file " + names.backup);
    }
    return MadeBackup();
}

} // namespace

std::int32_t ApplyDelta(const std::string& deltaName, const OperationOptions& options) {
    OpenDelta delta(deltaName, options.publicKey, PolledProgress(options.progress), options.into);
    if (delta.code != ResultOk) {
        return delta.code;
    }
    const std::string& targetName = delta.target;
    // One update of a target at a time: a second run waits here, and then
    // finds the target as the first one left it. Without a lock file (a
    // folder this run may not write) the checks are still made, and their
    // outcome reported; only an update needs the lock.
    const std::optional<FileLock> lock =
        AcquireLock(delta.lock, targetName, options.lockWait, options.waiting);
    if (!FileExists(targetName)) {
        return ResultNoTarget;
    }

    // The target stays open from its checks until it is replaced: the
    // backup is made of this file, and it is this file that the name must
    // still name when the rebuilt file takes it.
    FileStream target = FileStream::OpenRead(targetName);
    const FileStamp checked = target.Stamp();
    const std::int64_t total = options.progress ? delta.RebuiltSize() : 0;
    VersionInfo version;
    const std::int32_t code = CheckTarget(target, delta, version, [&](std::int64_t done) {
        ReportCounted();
        CheckInterrupt();
        if (options.progress) {
            options.progress({Phase::Checksum, done, checked.size, 0, total});
        }
    });
    if (code != ResultOk && code != ResultSourceUnversioned) {
        return code;
    }
    const UpdateNames names = SettleNames(deltaName, targetName, version);
    if (!lock) {
        throw EFCreateError("Cannot create file " + names.newFile);
    }
    TemporaryFile::Access access = TemporaryFile::Access::Failed;
    TemporaryFile output = Rebuild(delta, target, names, options, total, access);
    // A target that another program holds open without delete sharing
    // (Windows) cannot be replaced: found before any backup is made, since a
    // second name of such a file cannot be removed either.
    if (FileInUse(targetName)) {
        throw EFCreateError("File is in use: " + targetName);
    }
    MadeBackup backup = BackUp(names, target, checked, access == TemporaryFile::Access::Whole);
    if (OpenFileBlocksReplace()) {
        // Windows, where the open file would stand in the way of the
        // rename: closed first, and its name checked after. The backup, a
        // second name of the file, keeps its file number from going to
        // another file meanwhile.
        target.Close();
    }
    // Another program may have renamed a file over the target meanwhile,
    // which then stays as it is. Checked with nothing left to do but the
    // rename.
    output.Settle();
    if (!NamesFile(targetName, checked)) {
        throw TargetChanged(names);
    }
    // Publishing: one rename replaces the target, so a crash leaves the old
    // or the new file, never a mix.
    try {
        output.Publish(targetName);
    } catch (const EFCreateError&) {
        if (FileInUse(targetName)) {
            throw EFCreateError("File is in use: " + targetName);
        }
        throw;
    }
    if (backup.Keep() && access == TemporaryFile::Access::Whole) {
        // This program's ReplaceFile clears the read-only attribute of the
        // target it replaces, and on Windows the attribute belongs to the
        // file, which a backup made as a second name shares; it gets it back
        // from the new target, which has the old one's (not where that one
        // had to leave out setuid and setgid, which the backup keeps).
        CopyFilePermissions(targetName, names.backup);
    }
    return code;
}

std::int32_t CheckDelta(const std::string& deltaName, DeltaCheck& check,
                        const std::optional<PublicKey>& publicKey, const std::string& into) {
    check = DeltaCheck();
    // Refused before it is opened, as the command line refuses it: a pipe
    // would block.
    if (!FileExists(deltaName)) {
        throw EFOpenError("Cannot open file " + deltaName);
    }
    OpenDelta delta(deltaName, publicKey, {}, into);
    check.format = delta.format;
    if (delta.code != ResultOk) {
        return delta.code;
    }
    if (!FileExists(delta.target)) {
        return ResultNoTarget;
    }
    FileStream target = FileStream::OpenRead(delta.target);
    VersionInfo version;
    const std::int32_t code = CheckTarget(target, delta, version, {});
    if (code != ResultOk && code != ResultSourceUnversioned) {
        return code;
    }
    const UpdateNames names = SettleNames(deltaName, delta.target, version);
    {
        // The apply writes its rebuilt file in the target's folder under the
        // target's lock: the same lock and work file are made and removed
        // here, so that a folder the apply could not write fails the check
        // with the apply's failure.
        const std::optional<FileLock> lock = AcquireLock(delta.lock, delta.target);
        if (!lock) {
            throw EFCreateError("Cannot create file " + names.newFile);
        }
        const TemporaryFile probe = TemporaryFile::Create(names.newFile);
    }
    // A block or piece reaches the sink, in one write, only once it has
    // passed its checks; the count stands also when a later one fails.
    DiscardingStream sink;
    CountingStream rebuilt(sink, [&check](std::int64_t) { ++check.pieces; });
    delta.Decode(target, rebuilt, [] {
        ReportCounted();
        CheckInterrupt();
    });
    check.statement = delta.signature;
    return code;
}

std::int32_t VerifyDelta(const std::string& deltaName, const PublicKey& publicKey,
                         DeltaSignature& statement, const ProgressFunction& progress) {
    if (!FileExists(deltaName)) {
        throw EFOpenError("Cannot open file " + deltaName);
    }
    const OpenDelta delta(deltaName, publicKey, PolledProgress(progress));
    if (delta.code == ResultOk) {
        statement = *delta.signature;
    }
    return delta.code;
}

} // namespace kestro
