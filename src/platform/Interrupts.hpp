// Interrupts: Ctrl-C, SIGTERM from a service manager, SIGHUP from a closed
// terminal (on Windows: Ctrl-C, Ctrl-Break, a closed console).
//
// While an InterruptHandling object lives, an interrupt does not end the
// process at once: its handler only records it. The file layer's reads and
// writes and the wait for a lock then fail with EInterrupted, which unwinds
// through the operation like any other failure, so that the owners of
// temporary files remove them and the target and any earlier delta stay as
// they were. The program then ends as the interrupt would have ended it.
#pragma once

#include "common/Progress.hpp"

namespace kestro {

class InterruptHandling {
public:
    // Installs the handlers. An interrupt that was set to be ignored when the
    // program started (a job started with nohup, say) stays ignored.
    InterruptHandling();
    // Restores the handling that was in place before.
    ~InterruptHandling();
    InterruptHandling(const InterruptHandling&) = delete;
    InterruptHandling& operator=(const InterruptHandling&) = delete;

    // Called when the program has cleaned up after an interrupt. On POSIX it
    // ends the process by the interrupting signal with its default action,
    // so that a calling script sees the interrupt; on Windows it returns,
    // and the program ends with the status it has: 1 after the failure
    // report of an interrupted operation (a closed console ends the process
    // with the system's own status once the clean-up is done).
    void EndAsInterrupted();
};

// True once an interrupt has been received.
bool InterruptRequested() noexcept;

// Does what the handlers do: records an interrupt (SIGINT on POSIX). Tests
// stand in for the user with it.
void RequestInterrupt() noexcept;

// Forgets a recorded interrupt; for tests that interrupt an operation and
// then go on.
void ClearInterrupt() noexcept;

// Fails with EInterrupted "Operation interrupted" once an interrupt has been
// received.
void CheckInterrupt();

// An operation's progress function: every report is counted for the fault
// seam (ReportCounted), is where an interrupt stops the work, and is then
// told to progress, where there is one.
ProgressFunction PolledProgress(ProgressFunction progress);

} // namespace kestro
