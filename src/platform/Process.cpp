// The Windows command-line quoting of Process.hpp, written once for every
// system so that the tests check it everywhere.
#include "platform/Process.hpp"

namespace kestro::process {

namespace {

// One argument as the C runtime's splitting gives it back unchanged.
void AppendQuoted(std::string& line, const std::string& argument) {
    if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string::npos) {
        line += argument;
        return;
    }
    line += '"';
    std::size_t backslashes = 0;
    for (const char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        // Backslashes count only before a quote: there each one is doubled,
        // and the quote itself escaped.
        line.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        line += c;
    }
    // Before the closing quote too.
    line.append(2 * backslashes, '\\');
    line += '"';
}

} // namespace

std::string WindowsCommandLine(const std::string& program,
                               const std::vector<std::string>& arguments) {
    std::string line;
    AppendQuoted(line, program);
    for (const std::string& argument : arguments) {
        line += ' ';
        AppendQuoted(line, argument);
    }
    return line;
}

} // namespace kestro::process
