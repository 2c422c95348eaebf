#include "codec/compact/ApproximateMatch.hpp"

#include "codec/compact/PositionHash.hpp"

#include "common/Progress.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace kestro {

namespace {

// The longest stretch a lookup measures. A longer exact match is found as
// several; the cap keeps each lookup's cost bounded on data that repeats
// itself, where a search over suffixes would otherwise compare whole runs.
constexpr std::int64_t MaxLookupLength = 4096;
// How many bytes an exact match must beat the current alignment by before
// the search switches to it: a new alignment costs an edit.
constexpr std::int64_t SwitchMargin = 10;

// What a move of the old position by distance costs beyond a short one, in
// bytes the match must win by: a far move takes a longer number in the
// control stream, and another when the search comes back.
// Measured on real programs: two bytes for every bit of the distance past
// the first eight.
std::int64_t FarMargin(std::int64_t distance) {
    constexpr int FreeBits = 8;
    constexpr std::int64_t BytesPerBit = 2;
    const auto magnitude = static_cast<std::uint64_t>(distance < 0 ? -distance : distance);
    const int bits = magnitude == 0 ? 0 : 64 - __builtin_clzll(magnitude);
    return bits > FreeBits ? BytesPerBit * (bits - FreeBits) : 0;
}
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

class SuffixSearch {
public:
    // Finds where each pair of first bytes starts in the sorted suffixes:
    // a count of the pairs, as the suffix array sorts them (the one suffix
    // of a single byte first among those that begin with that byte).
    SuffixSearch(std::span<const std::uint8_t> old, std::span<const std::int32_t> suffixes)
        : old_(old), suffixes_(suffixes), pairs_(PairCount + 1) {
        if (old.size() < 2) {
            return;
        }
        std::vector<std::uint32_t> count(PairCount);
        for (std::size_t i = 0; i + 1 < old.size(); ++i) {
            ++count[Pair(&old[i])];
        }
        const std::uint32_t single = old.back();
        std::uint32_t at = 0;
        for (std::uint32_t pair = 0; pair < PairCount; ++pair) {
            if (pair == single << 8) {
                ++at; // the last byte's suffix, before every pair of that byte
            }
            pairs_[pair] = at;
            at += count[pair];
        }
        pairs_[PairCount] = at;
    }

    // The longest match of target's start in old, measured up to
    // MaxLookupLength bytes: the first suffix not less than the target (as
    // far as the limit goes) or the one before it, whichever shares more
    // with it (the first on a tie). The binary search keeps how much the
    // target shares with the suffixes at both ends of its range, which
    // every suffix between them shares too, and compares only past that:
    // on data that repeats itself a lookup costs the limit once, not at
    // every step.
    Lookup Longest(const std::uint8_t* target, std::int64_t targetLength) const {
        Lookup best;
        if (suffixes_.empty() || targetLength == 0) {
            return best;
        }
        const std::int64_t limit = std::min(targetLength, MaxLookupLength);
        const auto oldSize = static_cast<std::int64_t>(old_.size());
        std::size_t low = 0;
        std::size_t high = suffixes_.size();
        std::int64_t sharedLow = 0;  // with the suffix before low
        std::int64_t sharedHigh = 0; // with the suffix at high
        // The suffixes that begin with the target's first two bytes are the
        // range to search, each sharing those two; one past either end of
        // it shares less, and is measured on its own below.
        std::size_t first = 0;
        std::size_t last = suffixes_.size();
        if (limit >= 2 && old_.size() >= 2) {
            const std::uint32_t pair = Pair(target);
            first = low = pairs_[pair];
            last = high = pairs_[pair + 1];
            sharedLow = sharedHigh = 2;
        }
        while (low < high) {
            const std::size_t middle = low + (high - low) / 2;
            const std::int64_t pos = suffixes_[middle];
            const std::int64_t n = std::min(oldSize - pos, limit);
            std::int64_t shared = std::min({sharedLow, sharedHigh, n});
            shared += CommonPrefix(old_.data() + pos + shared, target + shared, n - shared);
            const bool less = shared == n
                                  ? n < limit
                                  : old_[static_cast<std::size_t>(pos + shared)] < target[shared];
            if (less) {
                low = middle + 1;
                sharedLow = shared;
            } else {
                high = middle;
                sharedHigh = shared;
            }
        }
        if (low == last) {
            sharedHigh = SharedWith(low, target, limit);
        }
        if (low == first) {
            sharedLow = SharedWith(low - 1, target, limit);
        }
        if (low < suffixes_.size() && sharedHigh > 0) {
            best = {sharedHigh, suffixes_[low]};
        }
        if (low > 0 && sharedLow > best.length) {
            best = {sharedLow, suffixes_[low - 1]};
        }
        return best;
    }

private:
    static constexpr std::uint32_t PairCount = 65536;

    static std::uint32_t Pair(const std::uint8_t* at) { return std::uint32_t{at[0]} << 8 | at[1]; }

    // What the target shares with the suffix at index (none outside the
    // array).
    std::int64_t SharedWith(std::size_t index, const std::uint8_t* target,
                            std::int64_t limit) const {
        if (index >= suffixes_.size()) {
            return 0;
        }
        const std::int64_t pos = suffixes_[index];
        return CommonPrefix(old_.data() + pos, target,
                            std::min(limit, static_cast<std::int64_t>(old_.size()) - pos));
    }

    std::span<const std::uint8_t> old_;
    std::span<const std::int32_t> suffixes_;
    std::vector<std::uint32_t> pairs_; // where the suffixes of each first pair begin
};

// The longest exact match at a newer position among the places the walk,
// an earlier search and an index suggest: the walk's current alignment,
// the alignments that start nearest the position (Around on either side of
// the one that holds it), then the latest ChainDepth places
// (AlignedChainDepth where one of those alignments matches HashedBytes
// already) that the index gives for the bytes there and that match as
// many, until one matches LongEnough bytes or the walk has compared
// CompareBudget. Of matches equally long, the one nearest the walk's
// current alignment wins (the first measured where two are as near, so
// the alignment that holds the position before the index's places): code
// repeats itself, and the latest place of a stretch that recurs is seldom
// where its neighbours went. The walk asks for positions that never go
// back, so the alignment that holds the position is kept between lookups.
class NearSearch {
public:
    NearSearch(std::span<const std::uint8_t> newer, std::span<const std::uint8_t> old,
               std::span<const Alignment> alignments, const PositionHash& index)
        : newer_(newer), old_(old), alignments_(alignments), index_(index) {}

    // current: the walk's alignment (old position minus new position).
    Lookup Longest(std::int64_t scan, std::int64_t current) {
        Lookup best;
        const auto away = [&](std::int64_t pos) {
            const std::int64_t distance = pos - scan - current;
            return distance < 0 ? -distance : distance;
        };
        const auto measure = [&](std::int64_t pos) -> std::int64_t {
            if (pos < 0 || pos >= static_cast<std::int64_t>(old_.size())) {
                return 0;
            }
            const std::int64_t length = CommonPrefix(
                old_.data() + pos, newer_.data() + scan,
                std::min({static_cast<std::int64_t>(newer_.size()) - scan,
                          static_cast<std::int64_t>(old_.size()) - pos, MaxLookupLength}));
            if (length > best.length ||
                (length == best.length && length > 0 && away(pos) < away(best.oldPos))) {
                best = {length, pos};
            }
            return length;
        };
        measure(scan + current);
        if (!alignments_.empty()) {
            while (holding_ + 1 < alignments_.size() &&
                   alignments_[holding_ + 1].newStart <= scan) {
                ++holding_;
            }
            measure(scan + alignments_[holding_].offset);
            const std::size_t last = std::min(alignments_.size(), holding_ + Around + 1);
            for (std::size_t k = holding_ >= Around ? holding_ - Around : 0; k < last; ++k) {
                if (k != holding_) {
                    measure(scan + alignments_[k].offset);
                }
            }
        }
        if (index_.Empty()) {
            return best;
        }
        // A match that starts skip bytes before a position the index holds
        // is among the places of the bytes from scan + skip on: the places
        // of each skip are walked together, the latest first, as the places
        // of every position would be. Once a skip's places are all walked,
        // it stands for a place before the original, and the walk ends once
        // every skip's are.
        std::array<std::span<const std::int32_t>, PositionHash::Stride> chains;
        std::array<std::size_t, PositionHash::Stride> walkedOf{};
        for (std::int64_t skip = 0; skip < PositionHash::Stride; ++skip) {
            if (static_cast<std::int64_t>(newer_.size()) - scan - skip >=
                PositionHash::HashedBytes) {
                chains[static_cast<std::size_t>(skip)] = index_.Places(newer_.data() + scan + skip);
            }
        }
        // The next place of a skip, or -1 once its places are all walked.
        const auto next = [&](std::size_t skip) -> std::int64_t {
            return walkedOf[skip] < chains[skip].size() ? chains[skip][walkedOf[skip]] : -1;
        };
        std::int64_t compared = 0;
        const int depth = best.length >= PositionHash::HashedBytes ? AlignedChainDepth : ChainDepth;
        for (int walked = 0; walked < depth && best.length < LongEnough && compared < CompareBudget;
             ++walked) {
            std::size_t latest = 0;
            for (std::size_t skip = 1; skip < chains.size(); ++skip) {
                if (next(skip) - static_cast<std::int64_t>(skip) >
                    next(latest) - static_cast<std::int64_t>(latest)) {
                    latest = skip;
                }
            }
            const std::int64_t held = next(latest);
            if (held < 0) {
                break;
            }
            // The bytes of the places a few steps on are fetched meanwhile.
            const std::size_t ahead = ++walkedOf[latest] + PrefetchAhead;
            if (ahead < chains[latest].size()) {
                __builtin_prefetch(old_.data() + chains[latest][ahead]);
            }
            const std::int64_t length = measure(held - static_cast<std::int64_t>(latest));
            compared += length + PositionHash::HashedBytes;
            // A place whose first bytes only hash alike, or, among the places
            // of a later byte, that holds another byte before them, matches
            // less than the hashed bytes: it is no place of the stretch, and
            // does not count against the depth.
            if (length < PositionHash::HashedBytes + static_cast<std::int64_t>(latest)) {
                --walked;
            }
        }
        return best;
    }

private:
    static constexpr std::size_t Around = 2;
    static constexpr std::size_t PrefetchAhead = 4;
    // Code repeats short sequences (a function's prologue, say) thousands
    // of times: the longest match of one lies deep in its chain. 256 finds
    // nearly all that a suffix array finds on real programs; a deeper
    // search finds no more.
    static constexpr int ChainDepth = 256;
    // Where an alignment already matches as far as the hash reaches, what
    // the chain finds is seldom better: a short walk there leaves the
    // bodies of real programs within a few tenths of a percent either way,
    // and the search takes half the time. The walk's own alignment counts:
    // in the first search, which has no others, that takes a fifth to a
    // third off its time, for bodies within a percent either way.
    static constexpr int AlignedChainDepth = 16;
    // The chain's walk stops at a match as long as a lookup measures, and
    // once it has compared this many bytes: on bytes that repeat
    // themselves every place in a chain matches far, and a lookup then
    // costs a few times what one over a suffix array does, not the chain's
    // length times the longest match. An earlier stop at 256 bytes took
    // the latest of many long matches, not the nearest: bodies 1 to 6 %
    // larger on real programs.
    static constexpr std::int64_t LongEnough = MaxLookupLength;
    static constexpr std::int64_t CompareBudget = 16 << 10;

    std::span<const std::uint8_t> newer_;
    std::span<const std::uint8_t> old_;
    std::span<const Alignment> alignments_;
    const PositionHash& index_;
    std::size_t holding_ = 0;
};

// The current alignment's region (new bytes from lastScan on against old
// bytes from lastPos on, up to scan), grown forward while more than half
// its bytes agree: its length.
std::int64_t GrowForward(const std::uint8_t* n, const std::uint8_t* o, std::int64_t oldSize,
                         std::int64_t lastScan, std::int64_t lastPos, std::int64_t scan) {
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
    return forward;
}

// The next alignment's region (new bytes before scan against old bytes
// before pos, back to lastScan), grown backward likewise: its length.
std::int64_t GrowBackward(const std::uint8_t* n, const std::uint8_t* o, std::int64_t lastScan,
                          std::int64_t scan, std::int64_t pos) {
    std::int64_t backward = 0;
    for (std::int64_t i = 1, agreeing = 0, best = 0; scan >= lastScan + i && pos >= i; ++i) {
        agreeing += o[pos - i] == n[scan - i] ? 1 : 0;
        if (agreeing * 2 - i > best * 2 - backward) {
            best = agreeing;
            backward = i;
        }
    }
    return backward;
}

// Where the two regions overlap by overlap bytes (the first ending at new
// offset forwardEnd, old offset forwardOld; the second starting at new
// offset backwardStart, old offset backwardOld), the split that makes the
// most bytes agree: how many of the overlap go to the first.
std::int64_t SplitOverlap(const std::uint8_t* n, const std::uint8_t* o, std::int64_t overlap,
                          std::int64_t forwardEnd, std::int64_t forwardOld,
                          std::int64_t backwardStart, std::int64_t backwardOld) {
    std::int64_t balance = 0;
    std::int64_t bestBalance = 0;
    std::int64_t split = 0;
    for (std::int64_t i = 0; i < overlap; ++i) {
        balance += n[forwardEnd - overlap + i] == o[forwardOld - overlap + i];
        balance -= n[backwardStart + i] == o[backwardOld + i];
        if (balance > bestBalance) {
            bestBalance = balance;
            split = i + 1;
        }
    }
    return split;
}

} // namespace

namespace {

// The walk itself, with longest(scan, current) the lookup of the longest
// exact match of the newer bytes from scan on while the walk is at the
// alignment current, from the alignment startOffset.
template <typename Longest>
void Walk(std::span<const std::uint8_t> newer, std::span<const std::uint8_t> old,
          const Longest& longest, const std::function<void(const Edit&)>& take,
          const std::function<void(std::int64_t searched)>& told, std::int64_t startOffset) {
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
    std::int64_t lastScan = 0; // where the current alignment's region starts, in newer
    std::int64_t lastPos = std::clamp<std::int64_t>(startOffset, 0, oldSize); // and in old
    std::int64_t lastOffset = lastPos; // the current alignment: old position minus new position
    WorkPoll poll(told ? std::function<void()>([&] { told(scan); }) : nullptr, LookupsPerPoll);
    while (scan < newSize) {
        // Look for the next place where an exact match does clearly better
        // than the current alignment over the same stretch.
        std::int64_t alignedScore = 0;
        scan += length;
        std::int64_t scored = scan;
        while (scan < newSize) {
            poll.Step();
            const Lookup found = longest(scan, lastOffset);
            length = found.length;
            pos = found.oldPos;
            for (; scored < scan + length; ++scored) {
                alignedScore += agrees(scored, lastOffset) ? 1 : 0;
            }
            if ((length == alignedScore && length != 0) ||
                length > alignedScore + SwitchMargin + FarMargin(pos - scan - lastOffset)) {
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

        std::int64_t forward = GrowForward(n, o, oldSize, lastScan, lastPos, scan);
        std::int64_t backward = scan < newSize ? GrowBackward(n, o, lastScan, scan, pos) : 0;
        if (lastScan + forward > scan - backward) {
            const std::int64_t overlap = (lastScan + forward) - (scan - backward);
            const std::int64_t split =
                SplitOverlap(n, o, overlap, lastScan + forward, lastPos + forward, scan - backward,
                             pos - backward);
            forward += split - overlap;
            backward -= split;
        }

        take({lastPos, forward, (scan - backward) - (lastScan + forward)});
        lastScan = scan - backward;
        lastPos = pos - backward;
        lastOffset = pos - scan;
    }
}

} // namespace

void FindEdits(std::span<const std::uint8_t> newer, std::span<const std::uint8_t> old,
               std::span<const std::int32_t> suffixes, const std::function<void(const Edit&)>& take,
               const std::function<void(std::int64_t searched)>& told, std::int64_t startOffset) {
    const SuffixSearch search(old, suffixes);
    const auto newSize = static_cast<std::int64_t>(newer.size());
    Walk(
        newer, old,
        [&](std::int64_t scan, std::int64_t) {
            return search.Longest(newer.data() + scan, newSize - scan);
        },
        take, told, startOffset);
}

void FindEditsNear(std::span<const std::uint8_t> newer, std::span<const std::uint8_t> old,
                   std::span<const Alignment> alignments, const PositionHash& index,
                   const std::function<void(const Edit&)>& take,
                   const std::function<void(std::int64_t searched)>& told,
                   std::int64_t startOffset) {
    NearSearch search(newer, old, alignments, index);
    Walk(
        newer, old,
        [&](std::int64_t scan, std::int64_t current) { return search.Longest(scan, current); },
        take, told, startOffset);
}

} // namespace kestro
