#include "DiffUnit/ResultCodes.hpp"
#include "codec/blocks/BlockStream.hpp"
#include "common/Failures.hpp"
#include "platform/FaultInjection.hpp"
#include "platform/FileStream.hpp"
#include "platform/Files.hpp"
#include "platform/Interrupts.hpp"
#include "platform/Locks.hpp"
#include "release/PayloadCoder.hpp"
#include "release/ReleasePackage.hpp"
#include "release/ReleasePlan.hpp"
#include "release/ReleaseScan.hpp"
#include "release/ReleaseSignature.hpp"
#include "release/ReleaseVersion.hpp"

namespace kestro {

namespace {

// A folder's name as given, without the separators that may end it.
std::string FolderPath(const std::string& folder) {
    std::string path = folder;
    while (path.size() > 1 && IsPathSeparator(path.back())) {
        path.pop_back();
    }
    return path;
}

void RequireFolder(const std::string& folder) {
    const std::optional<EntryStatus> status = StatusOf(folder);
    if (!status || status->kind != EntryKind::Folder) {
        throw EFOpenError("Cannot open folder " + folder);
    }
}

// The stamps of the scanned files, by entry.
std::vector<FileStamp> StampsOf(const std::vector<ScannedEntry>& entries) {
    std::vector<FileStamp> stamps;
    for (const ScannedEntry& entry : entries) {
        stamps.push_back(entry.Stamp);
    }
    return stamps;
}

} // namespace

std::string ReleasePackageName(const std::string& originalFolderName, const std::string& version) {
    return originalFolderName + "_" + version + ".kst";
}

std::int32_t MakeRelease(const std::string& originalFolder, const std::string& newerFolder,
                         const OperationOptions& options) {
    if (options.compactMinor < 0 || options.compactMinor > CompactLatestMinor) {
        throw Exception("Unknown delta format 2." + std::to_string(options.compactMinor));
    }
    const std::string original = FolderPath(originalFolder);
    const std::string newer = FolderPath(newerFolder);
    RequireFolder(original);
    RequireFolder(newer);
    const std::string folderName = FileNamePart(original);
    const ProgressFunction tell = PolledProgress(options.progress);

    // Each release read whole for its digests.
    const auto scanTold = [&](std::int64_t done, std::int64_t total) {
        tell({Phase::Checksum, done, total, 0, 0});
    };
    const std::vector<ScannedEntry> originals = ScanRelease(original, scanTold);
    const std::vector<ScannedEntry> newers = ScanRelease(newer, scanTold);

    ReleaseManifest manifest = PlanRelease(originals, newers);
    manifest.FolderName = folderName;
    // An original release without a versioned program has no version: its
    // backup is <folder>_.org, as a file's without one is.
    manifest.OriginalVersion = ReleaseVersion(original, originals, "");
    manifest.NewerVersion = ReleaseVersion(newer, newers, FileNamePart(newer));
    const std::string packageFile = ReleasePackageName(folderName, manifest.NewerVersion);
    const std::string packageName = DirectoryPart(original) + packageFile;
    const std::string signatureName = SignatureFileName(packageName);
    if (!IsPlainFileName(folderName) || !IsPlainFileName(packageFile)) {
        throw EFCreateError("Cannot create file " + packageName);
    }
    const bool downgrade =
        VersionNumbers(manifest.NewerVersion) < VersionNumbers(manifest.OriginalVersion);
    if (options.signingKey && downgrade && !options.allowDowngrade) {
        throw Exception("The newer release's version " + manifest.NewerVersion +
                        " is lower than the original's " + manifest.OriginalVersion +
                        "; a downgrade is signed only with --allow-downgrade");
    }

    // One writer of this package at a time; its name is never taken from
    // a file that has it.
    const std::optional<FileLock> lock =
        AcquireLock(LockFileName(packageName), packageName, options.lockWait, options.waiting);
    if (!lock) {
        throw EFCreateError("Cannot create file " + packageName);
    }
    for (const std::string& name : {packageName, signatureName}) {
        if (StampOfFile(name)) {
            throw EFCreateError("File exists: " + name);
        }
    }
    TemporaryFile package = TemporaryFile::Create(packageName + ".tmp");
    // The manifest's size does not depend on the payloads' sizes, which
    // are filled in once they are coded.
    const ManifestBytes placeholder = WriteManifest(manifest);
    WritePackageHeader(package.Stream(), placeholder, 0);
    package.Stream().WriteBuffer(placeholder.bytes.data(),
                                 static_cast<std::int64_t>(placeholder.bytes.size()));
    PayloadSettings payloads;
    payloads.originalFolder = original;
    payloads.newerFolder = newer;
    payloads.scratchName = packageName;
    payloads.threads = EncoderThreads();
    payloads.compactMinor = options.compactMinor;
    payloads.originalStamps = StampsOf(originals);
    payloads.newerStamps = StampsOf(newers);
    payloads.progress = tell;
    const std::uint64_t payloadBytes = CodePayloads(manifest, package.Stream(), payloads);
    const ManifestBytes bytes = WriteManifest(manifest);
    package.Stream().SetPosition(0);
    WritePackageHeader(package.Stream(), bytes, payloadBytes);
    package.Stream().WriteBuffer(bytes.bytes.data(), static_cast<std::int64_t>(bytes.bytes.size()));

    std::optional<TemporaryFile> signature;
    if (options.signingKey) {
        DeltaSignature statement = ReleaseStatement(manifest, bytes);
        statement.Downgrade = downgrade;
        statement.Delta = DigestOfStream(package.Stream(), {});
        const std::string text = SignatureText(SignDelta(*options.signingKey, statement));
        signature.emplace(TemporaryFile::Create(signatureName + ".tmp"));
        signature->Stream().WriteBuffer(text.data(), static_cast<std::int64_t>(text.size()));
        signature->Finish();
    }
    std::int64_t total = 0;
    for (const ScannedEntry& entry : newers) {
        total += static_cast<std::int64_t>(entry.Size);
    }
    Progress last{Phase::Coding, total, total, total, total};
    last.itemsDone = last.itemsTotal = static_cast<std::int64_t>(newers.size());
    tell(last);
    if (!package.PublishIfFree(packageName)) {
        throw EFCreateError("File exists: " + packageName);
    }
    if (signature) {
        try {
            signature->Publish(signatureName);
        } catch (...) {
            DeleteFile(packageName);
            throw;
        }
    }
    return ResultOk;
}

} // namespace kestro
