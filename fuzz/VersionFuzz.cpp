// GetVersionInfoList and ReadVersionInfo on arbitrary file bytes: the PE
// and resource parser must answer "no version information" or a list,
// never fail or reach outside the file's bytes.
#include "FuzzSupport.hpp"

#include "UVersieIn/UVersieIn.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kestro;
    static const std::string name = (fuzz::ScratchFolder() / "input.exe").string();
    fuzz::WriteFileBytes(name, data, size);
    std::vector<std::string> lines;
    GetVersionInfoList(name, lines);
    const VersionInfo info = ReadVersionInfo(name);
    const bool versioned = info.HasFixedRecord;
    const auto [major, minor, release, build] = info.Version;
    if (major < 0 || minor < 0 || release < 0 || build < 0 || major > 65535 || minor > 65535 ||
        release > 65535 || build > 65535) {
        fuzz::Finding("version number outside 0..65535");
    }
    if (!versioned && (major | minor | release | build) != 0) {
        fuzz::Finding("no version information but numbers set");
    }
    (void)VersionString(info);
    return 0;
}
