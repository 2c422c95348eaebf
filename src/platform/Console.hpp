// The console: the command line's arguments come in, and all text goes to
// standard output, line by line, each line ended by CR LF on every
// platform. Nothing is written to standard error. Text is the program's
// own, UTF-8; on Windows a console window shows it as Unicode, a file or a
// pipe gets it in the ANSI code page (a character that has no byte there
// as "?"), as earlier versions wrote it.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kestro {

// Where console text goes and where the one line of input comes from. The
// program uses StandardConsole(); tests hand in their own.
struct Console {
    // Writes the text, as the console takes it.
    std::function<void(std::string_view text)> write;
    // Reads and discards one line; end of input counts as a line.
    std::function<void()> readLine;
    // Whether the text goes to a terminal (a console window on Windows),
    // where a line may be rewritten in place, rather than to a file or pipe.
    bool terminal = false;
    // How many characters a line of that terminal holds now, 0 when not
    // known: a line rewritten in place must not be longer, or it wraps and
    // leaves its first part behind.
    std::function<int()> width;
};

Console StandardConsole();

// Writes text followed by CR LF.
void WriteLine(const Console& console, std::string_view text);

// The process's arguments as the program's text, its own name first (argc
// and argv as main got them): on Windows read from the system's UTF-16
// command line, so that a name the ANSI code page cannot hold arrives whole.
std::vector<std::string> CommandLineArguments(int argc, char** argv);

} // namespace kestro
