// kestro-info FILE: prints what Kestro knows about a file, one line at a
// time: for a delta file, its header and descriptor fields and one line per
// block; for an executable or library, the key=value lines of its version
// information (nothing when it has none).
#include "DiffUnit/DeltaFile.hpp"
#include "UVersieIn/UVersieIn.hpp"
#include "common/Failures.hpp"
#include "platform/Console.hpp"

#include <new>
#include <string>
#include <vector>

namespace {

constexpr const char* Usage = "Usage: kestro-info FILE";

void Describe(const std::string& fileName, const kestro::Console& console) {
    std::vector<std::string> lines;
    bool isDelta = false;
    try {
        isDelta = kestro::DescribeDelta(fileName, lines);
    } catch (const kestro::Exception&) {
        // Not readable as a delta: the version reader has its own say.
    }
    if (!isDelta) {
        kestro::GetVersionInfoList(fileName, lines);
    }
    for (const std::string& line : lines) {
        kestro::WriteLine(console, line);
    }
}

} // namespace

int main(int argc, char** argv) {
    const kestro::Console console = kestro::StandardConsole();
    if (argc != 2) {
        kestro::WriteLine(console, Usage);
        return 1;
    }
    try {
        Describe(argv[1], console);
    } catch (const std::bad_alloc&) {
        kestro::WriteLine(console, "Out of memory");
        return 1;
    }
    return 0;
}
