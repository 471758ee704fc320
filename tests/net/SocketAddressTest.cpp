#include <cstring>
#include <gtest/gtest.h>

#include "net/SocketAddress.h"

namespace {

struct ParseCase {
    const char* text;
    uint8_t octets[4];
    uint16_t port;
};

// Every field converts like atol, separators are interchangeable, a fifth one ends the walk.
const ParseCase parseCases[] = {
    {"0.0.0.0:3700", {0, 0, 0, 0}, 3700},
    {"192.168.1.10", {192, 168, 1, 10}, 0},
    {"", {0, 0, 0, 0}, 0},
    {"1.2.3", {1, 2, 3, 0}, 0},
    {"10.0.0.1.5000", {10, 0, 0, 1}, 5000},
    {"1:2:3:4:80", {1, 2, 3, 4}, 80},
    {"10.0.0.1:80:99", {10, 0, 0, 1}, 80},
    {"10.0.0.1:80.99.7", {10, 0, 0, 1}, 80},
    {"300.1.1.1", {44, 1, 1, 1}, 0},
    {"-1.0.0.0:1", {255, 0, 0, 0}, 1},
    {"1.2.3.4:70000", {1, 2, 3, 4}, 70000 & 0xFFFF},
    {"1.2.3.4:-1", {1, 2, 3, 4}, 0xFFFF},
    {"10. 0.0.1: 80", {10, 0, 0, 1}, 80},
    {"12x.1.1.1:8o", {12, 1, 1, 1}, 8},
    {"abc:80", {0, 80, 0, 0}, 0},
    {"+7.+8.9.10:+11", {7, 8, 9, 10}, 11},
    {"1 2.3.4.5:6", {1, 3, 4, 5}, 6},
    {"localhost:3700", {0, 3700 & 0xFF, 0, 0}, 0},
    {"99999999999999999999999.1.1.1", {255, 1, 1, 1}, 0},
    {"1.2.3.4:", {1, 2, 3, 4}, 0},
    {"::::", {0, 0, 0, 0}, 0},
};

TEST(SocketAddress, ParseTable)
{
    for (const auto& c : parseCases) {
        SCOPED_TRACE(c.text);
        SocketAddress address;
        std::memset(address.sin_zero, 0x5A, sizeof address.sin_zero);
        address.Parse(c.text);
        const auto* octets = reinterpret_cast<const uint8_t*>(&address.sin_addr);
        EXPECT_EQ(address.sin_family, AF_INET);
        EXPECT_EQ(octets[0], c.octets[0]);
        EXPECT_EQ(octets[1], c.octets[1]);
        EXPECT_EQ(octets[2], c.octets[2]);
        EXPECT_EQ(octets[3], c.octets[3]);
        EXPECT_EQ(address.Port(), c.port);
    }
}

TEST(SocketAddress, LayoutIsSockaddrIn)
{
    SocketAddress address;
    address.Set(10, 0, 0, 1, 0x1234);
    const auto* bytes = reinterpret_cast<const uint8_t*>(&address);
    EXPECT_EQ(sizeof address, 16u);
    EXPECT_EQ(SocketAddress::Length, 16u);
    EXPECT_EQ(address.sin_family, AF_INET);
    EXPECT_EQ(bytes[2], 0x12);  // port in network order
    EXPECT_EQ(bytes[3], 0x34);
    EXPECT_EQ(bytes[4], 10);  // first octet first
    EXPECT_EQ(bytes[7], 1);
    for (int i = 8; i < 16; ++i)
        EXPECT_EQ(bytes[i], 0) << i;

    // SetInAddr takes the address as an in_addr holds it.
    SocketAddress fromInAddr;
    fromInAddr.SetInAddr(htonl(0x0A000001), 0x1234);
    EXPECT_EQ(std::memcmp(&fromInAddr, &address, 16), 0);
}

TEST(SocketAddress, ToTextAndEquals)
{
    SocketAddress a;
    a.Parse("10.0.0.1:5000");
    EXPECT_EQ(a.ToText(), "10.0.0.1");
    a.Parse("255.255.255.255:1");
    EXPECT_EQ(a.ToText(), "255.255.255.255");
    a.Parse("010.000.001.009");
    EXPECT_EQ(a.ToText(), "10.0.1.9");

    SocketAddress x, y;
    x.Parse("1.2.3.4:80");
    y.Parse("1.2.3.4:80");
    y.sin_family = AF_INET6;
    std::memset(y.sin_zero, 0xFF, sizeof y.sin_zero);
    EXPECT_TRUE(x.Equals(y));
    y.Parse("1.2.3.4:81");
    EXPECT_FALSE(x.Equals(y));
    y.Parse("1.2.3.5:80");
    EXPECT_FALSE(x.Equals(y));
}

// A stored address: fields as Parse reads them, the given port unless the text names one, and
// a number out of its range refused instead of wrapped.
TEST(SocketAddress, ParseStoredTakesWhatAHandWrittenFileHoldsAndRefusesWhatWouldWrap)
{
    struct Case {
        const char* text;
        const char* address;  // nullptr: refused
        uint16_t port;
    };
    const Case cases[] = {
        {"127.000.000.001", "127.0.0.1", 3700},
        {"1.2.3", "1.2.3.0", 3700},
        {"10.0.0.5:80", "10.0.0.5", 80},
        {"10.0.0.5.", "10.0.0.5", 3700},
        {"", "0.0.0.0", 3700},
        {"255.255.255.255:65535", "255.255.255.255", 65535},
        {"300.1.1.1", nullptr, 0},
        {"1.2.3.256", nullptr, 0},
        {"-1.0.0.0", nullptr, 0},
        {"1.2.3.4:65536", nullptr, 0},
        {"99999999999999999999999.1.1.1", nullptr, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        SocketAddress address;
        address.Set(9, 9, 9, 9, 9);
        EXPECT_EQ(address.ParseStored(c.text, 3700), c.address != nullptr);
        EXPECT_EQ(address.ToText(), c.address ? c.address : "9.9.9.9");  // a refusal changes nothing
        EXPECT_EQ(address.Port(), c.address ? c.port : 9);
    }
}

}  // namespace
