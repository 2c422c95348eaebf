// The work poll that long loops step.
#include "common/Progress.hpp"

#include <gtest/gtest.h>

namespace kestro::test {
namespace {

// Steps counted together fire the poll once they reach its interval, and
// the count starts again there, as single steps do.
TEST(WorkPoll, CountedStepsFireLikeSingleOnes) {
    int fired = 0;
    WorkPoll poll([&fired] { ++fired; }, 10);
    poll.Step(4);
    poll.Step(4);
    EXPECT_EQ(fired, 0);
    poll.Step(4);
    EXPECT_EQ(fired, 1);
    for (int i = 0; i < 9; ++i) {
        poll.Step();
    }
    EXPECT_EQ(fired, 1);
    poll.Step(1);
    EXPECT_EQ(fired, 2);
}

} // namespace
} // namespace kestro::test
