#include <gtest/gtest.h>

#include <vector>

#include "LinkTestSupport.h"
#include "link/LinkPump.h"
#include "link/PortRecords.h"
#include "link/PortTrace.h"
#include "link/StatusBoard.h"
#include "link/VirtualPortEntry.h"
#include "net/EventLoop.h"
#include "vport/PtyMonitor.h"
#include "vport/VirtualSerialPort.h"

namespace {

// What a pump sees of the data path: the datagrams it hands over are kept, and sending can be
// made to fail.
class RecordingHost : public LinkPump::Host {
public:
    explicit RecordingHost(EventLoop& loop) : clock_(loop.Time()), trace_(loop) {}

    Clock& Time() const override { return clock_; }
    PortTrace& Trace() override { return trace_; }
    bool IsSharedTarget(const VirtualPortEntry&) const override { return true; }
    bool SendDatagram(const SocketAddress& to, const uint8_t* data, int size) override
    {
        destinations.push_back(to);
        datagrams.emplace_back(data, data + size);
        return sends;
    }
    TcpConnection* TcpLink(const VirtualPortEntry&) override { return nullptr; }
    void Changed() override { ++changes; }

    bool sends = true;
    std::vector<SocketAddress> destinations;
    std::vector<Bytes> datagrams;
    int changes = 0;

private:
    Clock& clock_;
    PortTrace trace_;
};

// A pump with its own port, turned by the test on a manual clock, without a port table.
struct LonePump {
    LonePump() : loop(clock), monitor(loop), host(loop)
    {
        entry.config.Code = "A1";
        entry.config.FrameGap = 0;
        entry.peerAddress = Ipv4("127.0.0.1", 4000);
        if (!port.Open("COM7", monitor))
            throw std::runtime_error("port: " + port.OpenFailure().English());
        app = std::make_unique<SerialApp>(port.DevicePath());
        pump = std::make_unique<LinkPump>(host, entry, &port, false);
    }
    // The application's bytes, taken in by the port.
    bool Write(const std::string& text)
    {
        const int before = port.Pending();
        return app->Write(ToBytes(text))
               && loop.RunUntil([&] { return port.Pending() == before + static_cast<int>(text.size()); }, 10s);
    }

    TempRuntimeDir runtimeDir;
    ManualClock clock;
    EventLoop loop;
    PtyMonitor monitor;
    RecordingHost host;
    VirtualPortEntry entry;
    VirtualSerialPort port;
    std::unique_ptr<SerialApp> app;
    std::unique_ptr<LinkPump> pump;
};

}  // namespace

TEST(LinkPump, AChunkLeavesAsOneDataDatagramToTheDtuAndIsCounted)
{
    LonePump p;
    ASSERT_TRUE(p.Write("AT\r"));
    EXPECT_EQ(p.pump->Pass(), LinkPump::Sleep::UntilInput);
    ASSERT_EQ(p.host.datagrams.size(), 1u);
    Bytes want = Header("A1", 3);
    want.insert(want.end(), {'A', 'T', '\r'});
    EXPECT_EQ(p.host.datagrams[0], want);
    EXPECT_TRUE(p.host.destinations[0].Equals(p.entry.peerAddress));
    EXPECT_EQ(p.entry.statistics.txBytes, 3u);
    EXPECT_EQ(p.entry.statistics.txChunks, 1u);
    EXPECT_EQ(p.host.changes, 1);
}

// A chunk that cannot leave is lost, as on a serial line: not counted, not tried again, said.
TEST(LinkPump, AUdpChunkThatCannotLeaveIsLostAndNotCounted)
{
    LonePump p;
    p.host.sends = false;
    ASSERT_TRUE(p.Write("lost"));
    p.pump->Pass();
    EXPECT_EQ(p.port.Pending(), 0);
    EXPECT_EQ(p.entry.statistics.txBytes, 0u);
    EXPECT_EQ(p.entry.lastError.kind, Reason::Kind::ChunkNotSent);
    EXPECT_EQ(p.entry.lastError.detail, "4");
    p.pump->Pass();
    EXPECT_EQ(p.host.datagrams.size(), 1u);
}

// A TCP port whose link is down keeps the application's bytes queued in the port.
TEST(LinkPump, ATcpPortWithoutItsLinkKeepsTheBytes)
{
    LonePump p;
    p.entry.config.UseTcp = 1;
    ASSERT_TRUE(p.Write("held"));
    EXPECT_EQ(p.pump->Pass(), LinkPump::Sleep::UntilWoken);
    EXPECT_EQ(p.port.Pending(), 4);
    EXPECT_TRUE(p.host.datagrams.empty());
}

// The loop publishes a new copy only when a record changed, and builds anew only that
// record's status: readers of the others keep sharing theirs.
TEST(StatusBoard, OnlyWhatChangedIsPublishedAnew)
{
    PortRecords records;
    records[2].portHeld = 1;
    records[2].config.PortNumber = 7;
    records[5].portHeld = 1;
    records[5].config.PortNumber = 8;
    StatusBoard board;
    const auto portOf = [](const VirtualPortEntry&) -> const VirtualSerialPort* { return nullptr; };
    const Clock::time_point now{};
    ASSERT_TRUE(board.Publish(records, portOf, now, {}, "#NoSelected"));
    const auto first = board.Latest();
    EXPECT_EQ(first->Find(2)->config.PortNumber, 7);
    EXPECT_EQ(first->Find(3), nullptr);
    EXPECT_FALSE(board.Publish(records, portOf, now, {}, "#NoSelected"));
    EXPECT_EQ(board.Latest(), first);

    // Two errors in the same millisecond are still two changes.
    records[5].lastError = {Reason::Kind::ChunkWithoutDtu, {}, "3"};
    ASSERT_TRUE(board.Publish(records, portOf, now, {}, "#NoSelected"));
    records[5].lastError = {Reason::Kind::ChunkWithoutDtu, {}, "5"};
    ASSERT_TRUE(board.Publish(records, portOf, now, {}, "#NoSelected"));
    const auto second = board.Latest();
    EXPECT_EQ(second->Find(5)->lastError.detail, "5");
    EXPECT_EQ(second->statuses[2], first->statuses[2]);
    EXPECT_EQ(first->Find(5)->lastError.kind, Reason::Kind::None);  // a reader's copy stays as it was

    records[2].portHeld = 0;
    ASSERT_TRUE(board.Publish(records, portOf, now, {3, "ZZ", {}}, "A1"));
    EXPECT_EQ(board.Latest()->Find(2), nullptr);
    EXPECT_EQ(board.Latest()->unmatched.count, 3u);
    EXPECT_EQ(board.Latest()->sharedTargetCode, "A1");
}
