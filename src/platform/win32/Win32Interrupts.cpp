// Windows interrupts: a console control handler records Ctrl-C, Ctrl-Break
// and the closing of the console. The system runs the handler on a thread of
// its own. For Ctrl-C and Ctrl-Break the program goes on and unwinds at its
// next check. When the console closes, or the user logs off, the system ends
// the process as soon as the handler returns, so the handler waits (for a
// few seconds at most, within the time the system grants) until the program
// has cleaned up.
#include "platform/InterruptState.hpp"
#include "platform/Interrupts.hpp"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace kestro {

namespace {

// Set once the program has cleaned up; the handler of a closing console
// waits for it. It lives as long as the process, since a handler may still
// be waiting on it when the program ends.
HANDLE cleanedUp = nullptr;
constexpr DWORD CleanUpWaitMilliseconds = 4000;

BOOL WINAPI RecordConsoleEvent(DWORD event) {
    ReceivedInterrupt.store(InterruptSignalNumber);
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
        return TRUE;
    }
    if (cleanedUp != nullptr) {
        ::WaitForSingleObject(cleanedUp, CleanUpWaitMilliseconds);
    }
    return TRUE;
}

} // namespace

InterruptHandling::InterruptHandling() {
    if (cleanedUp == nullptr) {
        cleanedUp = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    } else {
        ::ResetEvent(cleanedUp);
    }
    ::SetConsoleCtrlHandler(RecordConsoleEvent, TRUE);
}

InterruptHandling::~InterruptHandling() {
    if (cleanedUp != nullptr) {
        ::SetEvent(cleanedUp);
    }
    ::SetConsoleCtrlHandler(RecordConsoleEvent, FALSE);
}

void InterruptHandling::EndAsInterrupted() {
    if (cleanedUp != nullptr) {
        ::SetEvent(cleanedUp);
    }
}

void RequestInterrupt() noexcept {
    ReceivedInterrupt.store(InterruptSignalNumber);
}

} // namespace kestro
