#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "LinkTestSupport.h"
#include "net/UdpEndpoint.h"
#include "link/DtuPacket.h"

namespace {

Bytes Payload(const Bytes& datagram, const std::string& code)
{
    Bytes header = Header(code, 3);
    EXPECT_GE(datagram.size(), 14u);
    EXPECT_TRUE(std::equal(header.begin(), header.end(), datagram.begin()));
    return Bytes(datagram.begin() + 13, datagram.end());
}

// Payload sizes of the datagrams that arrive until total bytes came.
std::vector<size_t> ReceiveChunks(UdpDtu& dtu, const std::string& code, size_t total, Bytes* joined)
{
    std::vector<size_t> sizes;
    size_t got = 0;
    while (got < total) {
        auto datagram = dtu.Receive();
        if (!datagram)
            break;
        Bytes payload = Payload(*datagram, code);
        sizes.push_back(payload.size());
        got += payload.size();
        joined->insert(joined->end(), payload.begin(), payload.end());
    }
    return sizes;
}

}  // namespace

TEST(PortPump, FramingOnAPerPortUdpPort)
{
    LinkRig rig;
    const int i = rig.AddPort(7, "A1");
    SerialApp app(rig.Path(i));
    ASSERT_TRUE(app.IsOpen());
    UdpDtu dtu(rig.serverPort);
    dtu.SendLogin("A1");
    ASSERT_TRUE(dtu.Receive());

    // 10 bytes at once leave as one 23-byte datagram.
    Bytes ten = Pattern(10, 1);
    ASSERT_TRUE(app.Write(ten));
    auto datagram = dtu.Receive();
    ASSERT_TRUE(datagram);
    EXPECT_EQ(datagram->size(), 23u);
    EXPECT_EQ(Payload(*datagram, "A1"), ten);
    EXPECT_TRUE(rig.view.WaitCell(i, PortView::ColSent, "10"));
    EXPECT_FALSE(dtu.Receive(100ms));

    // 2500 bytes in one go: 1000, 1000, 500.
    Bytes big = Pattern(2500, 2);
    ASSERT_TRUE(app.Write(big));
    Bytes joined;
    EXPECT_EQ(ReceiveChunks(dtu, "A1", 2500, &joined), (std::vector<size_t>{1000, 1000, 500}));
    EXPECT_EQ(joined, big);
    EXPECT_TRUE(rig.view.WaitCell(i, PortView::ColSent, "2510"));

    // Exactly 1000 leave as one 1013-byte datagram; 1001 as 1000, then 1.
    Bytes thousand = Pattern(1000, 3);
    ASSERT_TRUE(app.Write(thousand));
    datagram = dtu.Receive();
    ASSERT_TRUE(datagram);
    EXPECT_EQ(datagram->size(), 1013u);
    EXPECT_EQ(Payload(*datagram, "A1"), thousand);
    Bytes more = Pattern(1001, 4);
    ASSERT_TRUE(app.Write(more));
    joined.clear();
    EXPECT_EQ(ReceiveChunks(dtu, "A1", 1001, &joined), (std::vector<size_t>{1000, 1}));
    EXPECT_EQ(joined, more);
}

// Sets record i's FrameGap as an edit that keeps everything else would.
void SetFrameGap(LinkRig& rig, int i, int gapMs)
{
    PortConfig fields = rig.table->SlotConfig(i);
    fields.FrameGap = gapMs;
    rig.Edit(i, fields);
}

TEST(PortPump, WithoutAFrameGapWhatIsWaitingLeavesAtOnceInChunksOfAtMost1000)
{
    LinkRig rig;
    const int i = rig.AddPort(7, "A1");
    SetFrameGap(rig, i, 0);
    SerialApp app(rig.Path(i));
    UdpDtu dtu(rig.serverPort);
    dtu.SendLogin("A1");
    ASSERT_TRUE(dtu.Receive());

    // Nothing is waited for: two writes leave at once and in order, together when the pump
    // sees them together.
    ASSERT_TRUE(app.Write(ToBytes("ab")));
    ASSERT_TRUE(app.Write(ToBytes("cd")));
    Bytes both;
    ReceiveChunks(dtu, "A1", 4, &both);
    EXPECT_EQ(both, ToBytes("abcd"));

    Bytes big = Pattern(2500, 7);
    ASSERT_TRUE(app.Write(big));
    Bytes joined;
    for (size_t size : ReceiveChunks(dtu, "A1", big.size(), &joined))
        EXPECT_LE(size, 1000u);
    EXPECT_EQ(joined, big);
    // The count follows the datagram's sending, so it may come just after the DTU has it.
    EXPECT_TRUE(WaitUntil([&] { return rig.Status(i).statistics.txBytes == 2504u; }))
        << rig.Status(i).statistics.txBytes;
}

// On the table's own clock: a chunk leaves once its count stood still for a whole gap.
TEST(PortPump, AChunkStillGrowingWithinTheFrameGapIsHeld)
{
    LinkRig rig(false, 5, LinkRig::Timing::Manual);
    const int i = rig.AddPort(7, "A1");
    SetFrameGap(rig, i, 1000);
    SerialApp app(rig.Path(i));
    UdpDtu dtu(rig.serverPort);
    dtu.SendLogin("A1");
    ASSERT_TRUE(rig.Receive(dtu));

    // The port stamps its input on the loop's clock: the gap counts from the last bytes to the
    // microsecond.
    ASSERT_TRUE(app.Write(ToBytes("ab")));
    rig.Settle();  // the pump sees 2 bytes and waits a gap
    rig.Advance(500ms);
    ASSERT_TRUE(app.Write(ToBytes("cd")));
    rig.Settle();
    EXPECT_FALSE(dtu.Receive(0ms));
    rig.Advance(500ms);  // the first gap has passed, but the chunk grew within it
    EXPECT_FALSE(dtu.Receive(20ms));
    rig.Advance(499ms);
    EXPECT_FALSE(dtu.Receive(20ms));
    rig.Advance(1ms);  // a whole gap since "cd"
    auto datagram = rig.Receive(dtu);
    ASSERT_TRUE(datagram);
    EXPECT_EQ(Payload(*datagram, "A1"), ToBytes("abcd"));

    // The 1000-byte rule still stands: a full chunk leaves without waiting out the gap; the
    // rest of a backlog goes one chunk a gap.
    Bytes big = Pattern(2500, 8);
    ASSERT_TRUE(app.Write(big));
    rig.Settle();
    Bytes joined;
    std::vector<size_t> sizes;
    for (int k = 0; k < 3; ++k) {
        if (k > 0) {
            rig.Advance(999ms);
            EXPECT_FALSE(dtu.Receive(20ms)) << "chunk " << k << " before its gap";
            rig.Advance(1ms);
        }
        datagram = rig.Receive(dtu);
        ASSERT_TRUE(datagram) << "chunk " << k;
        const Bytes payload = Payload(*datagram, "A1");
        sizes.push_back(payload.size());
        joined.insert(joined.end(), payload.begin(), payload.end());
    }
    EXPECT_EQ(sizes, (std::vector<size_t>{1000, 1000, 500}));
    EXPECT_EQ(joined, big);
}

// A frame whose application pauses just short of the gap is one chunk: the gap is whole, from
// the moment the loop took the last bytes in, to the microsecond.
TEST(PortPump, AnApplicationPausingJustShortOfTheGapWithinAFrameIsNotSplit)
{
    LinkRig rig(false, 5, LinkRig::Timing::Manual);
    const int i = rig.AddPort(7, "A1");
    SerialApp app(rig.Path(i));
    UdpDtu dtu(rig.serverPort);
    dtu.SendLogin("A1");
    ASSERT_TRUE(rig.Receive(dtu));

    for (const auto pause : {9000us, 9900us, 9999us}) {
        ASSERT_TRUE(app.Write(ToBytes("01234")));
        rig.Settle();
        rig.Advance(pause);
        EXPECT_FALSE(dtu.Receive(0ms)) << pause.count();
        ASSERT_TRUE(app.Write(ToBytes("56789")));
        rig.Settle();
        rig.Advance(9999us);
        EXPECT_FALSE(rig.Receive(dtu, 20ms)) << "a gap short by 1 us, pause " << pause.count();
        rig.Advance(1us);
        auto datagram = rig.Receive(dtu);
        ASSERT_TRUE(datagram);
        EXPECT_EQ(Payload(*datagram, "A1"), ToBytes("0123456789")) << pause.count();
    }
}

TEST(PortPump, TheFrameGapTravelsWithTheRecordAndItsStoredValues)
{
    LinkRig rig;
    const int i = rig.AddPort(7, "A1");
    EXPECT_EQ(rig.table->SlotConfig(i).FrameGap, 10);
    PortConfig stored = rig.table->SlotConfig(i);
    EXPECT_EQ(stored.FrameGap, 10);
    stored.FrameGap = 2;
    rig.Edit(i, stored);
    EXPECT_EQ(rig.Status(i).config.FrameGap, 2);
    EXPECT_EQ(rig.table->SlotConfig(i).FrameGap, 2);
    // The next port in the slot starts with the default.
    rig.Remove(i);
    EXPECT_EQ(rig.AddPort(8, "B2"), i);
    EXPECT_EQ(rig.Status(i).config.FrameGap, 10);
}

TEST(PortPump, DataGoOutEvenToADtuThatNeverReported)
{
    LinkRig rig;
    UdpDtu dtu(rig.serverPort, "127.0.0.1", rig.settings.SocketPort);
    const int i = rig.AddPort(7, "F1", 0, "127.0.0.1");
    SerialApp app(rig.Path(i));
    ASSERT_TRUE(app.Write(ToBytes("AT")));
    auto datagram = dtu.Receive();
    ASSERT_TRUE(datagram);
    EXPECT_EQ(Payload(*datagram, "F1"), ToBytes("AT"));
}

TEST(PortPump, ALongStreamArrivesWholeAndInOrder)
{
    LinkRig rig(false, 5, LinkRig::Timing::Manual);
    const int i = rig.AddPort(7, "A1");
    SerialApp app(rig.Path(i));
    UdpDtu dtu(rig.serverPort);
    dtu.SendLogin("A1");
    ASSERT_TRUE(rig.Receive(dtu));

    // Written in pieces that straddle the chunks, while the loop turns and time passes a gap at
    // a time.
    const Bytes stream = Pattern(100000, 9);
    std::atomic<bool> written{false};
    std::jthread writer([&] {
        for (size_t at = 0; at < stream.size(); at += 700)
            app.Write(Bytes(stream.begin() + at, stream.begin() + std::min(stream.size(), at + 700)));
        written = true;
    });
    Bytes joined;
    std::vector<size_t> sizes;
    EXPECT_TRUE(rig.RunUntil(
        [&] {
            while (auto datagram = dtu.Receive(0ms)) {
                const Bytes payload = Payload(*datagram, "A1");
                sizes.push_back(payload.size());
                joined.insert(joined.end(), payload.begin(), payload.end());
            }
            return written && joined.size() >= stream.size();
        },
        10ms));
    EXPECT_EQ(joined, stream);
    for (size_t size : sizes)
        EXPECT_LE(size, 1000u);
}

TEST(SharedPort, DataFromEveryDtuLandInTheSharedPortAndOnlyTheTargetHearsBack)
{
    LinkRig rig(true, 9);
    const int first = rig.AddPort(9, "D1");
    const int second = rig.AddPort(9, "D2");
    EXPECT_EQ(rig.table->GetSharedTargetCode(), "D1");
    ASSERT_EQ(rig.Path(first), rig.Path(second));
    SerialApp app(rig.Path(first));
    ASSERT_TRUE(app.IsOpen());
    UdpDtu dtu1(rig.serverPort), dtu2(rig.serverPort);

    dtu1.SendLogin("D1");
    ASSERT_TRUE(dtu1.Receive());
    dtu2.SendLogin("D2");
    ASSERT_TRUE(dtu2.Receive());
    dtu1.SendData("D1", ToBytes("one"));
    EXPECT_EQ(app.Read(3), ToBytes("one"));
    dtu2.SendData("D2", ToBytes("two!"));
    EXPECT_EQ(app.Read(4), ToBytes("two!"));
    EXPECT_TRUE(rig.view.WaitCell(first, PortView::ColReceived, "3"));
    EXPECT_TRUE(rig.view.WaitCell(second, PortView::ColReceived, "4"));

    ASSERT_TRUE(app.Write(ToBytes("to1")));
    auto datagram = dtu1.Receive();
    ASSERT_TRUE(datagram);
    EXPECT_EQ(Payload(*datagram, "D1"), ToBytes("to1"));

    EXPECT_EQ(rig.table->SelectSharedTarget("zz"), false);
    EXPECT_EQ(rig.table->SelectSharedTarget(""), false);
    EXPECT_EQ(rig.table->GetSharedTargetCode(), "D1");
    ASSERT_EQ(rig.table->SelectSharedTarget("d2"), true);
    EXPECT_EQ(rig.table->GetSharedTargetCode(), "D2");

    ASSERT_TRUE(app.Write(ToBytes("to2")));
    datagram = dtu2.Receive();
    ASSERT_TRUE(datagram);
    EXPECT_EQ(Payload(*datagram, "D2"), ToBytes("to2"));
    EXPECT_FALSE(dtu1.Receive(100ms));
    EXPECT_TRUE(rig.view.WaitCell(second, PortView::ColSent, "3"));
    EXPECT_EQ(rig.view.Cell(first, PortView::ColSent), "3");

    // Exactly 1000 and 1001 frame as on a per-port port.
    Bytes thousand = Pattern(1000, 5);
    ASSERT_TRUE(app.Write(thousand));
    datagram = dtu2.Receive();
    ASSERT_TRUE(datagram);
    EXPECT_EQ(Payload(*datagram, "D2"), thousand);
    Bytes more = Pattern(1001, 6);
    ASSERT_TRUE(app.Write(more));
    Bytes joined;
    EXPECT_EQ(ReceiveChunks(dtu2, "D2", 1001, &joined), (std::vector<size_t>{1000, 1}));
    EXPECT_EQ(joined, more);

    // Deleting the target moves it to the lowest record left; then to none.
    rig.Remove(second);
    EXPECT_EQ(rig.table->GetSharedTargetCode(), "D1");
    ASSERT_TRUE(app.Write(ToBytes("back")));
    datagram = dtu1.Receive();
    ASSERT_TRUE(datagram);
    EXPECT_EQ(Payload(*datagram, "D1"), ToBytes("back"));
    rig.Remove(first);
    EXPECT_EQ(rig.table->GetSharedTargetCode(), "#NoSelected");
}

TEST(PortPump, PortsWithDifferentGapsSharingTheLoopEachSendTheirOwnBytes)
{
    LinkRig rig(false, 5, LinkRig::Timing::Manual);
    const int gaps[] = {0, 2, 10, 50};
    struct Port {
        int record;
        std::unique_ptr<SerialApp> app;
        std::unique_ptr<UdpDtu> dtu;
    };
    std::vector<Port> opened;
    for (int k = 0; k < 8; ++k) {
        const std::string code = "G" + std::to_string(k);
        const int i = rig.AddPort(30 + k, code);
        SetFrameGap(rig, i, gaps[k % 4]);
        Port port{i, std::make_unique<SerialApp>(rig.Path(i)), std::make_unique<UdpDtu>(rig.serverPort)};
        ASSERT_TRUE(port.app->IsOpen());
        port.dtu->SendLogin(code);
        ASSERT_TRUE(rig.Receive(*port.dtu));
        opened.push_back(std::move(port));
    }
    for (int k = 0; k < 8; ++k)
        ASSERT_TRUE(opened[k].app->Write(Pattern(10, static_cast<uint8_t>(k + 1))));
    rig.Settle();
    // Each port's chunk leaves once its own gap has passed, and no other.
    for (int ms = 0; ms <= 50; ++ms) {
        for (int k = 0; k < 8; ++k) {
            if (gaps[k % 4] > ms) {
                EXPECT_FALSE(opened[k].dtu->Receive(0ms)) << "gap " << gaps[k % 4] << " at " << ms << " ms";
            } else if (gaps[k % 4] == ms) {
                auto datagram = opened[k].dtu->Receive();
                ASSERT_TRUE(datagram) << "gap " << ms;
                EXPECT_EQ(Payload(*datagram, "G" + std::to_string(k)), Pattern(10, static_cast<uint8_t>(k + 1)));
            }
        }
        rig.Advance(1ms);
    }
    rig.Settle();
    for (int k = 0; k < 8; ++k)
        EXPECT_FALSE(opened[k].dtu->Receive(0ms));
}

TEST(PortPump, ARecordDeletedWhileItsChunkIsHeldLeavesNothingBehindForTheNextInItsSlot)
{
    LinkRig rig(false, 5, LinkRig::Timing::Manual);
    int i = rig.AddPort(7, "A1");
    SetFrameGap(rig, i, 300);
    {
        SerialApp app(rig.Path(i));
        UdpDtu dtu(rig.serverPort);
        dtu.SendLogin("A1");
        ASSERT_TRUE(rig.Receive(dtu));
        ASSERT_TRUE(app.Write(ToBytes("ab")));
        rig.Settle();        // taken in and waiting out the gap
        rig.Advance(100ms);  // well inside the gap
        rig.Remove(i);
        rig.Advance(1s);
        rig.Settle();
        EXPECT_FALSE(dtu.Receive(0ms));
    }

    i = rig.AddPort(7, "A1");
    SerialApp app(rig.Path(i));
    UdpDtu dtu(rig.serverPort);
    dtu.SendLogin("A1");
    ASSERT_TRUE(rig.Receive(dtu));
    ASSERT_TRUE(app.Write(ToBytes("cd")));
    rig.Settle();
    rig.Advance(300ms);
    auto datagram = rig.Receive(dtu);
    ASSERT_TRUE(datagram);
    EXPECT_EQ(Payload(*datagram, "A1"), ToBytes("cd"));
}

TEST(PortPump, AChunkWaitsOutItsGapAfterTheLoopHasLearntItsTimersLateness)
{
    LinkRig rig;
    const int i = rig.AddPort(7, "A1");
    SetFrameGap(rig, i, 2);
    SerialApp app(rig.Path(i));
    UdpDtu dtu(rig.serverPort);
    dtu.SendLogin("A1");
    ASSERT_TRUE(dtu.Receive());
    // The loop aims its waits early by the lateness it measures (often more than 100 us on a
    // virtual machine), never by more than a twentieth of the gap.
    for (int k = 0; k < 200; ++k) {
        const auto written = std::chrono::steady_clock::now();
        ASSERT_TRUE(app.Write(ToBytes("ab")));
        auto datagram = dtu.Receive();
        ASSERT_TRUE(datagram);
        EXPECT_GE(std::chrono::steady_clock::now() - written, 1900us) << "chunk " << k;
        EXPECT_EQ(Payload(*datagram, "A1"), ToBytes("ab"));
    }
}
