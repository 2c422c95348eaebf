// The interrupt record shared by the portable checks and the system's
// handlers: the number of the signal received (on Windows SIGINT's number
// stands for every console event), 0 for none. A lock-free atomic int, so a
// signal handler may store to it.
#pragma once

#include <atomic>

namespace kestro {

extern std::atomic<int> ReceivedInterrupt;
static_assert(std::atomic<int>::is_always_lock_free);

// SIGINT's number on every platform that has signals.
inline constexpr int InterruptSignalNumber = 2;

} // namespace kestro
