#include <gtest/gtest.h>

#include "LinkTestSupport.h"
#include "net/UdpEndpoint.h"
#include "link/DtuPacket.h"

#include <thread>

namespace {

Bytes Reply(const Bytes& request)
{
    Bytes reply(request.begin(), request.begin() + 12);
    reply.insert(reply.end(), {0x01, 'O', 'K'});
    return reply;
}

Bytes DataDatagram(const std::string& code, const Bytes& payload)
{
    Bytes datagram = Header(code, 3);
    datagram.insert(datagram.end(), payload.begin(), payload.end());
    return datagram;
}

}  // namespace

TEST(LoginAndData, LoginGetsTheReplyAndMarksTheRow)
{
    LinkRig rig;
    const int i = rig.AddPort(7, "A1");
    UdpDtu dtu(rig.serverPort);

    Bytes login = Header("A1", 0);
    std::fill(login.begin() + 3, login.begin() + 12, 0xEE);  // echoed as it came
    login.push_back(0x99);                                   // not read
    dtu.Send(login);
    auto reply = dtu.Receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, Reply(login));
    EXPECT_TRUE(rig.view.WaitCell(i, PortView::ColConnection, "√"));
    EXPECT_EQ(rig.view.Cell(i, PortView::ColAddress), "127.0.0.1");
    EXPECT_TRUE(rig.Status(i).online);
}

TEST(LoginAndData, MalformedAndForeignDatagramsAreDroppedWithoutTrace)
{
    LinkRig rig;
    const int i = rig.AddPort(7, "A1");
    SerialApp app(rig.Path(i));
    ASSERT_TRUE(app.IsOpen());
    UdpDtu dtu(rig.serverPort);

    dtu.Send(Bytes(12, 0));     // shorter than the header
    dtu.Send(Header("A1", 3));  // data without payload
    Bytes noNul(14, 'A');
    noNul[12] = 0;
    dtu.Send(noNul);  // no NUL in the code field (login)
    noNul[12] = 3;
    dtu.Send(noNul);  // same, data
    for (uint8_t type : {1, 2, 4, 255}) {
        Bytes other = Header("A1", type);
        other.push_back('x');
        dtu.Send(other);
    }
    dtu.SendLogin("B2");               // no port has this code
    dtu.SendData("a1", ToBytes("x"));  // codes are case-sensitive

    // The first answer is the one to the first valid login; nothing else arrived meanwhile.
    dtu.SendLogin("A1");
    auto reply = dtu.Receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, Reply(Header("A1", 0)));
    EXPECT_FALSE(app.Readable(100ms));
    EXPECT_EQ(rig.view.Cell(i, PortView::ColReceived), "");
    EXPECT_EQ(rig.Status(i).statistics.rxBytes, 0u);
}

TEST(LoginAndData, FirstDataOfADtuThatNeverLoggedInIsPrecededByTheLoginReply)
{
    LinkRig rig;
    const int i = rig.AddPort(7, "A1");
    SerialApp app(rig.Path(i));
    ASSERT_TRUE(app.IsOpen());
    UdpDtu dtu(rig.serverPort);

    Bytes first = DataDatagram("A1", ToBytes("hello"));
    dtu.Send(first);
    EXPECT_EQ(app.Read(5), ToBytes("hello"));
    // The reply was sent before the payload entered the port, so it is already queued.
    auto reply = dtu.Receive(0ms);
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, Reply(first));

    // The count is added after the payload: the application may see the bytes first.
    ASSERT_TRUE(rig.view.WaitCell(i, PortView::ColReceived, "5"));
    EXPECT_EQ(rig.view.Cell(i, PortView::ColConnection), "√");

    // Online now: later data get no reply. Counts add up: 5 + 10 + 1.
    dtu.SendData("A1", Pattern(10, 1));
    dtu.SendData("A1", ToBytes("!"));
    Bytes expected = Pattern(10, 1);
    expected.push_back('!');
    EXPECT_EQ(app.Read(11), expected);
    EXPECT_TRUE(rig.view.WaitCell(i, PortView::ColReceived, "16"));
    EXPECT_FALSE(dtu.Receive(50ms));
}

TEST(LoginAndData, AllByteValuesPassToTheApplication)
{
    LinkRig rig;
    const int i = rig.AddPort(7, "A1");
    SerialApp app(rig.Path(i));
    UdpDtu dtu(rig.serverPort);
    Bytes all(256);
    for (int b = 0; b < 256; ++b)
        all[b] = static_cast<uint8_t>(b);
    dtu.SendData("A1", all);
    EXPECT_EQ(app.Read(256), all);
}

TEST(LoginAndData, DatagramsTakenTogetherReachEachPortWholeAndInOrder)
{
    LinkRig rig;
    const int a = rig.AddPort(7, "A1");
    const int b = rig.AddPort(8, "B2");
    SerialApp appA(rig.Path(a));
    SerialApp appB(rig.Path(b));
    UdpDtu dtuA(rig.serverPort);
    UdpDtu dtuB(rig.serverPort);
    Bytes wantA, wantB;
    auto send = [&](UdpDtu& dtu, const std::string& code, Bytes& want, int n, uint8_t seed) {
        const Bytes payload = Pattern(static_cast<size_t>(n), seed);
        dtu.SendData(code, payload);
        want.insert(want.end(), payload.begin(), payload.end());
    };
    // Sent back to back, so the receive thread takes many in one receive call: runs of one
    // port, switches between the two, a login and junk among them.
    send(dtuA, "A1", wantA, 5, 1);
    for (int k = 0; k < 8; ++k)
        send(dtuA, "A1", wantA, 900 + k, static_cast<uint8_t>(10 + k));
    send(dtuB, "B2", wantB, 3, 30);
    dtuA.SendLogin("A1");
    dtuB.Send(ToBytes("junk"));
    send(dtuA, "A1", wantA, 7, 31);
    send(dtuB, "B2", wantB, 1987, 32);  // the largest payload a datagram carries
    send(dtuB, "B2", wantB, 4, 33);
    EXPECT_EQ(appA.Read(wantA.size()), wantA);
    EXPECT_EQ(appB.Read(wantB.size()), wantB);
    EXPECT_FALSE(appA.Readable(std::chrono::milliseconds(100)));
    EXPECT_TRUE(WaitUntil([&] {
        return rig.Status(a).statistics.rxBytes == wantA.size() && rig.Status(b).statistics.rxBytes == wantB.size();
    }));
}

// The list reads the counts and the mark itself; datagrams, chunks and TCP bytes post nothing.
// The table has no list to post to: the counts are read from its statuses.
TEST(LoginAndData, TheCountsFollowTheTrafficBothWays)
{
    LinkRig rig;
    const int i = rig.AddPort(7, "A1");
    SerialApp app(rig.Path(i));
    UdpDtu dtu(rig.serverPort);
    dtu.SendLogin("A1");
    ASSERT_TRUE(dtu.Receive());
    ASSERT_TRUE(rig.view.WaitCell(i, PortView::ColConnection, "√"));

    for (int k = 0; k < 50; ++k)
        dtu.SendData("A1", ToBytes("0123456789"));
    EXPECT_EQ(app.Read(500).size(), 500u);
    for (int k = 0; k < 5; ++k) {
        ASSERT_TRUE(app.Write(ToBytes("abc")));
        ASSERT_TRUE(dtu.Receive());
    }
    // Bytes are counted once they have been passed on, so their receiver may have them a
    // moment before the count.
    EXPECT_TRUE(rig.view.WaitCell(i, PortView::ColReceived, "500"));
    EXPECT_TRUE(rig.view.WaitCell(i, PortView::ColSent, "15"));
}

TEST(Matching, FixedAddressPortsAreMatchedByAddressAndPortFirst)
{
    LinkRig rig;
    const uint16_t dtuPort = rig.settings.SocketPort;
    const int fixed = rig.AddPort(1, "X", 0, "127.0.0.5");
    const int dynamicX = rig.AddPort(2, "X");
    const int dynamicY = rig.AddPort(3, "Y");

    // Code X from another address: the dynamic port.
    UdpDtu other(rig.serverPort, "127.0.0.6", dtuPort);
    other.SendLogin("X");
    ASSERT_TRUE(other.Receive());
    EXPECT_TRUE(rig.view.WaitCell(dynamicX, PortView::ColAddress, "127.0.0.6"));

    // From the fixed address with code Y: the scan ends there, no port gets it.
    UdpDtu atFixed(rig.serverPort, "127.0.0.5", dtuPort);
    atFixed.SendLogin("Y");
    atFixed.SendLogin("X");
    auto reply = atFixed.Receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, Reply(Header("X", 0)));
    EXPECT_TRUE(rig.view.WaitCell(fixed, PortView::ColConnection, "√"));
    EXPECT_EQ(rig.view.Cell(dynamicY, PortView::ColConnection), "");
    EXPECT_EQ(rig.view.Cell(fixed, PortView::ColAddress), "127.0.0.5");

    // The fixed address from another source port is not the fixed port's address.
    UdpDtu otherPort(rig.serverPort, "127.0.0.5");
    otherPort.SendLogin("X");
    ASSERT_TRUE(otherPort.Receive());
    EXPECT_TRUE(rig.view.WaitCell(dynamicX, PortView::ColAddress, "127.0.0.5"));
}

TEST(Matching, CodesAreCaseSensitiveAndTheLowerIndexWins)
{
    LinkRig rig;
    const int lower = rig.AddPort(1, "abc");
    const int upper = rig.AddPort(2, "ABC");
    const int twin = rig.AddPort(3, "abc");
    SerialApp lowerApp(rig.Path(lower)), upperApp(rig.Path(upper)), twinApp(rig.Path(twin));
    UdpDtu dtu(rig.serverPort);

    dtu.SendData("ABC", ToBytes("upper"));
    EXPECT_EQ(upperApp.Read(5), ToBytes("upper"));
    dtu.SendData("abc", ToBytes("lower"));
    EXPECT_EQ(lowerApp.Read(5), ToBytes("lower"));
    EXPECT_FALSE(twinApp.Readable(100ms));
    EXPECT_EQ(rig.view.Cell(twin, PortView::ColConnection), "");
}

TEST(Matching, ADynamicPortFollowsTheDtuButShowsTheLoginAddress)
{
    LinkRig rig;
    const int i = rig.AddPort(7, "A1");
    SerialApp app(rig.Path(i));
    UdpDtu first(rig.serverPort, "127.0.0.7");
    UdpDtu second(rig.serverPort, "127.0.0.8");

    first.SendLogin("A1");
    ASSERT_TRUE(first.Receive());
    second.SendData("A1", ToBytes("moved"));
    EXPECT_EQ(app.Read(5), ToBytes("moved"));
    EXPECT_TRUE(rig.view.WaitCell(i, PortView::ColAddress, "127.0.0.7"));

    // Outgoing data go to where the DTU last sent from.
    ASSERT_TRUE(app.Write(ToBytes("back")));
    auto data = second.Receive();
    ASSERT_TRUE(data);
    EXPECT_EQ(*data, DataDatagram("A1", ToBytes("back")));
    EXPECT_FALSE(first.Receive(100ms));

    second.SendLogin("A1");
    ASSERT_TRUE(second.Receive());
    EXPECT_TRUE(rig.view.WaitCell(i, PortView::ColAddress, "127.0.0.8"));
}

// Below what the service lets a user enter, so expiry shows within seconds.
void SetLoginInterval(LinkRig& rig, int i, int seconds)
{
    PortConfig config = rig.table->SlotConfig(i);
    config.LoginInterval = seconds;
    rig.Edit(i, config);
}

// On the table's own clock.
TEST(OnlineExpiry, ASilentUdpDtuGoesOfflineAndLogsInAgainWithItsNextData)
{
    LinkRig rig(false, 5, LinkRig::Timing::Manual);
    const int i = rig.AddPort(7, "A1");
    const int quiet = rig.AddPort(8, "B2");
    SetLoginInterval(rig, i, 1);
    SerialApp app(rig.Path(i));
    UdpDtu dtu(rig.serverPort), other(rig.serverPort);
    other.SendLogin("B2");  // 300 s interval: stays online
    ASSERT_TRUE(rig.Receive(other));

    dtu.SendLogin("A1");
    ASSERT_TRUE(rig.Receive(dtu));
    ASSERT_EQ(rig.view.Cell(i, PortView::ColConnection), "√");
    rig.Advance(3s + 2ms);  // 1 s and the least grace, 2 s
    EXPECT_EQ(rig.view.Cell(i, PortView::ColConnection), "");
    EXPECT_FALSE(rig.Status(i).online);
    EXPECT_EQ(rig.view.Cell(quiet, PortView::ColConnection), "√");

    Bytes data = DataDatagram("A1", ToBytes("again"));
    dtu.Send(data);
    auto reply = rig.Receive(dtu);
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, Reply(data));
    EXPECT_EQ(app.Read(5), ToBytes("again"));
    EXPECT_EQ(rig.view.Cell(i, PortView::ColConnection), "√");
}

// On the table's own clock: the DTU goes offline exactly when its interval and grace have
// passed, and not a moment before.
TEST(OnlineExpiry, ASilentDtuIsOnlineUntilItsIntervalAndGraceHavePassed)
{
    LinkRig rig(false, 5, LinkRig::Timing::Manual);
    const int i = rig.AddPort(7, "A1");
    const int quiet = rig.AddPort(8, "B2");
    SetLoginInterval(rig, i, 1);
    UdpDtu dtu(rig.serverPort), other(rig.serverPort);
    other.SendLogin("B2");  // 300 s interval: stays online
    ASSERT_TRUE(rig.Receive(other));
    dtu.SendLogin("A1");
    ASSERT_TRUE(rig.Receive(dtu));
    EXPECT_EQ(rig.view.Cell(i, PortView::ColConnection), "√");

    rig.Advance(3s);  // 1 s and the least grace, 2 s
    EXPECT_EQ(rig.view.Cell(i, PortView::ColConnection), "√");
    EXPECT_TRUE(rig.Status(i).online);
    rig.Advance(2ms);
    EXPECT_EQ(rig.view.Cell(i, PortView::ColConnection), "");
    EXPECT_FALSE(rig.Status(i).online);
    EXPECT_EQ(rig.view.Cell(quiet, PortView::ColConnection), "√");
}

TEST(OnlineExpiry, TheGraceIsATenthOfALongInterval)
{
    LinkRig rig(false, 5, LinkRig::Timing::Manual);
    const int i = rig.AddPort(7, "A1");
    SetLoginInterval(rig, i, 100);
    UdpDtu dtu(rig.serverPort);
    dtu.SendLogin("A1");
    ASSERT_TRUE(rig.Receive(dtu));
    rig.Advance(110s);
    EXPECT_TRUE(rig.Status(i).online);
    rig.Advance(2ms);
    EXPECT_FALSE(rig.Status(i).online);
}

TEST(OnlineExpiry, RegularReportsKeepThePortOnline)
{
    LinkRig rig(false, 5, LinkRig::Timing::Manual);
    const int i = rig.AddPort(7, "A1");
    SetLoginInterval(rig, i, 2);  // offline after 4 s of silence
    UdpDtu dtu(rig.serverPort);
    for (int k = 0; k < 8; ++k) {
        dtu.SendLogin("A1");
        ASSERT_TRUE(rig.Receive(dtu));
        rig.Advance(3s);
        // Each report moves the deadline; the port never went offline in between.
        ASSERT_EQ(rig.view.Cell(i, PortView::ColConnection), "√") << k;
    }
}

// A DTU that reports exactly at its interval never loses the mark, and its data never cost
// an extra login reply.
TEST(OnlineExpiry, ReportsAtExactlyTheIntervalKeepThePortOnline)
{
    LinkRig rig(false, 5, LinkRig::Timing::Manual);
    const int i = rig.AddPort(7, "A1");
    SetLoginInterval(rig, i, 1);
    SerialApp app(rig.Path(i));
    UdpDtu dtu(rig.serverPort);
    dtu.SendLogin("A1");
    ASSERT_TRUE(rig.Receive(dtu));
    for (int k = 0; k < 4; ++k) {
        rig.Advance(1000ms);
        dtu.Send(DataDatagram("A1", ToBytes("x")));
        ASSERT_TRUE(rig.TurnUntil([&] { return rig.Status(i).statistics.rxBytes == static_cast<uint64_t>(k + 1); }));
        EXPECT_EQ(app.Read(1), ToBytes("x"));
        // A reply would have gone before the payload reached the port.
        EXPECT_FALSE(dtu.Receive(0ms)) << "a login reply: the port had gone offline";
    }
    EXPECT_EQ(rig.view.Cell(i, PortView::ColConnection), "√");
    EXPECT_TRUE(rig.Status(i).online);
}

// What the window and the tool show as last heard: the wall clock's time of the latest report,
// also in a status made a minute after it (here by an edit).
TEST(OnlineExpiry, LastHeardIsTheWallClockTimeOfTheLatestReport)
{
    LinkRig rig(false, 5, LinkRig::Timing::Manual);
    const int i = rig.AddPort(7, "A1");
    EXPECT_EQ(rig.Status(i).lastHeardMs, -1);
    UdpDtu dtu(rig.serverPort);
    dtu.SendLogin("A1");
    ASSERT_TRUE(rig.Receive(dtu));
    rig.Advance(60s);
    PortConfig config = rig.table->SlotConfig(i);
    config.LoginInterval = 600;
    rig.Edit(i, config);
    const auto wallNow = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
    const int64_t heard = rig.Status(i).lastHeardMs;
    EXPECT_NEAR(static_cast<double>(heard), static_cast<double>(wallNow - 60000), 2000.0);
}

// A flood of logins counts each one but answers a sender and code at most once a few
// milliseconds; another code or sender gets its own reply.
TEST(LoginAndData, ALoginFloodIsAnsweredSparinglyAndEachLoginStillCounts)
{
    LinkRig rig;
    const int a = rig.AddPort(7, "A1");
    const int b = rig.AddPort(8, "B2");
    UdpDtu flood(rig.serverPort, "127.0.0.7");
    UdpDtu other(rig.serverPort, "127.0.0.8");

    for (int k = 0; k < 2000; ++k)
        flood.SendLogin("A1");
    other.SendLogin("A1");
    flood.SendLogin("B2");
    ASSERT_TRUE(other.Receive());
    int replies = 0;
    bool b2 = false;
    while (auto reply = flood.Receive(300ms)) {
        b2 = b2 || (*reply)[0] == 'B';
        replies += (*reply)[0] == 'A';
    }
    EXPECT_TRUE(b2);
    // One a spacing while the logins are taken in (a few milliseconds for all of them);
    // answering each would fill the sender's receive queue (some 270 replies).
    EXPECT_GE(replies, 1);
    EXPECT_LT(replies, 100);

    // Every login counted: the port follows the latest sender, both are online.
    EXPECT_EQ(rig.table->SlotConfig(a).PeerIP, "127.0.0.8");
    EXPECT_TRUE(rig.Status(b).online);
    EXPECT_EQ(rig.table->SlotConfig(b).PeerIP, "127.0.0.7");
}

// A stored PeerIP as a hand-written file may hold it: read field by field as addresses are
// parsed, with SocketPort unless it names a port; a number out of range is refused, not wrapped.
TEST(Matching, AStoredPeerIpIsReadAsAddressesAreParsed)
{
    LinkRig rig(false, 5, LinkRig::Timing::Manual);
    const uint16_t dtuPort = rig.settings.SocketPort;
    const int padded = rig.AddPort(1, "P", 0, "127.000.000.005");
    const int withPort = rig.AddPort(2, "Q", 0, "127.0.0.6:4000");
    const int shortText = rig.AddPort(3, "R", 0, "1.2.3");
    const int tooLarge = rig.AddPort(4, "S", 0, "300.1.1.1");

    EXPECT_FALSE(rig.Status(padded).reason) << rig.Status(padded).reason.English();
    EXPECT_EQ(rig.table->SlotConfig(padded).PeerIP, "127.000.000.005");  // as the user wrote it
    EXPECT_EQ(rig.Status(padded).FixedAddress(), "127.0.0.5");
    EXPECT_TRUE(rig.view.WaitCell(padded, PortView::ColAddress, "127.0.0.5"));
    EXPECT_EQ(rig.Status(withPort).peer, "127.0.0.6:4000");
    EXPECT_EQ(rig.Status(shortText).peer, "1.2.3.0:" + std::to_string(dtuPort));
    EXPECT_EQ(rig.Status(tooLarge).reason.English(),
              "its PeerIP \"300.1.1.1\" is no IPv4 address (each number 0 to 255, a port 0 to 65535), so it has no DTU "
              "address");
    EXPECT_EQ(rig.Status(tooLarge).peer, "");

    UdpDtu atPadded(rig.serverPort, "127.0.0.5", dtuPort);
    atPadded.SendLogin("P");
    EXPECT_TRUE(rig.Receive(atPadded));
    UdpDtu atWithPort(rig.serverPort, "127.0.0.6", 4000);
    atWithPort.SendLogin("Q");
    EXPECT_TRUE(rig.Receive(atWithPort));
    UdpDtu wrongPort(rig.serverPort, "127.0.0.6", dtuPort);
    wrongPort.SendLogin("Q");
    EXPECT_FALSE(rig.Receive(wrongPort, 50ms));

    // An edit that keeps the address keeps the text; a new address is written as addresses are.
    PortConfig fields = rig.table->SlotConfig(padded);
    fields.LoginInterval = 60;
    rig.Edit(padded, fields);
    EXPECT_EQ(rig.table->SlotConfig(padded).PeerIP, "127.000.000.005");
    fields.PeerIP = "127.0.0.7";
    rig.Edit(padded, fields);
    EXPECT_EQ(rig.table->SlotConfig(padded).PeerIP, "127.0.0.7");
}
