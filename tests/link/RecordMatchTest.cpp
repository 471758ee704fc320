#include <gtest/gtest.h>

#include <random>
#include <string>

#include "link/PortRecords.h"
#include "link/RecordMatch.h"
#include "support/Loopback.h"

namespace {

// The rule as a scan of the records in slot order.
int Scan(const PortRecords& records, const SocketAddress& source, const std::string& code)
{
    for (int i = 0; i < PortRecords::Count; ++i) {
        const VirtualPortEntry& e = records[i];
        if (!e.portHeld || e.notServedReason)
            continue;
        if (e.config.UseFixedIP) {
            if (e.peerAddress.Equals(source))
                return e.config.Code == code ? i : -1;
        } else if (e.config.Code == code) {
            return i;
        }
    }
    return -1;
}

void Serve(VirtualPortEntry& e, const std::string& code, const char* fixedAt = nullptr, uint16_t port = 0)
{
    e.portHeld = 1;
    e.config.Code = code;
    e.config.UseFixedIP = fixedAt ? 1 : 0;
    e.peerAddress = fixedAt ? Ipv4(fixedAt, port) : SocketAddress();
}

}  // namespace

TEST(RecordMatch, TheFirstServedRecordInSlotOrderTakesTheDatagramAndAFixedAddressDecidesAlone)
{
    PortRecords records;
    RecordMatch match(records);
    const SocketAddress dtu = Ipv4("10.0.0.5", 4000);
    EXPECT_EQ(match.Find(dtu, "A1"), -1);

    Serve(records[3], "A1");
    Serve(records[1], "A1");  // a duplicate code in an earlier slot shadows slot 3
    match.Stale();
    EXPECT_EQ(match.Find(dtu, "A1"), 1);
    EXPECT_EQ(match.Find(dtu, "a1"), -1) << "codes are matched exactly";

    // A fixed address before them: the address decides, with another code for no port.
    Serve(records[0], "F0", "10.0.0.5", 4000);
    match.Stale();
    EXPECT_EQ(match.Find(dtu, "F0"), 0);
    EXPECT_EQ(match.Find(dtu, "A1"), -1);
    EXPECT_EQ(match.Find(Ipv4("10.0.0.5", 4001), "A1"), 1) << "another port of the address";
    // After them, the code's record comes first.
    records[0] = VirtualPortEntry();
    Serve(records[2], "F2", "10.0.0.5", 4000);
    match.Stale();
    EXPECT_EQ(match.Find(dtu, "A1"), 1);
    EXPECT_EQ(match.Find(dtu, "F2"), 2);

    // A record not served takes nothing, and a change nobody announced is still seen.
    const SocketAddress elsewhere = Ipv4("10.0.0.6", 4000);
    records[1].notServedReason = Reason{Reason::Kind::NameServedTwice, "COM1"};
    EXPECT_EQ(match.Find(elsewhere, "A1"), 3);
    records[3].portHeld = 0;
    EXPECT_EQ(match.Find(elsewhere, "A1"), -1);
}

TEST(RecordMatch, AnswersAsTheScanDoesForAnyRecords)
{
    std::mt19937 random(5840);
    const char* addresses[] = {"10.0.0.1", "10.0.0.2", "127.0.0.1"};
    for (int round = 0; round < 50; ++round) {
        PortRecords records;
        for (int i = 0; i < PortRecords::Count; ++i) {
            const unsigned kind = random() % 4;
            const std::string code = "C" + std::to_string(random() % 20);
            if (kind == 1)
                Serve(records[i], code);
            else if (kind == 2)
                Serve(records[i], code, addresses[random() % 3], static_cast<uint16_t>(4000 + random() % 3));
            if (kind != 0 && random() % 8 == 0)
                records[i].notServedReason = Reason{Reason::Kind::NameServedTwice, "COM1"};
        }
        RecordMatch match(records);
        for (int k = 0; k < 200; ++k) {
            const SocketAddress source = Ipv4(addresses[random() % 3], static_cast<uint16_t>(4000 + random() % 3));
            const std::string code = "C" + std::to_string(random() % 22);
            ASSERT_EQ(match.Find(source, code), Scan(records, source, code)) << "round " << round;
        }
    }
}
