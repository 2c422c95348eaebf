// A test seam in the file layer: it can make the N-th file-system call of
// the program fail as the system would (an open or create refused, a read
// error, a write that takes nothing, a failed sync, close, rename, link,
// lock or delete), or run an action at that call, before it goes on as
// usual: a test ends the process there as a kill would, or interrupts it.
// Disarmed it only counts, which costs one atomic increment per call; the
// program itself never arms it.
#pragma once

#include <cstdint>

namespace kestro {

// Makes the n-th counted call from now on fail (n >= 1), or none (n = 0),
// and restarts the count.
void InjectFaultAt(std::int64_t n);

// Runs action at the n-th counted call from now on instead of failing it,
// and restarts the count.
void InjectActionAt(std::int64_t n, void (*action)());

// The number of calls counted since the last InjectFaultAt or
// InjectActionAt.
std::int64_t CountedFileCalls();

// Counts one call; true when it is the one to fail. Called by the system
// implementations at the start of every file-system call they make.
bool FileCallFails();

} // namespace kestro
