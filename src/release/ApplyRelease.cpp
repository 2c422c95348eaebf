#include "DiffUnit/ResultCodes.hpp"
#include "common/Failures.hpp"
#include "platform/FaultInjection.hpp"
#include "platform/Files.hpp"
#include "platform/Interrupts.hpp"
#include "platform/Locks.hpp"
#include "release/ReleasePackage.hpp"
#include "release/ReleaseReader.hpp"
#include "release/ReleaseStage.hpp"
#include "release/ReleaseSwitch.hpp"

#include <algorithm>

namespace kestro {

namespace {

// The folder a package updates: beside it under the name it was made from,
// or where the caller says.
std::string FolderOf(const std::string& packageName, const OpenPackage& package,
                     const std::string& into) {
    std::string folder =
        into.empty() ? DirectoryPart(packageName) + package.package.manifest.FolderName : into;
    while (folder.size() > 1 && IsPathSeparator(folder.back())) {
        folder.pop_back();
    }
    return folder;
}

bool IsFolder(const std::string& name) {
    const std::optional<EntryStatus> status = StatusOf(name);
    return status && status->kind == EntryKind::Folder;
}

// A package that lies in the folder it updates would move with it.
void RefusePackageInside(const std::string& packageName, const std::string& folder) {
    const std::string package = FullPath(packageName);
    const std::string inside = FullPath(folder);
    if (!package.empty() && !inside.empty() && package.size() > inside.size() &&
        SameFileName(package.substr(0, inside.size()), inside) &&
        IsPathSeparator(package[inside.size()])) {
        throw EFCreateError("A release package cannot update the folder it lies in: " + folder);
    }
}

// The staging folder of an apply, removed again unless the switch took it.
class Staging {
public:
    explicit Staging(std::string name) : name_(std::move(name)) {}
    Staging(const Staging&) = delete;
    Staging& operator=(const Staging&) = delete;
    ~Staging() {
        if (!kept_) {
            try {
                RemoveTree(name_);
            } catch (const std::exception&) {
                // Left for the next run, which removes it under the lock.
            }
        }
    }
    void Keep() { kept_ = true; }

private:
    std::string name_;
    bool kept_ = false;
};

std::int64_t NewerBytes(const ReleaseManifest& manifest, std::int64_t& files) {
    std::int64_t bytes = 0;
    files = 0;
    for (const NewerEntry& entry : manifest.Entries) {
        if (entry.Kind == ReleaseKind::File) {
            bytes += static_cast<std::int64_t>(entry.Size);
            ++files;
        }
    }
    return bytes;
}

} // namespace

std::int32_t ApplyRelease(const std::string& packageName, const OperationOptions& options) {
    const ProgressFunction tell = PolledProgress(options.progress);
    OpenPackage package(packageName, options.publicKey, tell);
    if (package.code != ResultOk) {
        return package.code;
    }
    const ReleaseManifest& manifest = package.package.manifest;
    const std::string folder = FolderOf(packageName, package, options.into);
    RefusePackageInside(packageName, folder);
    // One update of a folder at a time; a switch a killed run left is
    // finished first, whatever package this run brings.
    const std::optional<FileLock> lock =
        AcquireLock(LockFileName(folder), folder, options.lockWait, options.waiting);
    if (!lock) {
        throw EFCreateError("Cannot create file " + LockFileName(folder));
    }
    FinishSwitch(folder);
    if (!IsFolder(folder)) {
        return ResultNoTarget;
    }

    std::int64_t files = 0;
    const std::int64_t total = NewerBytes(manifest, files);
    const std::vector<std::string> changed =
        ChangedOriginals(manifest, folder, [&](std::int64_t bytes, std::int64_t read) {
            tell({Phase::Checksum, bytes, read, 0, total});
        });
    if (!changed.empty()) {
        if (HoldsNewerRelease(manifest, folder)) {
            return ResultAlreadyUpdated;
        }
        for (const std::string& path : changed) {
            if (options.changed) {
                options.changed(path);
            }
        }
        return ResultChangedFiles;
    }
    // The backup a switch made, and the folder the newer release: done (a
    // package that reads no original cannot tell otherwise).
    if (StatusOf(BackupName(folder, manifest.OriginalVersion)) &&
        HoldsNewerRelease(manifest, folder)) {
        return ResultAlreadyUpdated;
    }
    const SwitchNames names = NamesOfSwitch(folder, manifest.OriginalVersion);
    // A staging folder without a journal is a killed run's, unfinished.
    RemoveTree(names.staging);
    Staging staging(names.staging);
    StageRelease(package, folder, names.staging, [&](std::int64_t bytes, std::int64_t done) {
        Progress progress{Phase::Rebuilding, bytes, total, bytes, total};
        progress.itemsDone = done;
        progress.itemsTotal = files;
        tell(progress);
    });
    // A file of the folder that a program holds open stands in the way of
    // renaming it (Windows): found before the switch begins.
    std::vector<std::string> inUse;
    for (const std::string& file : FilesOf(folder)) {
        if (FileInUse(file)) {
            inUse.push_back(file);
        }
    }
    if (!inUse.empty()) {
        std::string list = inUse.front();
        for (std::size_t i = 1; i < std::min<std::size_t>(inUse.size(), 8); ++i) {
            list += ", " + inUse[i];
        }
        throw EFCreateError("File is in use: " + list + (inUse.size() > 8 ? ", ..." : ""));
    }
    Progress last{Phase::Rebuilding, total, total, total, total};
    last.itemsDone = last.itemsTotal = files;
    tell(last);
    SwitchRelease(names);
    staging.Keep();
    return ResultOk;
}

std::int32_t VerifyRelease(const std::string& packageName, const PublicKey& publicKey,
                           DeltaSignature& statement, const ProgressFunction& progress) {
    if (!FileExists(packageName)) {
        throw EFOpenError("Cannot open file " + packageName);
    }
    const OpenPackage package(packageName, publicKey, PolledProgress(progress));
    if (package.code == ResultOk) {
        statement = *package.signature;
    }
    return package.code;
}

std::int32_t CheckRelease(const std::string& packageName, ReleaseCheck& check,
                          const std::optional<PublicKey>& publicKey, const std::string& into) {
    check = ReleaseCheck();
    if (!FileExists(packageName)) {
        throw EFOpenError("Cannot open file " + packageName);
    }
    OpenPackage package(packageName, publicKey, {});
    if (package.code != ResultOk) {
        return package.code;
    }
    const ReleaseManifest& manifest = package.package.manifest;
    const std::string folder = FolderOf(packageName, package, into);
    if (!IsFolder(folder)) {
        return ResultNoTarget;
    }
    check.changed = ChangedOriginals(manifest, folder, {});
    if (!check.changed.empty()) {
        return HoldsNewerRelease(manifest, folder) ? ResultAlreadyUpdated : ResultChangedFiles;
    }
    // A copy of a file checked before it is that file: nothing to rebuild.
    for (std::size_t i = 0; i < manifest.Entries.size(); ++i) {
        const NewerEntry& entry = manifest.Entries[i];
        if (entry.Kind == ReleaseKind::File && entry.Method != ReleaseMethod::Copy) {
            DiscardingStream sink;
            RebuildFile(package, i, folder, {}, sink, {});
        }
        check.filesVerified += entry.Kind == ReleaseKind::File ? 1 : 0;
    }
    check.statement = package.signature;
    return ResultOk;
}

} // namespace kestro
