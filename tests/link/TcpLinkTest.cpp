#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>

#include "LinkTestSupport.h"
#include "link/DtuPacket.h"
#include "net/TcpConnection.h"
#include "net/UdpEndpoint.h"

namespace {

double CpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
}

}  // namespace

// A fixed-address TCP port takes part in the UDP scan by its address: a sender elsewhere that
// knows its code reaches nothing, and a datagram from its own address never moves the link.
TEST(TcpLink, AFixedAddressPortsLinkIsNeverMovedByADatagram)
{
    LinkRig rig(false, 5, LinkRig::Timing::Manual);
    const uint16_t port = FreeLoopbackPort(SOCK_STREAM);
    rig.UseSocketPort(port);
    TcpDtu dtu(port);
    const int i = rig.AddPort(7, "T1", 1, "127.0.0.1");
    SerialApp app(rig.Path(i));
    ASSERT_TRUE(rig.TurnUntil([&] { return dtu.Accept(0ms) >= 0; }));

    UdpDtu stranger(rig.serverPort, "127.0.0.9");
    stranger.SendLogin("T1");
    stranger.SendData("T1", ToBytes("hi"));
    EXPECT_FALSE(rig.Receive(stranger, 100ms));
    EXPECT_FALSE(app.Readable(0ms));
    UdpDtu atItsAddress(rig.serverPort, "127.0.0.1", port);
    atItsAddress.SendData("T1", ToBytes("hi"));
    ASSERT_TRUE(rig.Receive(atItsAddress));  // answered where it came from
    EXPECT_EQ(app.Read(2), ToBytes("hi"));
    EXPECT_EQ(rig.Status(i).peer, "127.0.0.1:" + std::to_string(port));

    PortConfig edited = rig.table->SlotConfig(i);
    EXPECT_EQ(edited.PeerIP, "127.0.0.1");
    edited.LoginInterval = 60;
    rig.Edit(i, edited);
    ASSERT_TRUE(rig.TurnUntil([&] { return dtu.Accept(0ms) >= 0; }));
    ASSERT_TRUE(rig.Write(app, ToBytes("secret")));
    Bytes read;
    EXPECT_TRUE(rig.RunUntil([&] { return ReadUpTo(dtu, read, 6); }, 10ms));
    EXPECT_EQ(read, ToBytes("secret"));
}

// "TCP + dynamic login": the port is served from the start, its link waits for the DTU's first
// login and then connects to the host it logged in from, at SocketPort; a login from another
// host moves it there, one from the same host (another source port) does not.
TEST(TcpLink, ADynamicLoginPortConnectsWhereItsDtuLoggedInFrom)
{
    LinkRig rig(false, 5, LinkRig::Timing::Manual);
    const uint16_t port = FreeLoopbackPort(SOCK_STREAM);
    rig.UseSocketPort(port);
    TcpDtu first(port, 0, "127.0.0.1");
    TcpDtu second(port, 0, "127.0.0.2");
    const int i = rig.AddPort(7, "T1", 1);
    EXPECT_TRUE(rig.Status(i).served);
    EXPECT_EQ(rig.Status(i).reason.kind, Reason::Kind::TcpWaitsForLogin);
    SerialApp app(rig.Path(i));
    ASSERT_TRUE(app.IsOpen());
    EXPECT_FALSE(rig.TurnUntil([&] { return first.Accept(0ms) >= 0; }, 100ms)) << "never to 0.0.0.0";

    UdpDtu atFirst(rig.serverPort, "127.0.0.1");
    atFirst.SendLogin("T1");
    ASSERT_TRUE(rig.Receive(atFirst));
    ASSERT_TRUE(rig.TurnUntil([&] { return first.Accept(0ms) >= 0; }));
    ASSERT_TRUE(rig.TurnUntil([&] { return rig.Status(i).online; }));
    EXPECT_FALSE(rig.Status(i).reason) << rig.Status(i).reason.English();
    EXPECT_EQ(rig.Status(i).peer, "127.0.0.1:" + std::to_string(port));
    EXPECT_EQ(rig.Status(i).loginAddress, "127.0.0.1");
    EXPECT_TRUE(rig.view.WaitCell(i, PortView::ColAddress, "127.0.0.1"));
    EXPECT_EQ(rig.table->SlotConfig(i).PeerIP, "127.0.0.1");  // stored as a dynamic UDP port's
    ASSERT_TRUE(rig.Write(app, ToBytes("one")));
    Bytes read;
    EXPECT_TRUE(rig.RunUntil([&] { return ReadUpTo(first, read, 3); }, 10ms));

    UdpDtu atSecond(rig.serverPort, "127.0.0.2");
    atSecond.SendLogin("T1");
    ASSERT_TRUE(rig.Receive(atSecond));
    ASSERT_TRUE(rig.TurnUntil([&] { return second.Accept(0ms) >= 0; }));
    EXPECT_TRUE(rig.view.WaitCell(i, PortView::ColAddress, "127.0.0.2"));
    ASSERT_TRUE(rig.TurnUntil([&] { return rig.Status(i).online; }));
    ASSERT_TRUE(rig.Write(app, ToBytes("two")));
    read.clear();
    EXPECT_TRUE(rig.RunUntil([&] { return ReadUpTo(second, read, 3); }, 10ms));
    EXPECT_EQ(read, ToBytes("two"));

    rig.Advance(1s);  // past the login reply spacing
    UdpDtu againAtSecond(rig.serverPort, "127.0.0.2");
    againAtSecond.SendLogin("T1");
    ASSERT_TRUE(rig.Receive(againAtSecond));
    EXPECT_FALSE(rig.TurnUntil([&] { return second.Accept(0ms) >= 0; }, 100ms)) << "the same host: no new link";
    EXPECT_EQ(rig.Status(i).statistics.tcpConnects, 2u);
}

// A port with no usable address never connects to 0.0.0.0: it is served and says why it waits,
// and an edit that gives it one connects it.
TEST(TcpLink, AFixedAddressPortWithoutAnAddressWaitsAndSaysWhyUntilItHasOne)
{
    for (const bool shared : {false, true}) {
        LinkRig rig(shared, 5, LinkRig::Timing::Manual);
        const uint16_t port = FreeLoopbackPort(SOCK_STREAM);
        rig.UseSocketPort(port);
        const int i = rig.AddPort(rig.Fields(shared ? 5 : 7, "T1", 1, "0.0.0.0"));
        EXPECT_TRUE(rig.Status(i).served) << shared;
        EXPECT_EQ(rig.Status(i).reason.English(),
                  "its TCP link waits: it has a fixed address but no usable one (0.0.0.0:" + std::to_string(port)
                      + ") to connect to");
        EXPECT_FALSE(rig.Status(i).device.empty()) << shared;

        TcpDtu dtu(port);
        PortConfig fields = rig.table->SlotConfig(i);
        fields.PeerIP = "127.0.0.1";
        rig.Edit(i, fields);
        EXPECT_TRUE(rig.TurnUntil([&] { return dtu.Accept(0ms) >= 0; })) << shared;
        EXPECT_TRUE(rig.TurnUntil([&] { return !rig.Status(i).reason; })) << rig.Status(i).reason.English();
    }
}

// A DTU that keeps refusing: the port says the link's last failure as its reason until the
// link is up.
TEST(TcpLink, ALinkThatKeepsFailingSaysItsLastFailureAsTheReason)
{
    LinkRig rig(false, 5, LinkRig::Timing::Manual);
    const uint16_t port = FreeLoopbackPort(SOCK_STREAM);
    rig.UseSocketPort(port);
    const int i = rig.AddPort(7, "T1", 1, "127.0.0.1");
    const std::string why = "cannot connect to 127.0.0.1:" + std::to_string(port) + ": Connection refused";
    ASSERT_TRUE(rig.TurnUntil([&] { return rig.Status(i).reason.English() == why; })) << rig.Status(i).reason.English();
    EXPECT_TRUE(rig.Status(i).served);
    EXPECT_EQ(rig.Status(i).State(), "offline");
    rig.Advance(TcpConnection::RetrySpacing);
    EXPECT_TRUE(rig.TurnUntil([&] { return rig.Status(i).statistics.tcpRefusals >= 2; }));
    EXPECT_EQ(rig.Status(i).reason.English(), why);

    TcpDtu dtu(port);
    rig.Advance(TcpConnection::RetrySpacing);
    ASSERT_TRUE(rig.TurnUntil([&] { return dtu.Accept(0ms) >= 0; }));
    EXPECT_TRUE(rig.TurnUntil([&] { return rig.Status(i).online && !rig.Status(i).reason; }));
}

TEST(TcpLink, CarriesRawBytesBothWaysAndFollowsTheConnection)
{
    LinkRig rig;
    const uint16_t port = FreeLoopbackPort(SOCK_STREAM);
    rig.UseSocketPort(port);  // nobody listens yet: refused
    const int i = rig.AddPort(7, "T1", 1, "127.0.0.1");
    SerialApp app(rig.Path(i));
    ASSERT_TRUE(app.IsOpen());

    // Written while the link is down: kept in the port, not read. Neither the refused link
    // nor the pump with bytes waiting spins meanwhile.
    ASSERT_TRUE(app.Write(ToBytes("AT")));
    const double cpu = CpuSeconds();
    std::this_thread::sleep_for(1s);
    EXPECT_LT(CpuSeconds() - cpu, 0.5);
    EXPECT_EQ(rig.view.Cell(i, PortView::ColSent), "");
    EXPECT_EQ(rig.view.Cell(i, PortView::ColConnection), "");

    TcpDtu dtu(port);
    ASSERT_GE(dtu.Accept(), 0);
    EXPECT_TRUE(rig.view.WaitCell(i, PortView::ColConnection, "√"));
    EXPECT_EQ(dtu.Read(2), ToBytes("AT"));  // exactly the serial bytes, no header
    EXPECT_TRUE(rig.view.WaitCell(i, PortView::ColSent, "2"));

    // A chunk larger than the link's buffer arrives whole and in order.
    Bytes big = Pattern(5000, 3);
    ASSERT_TRUE(dtu.Write(big));
    EXPECT_EQ(app.Read(big.size()), big);
    EXPECT_TRUE(rig.view.WaitCell(i, PortView::ColReceived, "5000"));

    // The DTU closes: the link comes back by itself (it lands in the listener's backlog at
    // once, so the cleared mark in between is too short to see) and carries bytes again.
    dtu.CloseConnection();
    ASSERT_GE(dtu.Accept(), 0);
    EXPECT_TRUE(rig.view.WaitCell(i, PortView::ColConnection, "√"));
    ASSERT_TRUE(app.Write(ToBytes("ATZ")));
    EXPECT_EQ(dtu.Read(3), ToBytes("ATZ"));
}

// On the table's own clock: deleting the port ends the link quietly, for good.
TEST(TcpLink, ADeletedPortsLinkIsNotTriedAgain)
{
    LinkRig rig(false, 5, LinkRig::Timing::Manual);
    const uint16_t port = FreeLoopbackPort(SOCK_STREAM);
    rig.UseSocketPort(port);
    TcpDtu dtu(port);
    const int i = rig.AddPort(7, "T1", 1, "127.0.0.1");
    ASSERT_TRUE(rig.TurnUntil([&] { return dtu.Accept(0ms) >= 0; }));
    ASSERT_TRUE(rig.TurnUntil([&] { return rig.Status(i).online; }));

    rig.Remove(i);
    for (int k = 0; k < 3; ++k) {
        rig.Advance(TcpConnection::RetrySpacing + 500ms);
        EXPECT_FALSE(rig.TurnUntil([&] { return dtu.Accept(0ms) >= 0; }, 50ms)) << "nothing connects again";
        EXPECT_FALSE(rig.Status(i).online);
    }
}

TEST(TcpLink, ADtuThatStopsReadingStallsOnlyItsOwnPort)
{
    LinkRig rig(false, 5, LinkRig::Timing::Manual);
    const uint16_t port = FreeLoopbackPort(SOCK_STREAM);
    rig.UseSocketPort(port);
    TcpDtu stuck(port, 4096);
    const int t = rig.AddPort(7, "T1", 1, "127.0.0.1");
    const int u = rig.AddPort(8, "U1");
    ASSERT_TRUE(rig.TurnUntil([&] { return stuck.Accept(0ms) >= 0; }));
    ASSERT_TRUE(stuck.ShrinkPeerSendBuffer());
    ASSERT_TRUE(rig.TurnUntil([&] { return rig.Status(t).online; }));

    SerialApp tcpApp(rig.Path(t));
    SerialApp udpApp(rig.Path(u));
    const Bytes flood = Pattern(300000, 4);
    ASSERT_TRUE(rig.Write(tcpApp, flood));

    // The link refuses short of the flood.
    ASSERT_TRUE(WaitUntilSentStalls(rig, t));
    ASSERT_LT(rig.Status(t).statistics.txBytes, 300000u);

    // Meanwhile the UDP port works both ways.
    UdpDtu dtu(rig.serverPort);
    dtu.SendData("U1", ToBytes("ping"));
    Bytes ping;
    EXPECT_TRUE(rig.TurnUntil([&] { return ReadUpTo(udpApp, ping, 4); }));
    EXPECT_EQ(ping, ToBytes("ping"));
    ASSERT_TRUE(rig.Receive(dtu));  // the login reply
    ASSERT_TRUE(udpApp.Write(ToBytes("pong")));
    std::optional<Bytes> reply;
    ASSERT_TRUE(rig.RunUntil([&] { return (reply = dtu.Receive(0ms)).has_value(); }, 10ms));
    EXPECT_EQ(Bytes(reply->begin() + 13, reply->end()), ToBytes("pong"));

    // The DTU reads again: nothing was lost.
    Bytes read;
    EXPECT_TRUE(rig.RunUntil([&] { return ReadUpTo(stuck, read, flood.size()); }, 10ms));
    EXPECT_TRUE(read == flood);
    EXPECT_TRUE(rig.view.WaitCell(t, PortView::ColSent, "300000"));
}

TEST(TcpLink, StoppingAPumpStuckInARefusedWriteIsPrompt)
{
    LinkRig rig(false, 5, LinkRig::Timing::Manual);
    const uint16_t port = FreeLoopbackPort(SOCK_STREAM);
    rig.UseSocketPort(port);
    TcpDtu stuck(port, 4096);
    const int t = rig.AddPort(7, "T1", 1, "127.0.0.1");
    ASSERT_TRUE(rig.TurnUntil([&] { return stuck.Accept(0ms) >= 0; }));
    ASSERT_TRUE(stuck.ShrinkPeerSendBuffer());
    ASSERT_TRUE(rig.TurnUntil([&] { return rig.Status(t).online; }));
    SerialApp app(rig.Path(t));
    ASSERT_TRUE(rig.Write(app, Pattern(300000, 5)));
    ASSERT_TRUE(WaitUntilSentStalls(rig, t));

    const auto start = std::chrono::steady_clock::now();
    rig.Remove(t);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

TEST(TcpLink, InSharedModeTheLinkFeedsTheSharedPort)
{
    LinkRig rig(true, 9);
    const uint16_t port = FreeLoopbackPort(SOCK_STREAM);
    rig.UseSocketPort(port);
    TcpDtu dtu(port);
    const int udp = rig.AddPort(9, "U1");
    const int tcp = rig.AddPort(9, "T1", 1, "127.0.0.1");
    ASSERT_GE(dtu.Accept(), 0);
    ASSERT_TRUE(rig.view.WaitCell(tcp, PortView::ColConnection, "√"));
    SerialApp app(rig.Path(udp));
    ASSERT_TRUE(app.IsOpen());

    ASSERT_TRUE(dtu.Write(ToBytes("from tcp")));
    EXPECT_EQ(app.Read(8), ToBytes("from tcp"));
    EXPECT_TRUE(rig.view.WaitCell(tcp, PortView::ColReceived, "8"));
    EXPECT_EQ(rig.view.Cell(udp, PortView::ColReceived), "");

    ASSERT_EQ(rig.table->SelectSharedTarget("t1"), true);
    ASSERT_TRUE(app.Write(ToBytes("to tcp")));
    EXPECT_EQ(dtu.Read(6), ToBytes("to tcp"));
}
