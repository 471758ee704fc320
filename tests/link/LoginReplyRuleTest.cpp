#include <gtest/gtest.h>

#include "link/LoginReplyRule.h"

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
    EXPECT_TRUE(rule.Due(dtu, 3, 1000));
    EXPECT_FALSE(rule.Due(dtu, 3, 1000));
    EXPECT_FALSE(rule.Due(dtu, 3, 1000 + LoginReplyRule::SpacingMs - 1));
    EXPECT_TRUE(rule.Due(dtu, 3, 1000 + LoginReplyRule::SpacingMs));
    // Another record (code) or another address is answered on its own; another source port of
    // the same host is not.
    EXPECT_TRUE(rule.Due(dtu, 4, 1005));
    EXPECT_FALSE(rule.Due(At("10.0.0.7:5001"), 3, 1005));
    EXPECT_TRUE(rule.Due(At("10.0.0.8:5000"), 3, 1005));
    EXPECT_FALSE(rule.Due(dtu, 4, 1006));
}

TEST(LoginReplyRule, TheTickMayWrap)
{
    LoginReplyRule rule;
    const SocketAddress dtu = At("10.0.0.7:5000");
    EXPECT_TRUE(rule.Due(dtu, 0, 0xFFFFFFFEu));
    EXPECT_FALSE(rule.Due(dtu, 0, 1));
    EXPECT_TRUE(rule.Due(dtu, 0, 3));
}

TEST(LoginReplyRule, AFreshRuleAnswersEveryone)
{
    // A tick of 0 and the all-zero address are not mistaken for an entry already there.
    LoginReplyRule rule;
    EXPECT_TRUE(rule.Due(SocketAddress(), 0, 0));
    for (int record = 0; record < 200; ++record)
        EXPECT_TRUE(rule.Due(At("192.0.2.1:4000"), record, 7)) << record;
}
