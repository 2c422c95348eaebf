// The process entry of kestro-info (DiffUnit/Info.hpp).
#include "DiffUnit/Info.hpp"

#include <string>
#include <vector>

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    return kestro::RunInfo(argc > 0 ? argv[0] : "kestro-info", arguments,
                           kestro::StandardConsole());
}
