#include "platform/Interrupts.hpp"

#include "platform/Failures.hpp"
#include "platform/InterruptState.hpp"

namespace kestro {

std::atomic<int> ReceivedInterrupt{0};

bool InterruptRequested() noexcept {
    return ReceivedInterrupt.load(std::memory_order_relaxed) != 0;
}

void ClearInterrupt() noexcept {
    ReceivedInterrupt.store(0);
}

void CheckInterrupt() {
    if (InterruptRequested()) {
        throw EInterrupted("Operation interrupted");
    }
}

} // namespace kestro
