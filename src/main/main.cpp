// The process entry of kestro: runs the command line with the real delta
// operations and ends with the status the driver gives.
#include "DiffUnit/Driver.hpp"

int main(int argc, char** argv) {
    return kestro::ProgramMain(kestro::CommandLineArguments(argc, argv),
                               kestro::ProgramOperations());
}
