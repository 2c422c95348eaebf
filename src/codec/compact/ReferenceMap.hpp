// Where the edits of a compact body put the original's bytes in the newer
// file: the map that the filters predict moved references through. Writer
// and reader build it alike from the edits.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace kestro {

// Where the edits put the original's bytes in the newer file. An old byte
// that several edits take maps to where the first of them put it.
class ReferenceMap {
public:
    // The most stretches the x86 filter's map records; the stretches of
    // later edits are left out, so a reader's memory stays bounded (about 3
    // MiB at most while Seal runs, 1.5 MiB after). The image filter's map
    // takes them all, and its body may record no more than
    // MaxImageStretches (CompactStream.hpp): at most StretchBytes a stretch
    // while the map is built and sealed, 24 after.
    static constexpr std::size_t MaxStretches = 32768;
    static constexpr std::size_t StretchBytes = 96;

    explicit ReferenceMap(std::size_t maxStretches = MaxStretches) : maxStretches_(maxStretches) {}

    // Records, in edit order, that the old bytes [oldStart, oldStart +
    // length) became the newer bytes from newStart on. A stretch that
    // continues the last one at the same distance extends it.
    void Add(std::int64_t oldStart, std::int64_t length, std::int64_t newStart);
    // How many stretches have been recorded so far: those that did not
    // extend the last one, as far as the map takes them.
    std::size_t Recorded() const { return stretches_.size(); }
    // Ends the adding and prepares the lookups.
    void Seal();
    // Where old byte at lies in the newer file, if an edit took it.
    std::optional<std::int64_t> NewPosition(std::int64_t at) const;
    // Where old byte at would lie had it moved as the nearest old bytes in
    // [from, to) that an edit took: the last stretch before it, else the
    // first after it; none when no edit took any byte there.
    std::optional<std::int64_t> NearbyPosition(std::int64_t at, std::int64_t from,
                                               std::int64_t to) const;

private:
    struct Stretch {
        std::int64_t start = 0; // old positions [start, end)
        std::int64_t end = 0;
        std::int64_t shift = 0; // new position minus old position
    };
    std::size_t maxStretches_;
    std::vector<Stretch> stretches_; // as added; once sealed, disjoint and by start
};

} // namespace kestro
