// The newer release made from a package and the original release: the
// originals the package reads checked in the folder, each newer file
// rebuilt and checked against its SHA-256, and the whole release built in
// a staging folder.
#pragma once

#include "common/ByteStream.hpp"
#include "common/Progress.hpp"
#include "release/ReleaseReader.hpp"

#include <functional>
#include <string>
#include <vector>

namespace kestro {

// Told how many of the newer release's bytes and files are done.
using StageTold = std::function<void(std::int64_t bytes, std::int64_t files)>;

// The paths of the original files the package reads (the sources of its
// same and delta files) that are missing in folder, or differ from their
// listing in size or SHA-256, or lie below a name that is no folder (a
// link put there); sorted. told the bytes read of how many (as bytes and
// files).
std::vector<std::string> ChangedOriginals(const ReleaseManifest& manifest,
                                          const std::string& folder, const StageTold& told);

// Whether every file of the newer release is in folder as listed: the
// folder has been updated already.
bool HoldsNewerRelease(const ReleaseManifest& manifest, const std::string& folder);

// Rebuilds the newer file of entry into out, from its payload and the
// original in folder, or a copy from the newer file made before it in
// staging, checking it against its size and SHA-256; fails with Exception
// "Damaged release package: <what>" where it differs, as the decoders fail
// for a damaged payload. told as bytes are written.
void RebuildFile(OpenPackage& package, std::size_t entry, const std::string& folder,
                 const std::string& staging, ByteStream& out,
                 const std::function<void(std::int64_t)>& told);

// Builds the newer release in staging, a new folder: every entry in
// manifest order (files written, checked, synced and given their
// permissions; folders made, and their permissions set once filled; links
// made), then what folder holds that the original release did not and the
// newer one does not take (files a user or the program added), with its
// permissions; every folder synced.
void StageRelease(OpenPackage& package, const std::string& folder, const std::string& staging,
                  const StageTold& told);

// The files of folder, every one, for what must not be held open while
// the folder is renamed.
std::vector<std::string> FilesOf(const std::string& folder);

} // namespace kestro
