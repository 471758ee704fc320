#include <gtest/gtest.h>

#include "link/FrameRule.h"

// The counts a pump finds at its passes, and what it reads at each.
TEST(FrameRule, WithAGapAGrowingChunkIsHeldUntilItsCountStaysTheSame)
{
    for (int gap : {10, 2}) {
        FrameRule rule(false);
        EXPECT_EQ(rule.Take(3, gap), 0);  // first seen: may still grow
        EXPECT_EQ(rule.Take(7, gap), 0);  // grew
        EXPECT_EQ(rule.Take(7, gap), 7);  // the same over one pass
        rule.Left(0);
        EXPECT_FALSE(rule.AnyWaiting());
        EXPECT_EQ(rule.Take(0, gap), 0);
    }
}

TEST(FrameRule, WithoutAGapWhatIsWaitingLeavesWhenSeen)
{
    FrameRule rule(false);
    EXPECT_EQ(rule.Take(3, 0), 3);
    rule.Left(0);
    EXPECT_EQ(rule.Take(5, 0), 5);
    rule.Left(0);
    EXPECT_EQ(rule.Take(0, 0), 0);
}

TEST(FrameRule, AChunkIsNeverMoreThan1000Bytes)
{
    for (int gap : {0, 2, 10}) {
        FrameRule rule(false);
        // Per-port: 1000 or more still arriving leave as a full chunk at once.
        EXPECT_EQ(rule.Take(2500, gap), 1000) << gap;
        rule.Left(1500);
        EXPECT_EQ(rule.Take(1500, gap), 1000) << gap;  // stable: still a chunk at a time
        rule.Left(500);
        EXPECT_EQ(rule.Take(500, gap), 500) << gap;
        rule.Left(0);
        EXPECT_EQ(rule.Take(1000, gap), 1000) << gap;
    }
}

TEST(FrameRule, TheSharedPortWaitsWhileExactly1000AreStillArriving)
{
    FrameRule shared(true);
    EXPECT_EQ(shared.Take(1000, 10), 0);
    EXPECT_EQ(shared.Take(1000, 10), 1000);
    shared.Left(0);
    EXPECT_EQ(shared.Take(1001, 10), 1000);
    FrameRule perPort(false);
    EXPECT_EQ(perPort.Take(1000, 10), 1000);
}
