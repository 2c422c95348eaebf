// The process entry of kestro: runs the command line with the real delta
// operations and ends with the status the driver gives.
#include "DiffUnit/DeltaPackage.hpp"
#include "DiffUnit/Driver.hpp"

#include <string>
#include <vector>

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    kestro::DeltaOperations operations;
    operations.makeDelta = kestro::MakeDelta;
    operations.applyDelta = kestro::ApplyDelta;
    return kestro::RunProgram(argc > 0 ? argv[0] : "kestro", arguments, operations,
                              kestro::StandardConsole());
}
