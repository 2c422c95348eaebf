// Release packages: one file that brings a program's folder from one
// release to the next, all or nothing. The operations of the command line
// and of the C interface on folders, as MakeDelta and ApplyDelta
// (DiffUnit/DeltaPackage.hpp) are on single files, with the same options,
// result codes and failures, and the same rules: what the package reads is
// checked before anything is written, the folder is replaced whole or left
// as it was, and "OK" only when true.
#pragma once

#include "DiffUnit/DeltaFile.hpp"
#include "DiffUnit/DeltaPackage.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kestro {

// Writes the package that turns the folder originalFolder into the folder
// newerFolder: every newer file the same as an original file of that
// content (wherever it lies), a compact delta of the newest minor
// options.compactMinor allows against the original of its path or the
// original most like it, or whole. It is named by ReleasePackageName and
// placed beside the original folder, and never replaces a file of that
// name (EFCreateError "File exists: <name>"). A file that changes while it
// is read fails with EReadError "File changed while reading: <name>", an
// entry no package may hold with Exception "Cannot put into a release
// package (<why>): <path>". Signed with options.signingKey, a downgrade
// only with options.allowDowngrade, as MakeDelta. Returns ResultOk.
std::int32_t MakeRelease(const std::string& originalFolder, const std::string& newerFolder,
                         const OperationOptions& options);

// <original folder>_<version>.kst: the version is the FileVersion most
// programs of the newer release carry, else the newer folder's name.
std::string ReleasePackageName(const std::string& originalFolderName, const std::string& version);

// Brings the folder a package was made from (beside it, or options.into)
// to the newer release. Under the folder's lock, it first finishes or
// undoes a switch a killed run left (ReleaseSwitch.hpp); then checks the
// signature (with options.publicKey), the package, and every original
// file the package reads: a missing or changed one is told to
// options.changed and the apply returns ResultChangedFiles with nothing
// written (ResultAlreadyUpdated where the folder is the newer release
// already, ResultNoTarget where there is no folder). It builds the newer
// release in <folder>.kestro-new beside the folder, every file checked
// against its SHA-256 and synced, files the package does not know carried
// over; then, with a journal, renames the folder to its backup
// <folder>_<old version>.org (or, where that exists, <folder>_<old
// version>~2.org, ~3.org, ...; no version: <folder>_.org) and the new one
// to the folder's name. On
// Windows a file of the folder that a program holds open fails the apply
// with EFCreateError "File is in use: <name>" before the switch.
std::int32_t ApplyRelease(const std::string& packageName, const OperationOptions& options);

// Checks a signed package as an apply with publicKey does before it looks
// at the folder (VerifyDelta's counterpart), and gives the verified
// statement.
std::int32_t VerifyRelease(const std::string& packageName, const PublicKey& publicKey,
                           DeltaSignature& statement, const ProgressFunction& progress = {});

// What CheckRelease found.
struct ReleaseCheck {
    std::vector<std::string> changed;        // files missing or changed
    std::int64_t filesVerified = 0;          // newer files rebuilt and checked
    std::optional<DeltaSignature> statement; // with a key, once verified
};

// Every check of an apply, and every file of the newer release rebuilt into
// a sink and checked, writing nothing at all. Returns the code the apply
// would return.
std::int32_t CheckRelease(const std::string& packageName, ReleaseCheck& check,
                          const std::optional<PublicKey>& publicKey, const std::string& into);

// The package's manifest in lines for kestro-info: the release, every
// original entry it reads or removes, and every entry of the newer release
// with how it is made and its sizes. Damaged where the package is.
DeltaListing DescribeRelease(const std::string& packageName, std::vector<std::string>& lines);

} // namespace kestro
