#include "platform/Console.hpp"

#include "platform/Interrupts.hpp"
#include "platform/Port.hpp"
#include "platform/Transfer.hpp"

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
    console.write = [](std::string_view bytes) {
        WriteFully(port::StandardOutput(), bytes.data(), static_cast<std::int64_t>(bytes.size()));
    };
    // The end of input, an error or an interrupt ends the wait as a line
    // would.
    console.readLine = [] {
        char c = 0;
        while (!InterruptRequested() && ReadFully(port::StandardInput(), &c, 1) == 1 && c != '\n') {
        }
    };
    console.terminal = port::IsTerminal(port::StandardOutput());
    console.width = [] { return port::TerminalWidth(port::StandardOutput()); };
    return console;
}

} // namespace kestro
