// The compact body's round trips over the shapes real releases take, of
// many MiB, and its sameness for any number of threads.
#include "CompactSupport.hpp"
#include "TestSupport.hpp"

#include <gtest/gtest.h>

#include <string>

namespace kestro::test {
namespace {

TEST(CompactStream, RoundTripsEveryShape) {
    const Bytes code = CodeLike(3 << 20, 1);
    const Bytes random = Random(3 << 20, 2);
    // Eight MiB that a MiB of the original describes: segment sizes without
    // the cost of coding as much new data.
    const Bytes mib = Slice(code, 0, 1 << 20);
    const Bytes segment = Join({mib, mib, mib, mib, mib, mib, mib, mib});
    struct Pair {
        const char* name;
        Bytes original;
        Bytes newer;
    };
    const Pair pairs[] = {
        {"both empty", {}, {}},
        {"newer empty", random, {}},
        {"original empty", {}, Slice(random, 0, 5000)},
        {"tiny", ToBytes("abc"), ToBytes("abd")},
        {"identical", code, code},
        {"shifted code", code, Join({Random(37, 4), Relocated(code, 0x1230, 5)})},
        {"moved blocks", random,
         Join({Slice(random, 2 << 20, 1 << 20), Slice(random, 0, 2 << 20)})},
        {"inserted and deleted", random,
         Join({Slice(random, 0, 100000), Random(70000, 6), Slice(random, 150000, 3 << 20)})},
        {"exact segment", mib, segment},
        {"segment and a byte", mib, Join({segment, ToBytes("z")})},
        {"exact chunk", Slice(random, 0, 1 << 20), Slice(code, 0, 1 << 20)},
    };
    for (const Pair& pair : pairs) {
        const Bytes body = CompactEncode(pair.newer, pair.original);
        EXPECT_EQ(CompactDecode(body, pair.original), pair.newer) << pair.name;
        if (pair.name == std::string("shifted code") || pair.name == std::string("moved blocks")) {
            EXPECT_LT(body.size(), pair.newer.size() / 20) << pair.name;
        }
    }
}

// An original larger than the window is searched in windows: made small
// here, so that a few hundred KiB take several windows and parts.
TEST(CompactStream, RoundTripsThroughSmallWindows) {
    const Bytes original = Join({CodeLike(200000, 30), Random(100000, 31)});
    const Bytes newer = Join({Relocated(Slice(original, 0, 150000), 0x20, 32), Random(999, 33),
                              Slice(original, 120000, 180000)});
    CompactSettings windowed;
    windowed.windowBytes = 64 << 10;
    windowed.partBytes = 16 << 10;
    const Bytes body = CompactEncode(newer, original, 2, nullptr, windowed);
    EXPECT_EQ(CompactDecode(body, original), newer);
    EXPECT_NE(body, CompactEncode(newer, original, 2));
    EXPECT_LT(body.size(), newer.size() / 4);
}

TEST(CompactStream, IsTheSameForAnyNumberOfThreads) {
    const Bytes part = CodeLike(3 << 20, 8);
    const Bytes original = Join({part, Random(1 << 20, 9)});
    const Bytes newer = Join({Relocated(part, 0x40, 9), part, Relocated(part, 0x80, 10)});
    const Bytes one = CompactEncode(newer, original, 1);
    EXPECT_EQ(CompactEncode(newer, original, 2), one);
    EXPECT_EQ(CompactEncode(newer, original, 3), one);
}

} // namespace
} // namespace kestro::test
