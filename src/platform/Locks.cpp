#include "platform/Locks.hpp"

#include "common/Failures.hpp"
#include "platform/FaultInjection.hpp"
#include "platform/Interrupts.hpp"
#include "platform/Port.hpp"

#include <algorithm>
#include <thread>
#include <utility>

namespace kestro {

FileLock::FileLock(FileLock&& other) noexcept
    : handle_(other.handle_), name_(std::move(other.name_)) {
    other.handle_ = NoHandle;
}

FileLock::~FileLock() {
    if (handle_ != NoHandle) {
        port::Unlock(handle_, name_);
    }
}

std::optional<FileLock> AcquireLock(const std::string& lockName, const std::string& subject,
                                    std::chrono::milliseconds wait,
                                    const std::function<void(const std::string&)>& waiting) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + wait;
    if (FileCallFails()) {
        return std::nullopt;
    }
    // Short polls first, since most holders finish soon; then a slower pace
    // that costs nothing while a long update runs.
    std::chrono::milliseconds pause{5};
    bool told = false;
    for (;;) {
        CheckInterrupt();
        port::Handle held = port::NoHandle;
        switch (port::TryLock(lockName, held)) {
        case port::LockOutcome::Taken:
            return FileLock(held, lockName);
        case port::LockOutcome::Failed:
            return std::nullopt;
        case port::LockOutcome::Busy:
            break;
        }
        const Clock::time_point now = Clock::now();
        if (now >= deadline) {
            throw EFOpenError("File is in use by another run: " + subject);
        }
        if (waiting && !std::exchange(told, true)) {
            waiting(subject);
        }
        std::this_thread::sleep_for(
            std::min(pause, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now)));
        pause = std::min(pause * 2, std::chrono::milliseconds{100});
    }
}

} // namespace kestro
