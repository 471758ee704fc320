#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "net/TimerLateness.h"

using namespace std::chrono_literals;

namespace {

// Feeds rounds of the samples in a fixed order; the estimate after them.
TimerLateness::Clock::duration Learn(TimerLateness& lateness, const std::vector<int>& samplesUs,
                                     int rounds)
{
    for (int r = 0; r < rounds; ++r) {
        for (int us : samplesUs)
            lateness.Sample(std::chrono::microseconds(us));
    }
    return lateness.Estimate();
}

}  // namespace

TEST(TimerLateness, FollowsTheThreeQuarterMarkOfTheLatenessSeen)
{
    // Quarters of the waits end 20, 60, 100 and 300 us late: the estimate settles between
    // the third and the fourth, so three waits in four end on time or later when aimed by it.
    TimerLateness lateness;
    EXPECT_EQ(lateness.Estimate(), 0us);
    const auto settled = Learn(lateness, {20, 300, 60, 100}, 200);
    EXPECT_GE(settled, 95us);
    EXPECT_LE(settled, 300us);

    // A machine that became punctual: the estimate comes down again.
    EXPECT_LE(Learn(lateness, {0}, 400), 1us);
}

TEST(TimerLateness, StaysWithinItsBoundsWhateverItIsFed)
{
    TimerLateness lateness;
    EXPECT_EQ(Learn(lateness, {50000}, 1000), TimerLateness::Max);
    TimerLateness early;
    EXPECT_EQ(Learn(early, {-50000}, 1000), 0us);  // a wait that ended early teaches nothing below 0
}
