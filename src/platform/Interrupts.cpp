#include "platform/Interrupts.hpp"

#include "common/Failures.hpp"
#include "platform/FaultInjection.hpp"
#include "platform/InterruptState.hpp"
#include "platform/Port.hpp"

namespace kestro {

std::atomic<int> ReceivedInterrupt{0};

InterruptHandling::InterruptHandling() {
    port::InstallInterruptHandlers();
}

InterruptHandling::~InterruptHandling() {
    port::RemoveInterruptHandlers();
}

void InterruptHandling::EndAsInterrupted() {
    if (const int interrupt = ReceivedInterrupt.load(); interrupt != 0) {
        port::EndAsInterrupted(interrupt);
    }
}

bool InterruptRequested() noexcept {
    return ReceivedInterrupt.load(std::memory_order_relaxed) != 0;
}

void RequestInterrupt() noexcept {
    ReceivedInterrupt.store(InterruptSignalNumber);
}

void ClearInterrupt() noexcept {
    ReceivedInterrupt.store(0);
}

void CheckInterrupt() {
    if (InterruptRequested()) {
        throw EInterrupted("Operation interrupted");
    }
}

ProgressFunction PolledProgress(ProgressFunction progress) {
    return [progress = std::move(progress)](const Progress& told) {
        ReportCounted();
        CheckInterrupt();
        if (progress) {
            progress(told);
        }
    };
}

} // namespace kestro
