#include <gtest/gtest.h>

#include "LinkTestSupport.h"
#include "link/DtuPacket.h"

TEST(DtuPacket, ReadsTheCodeUpToTheFirstNulInTheCodeField)
{
    Bytes abc = Header("ABC", 0);
    auto code = DtuPacket::ReadCode(abc.data(), static_cast<int>(abc.size()));
    ASSERT_TRUE(code);
    EXPECT_EQ(*code, "ABC");

    Bytes longest = Header("ABCDEFGHIJK", 3);  // NUL at offset 11
    code = DtuPacket::ReadCode(longest.data(), 13);
    ASSERT_TRUE(code);
    EXPECT_EQ(*code, "ABCDEFGHIJK");

    Bytes empty = Header("", 0);
    code = DtuPacket::ReadCode(empty.data(), 13);
    ASSERT_TRUE(code);
    EXPECT_TRUE(code->empty());

    Bytes afterNul = Header("A", 0);
    std::fill(afterNul.begin() + 2, afterNul.begin() + 12, 0xFF);
    code = DtuPacket::ReadCode(afterNul.data(), 13);
    ASSERT_TRUE(code);
    EXPECT_EQ(*code, "A");

    Bytes noNul(13, 'x');
    EXPECT_FALSE(DtuPacket::ReadCode(noNul.data(), 13));
    EXPECT_FALSE(DtuPacket::ReadCode(abc.data(), 11));
}

TEST(DtuPacket, LoginReplyEchoesTheWholeCodeField)
{
    Bytes request = Header("A", 0);
    std::fill(request.begin() + 2, request.begin() + 12, 0xFF);
    request.push_back(0x55);  // extra body bytes are not part of the reply
    uint8_t reply[DtuPacket::LoginReplySize];
    DtuPacket::BuildLoginReply(request.data(), reply);

    Bytes expected(request.begin(), request.begin() + 12);
    expected.insert(expected.end(), {0x01, 0x4F, 0x4B});
    EXPECT_EQ(Bytes(reply, reply + sizeof reply), expected);
}

TEST(DtuPacket, DataDatagramLayout)
{
    Bytes payload = Pattern(1000, 7);
    uint8_t out[DtuPacket::MaxDataDatagram];
    ASSERT_EQ(DtuPacket::BuildDataDatagram("A1", payload.data(), 1000, out), 1013);
    Bytes expected = Header("A1", 3);
    expected.insert(expected.end(), payload.begin(), payload.end());
    EXPECT_EQ(Bytes(out, out + 1013), expected);

    const uint8_t one = 0xFE;
    ASSERT_EQ(DtuPacket::BuildDataDatagram("ABCDEFGHIJK", &one, 1, out), 14);
    EXPECT_EQ(out[11], 0);
    EXPECT_EQ(out[12], 3);
    EXPECT_EQ(out[13], 0xFE);
}
