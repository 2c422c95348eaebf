#include "platform/FaultInjection.hpp"

#include <atomic>

namespace kestro {

namespace {

std::atomic<std::int64_t> counted{0};
std::atomic<std::int64_t> failing{0};
std::atomic<void (*)()> failingAction{nullptr};
std::atomic<std::int64_t> reports{0};
std::atomic<std::int64_t> reportActionAt{0};
std::atomic<void (*)()> reportAction{nullptr};

} // namespace

void InjectFaultAt(std::int64_t n) {
    InjectActionAt(n, nullptr);
}

void InjectActionAt(std::int64_t n, void (*action)()) {
    failing.store(0);
    failingAction.store(action);
    counted.store(0);
    failing.store(n);
}

std::int64_t CountedFileCalls() {
    return counted.load();
}

bool FileCallFails() {
    const std::int64_t call = counted.fetch_add(1, std::memory_order_relaxed) + 1;
    if (call != failing.load(std::memory_order_relaxed)) {
        return false;
    }
    if (void (*action)() = failingAction.load()) {
        action();
        return false;
    }
    return true;
}

void InjectActionAtReport(std::int64_t n, void (*action)()) {
    reportActionAt.store(0);
    reportAction.store(action);
    reports.store(0);
    reportActionAt.store(n);
}

std::int64_t CountedReports() {
    return reports.load();
}

void ReportCounted() {
    const std::int64_t report = reports.fetch_add(1, std::memory_order_relaxed) + 1;
    if (report == reportActionAt.load(std::memory_order_relaxed)) {
        if (void (*action)() = reportAction.load()) {
            action();
        }
    }
}

} // namespace kestro
