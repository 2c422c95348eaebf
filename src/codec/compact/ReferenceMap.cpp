#include "codec/compact/ReferenceMap.hpp"

#include <algorithm>
#include <functional>
#include <numeric>
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
    const std::vector<Stretch> added = std::move(stretches_);
    stretches_ = {};
    std::vector<std::uint32_t> byStart(added.size());
    std::iota(byStart.begin(), byStart.end(), 0u);
    std::stable_sort(byStart.begin(), byStart.end(), [&](std::uint32_t a, std::uint32_t b) {
        return added[a].start < added[b].start;
    });
    std::vector<std::int64_t> points;
    points.reserve(2 * added.size());
    for (const Stretch& stretch : added) {
        points.push_back(stretch.start);
        points.push_back(stretch.end);
    }
    std::sort(points.begin(), points.end());
    points.erase(std::unique(points.begin(), points.end()), points.end());

    std::priority_queue<std::uint32_t, std::vector<std::uint32_t>, std::greater<>> covering;
    std::size_t next = 0;
    for (std::size_t i = 0; i + 1 < points.size(); ++i) {
        const std::int64_t at = points[i];
        while (next < byStart.size() && added[byStart[next]].start <= at) {
            covering.push(byStart[next++]);
        }
        while (!covering.empty() && added[covering.top()].end <= at) {
            covering.pop(); // ended; a stretch still under it waits its turn
        }
        if (covering.empty()) {
            continue;
        }
        const std::int64_t shift = added[covering.top()].shift;
        if (!stretches_.empty() && stretches_.back().end == at &&
            stretches_.back().shift == shift) {
            stretches_.back().end = points[i + 1];
        } else {
            stretches_.push_back({at, points[i + 1], shift});
        }
    }
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
