// The console: all text goes to standard output, line by line, each line
// ended by CR LF on every platform. Nothing is written to standard error.
#pragma once

#include <functional>
#include <string_view>

namespace kestro {

// Where console text goes and where the one line of input comes from. The
// program uses StandardConsole(); tests hand in their own.
struct Console {
    // Writes the bytes as they stand.
    std::function<void(std::string_view bytes)> write;
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

} // namespace kestro
