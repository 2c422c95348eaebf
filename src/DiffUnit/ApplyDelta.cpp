#include "DiffUnit/DeltaFile.hpp"
#include "DiffUnit/DeltaPackage.hpp"
#include "DiffUnit/ResultCodes.hpp"
#include "UVersieIn/UVersieIn.hpp"
#include "engine/BlockStream.hpp"
#include "engine/Crc32.hpp"
#include "platform/ByteStream.hpp"
#include "platform/Failures.hpp"
#include "platform/Files.hpp"

namespace kestro {

namespace {

bool SameVersion(const FileVersionQuad& a, const FileVersionQuad& b) {
    return a.major == b.major && a.minor == b.minor && a.release == b.release && a.build == b.build;
}

// The file a backup is copied into before it takes its name; a stale one
// from an interrupted run is replaced.
std::string BackupTemporaryName(const std::string& backupName) {
    return backupName + ".tmp";
}

// Copies target to backupName through a temporary file, so that a backup
// that exists is always complete: a later run skips an existing backup.
void MakeBackup(const std::string& target, const std::string& backupName) {
    const std::string temporary = BackupTemporaryName(backupName);
    ScopedFileRemoval removal(temporary);
    DeleteFile(temporary);
    if (!CopyFile(target, temporary, true) || !ReplaceFile(temporary, backupName)) {
        throw EFCreateError("Cannot create file " + backupName);
    }
    removal.Cancel();
}

} // namespace

std::int32_t ApplyDelta(const std::string& deltaName) {
    std::int32_t warning = ResultOk;
    FileStream delta = FileStream::OpenRead(deltaName);
    if (const std::int32_t code = ReadDeltaHeader(delta); code != ResultOk) {
        return code;
    }
    DeltaDescriptor descriptor;
    if (const std::int32_t code = ReadDeltaDescriptor(delta, descriptor); code != ResultOk) {
        return code;
    }

    // The stored name is a plain file name, so the target lies in the
    // delta's own folder.
    const std::string target = DirectoryPart(deltaName) + descriptor.OriginalName;
    if (!FileExists(target)) {
        return ResultNoTarget;
    }
    FileVersionQuad version;
    if (!GetFixedFileVersion(target, version.major, version.minor, version.release,
                             version.build)) {
        warning = ResultSourceUnversioned;
    } else if (SameVersion(version, descriptor.NewerVersion)) {
        return ResultAlreadyUpdated;
    } else if (!SameVersion(version, descriptor.OriginalVersion)) {
        return ResultWrongSourceVersion;
    }
    if (FileCrc32(target) != descriptor.OriginalCrc) {
        return ResultCrcWrong;
    }

    // Both names are settled before anything is written: a version string
    // with a separator would put the backup into another folder.
    const std::string backupFile =
        descriptor.OriginalName + "_" + GetFileVersionString(target) + ".org";
    const std::string backupName = DirectoryPart(deltaName) + backupFile;
    if (!IsPlainFileName(backupFile)) {
        throw EFCreateError("Cannot create file " + backupName);
    }
    // None of the files the update writes may be the delta itself: clean-up
    // would delete it, and a delta taken for the backup would leave the user
    // with no copy of the original.
    const std::string newName = target + ".new";
    for (const std::string& name : {newName, backupName, BackupTemporaryName(backupName)}) {
        if (SameFileName(name, deltaName)) {
            throw EFCreateError("Cannot create file " + name);
        }
    }

    // A stale target.new from an earlier run goes first; deleting a link
    // planted there removes the link, never what it points to, and the new
    // file is created exclusively, never through a link.
    DeleteFile(newName);
    TemporaryFile output = TemporaryFile::Named(newName);
    {
        FileStream original = FileStream::OpenRead(target);
        DecodeBlockStream(delta, original, output.Stream());
    }
    output.Finish();
    if (!CopyFilePermissions(target, newName)) {
        throw EFCreateError("Cannot create file " + newName);
    }
    if (!FileExists(backupName)) {
        MakeBackup(target, backupName);
    }
    // One rename replaces the target: a crash leaves the old or the new
    // file, never a mix.
    output.Publish(target);
    return warning;
}

} // namespace kestro
