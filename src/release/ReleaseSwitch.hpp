// The switch from one release of a folder to the next, all or nothing,
// across a kill or a power loss at any moment: the new release is built
// complete in a staging folder beside the folder, then a journal beside it
// says what is about to happen, the folder is renamed to its backup and
// the staging folder to the folder's name, and the journal goes. Whoever
// takes the folder's lock next and finds a journal finishes the switch (the
// staging folder is complete once a journal exists) or, where the folder
// is still there and the staging folder gone, drops the journal. The folder
// holds one release or the other at every moment, never parts of both.
//
// The journal, <folder>.kestro-journal, is three lines of text, each ended
// by LF:
//   Kestro release switch 1
//   Staging: <folder name>.kestro-new
//   Backup: <folder name>_<old version>.org
#pragma once

#include <string>

namespace kestro {

// The names a switch of folder uses, all beside it.
struct SwitchNames {
    std::string folder;  // as the caller names it
    std::string staging; // folder + ".kestro-new"
    std::string backup;  // BackupName, or the first free one after it
    std::string journal; // folder + ".kestro-journal"
};

// folder + "_" + version + ".org": the backup of a folder at that version.
std::string BackupName(const std::string& folder, const std::string& version);

// The names for a folder and the version its backup is named after: where
// a backup of that name exists (an earlier update to the same version), the
// first free of <folder>_<version>~2.org, ~3.org and so on. Fails with
// EFCreateError "Cannot create folder <backup>" where the version would
// make the backup's name reach into another folder, or a hundred backups
// of it exist.
SwitchNames NamesOfSwitch(const std::string& folder, const std::string& version);

// The staging and journal names of a folder, without a backup.
std::string StagingName(const std::string& folder);
std::string JournalName(const std::string& folder);

// Writes the journal (durably), renames the folder to its backup and the
// staging folder to the folder's name, each durably, and removes the
// journal. A failure before the first rename leaves everything as it was
// but the journal, which it takes back; after it, the journal stays for the
// next run to finish the switch.
void SwitchRelease(const SwitchNames& names);

// Finishes or drops the switch a journal beside folder records; nothing
// where there is none. True when there was one. Fails with Exception
// "Damaged switch journal: <journal>" for a journal that does not name the
// staging folder and a backup of folder.
bool FinishSwitch(const std::string& folder);

// Removes a folder and everything in it, never following a link out of it
// (a link is removed, not what it points to). Fails with EWriteError
// "Cannot remove <name>" for what cannot be removed.
void RemoveTree(const std::string& folder);

} // namespace kestro
