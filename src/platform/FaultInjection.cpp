#include "platform/FaultInjection.hpp"

#include <atomic>

namespace kestro {

namespace {

std::atomic<std::int64_t> counted{0};
std::atomic<std::int64_t> failing{0};

} // namespace

void InjectFaultAt(std::int64_t n) {
    failing.store(n);
    counted.store(0);
}

std::int64_t CountedFileCalls() {
    return counted.load();
}

bool FileCallFails() {
    const std::int64_t call = counted.fetch_add(1, std::memory_order_relaxed) + 1;
    return call == failing.load(std::memory_order_relaxed);
}

} // namespace kestro
