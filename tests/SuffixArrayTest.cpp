// The suffix sort: against a naive sort, and the progress it tells.
#include "TestSupport.hpp"

#include "codec/compact/SuffixArray.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <numeric>
#include <stdexcept>

namespace kestro::test {
namespace {

TEST(SuffixArray, SortsLikeTheNaiveSort) {
    std::mt19937 random(7);
    std::vector<Bytes> texts = {{},
                                ToBytes("a"),
                                ToBytes("banana"),
                                ToBytes("mississippi"),
                                Bytes(1000, 'x'),
                                ToBytes("abababababababababab")};
    // 70000 passes the inductions' poll interval and their read-ahead.
    for (const std::size_t size : {2, 3, 17, 256, 1000, 5000, 70000}) {
        for (const unsigned alphabet : {2u, 4u, 256u}) {
            Bytes text(size);
            for (std::uint8_t& c : text) {
                c = static_cast<std::uint8_t>(random() % alphabet);
            }
            texts.push_back(text);
        }
    }
    for (const Bytes& text : texts) {
        std::vector<std::int32_t> naive(text.size());
        std::iota(naive.begin(), naive.end(), 0);
        std::sort(naive.begin(), naive.end(), [&](std::int32_t a, std::int32_t b) {
            return std::lexicographical_compare(text.begin() + a, text.end(), text.begin() + b,
                                                text.end());
        });
        EXPECT_EQ(BuildSuffixArray(text), naive) << "text of " << text.size() << " bytes";
    }
}

// The sort tells how far it is as it goes, also while it sorts the reduced
// string of a repetitive text (the long part of sorting code): no figure
// holds for a quarter of its reports, and none goes back.
TEST(SuffixArray, TellsItsWorkEvenlyAndNeverBack) {
    std::mt19937 random(5);
    const Bytes word = RandomBytes(random, 700);
    Bytes text;
    while (text.size() < (std::size_t{6} << 20)) {
        text.insert(text.end(), word.begin(), word.end());
        text[text.size() - 1 - random() % word.size()] ^= 1;
    }
    std::map<std::int64_t, int> figures;
    std::int64_t last = 0;
    BuildSuffixArray(text, [&](std::int64_t done) {
        EXPECT_GE(done, last);
        last = done;
        ++figures[done];
    });
    int reports = 0;
    for (const auto& [done, count] : figures) {
        reports += count;
    }
    for (const auto& [done, count] : figures) {
        EXPECT_LE(count, reports / 4) << done << " of " << text.size();
    }
}

// The window's sort (by the library where the build has it) gives the same
// array as the sort of our own, and the window back as it was; a throw
// from what it tells stops it.
TEST(SuffixArray, TheWindowsSortIsTheSameAndStopsWhenTold) {
    std::mt19937 random(9);
    Bytes repetitive;
    while (repetitive.size() < 300000) {
        const Bytes word = ToBytes("push rbp; mov rbp, rsp; ");
        repetitive.insert(repetitive.end(), word.begin(), word.end());
        repetitive.push_back(static_cast<std::uint8_t>(random() % 4));
    }
    for (const Bytes& text : {Bytes{}, ToBytes("a"), ToBytes("mississippi"), Bytes(5000, 0),
                              repetitive, RandomBytes(random, 1 << 20)}) {
        Bytes window = text;
        int told = 0;
        const std::vector<std::int32_t> sorted = SortWindow(window, [&](std::int64_t) { ++told; });
        EXPECT_EQ(sorted, BuildSuffixArray(text)) << "text of " << text.size() << " bytes";
        EXPECT_EQ(window, text);
        EXPECT_GE(told, 1);
    }
    Bytes large = RandomBytes(random, 8 << 20);
    EXPECT_THROW(SortWindow(large, [](std::int64_t) { throw std::runtime_error("stop"); }),
                 std::runtime_error);
}

} // namespace
} // namespace kestro::test
