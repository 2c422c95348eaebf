#include "release/ReleasePlan.hpp"

#include "codec/compact/CompactStream.hpp"
#include "codec/compact/Lzma.hpp"

#include <map>

namespace kestro {

namespace {

// The dictionary that holds a whole file of size bytes, within LZMA2's and
// a reader's limits.
std::uint32_t WholeDictionary(std::uint64_t size) {
    std::uint32_t dictionary = MinLzmaDictionary;
    while (dictionary < size && dictionary < CompactMaxDictionary) {
        dictionary *= 2;
    }
    return dictionary;
}

} // namespace

ReleaseManifest PlanRelease(const std::vector<ScannedEntry>& originals,
                            const std::vector<ScannedEntry>& newer) {
    ReleaseManifest manifest;
    // Originals by content, the first of a content by path order, and by
    // path.
    std::map<Digest256, std::uint32_t> byContent;
    std::map<std::string, std::uint32_t> byPath;
    for (std::uint32_t i = 0; i < originals.size(); ++i) {
        const ScannedEntry& entry = originals[i];
        OriginalEntry original;
        original.Path = entry.Path;
        original.Kind = entry.Kind;
        original.Size = entry.Size;
        original.Sha256 = entry.Sha256;
        original.Target = entry.Target;
        manifest.Originals.push_back(original);
        if (entry.Kind == ReleaseKind::File) {
            byContent.emplace(entry.Sha256, i);
            byPath.emplace(entry.Path, i);
        }
    }
    // Newer files by content, the first of a content: a later file of the
    // same content that no original has is a copy of it.
    std::map<Digest256, std::uint32_t> coded;
    for (const ScannedEntry& entry : newer) {
        NewerEntry made;
        made.Path = entry.Path;
        made.Kind = entry.Kind;
        made.Permissions = entry.Permissions;
        made.Target = entry.Target;
        if (entry.Kind != ReleaseKind::File) {
            manifest.Entries.push_back(made);
            continue;
        }
        made.Size = entry.Size;
        made.Sha256 = entry.Sha256;
        const auto samePath = byPath.find(entry.Path);
        const auto sameContent = byContent.find(entry.Sha256);
        if (samePath != byPath.end() && originals[samePath->second].Sha256 == entry.Sha256) {
            made.Method = ReleaseMethod::Same;
            made.Source = samePath->second;
        } else if (sameContent != byContent.end()) {
            made.Method = ReleaseMethod::Same;
            made.Source = sameContent->second;
        } else if (const auto copied = coded.find(entry.Sha256); copied != coded.end()) {
            made.Method = ReleaseMethod::Copy;
            made.Source = copied->second;
        } else if (samePath != byPath.end()) {
            made.Method = ReleaseMethod::Delta;
            made.Source = samePath->second;
        } else {
            // The original most like it, the first by path of the likest.
            double best = LeastLikeness;
            for (const auto& [path, index] : byPath) {
                const double likeness = Likeness(entry.Likeness, originals[index].Likeness);
                if (likeness > best) {
                    best = likeness;
                    made.Method = ReleaseMethod::Delta;
                    made.Source = index;
                }
            }
        }
        if (made.Method == ReleaseMethod::Whole) {
            made.Detail = WholeDictionary(entry.Size);
        } else if (made.Method == ReleaseMethod::Delta) {
            made.Detail = CompactLatestMinor; // set to what the body needs once coded
        }
        if (made.Method == ReleaseMethod::Delta || made.Method == ReleaseMethod::Whole) {
            coded.emplace(entry.Sha256, static_cast<std::uint32_t>(manifest.Entries.size()));
        }
        manifest.Entries.push_back(made);
    }
    return manifest;
}

} // namespace kestro
