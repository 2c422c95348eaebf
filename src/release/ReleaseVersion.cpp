#include "release/ReleaseVersion.hpp"

#include <charconv>
#include <map>

namespace kestro {

std::string ReleaseVersion(const std::string& folder, const std::vector<ScannedEntry>& entries,
                           const std::string& fallback) {
    struct Count {
        std::size_t programs = 0;
        FileVersionQuad highest;
    };
    std::map<std::string, Count> counts;
    for (const ScannedEntry& entry : entries) {
        if (entry.Kind != ReleaseKind::File || entry.Size < 64) {
            continue;
        }
        const VersionInfo info = ReadVersionInfo(EntryName(folder, entry.Path));
        const std::string version = VersionString(info);
        if (!info.HasFixedRecord || version.empty()) {
            continue;
        }
        Count& count = counts[version];
        ++count.programs;
        count.highest = std::max(count.highest, info.Version);
    }
    const std::string* chosen = nullptr;
    const Count* best = nullptr;
    for (const auto& [version, count] : counts) {
        if (best == nullptr || count.programs > best->programs ||
            (count.programs == best->programs && count.highest > best->highest)) {
            chosen = &version;
            best = &count;
        }
    }
    return chosen != nullptr ? *chosen : fallback;
}

FileVersionQuad VersionNumbers(const std::string& version) {
    std::int32_t parts[4] = {};
    std::size_t start = 0;
    for (int i = 0; i < 4 && start <= version.size(); ++i) {
        const std::size_t end = std::min(version.find('.', start), version.size());
        std::int32_t value = 0;
        const char* first = version.data() + start;
        const char* last = version.data() + end;
        const auto [stop, error] = std::from_chars(first, last, value);
        if (first == last || error != std::errc() || stop != last || value < 0 || value > 0xFFFF) {
            return {};
        }
        parts[i] = value;
        start = end + 1;
        if (end == version.size()) {
            return {parts[0], parts[1], parts[2], parts[3]};
        }
    }
    return {};
}

} // namespace kestro
