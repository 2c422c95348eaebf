// What the tests need of the system besides the port: running a program as
// a child process and collecting what it printed, ending the running
// process at once, and reading a whole file with the system's reason when
// that fails. posix/PosixProcess.cpp and win32/Win32Process.cpp implement
// it; they build the library kestro_process, which only the tests and the
// test programs link, never the product's programs or libkestro.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestro::process {

// How a child ended and what it wrote.
struct Outcome {
    int status = -1; // its exit status; -1 when a signal ended it
    int signal = 0;  // the signal that ended it (POSIX)
    std::string output;
    std::string errors;
};

// Runs program with arguments and waits for it to end. Its standard input
// is empty (/dev/null, NUL), its standard output and standard error each go
// to a pipe that a thread of this call reads to its end, and it inherits no
// other file of this process. On POSIX a program without a slash is looked
// up in PATH. Several may run at once, from several threads. Throws
// std::runtime_error, with the system's reason, when the child cannot be
// started.
Outcome Run(const std::string& program, const std::vector<std::string>& arguments);

// Ends this process there and then, as a kill from outside would: no
// destructors, no atexit handlers, no flushing, no library clean-up.
// POSIX: SIGKILL; Windows: TerminateProcess with status 137.
[[noreturn]] void KillThisProcess();

// A whole file's content, or the system's reason why it could not be read.
struct FileContent {
    bool read = false;
    std::vector<std::uint8_t> bytes;
    std::string error; // when not read, e.g. "No such file or directory (errno 2)"
};
// Reads name while others may read, write, rename or delete it (on Windows
// the widest sharing, so that this read never stands in anyone's way).
FileContent ReadWholeFile(const std::string& name);

// The Windows command line that hands program and arguments to a program
// whose C runtime splits its command line by the usual rules: each one in
// double quotes when it is empty or holds a space, a tab or a quote; a
// quote within as \", and the backslashes before a quote, or before the
// closing quote, doubled. Pure text, compiled and tested on every system.
std::string WindowsCommandLine(const std::string& program,
                               const std::vector<std::string>& arguments);

} // namespace kestro::process
