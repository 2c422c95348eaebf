// The process entry of kestro: runs the command line with the real delta
// operations and ends with the status the driver gives.
#include "DiffUnit/DeltaPackage.hpp"
#include "DiffUnit/Driver.hpp"

int main(int argc, char** argv) {
    kestro::DeltaOperations operations;
    operations.makeDelta = [](const std::string& original, const std::string& newer) {
        return kestro::MakeDelta(original, newer);
    };
    operations.applyDelta = [](const std::string& delta) { return kestro::ApplyDelta(delta); };
    return kestro::ProgramMain(argc, argv, operations);
}
