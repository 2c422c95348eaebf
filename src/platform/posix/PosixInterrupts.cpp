// POSIX interrupts: SIGINT, SIGTERM and SIGHUP are caught by a handler that
// only records the signal. The handler is installed without SA_RESTART, so a
// read that blocks on a terminal returns and sees the record.
#include "platform/InterruptState.hpp"
#include "platform/Interrupts.hpp"

#include <array>
#include <csignal>
#include <signal.h>

namespace kestro {

namespace {

constexpr std::array<int, 3> CaughtSignals = {SIGINT, SIGTERM, SIGHUP};
std::array<struct sigaction, CaughtSignals.size()> previous{};
std::array<bool, CaughtSignals.size()> installed{};

extern "C" void RecordSignal(int signal) {
    ReceivedInterrupt.store(signal, std::memory_order_relaxed);
}

} // namespace

static_assert(SIGINT == InterruptSignalNumber);

InterruptHandling::InterruptHandling() {
    for (std::size_t i = 0; i < CaughtSignals.size(); ++i) {
        struct sigaction action {};
        action.sa_handler = RecordSignal;
        sigemptyset(&action.sa_mask);
        if (::sigaction(CaughtSignals[i], nullptr, &previous[i]) != 0 ||
            previous[i].sa_handler == SIG_IGN) {
            continue;
        }
        installed[i] = ::sigaction(CaughtSignals[i], &action, nullptr) == 0;
    }
}

InterruptHandling::~InterruptHandling() {
    for (std::size_t i = 0; i < CaughtSignals.size(); ++i) {
        if (installed[i]) {
            ::sigaction(CaughtSignals[i], &previous[i], nullptr);
            installed[i] = false;
        }
    }
}

void InterruptHandling::EndAsInterrupted() {
    const int signal = ReceivedInterrupt.load();
    if (signal == 0) {
        return;
    }
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    ::sigaction(signal, &action, nullptr);
    sigset_t unblock;
    sigemptyset(&unblock);
    sigaddset(&unblock, signal);
    ::sigprocmask(SIG_UNBLOCK, &unblock, nullptr);
    ::raise(signal);
}

void RequestInterrupt() noexcept {
    ReceivedInterrupt.store(SIGINT);
}

} // namespace kestro
