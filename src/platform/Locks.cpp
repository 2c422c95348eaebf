#include "platform/Locks.hpp"

#include "platform/Failures.hpp"
#include "platform/Interrupts.hpp"

#include <algorithm>
#include <thread>

namespace kestro {

FileLock AcquireLock(const std::string& lockName, const std::string& subject,
                     std::chrono::milliseconds wait) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + wait;
    // Short polls first, since most holders finish soon; then a slower pace
    // that costs nothing while a long update runs.
    std::chrono::milliseconds pause{5};
    for (;;) {
        CheckInterrupt();
        if (std::optional<FileLock> lock = FileLock::TryAcquire(lockName)) {
            return std::move(*lock);
        }
        const Clock::time_point now = Clock::now();
        if (now >= deadline) {
            throw EFOpenError("File is in use by another run: " + subject);
        }
        std::this_thread::sleep_for(
            std::min(pause, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now)));
        pause = std::min(pause * 2, std::chrono::milliseconds{100});
    }
}

} // namespace kestro
