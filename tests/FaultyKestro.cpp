// kestro_faulty ACTION N ARGUMENTS...: runs kestro on ARGUMENTS as the
// program does, and at its N-th file-system call (counted by the file
// layer's test seam) does ACTION first:
//   kill       ends the process there and then, with no clean-up at all, as
//              SIGKILL or a power cut would (POSIX: SIGKILL; Windows:
//              TerminateProcess with status 137, which unlike ExitProcess
//              and std::_Exit runs no DLL detach);
//   sigint, sigterm, sighup
//              sends the process that signal (POSIX), which it handles as
//              it would the user's or the system's;
//   interrupt  records an interrupt as the console handler does (Windows);
//   count      nothing (N is not used); the number of file-system calls of
//              the whole run goes to standard error at the end.
// Tests use it to stop the real program at chosen points without depending
// on timing.
#include "DiffUnit/Driver.hpp"
#include "platform/FaultInjection.hpp"
#include "platform/Interrupts.hpp"
#include "platform/Process.hpp"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

void Kill() {
    kestro::process::KillThisProcess();
}

#ifndef _WIN32
int signalToSend = 0;

void SendSignal() {
    std::raise(signalToSend);
}
#endif

void RecordInterrupt() {
    kestro::RequestInterrupt();
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fputs("usage: kestro_faulty ACTION N ARGUMENTS...\n", stderr);
        return 2;
    }
    const std::string_view action = argv[1];
    const long long n = std::atoll(argv[2]);
    if (action == "kill") {
        kestro::InjectActionAt(n, Kill);
    } else if (action == "interrupt") {
        kestro::InjectActionAt(n, RecordInterrupt);
#ifndef _WIN32
    } else if (action == "sigint" || action == "sigterm" || action == "sighup") {
        signalToSend = action == "sigint" ? SIGINT : action == "sigterm" ? SIGTERM : SIGHUP;
        kestro::InjectActionAt(n, SendSignal);
#endif
    } else if (action == "count") {
        kestro::InjectFaultAt(0);
    } else {
        std::fputs("kestro_faulty: unknown action\n", stderr);
        return 2;
    }
    // kestro's command line: this program's name, then what follows N.
    std::vector<std::string> line = kestro::CommandLineArguments(argc, argv);
    line.erase(line.begin() + 1, line.begin() + 3);
    const int status = kestro::ProgramMain(line, kestro::ProgramOperations());
    if (action == "count") {
        std::fprintf(stderr, "%lld\n", static_cast<long long>(kestro::CountedFileCalls()));
    }
    return status;
}
