#include "engine/ApproximateMatch.hpp"

#include "common/Progress.hpp"

#include <algorithm>
#include <cstring>

namespace kestro {

namespace {

// The longest stretch a lookup measures. A longer exact match is found as
// several; the cap keeps each lookup's cost bounded on data that repeats
// itself, where a search over suffixes would otherwise compare whole runs.
constexpr std::int64_t MaxLookupLength = 4096;
// How many bytes an exact match must beat the current alignment by before
// the search switches to it: a new alignment costs an edit.
constexpr std::int64_t SwitchMargin = 10;
// A lookup is a binary search over the whole window, a few microseconds on
// a large original: the search is polled every so many.
constexpr std::uint32_t LookupsPerPoll = 4096;

std::int64_t CommonPrefix(const std::uint8_t* a, const std::uint8_t* b, std::int64_t limit) {
    std::int64_t n = 0;
    while (n + 8 <= limit) {
        std::uint64_t x;
        std::uint64_t y;
        std::memcpy(&x, a + n, 8);
        std::memcpy(&y, b + n, 8);
        if (x != y) {
            return n + __builtin_ctzll(x ^ y) / 8; // little-endian: the first byte is the lowest
        }
        n += 8;
    }
    while (n < limit && a[n] == b[n]) {
        ++n;
    }
    return n;
}

struct Lookup {
    std::int64_t length = 0;
    std::int64_t oldPos = 0;
};

class SuffixSearch {
public:
    SuffixSearch(std::span<const std::uint8_t> old, std::span<const std::int32_t> suffixes)
        : old_(old), suffixes_(suffixes) {}

    // The longest match of target's start in old, measured up to
    // MaxLookupLength bytes.
    Lookup Longest(const std::uint8_t* target, std::int64_t targetLength) const {
        Lookup best;
        if (suffixes_.empty() || targetLength == 0) {
            return best;
        }
        const std::int64_t limit = std::min(targetLength, MaxLookupLength);
        // The first suffix not less than the target (as far as limit); the
        // longest match is it or the one before it.
        std::size_t low = 0;
        std::size_t high = suffixes_.size();
        while (low < high) {
            const std::size_t middle = low + (high - low) / 2;
            if (Less(suffixes_[middle], target, limit)) {
                low = middle + 1;
            } else {
                high = middle;
            }
        }
        for (const std::size_t at : {low, low - 1}) {
            if (at < suffixes_.size()) {
                const std::int64_t pos = suffixes_[at];
                const std::int64_t n =
                    CommonPrefix(old_.data() + pos, target,
                                 std::min(limit, static_cast<std::int64_t>(old_.size()) - pos));
                if (n > best.length) {
                    best = {n, pos};
                }
            }
        }
        return best;
    }

private:
    bool Less(std::int64_t pos, const std::uint8_t* target, std::int64_t limit) const {
        const std::int64_t available = static_cast<std::int64_t>(old_.size()) - pos;
        const std::int64_t n = std::min(available, limit);
        const int order = std::memcmp(old_.data() + pos, target, static_cast<std::size_t>(n));
        return order < 0 || (order == 0 && n < limit);
    }

    std::span<const std::uint8_t> old_;
    std::span<const std::int32_t> suffixes_;
};

} // namespace

void FindEdits(std::span<const std::uint8_t> newer, std::span<const std::uint8_t> old,
               std::span<const std::int32_t> suffixes, const std::function<void(const Edit&)>& take,
               const std::function<void(std::int64_t searched)>& told) {
    const SuffixSearch search(old, suffixes);
    const auto newSize = static_cast<std::int64_t>(newer.size());
    const auto oldSize = static_cast<std::int64_t>(old.size());
    const std::uint8_t* n = newer.data();
    const std::uint8_t* o = old.data();
    // Whether new byte i agrees with the old byte at alignment offset.
    const auto agrees = [&](std::int64_t i, std::int64_t offset) {
        const std::int64_t j = i + offset;
        return j >= 0 && j < oldSize && o[j] == n[i];
    };

    std::int64_t scan = 0;
    std::int64_t length = 0;
    std::int64_t pos = 0;
    std::int64_t lastScan = 0;   // where the current alignment's region starts, in newer
    std::int64_t lastPos = 0;    // and in old
    std::int64_t lastOffset = 0; // the current alignment: old position minus new position
    WorkPoll poll(told ? std::function<void()>([&] { told(scan); }) : nullptr, LookupsPerPoll);
    while (scan < newSize) {
        // Look for the next place where an exact match does clearly better
        // than the current alignment over the same stretch.
        std::int64_t alignedScore = 0;
        scan += length;
        std::int64_t scored = scan;
        while (scan < newSize) {
            poll.Step();
            const Lookup found = search.Longest(n + scan, newSize - scan);
            length = found.length;
            pos = found.oldPos;
            for (; scored < scan + length; ++scored) {
                alignedScore += agrees(scored, lastOffset) ? 1 : 0;
            }
            if ((length == alignedScore && length != 0) || length > alignedScore + SwitchMargin) {
                break;
            }
            if (agrees(scan, lastOffset)) {
                --alignedScore;
            }
            ++scan;
        }
        if (length == alignedScore && scan != newSize) {
            continue; // the exact match is the current alignment: go on with it
        }

        // The current alignment's region, grown forward from lastScan while
        // more than half its bytes agree.
        std::int64_t forward = 0;
        for (std::int64_t i = 0, agreeing = 0, best = 0;
             lastScan + i < scan && lastPos + i < oldSize;) {
            agreeing += o[lastPos + i] == n[lastScan + i] ? 1 : 0;
            ++i;
            if (agreeing * 2 - i > best * 2 - forward) {
                best = agreeing;
                forward = i;
            }
        }
        // The next alignment's region, grown backward from scan.
        std::int64_t backward = 0;
        if (scan < newSize) {
            for (std::int64_t i = 1, agreeing = 0, best = 0; scan >= lastScan + i && pos >= i;
                 ++i) {
                agreeing += o[pos - i] == n[scan - i] ? 1 : 0;
                if (agreeing * 2 - i > best * 2 - backward) {
                    best = agreeing;
                    backward = i;
                }
            }
        }
        // Where the two overlap, the split that makes the most bytes agree.
        if (lastScan + forward > scan - backward) {
            const std::int64_t overlap = (lastScan + forward) - (scan - backward);
            std::int64_t balance = 0;
            std::int64_t bestBalance = 0;
            std::int64_t split = 0;
            for (std::int64_t i = 0; i < overlap; ++i) {
                balance +=
                    n[lastScan + forward - overlap + i] == o[lastPos + forward - overlap + i];
                balance -= n[scan - backward + i] == o[pos - backward + i];
                if (balance > bestBalance) {
                    bestBalance = balance;
                    split = i + 1;
                }
            }
            forward += split - overlap;
            backward -= split;
        }

        take({lastPos, forward, (scan - backward) - (lastScan + forward)});
        lastScan = scan - backward;
        lastPos = pos - backward;
        lastOffset = pos - scan;
    }
}

} // namespace kestro
