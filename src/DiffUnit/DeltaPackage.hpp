// The two operations of the command line, and the check of a delta without
// applying it. They take file names that may carry folders (the command
// line passes bare names in the working folder, and the newer file's
// absolute path when it was named with a folder) and return a result code
// (ResultCodes.hpp); everything else that goes wrong is a failure that
// leaves them. They keep no state and never change the working folder, so
// operations on different files may run on different threads at once.
//
// Runs of the program may meet on the same files: two updaters started at
// once, a delta made while another run updates its original. An update
// holds the lock of its target (Locks.hpp) from before its checks until
// the target is replaced or the update fails; the writing of a delta holds
// the lock of the delta's name. A second run waits for the first and then
// sees its outcome.
#pragma once

#include "DiffUnit/DeltaFile.hpp"
#include "DiffUnit/DeltaSignature.hpp"
#include "codec/compact/CompactStream.hpp"
#include "common/Progress.hpp"
#include "crypto/Signing.hpp"
#include "platform/Locks.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace kestro {

// How an operation runs; the defaults are the command line's.
struct OperationOptions {
    // How long to wait while another run holds the lock the operation needs.
    std::chrono::milliseconds lockWait = DefaultLockWait;
    // When set, told on the calling thread what the operation is doing and
    // how far it is (Progress.hpp): as the work advances, at least once for
    // every few MiB of work of any kind, and once at the end with the
    // file's figures equal (done = total), before anything is published. It
    // may stop the operation by throwing; the operation then leaves nothing
    // behind, as after any failure.
    ProgressFunction progress;
    // The kind of delta a create writes; an apply reads either kind.
    DeltaFormat format = DeltaFormat::Blocks;
    // The newest minor version of the compact format a create may write:
    // it writes the lowest its body needs, up to this one.
    std::int32_t compactMinor = CompactLatestMinor;
    // When set, told on the calling thread the name of the file the
    // operation waits for, once, when it begins to wait for another run's
    // lock (the target when applying, the delta when creating).
    std::function<void(const std::string& name)> waiting;
    // When set, a create signs the delta it writes with this key
    // (DeltaSignature.hpp); without it, a signature file of an earlier delta
    // of that name is removed, since it no longer fits.
    std::optional<PrivateKey> signingKey;
    // A create with a signing key signs a delta whose newer file's version
    // is lower than the original's only when this is set, and its signature
    // then says the downgrade is meant.
    bool allowDowngrade = false;
    // Where an apply finds what it updates, when not beside the delta: the
    // file a delta names, or the folder of a release package. Empty: beside.
    std::string into;
    // When set, told on the calling thread each path (relative to the
    // folder) of a file that a release package reads and that is missing
    // or changed, before the apply returns ResultChangedFiles.
    std::function<void(const std::string& path)> changed;
    // When set, an apply requires the delta to be signed with this key, and
    // checks that before it writes anything; without it, a signature file
    // is not looked at.
    std::optional<PublicKey> publicKey;
};

// The delta file name for an original and the newer file's version string:
// original + "_" + version + ".kst".
std::string DeltaFileName(const std::string& originalName, const std::string& newerVersion);

// The lock file of a file that an operation writes: name + ".kestro-lock".
std::string LockFileName(const std::string& name);

// Writes the delta that turns originalName into newerName, named by
// DeltaFileName and placed in the original's folder, replacing a delta of
// that name. Each input is read once for format 1.0; for the compact
// format the original twice (its checksum first), and with either filter
// (x86 or image) the newer file more than once too: its edits are all found
// before a last pass codes them, and the image filter searches twice. Its
// version information and its content come from the same open file. An
// input that changes while it is read fails the operation with EReadError
// "File changed while reading: <name>". An original whose name is longer
// than the descriptor holds fails with EFCreateError before anything is
// read. The delta appears under its name only when complete. Returns
// ResultOk, or the warning ResultNewerUnversioned or
// ResultOriginalUnversioned (the former wins); the delta is complete in all
// three cases.
std::int32_t MakeDelta(const std::string& originalName, const std::string& newerName,
                       const OperationOptions& options);

// Applies a delta to the file it names, in the delta's folder: checks the
// container, the target's version and checksum, rebuilds the newer file
// into target + ".new", keeps a backup target + "_" + version + ".org"
// unless one exists (a second name of the target's file where the file
// system allows, else a copy), and renames the new file over the target.
// The target is either replaced whole or left as it was; an update that
// fails takes back the backup it made. The file checked is the file backed
// up and replaced: an update whose target's name comes to name another file
// meanwhile fails with EReadError "File changed while reading: <target>" and
// leaves that file as it is. The rebuilt file takes the target's owner and
// permissions (without setuid and setgid where the owner cannot be kept). On
// Windows, a target that another program holds open without delete sharing
// fails with EFCreateError "File is in use: <target>" before any backup.
// A compact delta knows the newer file's size and CRC-32, so a target that
// already is the newer file is reported ResultAlreadyUpdated, not
// ResultCrcWrong, also where version numbers cannot tell. With a public key
// in options (DeltaSignature.hpp), a delta that is not signed with it, or
// whose statement it does not fit, or that downgrades without saying so,
// fails with ESignatureError before any file is opened for writing (its
// lock included; a large delta's scratch copy is no file of the folder's),
// and only the checked copy of the delta is read; a target that is not the
// stated original fails before the rebuild, and a rebuilt file that is not
// the signed newer file before it is published.
std::int32_t ApplyDelta(const std::string& deltaName, const OperationOptions& options);

// Everything an apply of deltaName checks, without changing any file: that
// the delta is a regular file (EFOpenError "Cannot open file <delta>"
// before it is opened), the container, the target's version and checksum,
// the names, that the target's folder takes the apply's lock and work file
// (both made and removed again, under the lock for that moment only;
// EFCreateError "Cannot create file <target>.new" as from the apply), and
// every block rebuilt against the target into a sink that keeps nothing.
// Returns the code the apply would return (ResultOk or
// ResultSourceUnversioned when it would succeed), and fails as the apply
// would; check says what was found, also when it fails. With a public key,
// the signature is checked first, as the apply checks it, and the rebuilt
// bytes against the signed newer file.
struct DeltaCheck {
    DeltaFormat format = DeltaFormat::Blocks; // as the header says, once read
    // The pieces with data that passed their checks, also when a later one
    // fails: blocks of format 1.0, MiB of the newer file of a compact delta.
    std::int32_t pieces = 0;
    // With a key, the signed statement once the check has succeeded.
    std::optional<DeltaSignature> statement;
};
std::int32_t CheckDelta(const std::string& deltaName, DeltaCheck& check,
                        const std::optional<PublicKey>& publicKey = std::nullopt,
                        const std::string& into = {});

// Checks a signed delta as an apply with publicKey does before it looks at
// the target (the signature, the delta's bytes, its container and the
// statement's binding to it, a downgrade the statement does not mark) and
// gives the verified statement, for an updater that decides for itself
// whether to apply it. Reads no other file and writes none but a scratch
// copy of a large delta, which goes with the call. Returns ResultOk, or
// the code that refuses the signed bytes as a delta (ResultNotADelta,
// ResultWrongDeltaVersion); fails as the apply fails (ESignatureError).
std::int32_t VerifyDelta(const std::string& deltaName, const PublicKey& publicKey,
                         DeltaSignature& statement, const ProgressFunction& progress = {});

} // namespace kestro
