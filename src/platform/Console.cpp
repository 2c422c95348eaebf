#include "platform/Console.hpp"

#include "platform/Interrupts.hpp"
#include "platform/Port.hpp"
#include "platform/Text.hpp"
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
    // A console window takes characters; a file or a pipe gets the text in
    // the code page (on Windows the ANSI code page, as it always has, so
    // that scripts reading it see what they saw before).
    console.write = [](std::string_view text) {
        const port::Handle output = port::StandardOutput();
        if (!port::WriteCharacters(output, text)) {
            const std::string bytes = ShownInCodePage(text);
            WriteFully(output, bytes.data(), static_cast<std::int64_t>(bytes.size()));
        }
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

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
    return port::CommandLine(argc, argv);
}

} // namespace kestro
