// The process entry of kestro-info (DiffUnit/Info.hpp).
#include "DiffUnit/Info.hpp"

#include <string>
#include <vector>

int main(int argc, char** argv) {
    const std::vector<std::string> line = kestro::CommandLineArguments(argc, argv);
    const std::vector<std::string> arguments(line.begin() + (line.empty() ? 0 : 1), line.end());
    return kestro::RunInfo(line.empty() ? "kestro-info" : line[0], arguments,
                           kestro::StandardConsole());
}
