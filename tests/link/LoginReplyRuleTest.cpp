#include <gtest/gtest.h>

#include "link/LoginReplyRule.h"

using namespace std::chrono_literals;

namespace {

SocketAddress At(const char* text)
{
    SocketAddress address;
    address.Parse(text);
    return address;
}

}  // namespace

TEST(LoginReplyRule, OneReplyPerSendingHostAndRecordWithinTheSpacing)
{
    LoginReplyRule rule;
    const SocketAddress dtu = At("10.0.0.7:5000");
    const Clock::time_point t = ManualClock().Now();
    EXPECT_TRUE(rule.Due(dtu, 3, t));
    EXPECT_FALSE(rule.Due(dtu, 3, t));
    EXPECT_FALSE(rule.Due(dtu, 3, t + LoginReplyRule::Spacing - 1ns));
    EXPECT_TRUE(rule.Due(dtu, 3, t + LoginReplyRule::Spacing));
    // Another record (code) or another address is answered on its own; another source port of
    // the same host is not.
    EXPECT_TRUE(rule.Due(dtu, 4, t + 5ms));
    EXPECT_FALSE(rule.Due(At("10.0.0.7:5001"), 3, t + 5ms));
    EXPECT_TRUE(rule.Due(At("10.0.0.8:5000"), 3, t + 5ms));
    EXPECT_FALSE(rule.Due(dtu, 4, t + 6ms));
}

TEST(LoginReplyRule, AReplyLongAgoHoldsNothingBack)
{
    LoginReplyRule rule;
    const SocketAddress dtu = At("10.0.0.7:5000");
    const Clock::time_point t = ManualClock().Now();
    EXPECT_TRUE(rule.Due(dtu, 0, t));
    EXPECT_TRUE(rule.Due(dtu, 0, t + 24h * 50));
    EXPECT_FALSE(rule.Due(dtu, 0, t + 24h * 50 + 1ms));
}

TEST(LoginReplyRule, AFreshRuleAnswersEveryone)
{
    // The clock's zero and the all-zero address are not mistaken for an entry already there.
    LoginReplyRule rule;
    EXPECT_TRUE(rule.Due(SocketAddress(), 0, Clock::time_point()));
    for (int record = 0; record < 200; ++record)
        EXPECT_TRUE(rule.Due(At("192.0.2.1:4000"), record, Clock::time_point() + 7ms)) << record;
}
