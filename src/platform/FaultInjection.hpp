// A test seam in the file layer: it can make the N-th file-system call of
// the program fail as the system would (an open or create refused, a read
// error, a write that takes nothing, a failed sync, close, rename, copy or
// delete). Disarmed it only counts, which costs one atomic increment per
// call; the program itself never arms it.
#pragma once

#include <cstdint>

namespace kestro {

// Makes the n-th counted call from now on fail (n >= 1), or none (n = 0),
// and restarts the count.
void InjectFaultAt(std::int64_t n);

// The number of calls counted since the last InjectFaultAt.
std::int64_t CountedFileCalls();

// Counts one call; true when it is the one to fail. Called by the system
// implementations at the start of every file-system call they make.
bool FileCallFails();

} // namespace kestro
