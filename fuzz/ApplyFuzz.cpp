// The container checks, the description kestro-info prints, and ApplyDelta
// on an arbitrary delta file, in a
// scratch folder beside a fixed target without version information. After
// every run the target is either unchanged or the operation reported
// success, no target.new is left, and no other file has appeared.
#include "FuzzSupport.hpp"

#include "DiffUnit/DeltaFile.hpp"
#include "DiffUnit/DeltaPackage.hpp"
#include "DiffUnit/ResultCodes.hpp"
#include "common/Failures.hpp"

#include <set>

namespace {

// The fixed target: 3000 bytes of a repeating pattern with some variety,
// so that seed deltas made from edits of it reach the rebuild.
kestro::fuzz::Bytes TargetBytes() {
    kestro::fuzz::Bytes bytes(3000);
    std::uint32_t state = 12345;
    for (auto& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<std::uint8_t>(state >> 16);
    }
    return bytes;
}

std::set<std::string> FolderContents() {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(kestro::fuzz::ScratchFolder())) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kestro;
    static const fuzz::Bytes target = TargetBytes();
    const std::filesystem::path& folder = fuzz::ScratchFolder();
    const std::string targetName = (folder / "target.bin").string();
    const std::string deltaName = (folder / "update.kst").string();
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        std::filesystem::remove_all(entry.path(), ignored);
    }
    fuzz::WriteFileBytes(targetName, target.data(), target.size());
    fuzz::WriteFileBytes(deltaName, data, size);

    // What kestro-info shows of the delta reads the same container.
    std::vector<std::string> lines;
    try {
        DescribeDelta(deltaName, lines);
    } catch (const Exception&) {
    }

    // The delta's folder is named with it, as the driver's working
    // directory would give it.
    std::int32_t code = ResultMessagePrinted;
    try {
        code = ApplyDelta(deltaName, {});
    } catch (const Exception&) {
    }
    const bool updated = code == ResultOk || code == ResultSourceUnversioned;
    if (!updated && fuzz::ReadFileBytes(targetName) != target) {
        fuzz::Finding("target changed by a refused or failed delta");
    }
    std::set<std::string> expected = {"target.bin", "update.kst"};
    if (updated) {
        expected.insert("target.bin_.org");
    }
    if (FolderContents() != expected) {
        fuzz::Finding("files left behind or made");
    }
    return 0;
}
