#include "exe/RangeIndex.hpp"

#include <algorithm>
#include <functional>
#include <queue>

namespace kestro {

RangeIndex::RangeIndex(std::span<const Range> ranges) {
    // Each range as one or two inclusive spans (two where it runs past
    // 2^64 - 1 and goes on from 0).
    std::vector<Piece> spans;
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        const Range& range = ranges[i];
        if (range.size == 0) {
            continue;
        }
        const auto owner = static_cast<std::uint32_t>(i);
        const std::uint64_t last = range.start + (range.size - 1);
        if (last >= range.start) {
            spans.push_back({range.start, last, owner});
        } else {
            spans.push_back({range.start, UINT64_MAX, owner});
            spans.push_back({0, last, owner});
        }
    }
    std::sort(spans.begin(), spans.end(),
              [](const Piece& a, const Piece& b) { return a.first < b.first; });
    // Every place where the set of spans that hold a position may change.
    std::vector<std::uint64_t> bounds;
    bounds.reserve(2 * spans.size());
    for (const Piece& span : spans) {
        bounds.push_back(span.first);
        if (span.last != UINT64_MAX) {
            bounds.push_back(span.last + 1);
        }
    }
    std::sort(bounds.begin(), bounds.end());
    bounds.erase(std::unique(bounds.begin(), bounds.end()), bounds.end());
    // A sweep over them: between two bounds the span of the lowest owner
    // among those that have started and not ended holds every position.
    const auto later = [&](std::size_t a, std::size_t b) {
        return spans[a].owner > spans[b].owner;
    };
    std::priority_queue<std::size_t, std::vector<std::size_t>, decltype(later)> open(later);
    std::size_t next = 0;
    for (std::size_t k = 0; k < bounds.size(); ++k) {
        const std::uint64_t at = bounds[k];
        const std::uint64_t until = k + 1 < bounds.size() ? bounds[k + 1] - 1 : UINT64_MAX;
        while (next < spans.size() && spans[next].first <= at) {
            open.push(next++);
        }
        while (!open.empty() && spans[open.top()].last < at) {
            open.pop(); // ended; one beneath it that ended too waits its turn
        }
        if (open.empty()) {
            continue;
        }
        const std::uint32_t owner = spans[open.top()].owner;
        if (!pieces_.empty() && pieces_.back().owner == owner && pieces_.back().last + 1 == at) {
            pieces_.back().last = until;
        } else {
            pieces_.push_back({at, until, owner});
        }
    }
    pieces_.shrink_to_fit();
}

std::optional<std::uint32_t> RangeIndex::Owner(std::uint64_t position) const {
    const auto after =
        std::upper_bound(pieces_.begin(), pieces_.end(), position,
                         [](std::uint64_t at, const Piece& piece) { return at < piece.first; });
    if (after == pieces_.begin() || std::prev(after)->last < position) {
        return std::nullopt;
    }
    return std::prev(after)->owner;
}

std::span<const RangeIndex::Piece> RangeIndex::PiecesIn(std::uint64_t start,
                                                        std::uint64_t end) const {
    const auto first =
        std::lower_bound(pieces_.begin(), pieces_.end(), start,
                         [](const Piece& piece, std::uint64_t at) { return piece.last < at; });
    auto last = first;
    while (last != pieces_.end() && last->first < end) {
        ++last;
    }
    return {first, last};
}

} // namespace kestro
