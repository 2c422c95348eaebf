#include "release/ReleaseSwitch.hpp"

#include "common/Failures.hpp"
#include "platform/FileStream.hpp"
#include "platform/Files.hpp"

#include <optional>

namespace kestro {

namespace {

constexpr std::string_view JournalFirstLine = "Kestro release switch 1\n";
constexpr std::int64_t MaxJournalBytes = 8192;
// The backups of one version a folder may have side by side.
constexpr int MaxBackups = 100;

bool Exists(const std::string& name) {
    return StatusOf(name).has_value();
}

// The folder's parent, to sync the names in it.
std::string ParentOf(const std::string& folder) {
    const std::string parent = DirectoryPart(folder);
    return parent.empty() ? std::string(".") : parent;
}

std::string JournalText(const SwitchNames& names) {
    return std::string(JournalFirstLine) + "Staging: " + FileNamePart(names.staging) +
           "\nBackup: " + FileNamePart(names.backup) + "\n";
}

// The names a journal holds, checked against the folder's own: a journal
// is text this program wrote, but it lies where others may write too.
std::optional<SwitchNames> ReadJournal(const std::string& folder) {
    const std::optional<std::string> text = ReadSmallFile(JournalName(folder), MaxJournalBytes);
    if (!text || !text->starts_with(JournalFirstLine)) {
        return std::nullopt;
    }
    std::string_view rest = std::string_view(*text).substr(JournalFirstLine.size());
    const auto take = [&rest](std::string_view label) -> std::optional<std::string> {
        const std::size_t end = rest.find('\n');
        if (end == std::string_view::npos || !rest.starts_with(label)) {
            return std::nullopt;
        }
        std::string value(rest.substr(label.size(), end - label.size()));
        rest.remove_prefix(end + 1);
        return value;
    };
    const std::optional<std::string> staging = take("Staging: ");
    const std::optional<std::string> backup = take("Backup: ");
    const std::string base = FileNamePart(folder);
    if (!staging || !backup || !rest.empty() || *staging != FileNamePart(StagingName(folder)) ||
        !backup->starts_with(base + "_") || !backup->ends_with(".org") ||
        !IsPlainFileName(*backup)) {
        return std::nullopt;
    }
    SwitchNames names;
    names.folder = folder;
    names.staging = StagingName(folder);
    names.backup = DirectoryPart(folder) + *backup;
    names.journal = JournalName(folder);
    return names;
}

void Rename(const std::string& from, const std::string& to) {
    if (RenameIfFree(from, to) != NameOutcome::Made) {
        throw EFCreateError("Cannot create folder " + to);
    }
}

// The switch is complete: the journal goes. Where it cannot, the next run
// finds both renames made and only removes it.
void DropJournal(const SwitchNames& names) {
    DeleteFile(names.journal);
    SyncFolder(ParentOf(names.folder));
}

} // namespace

std::string BackupName(const std::string& folder, const std::string& version) {
    return folder + "_" + version + ".org";
}

SwitchNames NamesOfSwitch(const std::string& folder, const std::string& version) {
    SwitchNames names;
    names.folder = folder;
    names.staging = StagingName(folder);
    names.journal = JournalName(folder);
    const std::string first = BackupName(folder, version);
    if (!IsPlainFileName(FileNamePart(first))) {
        throw EFCreateError("Cannot create folder " + first);
    }
    // An earlier backup of that version stays: this one takes the first
    // free name after it.
    for (int n = 1; n <= MaxBackups; ++n) {
        names.backup = n == 1 ? first : BackupName(folder, version + "~" + std::to_string(n));
        if (!StatusOf(names.backup)) {
            return names;
        }
    }
    throw EFCreateError("Cannot create folder " + first + ": it and " +
                        std::to_string(MaxBackups - 1) + " more backups of it exist");
}

std::string StagingName(const std::string& folder) {
    return folder + ".kestro-new";
}

std::string JournalName(const std::string& folder) {
    return folder + ".kestro-journal";
}

void SwitchRelease(const SwitchNames& names) {
    {
        TemporaryFile journal = TemporaryFile::Create(names.journal + ".tmp");
        const std::string text = JournalText(names);
        journal.Stream().WriteBuffer(text.data(), static_cast<std::int64_t>(text.size()));
        journal.Publish(names.journal);
    }
    try {
        Rename(names.folder, names.backup);
    } catch (...) {
        DeleteFile(names.journal);
        throw;
    }
    try {
        Rename(names.staging, names.folder);
    } catch (...) {
        // Back as it was where that can be done now; else the journal
        // stays, and the next run finishes the switch.
        if (RenameIfFree(names.backup, names.folder) == NameOutcome::Made) {
            DeleteFile(names.journal);
        }
        throw;
    }
    DropJournal(names);
}

bool FinishSwitch(const std::string& folder) {
    if (!Exists(JournalName(folder))) {
        return false;
    }
    const std::optional<SwitchNames> names = ReadJournal(folder);
    if (!names) {
        throw Exception("Damaged switch journal: " + JournalName(folder));
    }
    const bool hasFolder = Exists(names->folder);
    const bool hasStaging = Exists(names->staging);
    const bool hasBackup = Exists(names->backup);
    if (hasFolder && hasStaging && !hasBackup) {
        // The journal was written, nothing renamed yet: the staging folder
        // is complete, so the switch goes on.
        Rename(names->folder, names->backup);
        Rename(names->staging, names->folder);
    } else if (!hasFolder && hasStaging) {
        Rename(names->staging, names->folder);
    } else if (!hasFolder && hasBackup) {
        // The new release is gone (removed by hand): the old one comes back.
        Rename(names->backup, names->folder);
    } else if (hasFolder && hasStaging) {
        // A backup of that name appeared since the switch began: the folder
        // keeps its release, and the new one goes.
        RemoveTree(names->staging);
    }
    DropJournal(*names);
    return true;
}

void RemoveTree(const std::string& folder) {
    const std::optional<EntryStatus> status = StatusOf(folder);
    if (!status) {
        return;
    }
    if (status->kind == EntryKind::Folder) {
        // Writable first, so that what it holds can go (POSIX), and a file
        // writable so that it can be removed (Windows' read-only files).
        SetPermissions(folder, 0700);
        for (const std::string& name : ListFolder(folder)) {
            const std::string entry = folder + "/" + name;
            const std::optional<EntryStatus> inner = StatusOf(entry);
            if (inner && inner->kind == EntryKind::Folder) {
                RemoveTree(entry);
            } else {
                if (inner && inner->kind == EntryKind::File) {
                    SetPermissions(entry, 0600);
                }
                if (!DeleteFile(entry)) {
                    throw EWriteError("Cannot remove " + entry);
                }
            }
        }
        if (!RemoveFolder(folder)) {
            throw EWriteError("Cannot remove " + folder);
        }
    } else if (!DeleteFile(folder)) {
        throw EWriteError("Cannot remove " + folder);
    }
}

} // namespace kestro
