#include "platform/Console.hpp"

#include "platform/Port.hpp"

#include <string>

namespace kestro {

void WriteLine(const Console& console, std::string_view text) {
    std::string line;
    line.reserve(text.size() + 2);
    line.append(text);
    line.append("\r\n");
    console.write(line);
}

Console StandardConsole() {
    Console console;
    console.write = [](std::string_view bytes) { port::WriteOutput(bytes); };
    // The end of input, an error or an interrupt ends the wait as a line
    // would.
    console.readLine = [] {
        char c = 0;
        while (port::ReadInput(c) && c != '\n') {
        }
    };
    return console;
}

} // namespace kestro
