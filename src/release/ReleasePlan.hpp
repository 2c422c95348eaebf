// How each file of a newer release is made from the original release: the
// same as an original file of that content, wherever it lies; a copy of a
// newer file of that content listed before it; a compact delta against the
// original file of the same path, else against the original file most like
// it; else whole.
#pragma once

#include "release/ReleaseManifest.hpp"
#include "release/ReleaseScan.hpp"

#include <vector>

namespace kestro {

// The least likeness (ReleaseScan.hpp) for which a file without an original
// of its path is coded against another original rather than whole.
inline constexpr double LeastLikeness = 0.04;

// The manifest that turns originals into newer: every original entry, every
// newer entry with its way of being made, payload sizes still 0 and whole
// files' dictionaries chosen.
ReleaseManifest PlanRelease(const std::vector<ScannedEntry>& originals,
                            const std::vector<ScannedEntry>& newer);

} // namespace kestro
