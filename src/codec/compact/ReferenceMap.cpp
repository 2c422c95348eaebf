#include "codec/compact/ReferenceMap.hpp"

#include "common/FreeStorage.hpp"

#include <algorithm>
#include <functional>
#include <numeric>
#include <optional>
#include <queue>

namespace kestro {

void ReferenceMap::Add(std::int64_t oldStart, std::int64_t length, std::int64_t newStart) {
    if (length <= 0) {
        return;
    }
    const std::int64_t shift = newStart - oldStart;
    if (!stretches_.empty() && stretches_.back().end == oldStart &&
        stretches_.back().shift == shift) {
        stretches_.back().end += length;
    } else if (stretches_.size() < maxStretches_) {
        stretches_.push_back({oldStart, oldStart + length, shift});
    }
}

void ReferenceMap::Seal() {
    // A sweep over the stretches' ends in old order: between two
    // neighbouring ends the earliest added stretch that covers the gap wins.
    // Its memory stays within StretchBytes a stretch: the stretches as
    // added (24 bytes each once their spare room is given back), two
    // orders of them and the covering ones (4 each), and room for the
    // sealed ones, at most two for each added one (48).
    std::vector<Stretch> added = std::move(stretches_);
    stretches_ = {};
    added.shrink_to_fit();
    const auto count = static_cast<std::uint32_t>(added.size());
    std::vector<std::uint32_t> byStart(count);
    std::iota(byStart.begin(), byStart.end(), 0u);
    std::vector<std::uint32_t> byEnd = byStart;
    std::stable_sort(byStart.begin(), byStart.end(), [&](std::uint32_t a, std::uint32_t b) {
        return added[a].start < added[b].start;
    });
    std::sort(byEnd.begin(), byEnd.end(),
              [&](std::uint32_t a, std::uint32_t b) { return added[a].end < added[b].end; });
    std::vector<std::uint32_t> heap;
    heap.reserve(count);
    std::priority_queue<std::uint32_t, std::vector<std::uint32_t>, std::greater<>> covering(
        std::greater<>(), std::move(heap));
    std::vector<Stretch> sealed;
    sealed.reserve(2 * std::size_t{count});
    std::size_t nextStart = 0;
    std::size_t nextEnd = 0;
    // Each place where a stretch starts or ends, in order, and the gap from
    // it to the next such place.
    const auto nextPoint = [&]() -> std::optional<std::int64_t> {
        std::optional<std::int64_t> point;
        if (nextStart < count) {
            point = added[byStart[nextStart]].start;
        }
        if (nextEnd < count && (!point || added[byEnd[nextEnd]].end < *point)) {
            point = added[byEnd[nextEnd]].end;
        }
        return point;
    };
    for (std::optional<std::int64_t> at = nextPoint(); at;) {
        while (nextStart < count && added[byStart[nextStart]].start <= *at) {
            covering.push(byStart[nextStart++]);
        }
        while (nextEnd < count && added[byEnd[nextEnd]].end <= *at) {
            ++nextEnd;
        }
        while (!covering.empty() && added[covering.top()].end <= *at) {
            covering.pop(); // ended; a stretch still under it waits its turn
        }
        const std::optional<std::int64_t> next = nextPoint();
        if (!next || covering.empty()) {
            at = next;
            continue;
        }
        const std::int64_t shift = added[covering.top()].shift;
        if (!sealed.empty() && sealed.back().end == *at && sealed.back().shift == shift) {
            sealed.back().end = *next;
        } else {
            sealed.push_back({*at, *next, shift});
        }
        at = next;
    }
    FreeStorage(added);
    FreeStorage(byStart);
    FreeStorage(byEnd);
    covering = {};
    sealed.shrink_to_fit();
    stretches_ = std::move(sealed);
}

std::optional<std::int64_t> ReferenceMap::NewPosition(std::int64_t at) const {
    const auto after = std::upper_bound(
        stretches_.begin(), stretches_.end(), at,
        [](std::int64_t position, const Stretch& s) { return position < s.start; });
    if (after == stretches_.begin() || std::prev(after)->end <= at) {
        return std::nullopt;
    }
    return at + std::prev(after)->shift;
}

std::optional<std::int64_t> ReferenceMap::NearbyPosition(std::int64_t at, std::int64_t from,
                                                         std::int64_t to) const {
    const auto after = std::upper_bound(
        stretches_.begin(), stretches_.end(), at,
        [](std::int64_t position, const Stretch& s) { return position < s.start; });
    if (after != stretches_.begin() && std::prev(after)->end > from) {
        return at + std::prev(after)->shift;
    }
    if (after != stretches_.end() && after->start < to) {
        return at + after->shift;
    }
    return std::nullopt;
}

} // namespace kestro
