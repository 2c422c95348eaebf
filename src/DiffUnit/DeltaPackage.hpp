// The two operations of the command line. Both take bare file names in the
// working directory and return a result code (ResultCodes.hpp); everything
// else that goes wrong is a failure that leaves them.
#pragma once

#include <cstdint>
#include <string>

namespace kestro {

// The delta file name for an original and the newer file's version string:
// original + "_" + version + ".kst".
std::string DeltaFileName(const std::string& originalName, const std::string& newerVersion);

// Writes the delta that turns originalName into newerName, named by
// DeltaFileName, replacing a delta of that name. The delta appears under its
// name only when complete. Returns ResultOk, or the warning
// ResultNewerUnversioned or ResultOriginalUnversioned (the former wins); the
// delta is complete in all three cases.
std::int32_t MakeDelta(const std::string& originalName, const std::string& newerName);

// Applies a delta to the file it names, in the delta's folder: checks the
// container, the target's version and checksum, rebuilds the newer file
// into target + ".new", keeps a backup target + "_" + version + ".org"
// unless one exists, and renames the new file over the target. The target
// is either replaced whole or left as it was.
std::int32_t ApplyDelta(const std::string& deltaName);

} // namespace kestro
