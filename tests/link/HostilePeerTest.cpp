// The data path against peers that misbehave: no DTU yet, oversized datagrams, a DTU that
// floods a port nobody reads, one that accepts and hangs up, one that stops reading while the
// shared port's target moves.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <thread>

#include "LinkTestSupport.h"
#include "net/UdpEndpoint.h"

TEST(HostilePeer, NothingComesBackToTheApplicationBeforeItsDtuReports)
{
    LinkRig rig(false, 5, LinkRig::Timing::Manual);
    // As the dialog stores a new dynamic port: 0.0.0.0 at the server's own port.
    rig.UseSocketPort(rig.serverPort);
    const int i = rig.AddPort(7, "A1");
    // A fixed address that is this server itself.
    const int self = rig.AddPort(8, "B2", 0, "127.0.0.1");
    SerialApp app(rig.Path(i));
    SerialApp selfApp(rig.Path(self));
    ASSERT_TRUE(app.IsOpen());
    ASSERT_TRUE(selfApp.IsOpen());

    ASSERT_TRUE(app.Write(ToBytes("ATZ\r")));
    ASSERT_TRUE(selfApp.Write(ToBytes("ATI\r")));
    rig.Settle();
    rig.Advance(10ms);  // the gap: both chunks are handed over
    rig.Settle();       // and what came back of them is taken in
    EXPECT_FALSE(app.Readable(50ms));
    EXPECT_FALSE(selfApp.Readable(50ms));
    EXPECT_EQ(rig.Status(i).statistics.txBytes, 0u);  // it went nowhere
    EXPECT_EQ(rig.view.Cell(i, PortView::ColConnection), "");
    EXPECT_EQ(rig.view.Cell(self, PortView::ColConnection), "");
    EXPECT_EQ(rig.view.Cell(self, PortView::ColReceived), "");

    // Once the DTU reports, the next write reaches it and only that one is counted.
    UdpDtu dtu(rig.serverPort);
    dtu.SendLogin("A1");
    ASSERT_TRUE(rig.Receive(dtu));
    ASSERT_TRUE(app.Write(ToBytes("ATE0\r")));
    std::optional<Bytes> data;
    ASSERT_TRUE(rig.RunUntil([&] { return (data = dtu.Receive(0ms)).has_value(); }, 10ms));
    Bytes expected = Header("A1", 3);
    for (uint8_t c : ToBytes("ATE0\r"))
        expected.push_back(c);
    EXPECT_EQ(*data, expected);
    EXPECT_TRUE(rig.view.WaitCell(i, PortView::ColSent, "5"));
}

TEST(HostilePeer, AnOversizedDatagramIsDroppedAloneAndTheSocketStays)
{
    LinkRig rig;
    const int i = rig.AddPort(7, "A1");
    SerialApp app(rig.Path(i));
    ASSERT_TRUE(app.IsOpen());
    UdpDtu dtu(rig.serverPort);
    UdpDtu stranger(rig.serverPort, "127.0.0.2");
    dtu.SendLogin("A1");
    ASSERT_TRUE(dtu.Receive());

    // Queued together: everything after the oversized one must still be handed over.
    Bytes expected;
    Bytes oversized = Header("A1", 3);
    oversized.resize(UdpEndpoint::BufferSize + 1, 'x');
    for (int k = 0; k < 40; ++k) {
        Bytes payload = Pattern(3, k);
        dtu.SendData("A1", payload);
        expected.insert(expected.end(), payload.begin(), payload.end());
        if (k % 10 == 5)
            stranger.Send(oversized);
    }
    ASSERT_TRUE(app.Write(ToBytes("reply")));
    EXPECT_EQ(app.Read(expected.size()), expected);

    auto sent = dtu.Receive();
    ASSERT_TRUE(sent);
    EXPECT_EQ(sent->size(), 13u + 5u);
    EXPECT_TRUE(rig.view.WaitCell(i, PortView::ColReceived, std::to_string(expected.size())));
}

TEST(HostilePeer, ASendThatFailsIsNotCountedAsSent)
{
    LinkRig rig(false, 5, LinkRig::Timing::Manual);
    const int i = rig.AddPort(7, "A1");
    SerialApp app(rig.Path(i));
    ASSERT_TRUE(app.IsOpen());
    UdpDtu dtu(rig.serverPort);
    dtu.SendLogin("A1");
    ASSERT_TRUE(rig.Receive(dtu));
    ASSERT_TRUE(app.Write(ToBytes("one")));
    ASSERT_TRUE(rig.RunUntil([&] { return dtu.Receive(0ms).has_value(); }, 10ms));
    ASSERT_TRUE(rig.view.WaitCell(i, PortView::ColSent, "3"));

    rig.table->StopNetwork();  // every send fails now
    ASSERT_TRUE(app.Write(ToBytes("lost")));
    rig.Settle();
    rig.Advance(10ms);  // the gap: the pass that hands the chunk over runs
    EXPECT_EQ(rig.Status(i).lastError.kind, Reason::Kind::ChunkNotSent);
    EXPECT_EQ(rig.Status(i).statistics.txBytes, 3u);
    EXPECT_EQ(rig.view.Cell(i, PortView::ColSent), "3");
}

TEST(HostilePeer, ATcpDtuIsHeldBackWhileTheApplicationDoesNotRead)
{
    LinkRig rig(false, 5, LinkRig::Timing::Manual);
    const uint16_t port = FreeLoopbackPort(SOCK_STREAM);
    rig.UseSocketPort(port);
    TcpDtu dtu(port);
    const int i = rig.AddPort(7, "T1", 1, "127.0.0.1");
    SerialApp app(rig.Path(i));
    ASSERT_TRUE(app.IsOpen());
    ASSERT_TRUE(rig.TurnUntil([&] { return dtu.Accept(0ms) >= 0; }));
    ASSERT_TRUE(rig.TurnUntil([&] { return rig.Status(i).online; }));

    const Bytes stream = Pattern(4 << 20, 11);
    std::jthread sender([&] { EXPECT_TRUE(dtu.Write(stream)); });
    // The application reads late: once the port is full, the link takes no more however often
    // the loop turns.
    auto taken = [&] { return rig.Status(i).statistics.rxBytes; };
    ASSERT_TRUE(rig.TurnUntil([&] { return taken() >= VirtualSerialPort::OutputLimit; }));
    rig.Settle();
    EXPECT_LE(taken(), VirtualSerialPort::OutputLimit + (64u << 10));

    Bytes read;
    EXPECT_TRUE(rig.TurnUntil([&] { return ReadUpTo(app, read, stream.size()); }, 60s));
    EXPECT_TRUE(read == stream);
    sender.join();
    EXPECT_TRUE(rig.view.WaitCell(i, PortView::ColReceived, std::to_string(stream.size())));
}

TEST(HostilePeer, UdpBytesThePortCannotTakeAreCountedAsDropped)
{
    LinkRig rig;
    const int i = rig.AddPort(7, "A1");
    SerialApp app(rig.Path(i));
    ASSERT_TRUE(app.IsOpen());
    UdpDtu dtu(rig.serverPort);
    dtu.SendLogin("A1");
    ASSERT_TRUE(dtu.Receive());
    const Bytes payload = Pattern(1000, 5);
    for (int k = 0; k < 1200; ++k) {
        dtu.SendData("A1", payload);
        if (k % 100 == 99) {  // keep the server's receive queue from overflowing instead
            ASSERT_TRUE(rig.view.WaitCell(i, PortView::ColReceived, std::to_string((k + 1) * 1000)));
        }
    }
    EXPECT_GT(rig.Status(i).statistics.bytesDropped, 0u);
}

TEST(HostilePeer, ADtuThatAcceptsAndHangsUpIsTriedOnceASecond)
{
    LinkRig rig(false, 5, LinkRig::Timing::Manual);
    const uint16_t port = FreeLoopbackPort(SOCK_STREAM);
    rig.UseSocketPort(port);
    TcpDtu dtu(port);
    rig.AddPort(7, "T1", 1, "127.0.0.1");

    auto accepted = [&] { return dtu.Accept(0ms) >= 0; };
    ASSERT_TRUE(rig.TurnUntil(accepted));
    for (int k = 0; k < 3; ++k) {
        dtu.CloseConnection();  // at once: a short-lived connection counts as a failed attempt
        EXPECT_FALSE(rig.TurnUntil(accepted, 30ms)) << k;
        rig.Advance(999ms);
        EXPECT_FALSE(rig.TurnUntil(accepted, 30ms)) << k;
        rig.Advance(1ms);
        EXPECT_TRUE(rig.TurnUntil(accepted)) << k;
    }
}

TEST(HostilePeer, AHeldChunkReachesItsDtuAfterTheSharedTargetMoves)
{
    LinkRig rig(true, 5, LinkRig::Timing::Manual);
    const uint16_t portA = FreeLoopbackPort(SOCK_STREAM);
    rig.UseSocketPort(portA);
    TcpDtu dtuA(portA, 4096);
    const int a = rig.AddPort(7, "A1", 1, "127.0.0.1");
    ASSERT_TRUE(rig.TurnUntil([&] { return dtuA.Accept(0ms) >= 0; }));
    ASSERT_TRUE(dtuA.ShrinkPeerSendBuffer());
    ASSERT_TRUE(rig.TurnUntil([&] { return rig.Status(a).online; }));
    ASSERT_EQ(rig.table->GetSharedTargetCode(), "A1");

    SerialApp app(rig.Path(a));
    ASSERT_TRUE(app.IsOpen());
    const Bytes stream = Pattern(300000, 9);
    ASSERT_TRUE(rig.Write(app, stream));
    ASSERT_TRUE(WaitUntilSentStalls(rig, a));  // DTU A reads nothing: a chunk is held

    const uint16_t portB = FreeLoopbackPort(SOCK_STREAM);
    rig.UseSocketPort(portB);
    TcpDtu dtuB(portB);
    const int b = rig.AddPort(8, "B2", 1, "127.0.0.1");
    ASSERT_TRUE(rig.TurnUntil([&] { return dtuB.Accept(0ms) >= 0; }));
    ASSERT_TRUE(rig.TurnUntil([&] { return rig.Status(b).online; }));
    ASSERT_EQ(rig.table->SelectSharedTarget("B2"), true);

    // A gets a prefix of the stream with the held chunk at its end, B the rest: nothing lost.
    Bytes received, rest;
    ASSERT_TRUE(rig.RunUntil(
        [&] {
            ReadUpTo(dtuA, received, stream.size());
            ReadUpTo(dtuB, rest, stream.size());
            return received.size() + rest.size() >= stream.size();
        },
        10ms));
    EXPECT_EQ(rig.Status(a).statistics.txBytes, received.size());
    received.insert(received.end(), rest.begin(), rest.end());
    EXPECT_EQ(received.size(), stream.size());
    EXPECT_TRUE(received == stream);
}
