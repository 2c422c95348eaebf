// kestro_process_child STATUS FLOOD ARGUMENTS...: the child that the tests
// of the process runner start. It reads its standard input to the end;
// writes FLOOD bytes 'o' to standard output and as many 'e' to standard
// error, alternately in pieces, so that a runner that read one pipe to its
// end before the other would never finish; then on standard output each
// argument followed by a NUL byte (no newline, which Windows' text mode
// would turn into CR LF), and on standard error "input=" and the count of
// bytes its standard input held. It ends with status STATUS; when STATUS
// is "kill", killed, after writing "lost" to standard output without
// flushing it: a real kill loses it; when STATUS is "sigint", it raises
// SIGINT, which ends it unless it started with SIGINT ignored, and then
// ends with status 0.
#include "platform/Process.hpp"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fputs("usage: kestro_process_child STATUS FLOOD ARGUMENTS...\n", stderr);
        return 2;
    }
    long long input = 0;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, stdin)) > 0;) {
        input += static_cast<long long>(n);
    }
    const std::string out(sizeof buffer, 'o');
    const std::string err(sizeof buffer, 'e');
    for (long long left = std::atoll(argv[2]); left > 0;) {
        const std::size_t piece = static_cast<std::size_t>(
            std::min<long long>(left, static_cast<long long>(sizeof buffer)));
        std::fwrite(out.data(), 1, piece, stdout);
        std::fflush(stdout);
        std::fwrite(err.data(), 1, piece, stderr);
        std::fflush(stderr);
        left -= static_cast<long long>(piece);
    }
    for (int i = 3; i < argc; ++i) {
        std::fwrite(argv[i], 1, std::string_view(argv[i]).size() + 1, stdout);
    }
    std::fprintf(stderr, "input=%lld", input);
    std::fflush(stdout);
    std::fflush(stderr);
    const std::string_view action = argv[1];
    if (action == "kill") {
        std::fputs("lost", stdout);
        kestro::process::KillThisProcess();
    }
    if (action == "sigint") {
        std::raise(SIGINT);
    }
    return std::atoi(argv[1]);
}
