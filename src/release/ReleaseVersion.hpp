// The version of a release: the FileVersion that its programs carry, for
// the package's name, its backup's name and what a signature states.
#pragma once

#include "UVersieIn/UVersieIn.hpp"
#include "release/ReleaseScan.hpp"

#include <string>
#include <vector>

namespace kestro {

// The FileVersion string that most PE programs among entries (the files of
// the release in folder) carry, the one of the highest version numbers on
// a tie; fallback where no program carries one.
std::string ReleaseVersion(const std::string& folder, const std::vector<ScannedEntry>& entries,
                           const std::string& fallback);

// A release version's numbers: up to four decimal parts of at most 65535
// ("0.34.5" is 0.34.5.0); all zero for a version that is not of that form.
FileVersionQuad VersionNumbers(const std::string& version);

} // namespace kestro
