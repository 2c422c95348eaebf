#include "platform/Console.hpp"

#include <string>

namespace kestro {

void WriteLine(const Console& console, std::string_view text) {
    std::string line;
    line.reserve(text.size() + 2);
    line.append(text);
    line.append("\r\n");
    console.write(line);
}

} // namespace kestro
