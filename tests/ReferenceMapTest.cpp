// Where the edits put the original's bytes.
#include "codec/compact/ReferenceMap.hpp"

#include <gtest/gtest.h>

#include <utility>

namespace kestro::test {
namespace {

TEST(ReferenceMap, TheFirstEditOfAnOldByteWins) {
    ReferenceMap map;
    map.Add(100, 50, 1000);
    map.Add(120, 50, 5000); // 120..149 taken already: only 150..169 counts
    map.Add(170, 10, 5050); // continues the last
    map.Add(0, 10, 0);
    map.Add(30, 0, 7);
    map.Seal();
    const std::pair<std::int64_t, std::int64_t> expected[] = {
        {0, 0},      {9, 9},      {10, -1},    {30, -1},    {99, -1},
        {100, 1000}, {149, 1049}, {150, 5030}, {179, 5059}, {180, -1}};
    for (const auto& [old, moved] : expected) {
        EXPECT_EQ(map.NewPosition(old).value_or(-1), moved) << old;
    }
    ReferenceMap full;
    for (std::size_t i = 0; i <= ReferenceMap::MaxStretches; ++i) {
        full.Add(static_cast<std::int64_t>(2 * i), 1, 0);
    }
    full.Seal();
    EXPECT_TRUE(full.NewPosition(2 * (ReferenceMap::MaxStretches - 1)).has_value());
    EXPECT_FALSE(full.NewPosition(2 * ReferenceMap::MaxStretches).has_value());
}

} // namespace
} // namespace kestro::test
