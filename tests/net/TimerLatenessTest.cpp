#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "net/TimerLateness.h"

using namespace std::chrono_literals;

namespace {

// Feeds rounds of the samples in a fixed order; the estimate after them.
TimerLateness::Clock::duration Learn(TimerLateness& lateness, const std::vector<int>& samplesUs, int rounds)
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

    // With one step up and three down it settles between the first and the second: the
    // quarter mark.
    TimerLateness quarter(1, 3);
    const auto mark = Learn(quarter, {20, 300, 60, 100}, 200);
    EXPECT_GE(mark, 18us);
    EXPECT_LE(mark, 62us);
}

TEST(TimerLateness, StaysWithinItsBoundsWhateverItIsFed)
{
    TimerLateness lateness;
    EXPECT_EQ(Learn(lateness, {50000}, 1000), TimerLateness::Max);
    TimerLateness early;
    EXPECT_EQ(Learn(early, {-50000}, 1000), 0us);  // a wait that ended early teaches nothing below 0
}

TEST(TimerLateness, NothingAimedByItIsDoneMoreThanATwentiethOfTheWaitEarly)
{
    // Manual time: a chunk is due a gap after its bytes; the loop aims its wait the lead
    // before that, and the send is done the timer's lateness and the wake-up after the aim.
    // The lateness moves among these (one in eight a long stall), with a slow spell in which
    // every wake-up stalls, so the estimate keeps learning while the chunks go and is far
    // above the usual lateness when the spell ends.
    const std::vector<int> lateUs = {118, 131, 125, 142, 120, 650, 136, 128};
    auto late = [&lateUs](int chunk) {
        return std::chrono::microseconds(chunk >= 600 && chunk < 800 ? 650 : lateUs[chunk % lateUs.size()]);
    };
    for (const auto gap : {10000us, 2000us, 1000us}) {
        TimerLateness lateness;
        std::vector<TimerLateness::Clock::duration> beyond;  // sent minus due, per chunk
        TimerLateness::Clock::time_point now{};
        for (int chunk = 0; chunk < 2000; ++chunk) {
            const auto due = now + gap;
            const auto aimedAt = due - lateness.Lead(gap);
            const auto sent = aimedAt + late(chunk);
            lateness.Sample(sent - aimedAt);
            ASSERT_GE(sent - due, -gap / 20) << "gap " << gap.count() << " us, chunk " << chunk;
            beyond.push_back(sent - due);
            now = sent + 20ms;
        }
        std::sort(beyond.begin(), beyond.end());
        const auto median = beyond[beyond.size() / 2];
        if (gap / 20 >= 150us) {
            // A twentieth covers the usual lateness: the median send is about on time.
            EXPECT_LE(std::chrono::abs(median), 15us) << gap.count();
        } else {
            // The lead stops at a twentieth; the rest of the lateness shows.
            EXPECT_EQ(lateness.Lead(gap), gap / 20) << gap.count();
            EXPECT_LE(median, 131us - gap / 20) << gap.count();
        }
    }
}
