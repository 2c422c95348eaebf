// A test seam in the file layer above the port (FileStream, TemporaryFile,
// Files, Locks): it can make the N-th counted call fail as the system would,
// or run an action at that call, before it goes on as usual: a test ends the
// process there as a kill would, or interrupts it. Disarmed it only counts,
// which costs one atomic increment per call; the program itself never arms
// it.
//
// Counted, and so failed on demand: opening a file, creating one (named or
// without a name), a read, a write, a sync, a close that reports its
// outcome (FileStream::Close; the close of a file being discarded is not),
// giving a file without a name its name, copying permissions, deleting,
// replacing, linking, renaming where the name is free, and taking a lock
// (one call however long it waits). Not counted: positions, sizes and
// stamps, the test whether a name is a regular file, the working folder
// and full paths, the request to start writing back, and letting go of a
// lock.
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

// Counts one call; true when it is the one to fail. Called by the layer above
// the port before each counted call.
bool FileCallFails();

// The same seam for the reports an operation makes of its work (its
// progress, which is also where an interrupt stops it), counted apart from
// the file calls: runs action at the n-th report from now on (n >= 1), or
// none (n = 0), and restarts the count. For the tests of work that reads
// and writes nothing for a long time (sorting, searching, coding).
void InjectActionAtReport(std::int64_t n, void (*action)());
std::int64_t CountedReports();
// Counts one report, and runs the action at the chosen one.
void ReportCounted();

} // namespace kestro
