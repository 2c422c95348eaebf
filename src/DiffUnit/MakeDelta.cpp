#include "DiffUnit/DeltaFile.hpp"
#include "DiffUnit/DeltaPackage.hpp"
#include "DiffUnit/DeltaSignature.hpp"
#include "DiffUnit/ResultCodes.hpp"
#include "UVersieIn/UVersieIn.hpp"
#include "checksum/Crc32.hpp"
#include "checksum/Crc32Reader.hpp"
#include "codec/blocks/BlockStream.hpp"
#include "codec/compact/CompactStream.hpp"
#include "common/Failures.hpp"
#include "platform/FaultInjection.hpp"
#include "platform/FileStream.hpp"
#include "platform/Files.hpp"
#include "platform/Interrupts.hpp"

#include <algorithm>
#include <optional>

namespace kestro {

namespace {

// An input file opened for reading, with what it looked like when opened.
struct Input {
    explicit Input(const std::string& name)
        : file(FileStream::OpenRead(name)), opened(file.Stamp()) {}

    // Fails when the file changed since it was opened: in place (its stamp
    // through the open file) or by another file taking its name.
    void CheckUnchanged() const {
        const std::optional<FileStamp> named = StampOfFile(file.Name());
        if (file.Stamp() != opened || named != opened) {
            throw EReadError("File changed while reading: " + file.Name());
        }
    }

    FileStream file;
    FileStamp opened;
};

} // namespace

std::string DeltaFileName(const std::string& originalName, const std::string& newerVersion) {
    return originalName + "_" + newerVersion + ".kst";
}

std::string LockFileName(const std::string& name) {
    return name + ".kestro-lock";
}

namespace {

// The names a delta of the original to the newer file goes through: the
// delta itself, its work file, its lock, its signature and that one's work
// file, all beside the original.
struct DeltaNames {
    std::string delta;
    std::string work;
    std::string lock;
    std::string signature;
    std::string signatureWork;
};

// The original's name as a delta stores it. The descriptor holds at most
// MaxStoredNameLength bytes of the original's name, and an apply looks for
// the name it holds: a longer name, or one the stored form cannot hold (on
// Windows a character the ANSI code page has none for), would make a delta
// that can never be applied.
std::string StorableOriginalName(const std::string& originalName) {
    const std::string originalFile = FileNamePart(originalName);
    const std::optional<std::string> stored = StoredName(originalFile);
    if (!stored) {
        throw EFCreateError("Original file name has a character that a delta made here cannot "
                            "store (the system's ANSI code page has none for it): " +
                            originalFile);
    }
    if (stored->size() > MaxStoredNameLength) {
        throw EFCreateError("Original file name too long for a delta (at most " +
                            std::to_string(MaxStoredNameLength) + " bytes): " + originalFile);
    }
    return originalFile;
}

// The delta goes beside the original. The version string comes from the
// newer file; one that holds a path separator would put the delta into
// another folder. Neither the delta nor the files it is made through may be
// the newer file, however its name is spelled.
DeltaNames NamesOfDelta(const std::string& originalName, const std::string& originalFile,
                        const std::string& newerName, const VersionInfo& newerVersion) {
    const std::string deltaFile = DeltaFileName(originalFile, VersionString(newerVersion));
    DeltaNames names;
    names.delta = DirectoryPart(originalName) + deltaFile;
    names.work = names.delta + ".tmp";
    names.lock = LockFileName(names.delta);
    names.signature = SignatureFileName(names.delta);
    names.signatureWork = names.signature + ".tmp";
    if (!IsPlainFileName(deltaFile)) {
        throw EFCreateError("Cannot create file " + names.delta);
    }
    for (const std::string& name :
         {names.delta, names.work, names.lock, names.signature, names.signatureWork}) {
        if (SameFileName(name, newerName) || SameExistingFile(name, newerName)) {
            throw EFCreateError("Cannot create file " + name);
        }
    }
    return names;
}

// Writes the body of the delta's format and sets the descriptor's checksum
// of the original; returns the minor version the body needs.
std::int32_t WriteBody(Input& original, Input& newer, ByteStream& delta,
                       DeltaDescriptor& descriptor, const OperationOptions& options,
                       const ProgressFunction& tell) {
    const std::int64_t total = newer.opened.size;
    original.file.SetPosition(0);
    newer.file.SetPosition(0);
    if (options.format == DeltaFormat::Compact) {
        // The compact encoder reads the original in windows, out of order,
        // so its checksum is a pass of its own.
        CountingStream originalBytes(original.file, [&](std::int64_t done) {
            tell({Phase::Checksum, done, original.opened.size, 0, total});
        });
        descriptor.OriginalCrc = StreamCrc32(originalBytes);
        original.file.SetPosition(0);
        CompactSettings settings;
        settings.threads = EncoderThreads();
        settings.maxMinor = options.compactMinor;
        settings.progress = tell;
        return EncodeCompactBody(newer.file, original.file, delta, settings);
    }
    // The original's checksum is taken from the bytes the encoder reads,
    // and from the rest of the file, which the encoder does not need.
    // Progress counts the newer file's bytes as the encoder takes them, one
    // block at a time, on this thread.
    Crc32Reader originalBytes(original.file);
    CountingStream newerBytes(newer.file, [&](std::int64_t done) {
        done = std::min(done, total);
        tell({Phase::Coding, done, total, done, total});
    });
    EncodeBlockStream(newerBytes, originalBytes, delta, BlockMaxCandidates);
    originalBytes.ReadToEnd();
    descriptor.OriginalCrc = originalBytes.Crc();
    return 0;
}

// The statement a signature signs but for the delta's digest: both files
// named by their digests, each file read once more.
DeltaSignature StatementOf(Input& original, Input& newer, const DeltaDescriptor& descriptor,
                           const OperationOptions& options, std::int32_t minor, bool downgrade,
                           const ProgressFunction& tell) {
    const std::int64_t total = newer.opened.size;
    const auto digestOf = [&](FileStream& file) {
        return DigestOfStream(file, [&](std::int64_t done, std::int64_t size) {
            tell({Phase::Checksum, done, size, total, total});
        });
    };
    DeltaSignature statement;
    statement.FormatMajor = FormatMajor(options.format);
    statement.FormatMinor = minor;
    statement.OriginalName = descriptor.OriginalName;
    statement.OriginalVersion = descriptor.OriginalVersion;
    statement.Original = digestOf(original.file);
    statement.NewerVersion = descriptor.NewerVersion;
    statement.Newer = digestOf(newer.file);
    statement.Downgrade = downgrade;
    return statement;
}

// Publishes the delta, then its signature; where the second cannot take
// its name, the delta goes again, so that a failed create leaves no delta
// that lacks the signature asked for. Without a signature, an earlier
// one of the same name goes.
void Publish(TemporaryFile& delta, std::optional<TemporaryFile>& signature,
             const DeltaNames& names) {
    delta.Publish(names.delta);
    if (signature) {
        try {
            signature->Publish(names.signature);
        } catch (...) {
            DeleteFile(names.delta);
            throw;
        }
    } else if (StampOfFile(names.signature)) {
        DeleteFile(names.signature);
    }
}

} // namespace

std::int32_t MakeDelta(const std::string& originalName, const std::string& newerName,
                       const OperationOptions& options) {
    const std::string originalFile = StorableOriginalName(originalName);
    if (options.format == DeltaFormat::Compact &&
        (options.compactMinor < 0 || options.compactMinor > CompactLatestMinor)) {
        throw Exception("Unknown delta format 2." + std::to_string(options.compactMinor));
    }
    Input original(originalName);
    Input newer(newerName);
    const VersionInfo originalVersion = ReadVersionInfo(original.file);
    const VersionInfo newerVersion = ReadVersionInfo(newer.file);
    const DeltaNames names = NamesOfDelta(originalName, originalFile, newerName, newerVersion);

    // A signature says which way the update goes: a signed delta back to a
    // lower version would let anyone who has it take users back to a
    // release with its old faults, so it is made only when asked for.
    const bool downgrade = newerVersion.Version < originalVersion.Version;
    if (options.signingKey && downgrade && !options.allowDowngrade) {
        throw Exception("The newer file's version " + VersionText(newerVersion.Version) +
                        " is lower than the original's " + VersionText(originalVersion.Version) +
                        "; a downgrade is signed only with --allow-downgrade");
    }
    DeltaDescriptor descriptor;
    descriptor.OriginalName = originalFile;
    descriptor.OriginalVersion = originalVersion.Version;
    descriptor.NewerVersion = newerVersion.Version;
    const std::int32_t warning = !newerVersion.HasFixedRecord      ? ResultNewerUnversioned
                                 : !originalVersion.HasFixedRecord ? ResultOriginalUnversioned
                                                                   : ResultOk;

    // One writer of this delta at a time; the work name is then this run's
    // own, and a file found there was left by a killed run.
    const std::optional<FileLock> lock =
        AcquireLock(names.lock, names.delta, options.lockWait, options.waiting);
    if (!lock) {
        throw EFCreateError("Cannot create file " + names.delta);
    }
    TemporaryFile delta = TemporaryFile::Create(names.work);
    WriteDeltaHeader(delta.Stream(), options.format);
    WriteDeltaDescriptor(delta.Stream(), descriptor);
    // Every report of the work is also where an interrupt stops it: the
    // encoder's loops report often, also where they read and write nothing.
    const ProgressFunction tell = PolledProgress(options.progress);
    const std::int32_t minor =
        WriteBody(original, newer, delta.Stream(), descriptor, options, tell);
    std::optional<DeltaSignature> statement;
    if (options.signingKey) {
        statement = StatementOf(original, newer, descriptor, options, minor, downgrade, tell);
    }
    original.CheckUnchanged();
    newer.CheckUnchanged();

    // The header (whose minor version the body chose) and the descriptor
    // are complete now; the delta is still a temporary file.
    delta.Stream().SetPosition(0);
    WriteDeltaHeader(delta.Stream(), options.format, minor);
    WriteDeltaDescriptor(delta.Stream(), descriptor);
    std::optional<TemporaryFile> signature;
    if (statement) {
        statement->Delta = DigestOfStream(delta.Stream(), {});
        const std::string text = SignatureText(SignDelta(*options.signingKey, *statement));
        signature.emplace(TemporaryFile::Create(names.signatureWork));
        signature->Stream().WriteBuffer(text.data(), static_cast<std::int64_t>(text.size()));
        signature->Finish();
    }
    // The last word goes before the delta is published, so that a caller
    // who stops the operation then is still left with nothing.
    const std::int64_t total = newer.opened.size;
    tell({Phase::Coding, total, total, total, total});
    Publish(delta, signature, names);
    return warning;
}

} // namespace kestro
