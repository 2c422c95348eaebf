// The image filter's index and walk: the position hash, and the search
// that looks for matches only along given alignments and at the places the
// hash gives.
#include "TestSupport.hpp"

#include "codec/compact/ApproximateMatch.hpp"
#include "codec/compact/PositionHash.hpp"
#include "codec/compact/SuffixArray.hpp"

#include <gtest/gtest.h>

#include <set>
#include <stdexcept>

namespace kestro::test {
namespace {

// A 64 KiB original and a newer file made of its four quarters in another
// order (2, 0, 3, 1), with every changeEvery-th byte changed.
constexpr std::int64_t Quarter = 16 << 10;
constexpr std::int64_t QuarterOrder[] = {2, 0, 3, 1};

// With lead bytes before the quarters in the original, every quarter moves
// by an odd distance when lead is odd.
std::pair<Bytes, Bytes> MovedQuarters(int changeEvery, std::int64_t lead = 0) {
    const Bytes old = Random(static_cast<std::size_t>(4 * Quarter + lead), 11);
    Bytes newer;
    for (const std::int64_t q : QuarterOrder) {
        newer.insert(newer.end(), old.begin() + lead + q * Quarter,
                     old.begin() + lead + (q + 1) * Quarter);
    }
    for (std::size_t i = 0; i < newer.size(); i += static_cast<std::size_t>(changeEvery)) {
        newer[i] ^= 0x5A;
    }
    return {old, newer};
}

// What the edits make of newer: how many of its bytes they take from old
// where old agrees, and the alignments they take them at. Fails the test
// unless they cover newer in order and stay inside old.
struct Described {
    std::int64_t agreeing = 0;
    std::set<std::int64_t> offsets;
};

Described Describe(const std::vector<Edit>& edits, const Bytes& newer, const Bytes& old) {
    Described described;
    std::int64_t at = 0;
    for (const Edit& edit : edits) {
        EXPECT_GE(edit.OldStart, 0);
        EXPECT_LE(edit.OldStart + edit.DiffLength, static_cast<std::int64_t>(old.size()));
        for (std::int64_t i = 0; i < edit.DiffLength; ++i) {
            described.agreeing += old[static_cast<std::size_t>(edit.OldStart + i)] ==
                                  newer[static_cast<std::size_t>(at + i)];
        }
        if (edit.DiffLength > 0) {
            described.offsets.insert(edit.OldStart - at);
        }
        at += edit.DiffLength + edit.ExtraLength;
    }
    EXPECT_EQ(at, static_cast<std::int64_t>(newer.size()));
    return described;
}

std::vector<Edit> SearchNear(const Bytes& newer, const Bytes& old,
                             const std::vector<Alignment>& alignments, const PositionHash& index,
                             std::int64_t startOffset = 0) {
    std::vector<Edit> edits;
    FindEditsNear(
        newer, old, alignments, index, [&](const Edit& edit) { edits.push_back(edit); }, {},
        startOffset);
    return edits;
}

// Where each quarter of MovedQuarters' newer file lies in the original.
std::vector<Alignment> QuarterAlignments() {
    std::vector<Alignment> alignments;
    for (std::int64_t i = 0; i < 4; ++i) {
        alignments.push_back({i * Quarter, (QuarterOrder[i] - i) * Quarter});
    }
    return alignments;
}

// Every position the index holds (a multiple of its stride) that starts
// with the same bytes is among one hash's places, the latest first; a
// position between them is not. The last position that has the hashed
// bytes is held.
TEST(PositionHash, GroupsEveryHeldPositionOfTheSameBytesLatestFirst) {
    static_assert(PositionHash::Stride == 2);
    Bytes text = Random(100000, 3);
    const Bytes word = ToBytes("kestro!!");
    const std::vector<std::size_t> planted = {0, 778, 50000, 99992};
    for (const std::size_t at : {std::size_t{0}, std::size_t{501}, std::size_t{778},
                                 std::size_t{50000}, std::size_t{99992}}) {
        std::copy(word.begin(), word.end(), text.begin() + static_cast<std::ptrdiff_t>(at));
    }
    const PositionHash index(text, [](std::int64_t) {});
    std::vector<std::size_t> grouped;
    std::int32_t last = INT32_MAX;
    for (const std::int32_t pos : index.Places(word.data())) {
        EXPECT_LT(pos, last);
        last = pos;
        if (std::equal(word.begin(), word.end(), text.begin() + pos)) {
            grouped.insert(grouped.begin(), static_cast<std::size_t>(pos));
        }
    }
    EXPECT_EQ(grouped, planted);
}

TEST(PositionHash, TellsItsWorkAndStopsWhenTold) {
    const Bytes text = Random(std::size_t{3} << 20, 4);
    std::int64_t last = -1;
    int reports = 0;
    const PositionHash index(text, [&](std::int64_t done) {
        EXPECT_GT(done, last);
        last = done;
        ++reports;
    });
    EXPECT_GE(reports, 2);
    EXPECT_THROW(PositionHash(text, [](std::int64_t) { throw std::runtime_error("stop"); }),
                 std::runtime_error);
}

// With no index, what the search finds it finds along the alignments it is
// given, and without them nothing.
TEST(NearSearch, FollowsTheAlignmentsItIsGiven) {
    const auto [old, newer] = MovedQuarters(64);
    const PositionHash none;
    const Described along = Describe(SearchNear(newer, old, QuarterAlignments(), none), newer, old);
    EXPECT_GE(along.agreeing, static_cast<std::int64_t>(newer.size()) * 63 / 64 - 64);
    EXPECT_EQ(along.offsets.size(), 4u);
    const Described alone = Describe(SearchNear(newer, old, {}, none), newer, old);
    EXPECT_EQ(alone.agreeing, 0);
}

// Short stretches copied from anywhere in the original, each only a little
// longer than a switch of alignment costs: a lookup that missed the ones
// that start between the positions the index holds would find them a byte
// later and too short to take.
std::pair<Bytes, Bytes> ShortStretches() {
    const Bytes old = Random(64 << 10, 21);
    std::mt19937 random(5);
    Bytes newer;
    while (newer.size() < (16u << 10)) {
        const std::size_t from = random() % (old.size() - 64);
        const auto at = old.begin() + static_cast<std::ptrdiff_t>(from);
        newer.insert(newer.end(), at, at + static_cast<std::ptrdiff_t>(12 + random() % 12));
    }
    return {old, newer};
}

// Exact stretches are found through the hash wherever they moved, with no
// alignment given, as the search over the suffix array finds them: whole
// quarters moved by even and odd distances, and short stretches.
TEST(NearSearch, FindsThroughTheIndexWhatTheSuffixArrayFinds) {
    const struct {
        const char* name;
        std::pair<Bytes, Bytes> files; // old, newer
        bool nearlyAll;                // whether nearly every byte agrees
    } cases[] = {{"quarters", MovedQuarters(50), true},
                 {"quarters at odd distances", MovedQuarters(50, 1), true},
                 {"short stretches", ShortStretches(), false}};
    for (const auto& c : cases) {
        const auto& [old, newer] = c.files;
        const PositionHash index(old, [](std::int64_t) {});
        const Described near = Describe(SearchNear(newer, old, {}, index), newer, old);
        std::vector<Edit> edits;
        FindEdits(newer, old, BuildSuffixArray(old),
                  [&](const Edit& edit) { edits.push_back(edit); });
        const Described sorted = Describe(edits, newer, old);
        EXPECT_EQ(near.offsets, sorted.offsets) << c.name;
        EXPECT_EQ(near.agreeing, sorted.agreeing) << c.name;
        if (c.nearlyAll) {
            EXPECT_GE(near.agreeing, static_cast<std::int64_t>(newer.size()) * 49 / 50 - 64)
                << c.name;
        }
    }
}

// A piece of a larger file starts at the alignment where its bytes are
// expected to lie: with every 12th byte changed, no exact match beats
// having no alignment by enough to be taken, but both walks keep the one
// they start at. An alignment outside the original is held to it.
TEST(NearSearch, BothWalksStartAtTheAlignmentTheyAreGiven) {
    const Bytes old = Random(4 * Quarter, 12);
    constexpr std::int64_t At = 40000;
    Bytes newer(old.begin() + At, old.begin() + At + 4096);
    for (std::size_t i = 0; i < newer.size(); i += 12) {
        newer[i] ^= 0x5A;
    }
    const PositionHash index(old, [](std::int64_t) {});
    const std::vector<std::int32_t> suffixes = BuildSuffixArray(old);
    for (const std::int64_t start :
         {At, std::int64_t{0}, std::int64_t{-5}, std::int64_t{1} << 40}) {
        SCOPED_TRACE(start);
        std::vector<Edit> first;
        FindEdits(
            newer, old, suffixes, [&](const Edit& edit) { first.push_back(edit); }, {}, start);
        for (const std::vector<Edit>& edits : {first, SearchNear(newer, old, {}, index, start)}) {
            const Described described = Describe(edits, newer, old);
            if (start == At) {
                EXPECT_EQ(described.offsets, std::set<std::int64_t>{At});
                EXPECT_GE(described.agreeing, 4096 - 342 - 12);
            } else {
                EXPECT_LT(described.agreeing, 4096 / 2);
            }
        }
    }
}

// A stretch the original holds twice, once a little past where the walk
// stands and once far later: neither place matches it longer, and the
// walk, which must leave its alignment for it, takes the near one, as the
// code around it went there too. A walk that took the latest place in the
// chain would go far and come back.
TEST(NearSearch, TakesTheMatchNearestItsAlignmentOfThoseEquallyLong) {
    Bytes old = Random(64 << 10, 31);
    const Bytes block = Random(64, 32);
    constexpr std::ptrdiff_t Near = 10100;
    constexpr std::ptrdiff_t Far = 50000;
    for (const std::ptrdiff_t at : {Near, Far}) {
        std::copy(block.begin(), block.end(), old.begin() + at);
    }
    // The walk stands at alignment 9000, every 16th byte changed, then
    // meets the block and bytes the original has nowhere.
    Bytes newer(old.begin() + 9000, old.begin() + 10000);
    for (std::size_t i = 0; i < newer.size(); i += 16) {
        newer[i] ^= 0x5A;
    }
    newer.insert(newer.end(), block.begin(), block.end());
    Bytes tail = Random(256, 33);
    while (tail[0] == old[Near + 64] || tail[0] == old[Far + 64]) {
        ++tail[0];
    }
    newer.insert(newer.end(), tail.begin(), tail.end());
    const Described described = Describe(
        SearchNear(newer, old, {}, PositionHash(old, [](std::int64_t) {}), 9000), newer, old);
    EXPECT_TRUE(described.offsets.contains(Near - 1000));
    EXPECT_FALSE(described.offsets.contains(Far - 1000));
}

// An index of a text shorter than the hashed bytes holds no place, and
// searches through it still cover the newer file.
TEST(NearSearch, CoversInputsTooShortToHash) {
    for (const auto& [newer, old] :
         std::vector<std::pair<Bytes, Bytes>>{{{}, {}},
                                              {ToBytes("abc"), {}},
                                              {ToBytes("abc"), ToBytes("xabcxyz")},
                                              {ToBytes("abcdefghij"), ToBytes("abc")}}) {
        const PositionHash index(old, [](std::int64_t) {});
        EXPECT_TRUE(index.Places(ToBytes("kestro!!").data()).empty());
        Describe(SearchNear(newer, old, {{0, 1}}, index), newer, old);
        Describe(SearchNear(newer, old, {}, index), newer, old);
    }
}

} // namespace
} // namespace kestro::test
