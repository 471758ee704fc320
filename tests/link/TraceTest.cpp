#include <gtest/gtest.h>

#include <filesystem>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "LinkTestSupport.h"
#include "link/DtuPacket.h"
#include "link/PortTrace.h"
#include "link/TraceRecord.h"
#include "net/TcpConnection.h"

namespace {

// The reading end of a trace the table writes, as a monitor holds it.
class TraceReader {
public:
    TraceReader(LinkRig& rig, const std::vector<int>& slots, int receiveBuffer = 0) : rig_(rig)
    {
        int ends[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
        fd_ = ends[0];
        if (receiveBuffer > 0) {
            setsockopt(ends[0], SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
            setsockopt(ends[1], SOL_SOCKET, SO_SNDBUF, &receiveBuffer, sizeof receiveBuffer);
        }
        rig.table->AddTraceWatcher(ends[1], slots);
    }
    ~TraceReader() { Close(); }
    void Close()
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }

    // The next record within the limit, none at the end of the stream or the limit.
    std::optional<TraceRecord> Next(std::chrono::milliseconds limit = 10s)
    {
        const auto end = std::chrono::steady_clock::now() + limit;
        TraceRecord record;
        for (;;) {
            const TraceDecoder::Status status = decoder_.Next(record);
            EXPECT_NE(status, TraceDecoder::Status::Malformed) << decoder_.Error();
            if (status == TraceDecoder::Status::Record)
                return record;
            if (status == TraceDecoder::Status::Malformed)
                return std::nullopt;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end
                                                                                    - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return std::nullopt;
            // On the manual clock the records wait for their flush until the clock moves.
            const bool manual = rig_.timing == LinkRig::Timing::Manual;
            if (manual)
                rig_.Advance(PortTrace::FlushDelay);
            pollfd p{fd_, POLLIN, 0};
            const int ready = poll(&p, 1, manual ? 1 : static_cast<int>(left.count()));
            if (ready == 0 && manual)
                continue;
            if (ready <= 0)
                return std::nullopt;
            uint8_t buffer[65536];
            const ssize_t got = read(fd_, buffer, sizeof buffer);
            if (got <= 0)
                return std::nullopt;
            decoder_.Feed(buffer, static_cast<size_t>(got));
        }
    }
    // The next record, checked to carry these bytes in this direction; none when none came.
    std::optional<TraceRecord> NextData(TraceKind kind, const Bytes& bytes)
    {
        auto record = Next();
        if (record) {
            EXPECT_EQ(record->kind, kind);
            EXPECT_EQ(record->bytes, bytes);
        }
        return record;
    }
    // The next record of one of the kinds, skipping others.
    std::optional<TraceRecord> NextOf(std::initializer_list<TraceKind> kinds, std::chrono::milliseconds limit = 10s)
    {
        while (auto record = Next(limit)) {
            if (std::find(kinds.begin(), kinds.end(), record->kind) != kinds.end())
                return record;
        }
        return std::nullopt;
    }

private:
    LinkRig& rig_;
    int fd_ = -1;
    TraceDecoder decoder_;
};

size_t OpenDescriptors()
{
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

std::string Text(const TraceRecord& record)
{
    return record.text;
}

}  // namespace

TEST(Trace, AUdpDtusEventsAndBytesBothWaysInOrder)
{
    LinkRig rig;
    const int i = rig.AddPort(7, "A1");
    const int other = rig.AddPort(8, "B1");
    TraceReader trace(rig, {i});
    SerialApp app(rig.Path(i));
    ASSERT_TRUE(app.IsOpen());
    UdpDtu dtu(rig.serverPort);
    const std::string address = "127.0.0.1:" + std::to_string(dtu.Port());

    dtu.SendLogin("A1");
    ASSERT_TRUE(dtu.Receive());
    UdpDtu otherDtu(rig.serverPort);
    otherDtu.SendLogin("B1");  // another port: not in this trace
    ASSERT_TRUE(otherDtu.Receive());
    dtu.SendData("A1", ToBytes("hello"));
    EXPECT_EQ(app.Read(5), ToBytes("hello"));
    ASSERT_TRUE(app.Write(ToBytes("AT\r")));
    ASSERT_TRUE(dtu.Receive());
    dtu.SendData("A1", AllByteValues());
    EXPECT_EQ(app.Read(256), AllByteValues());

    auto login = trace.Next();
    ASSERT_TRUE(login);
    EXPECT_EQ(login->kind, TraceKind::Login);
    EXPECT_EQ(login->slot, i + 1);
    EXPECT_EQ(login->number, 7);
    EXPECT_EQ(Text(*login), address);
    auto online = trace.Next();
    ASSERT_TRUE(online);
    EXPECT_EQ(online->kind, TraceKind::Online);
    auto rx = trace.NextData(TraceKind::FromDtu, ToBytes("hello"));
    ASSERT_TRUE(rx);
    auto tx = trace.NextData(TraceKind::FromApplication, ToBytes("AT\r"));
    ASSERT_TRUE(tx);
    auto all = trace.NextData(TraceKind::FromDtu, AllByteValues());
    ASSERT_TRUE(all);
    EXPECT_LE(login->timeUs, online->timeUs);
    EXPECT_LE(rx->timeUs, tx->timeUs);
    EXPECT_LE(tx->timeUs, all->timeUs);

    // The statuses follow as the loop publishes them.
    ASSERT_TRUE(WaitUntil([&] { return rig.Status(i).statistics.txBytes == 3u; }));
    const PortStatistics s = rig.Status(i).statistics;
    EXPECT_EQ(s.rxBytes, 261u);
    EXPECT_EQ(s.rxDatagrams, 2u);
    EXPECT_EQ(s.txBytes, 3u);
    EXPECT_EQ(s.txChunks, 1u);
    EXPECT_EQ(s.logins, 1u);
    EXPECT_EQ(rig.Status(other).statistics.logins, 1u);

    // A datagram of no port reaches every watcher; a login from elsewhere is an address change.
    UdpDtu stranger(rig.serverPort);
    stranger.SendData("ZZ9", ToBytes("x"));
    auto unknown = trace.Next();
    ASSERT_TRUE(unknown);
    EXPECT_EQ(unknown->kind, TraceKind::UnknownCode);
    EXPECT_EQ(unknown->slot, 0);
    EXPECT_EQ(Text(*unknown), "127.0.0.1:" + std::to_string(stranger.Port()));
    EXPECT_EQ(unknown->bytes, ToBytes("ZZ9"));
    UdpDtu moved(rig.serverPort);
    moved.SendLogin("A1");
    ASSERT_TRUE(moved.Receive());
    auto again = trace.Next();
    ASSERT_TRUE(again);
    EXPECT_EQ(again->kind, TraceKind::Login);
    EXPECT_EQ(Text(*again), "127.0.0.1:" + std::to_string(moved.Port()));
    ASSERT_TRUE(WaitUntil([&] { return rig.Status(i).statistics.logins == 2u; }));
    EXPECT_EQ(rig.Status(i).statistics.loginAddressChanges, 1u);
}

TEST(Trace, ATcpDtusConnectionAndBytesBothWaysInOrder)
{
    LinkRig rig(false, 5, LinkRig::Timing::Manual);
    const uint16_t port = FreeLoopbackPort(SOCK_STREAM);
    rig.UseSocketPort(port);
    const std::string address = "127.0.0.1:" + std::to_string(port);
    TraceReader trace(rig, {});                          // every port
    const int i = rig.AddPort(7, "T1", 1, "127.0.0.1");  // nobody listens yet: refused
    SerialApp app(rig.Path(i));
    ASSERT_TRUE(app.IsOpen());

    auto attempt = trace.Next();
    ASSERT_TRUE(attempt);
    EXPECT_EQ(attempt->kind, TraceKind::TcpConnect);
    EXPECT_EQ(Text(*attempt), address);
    auto refused = trace.Next();
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->kind, TraceKind::TcpRefused);
    EXPECT_FALSE(refused->text.empty());

    TcpDtu dtu(port);
    rig.Advance(TcpConnection::RetrySpacing);
    ASSERT_GE(dtu.Accept(), 0);
    auto up = trace.NextOf({TraceKind::TcpUp});
    ASSERT_TRUE(up);
    EXPECT_EQ(Text(*up), address);
    ASSERT_TRUE(dtu.Write(ToBytes("+OK")));
    Bytes read;
    EXPECT_TRUE(rig.TurnUntil([&] { return ReadUpTo(app, read, 3); }));
    EXPECT_EQ(read, ToBytes("+OK"));
    ASSERT_TRUE(app.Write(ToBytes("ATI")));
    read.clear();
    EXPECT_TRUE(rig.RunUntil([&] { return ReadUpTo(dtu, read, 3); }, 10ms));
    EXPECT_EQ(read, ToBytes("ATI"));
    auto rx = trace.NextData(TraceKind::FromDtu, ToBytes("+OK"));
    ASSERT_TRUE(rx);
    auto tx = trace.NextData(TraceKind::FromApplication, ToBytes("ATI"));
    ASSERT_TRUE(tx);

    // The DTU hangs up: down, then a new attempt that comes up.
    dtu.CloseConnection();
    auto down = trace.Next();
    ASSERT_TRUE(down);
    EXPECT_EQ(down->kind, TraceKind::TcpDown);
    rig.Advance(TcpConnection::RetrySpacing);
    ASSERT_GE(dtu.Accept(), 0);
    ASSERT_TRUE(trace.NextOf({TraceKind::TcpUp}));

    ASSERT_TRUE(WaitUntil([&] { return rig.Status(i).statistics.tcpConnects == 2u; }));
    const PortStatus status = rig.Status(i);
    EXPECT_GE(status.statistics.tcpRefusals, 1u);
    EXPECT_EQ(status.statistics.tcpConnects, 2u);
    EXPECT_EQ(status.statistics.tcpDisconnects, 1u);
    EXPECT_EQ(status.statistics.rxBytes, 3u);
    EXPECT_EQ(status.statistics.txBytes, 3u);
    EXPECT_EQ(status.lastError.kind, Reason::Kind::TcpConnectionEnded);
    EXPECT_EQ(status.statistics.lastError, "the TCP connection to " + address + " ended");
    EXPECT_GT(status.statistics.lastErrorMs, 0);
}

TEST(Trace, AWatcherThatDoesNotReadLosesRecordsAndThePortNoByte)
{
    LinkRig rig;
    const int i = rig.AddPort(7, "A1");
    TraceReader trace(rig, {i}, 4096);
    SerialApp app(rig.Path(i));
    ASSERT_TRUE(app.IsOpen());
    UdpDtu dtu(rig.serverPort);
    dtu.SendLogin("A1");
    ASSERT_TRUE(dtu.Receive());

    // Far more than the watcher's buffer and its socket hold, while the application reads.
    constexpr int Datagrams = 2000;
    Bytes sent;
    Bytes received;
    for (int k = 0; k < Datagrams; ++k) {
        const Bytes payload = Pattern(1000, static_cast<uint32_t>(k));
        dtu.SendData("A1", payload);
        sent.insert(sent.end(), payload.begin(), payload.end());
        if (k % 50 == 49) {
            const Bytes got = app.Read(sent.size() - received.size());
            received.insert(received.end(), got.begin(), got.end());
        }
    }
    EXPECT_EQ(received, sent);
    EXPECT_TRUE(WaitUntil([&] { return rig.Status(i).statistics.rxDatagrams == static_cast<uint64_t>(Datagrams); }));
    EXPECT_EQ(rig.Status(i).statistics.bytesDropped, 0u);

    // Now the watcher reads: what it got, in order, and how many it lost, said in the trace.
    ASSERT_TRUE(app.Write(ToBytes("end")));
    uint64_t data = 0;
    uint64_t lost = 0;
    int next = 0;
    bool sawEnd = false;
    while (auto record = trace.Next(3s)) {
        if (record->kind == TraceKind::FromDtu) {
            ++data;
            // Records go whole or not at all, and in order.
            ASSERT_EQ(record->bytes.size(), 1000u);
            while (next < Datagrams && record->bytes != Pattern(1000, static_cast<uint32_t>(next)))
                ++next;
            ASSERT_LT(next, Datagrams);
        } else if (record->kind == TraceKind::RecordsLost) {
            lost += record->count;
        } else if (record->kind == TraceKind::FromApplication) {
            sawEnd = true;
            break;
        }
    }
    EXPECT_TRUE(sawEnd);
    EXPECT_GT(lost, 0u);
    EXPECT_EQ(data + lost, static_cast<uint64_t>(Datagrams));
}

TEST(Trace, StatisticsFollowAHostileDatagramADropAndAWatcherThatHungUp)
{
    LinkRig rig;
    const int i = rig.AddPort(7, "A1");
    SerialApp app(rig.Path(i));
    ASSERT_TRUE(app.IsOpen());
    UdpDtu dtu(rig.serverPort);
    const std::string address = "127.0.0.1:" + std::to_string(dtu.Port());
    dtu.SendLogin("A1");
    ASSERT_TRUE(dtu.Receive());

    // A watcher that hangs up is let go at once, though nothing was written to it: its
    // descriptor (one of this process) is closed.
    const size_t descriptors = OpenDescriptors();
    {
        TraceReader gone(rig, {});
        EXPECT_EQ(OpenDescriptors(), descriptors + 2);
    }
    EXPECT_TRUE(WaitUntil([&] { return OpenDescriptors() == descriptors; }));
    TraceReader trace(rig, {i});

    // Longer than a datagram may be, with the port's code: counted for the port.
    Bytes huge = Header("A1", static_cast<uint8_t>(DtuPacketType::Data));
    const Bytes payload = Pattern(3000, 9);
    huge.insert(huge.end(), payload.begin(), payload.end());
    dtu.Send(huge);
    auto oversized = trace.Next();
    ASSERT_TRUE(oversized);
    EXPECT_EQ(oversized->kind, TraceKind::Oversized);
    EXPECT_EQ(oversized->count, huge.size());
    EXPECT_EQ(Text(*oversized), address);
    ASSERT_TRUE(WaitUntil([&] { return rig.Status(i).statistics.oversizedDatagrams == 1u; }));
    PortStatus status = rig.Status(i);
    EXPECT_EQ(status.statistics.rxDatagrams, 0u);
    EXPECT_EQ(status.lastError.kind, Reason::Kind::DatagramTooLong);

    // One of no port: counted as such, with its source.
    UdpDtu stranger(rig.serverPort);
    stranger.SendData("NOPE", ToBytes("?"));
    ASSERT_TRUE(trace.NextOf({TraceKind::UnknownCode}));
    ASSERT_TRUE(WaitUntil([&] { return rig.table->UnmatchedDatagrams().count == 1u; }));
    const PortTable::Unmatched unmatched = rig.table->UnmatchedDatagrams();
    EXPECT_EQ(unmatched.count, 1u);
    EXPECT_EQ(PortTrace::AddressText(unmatched.source), "127.0.0.1:" + std::to_string(stranger.Port()));

    // The application does not read: what the port cannot hold is dropped, counted and said.
    const Bytes chunk = Pattern(1000, 5);
    for (int k = 0; k < 1200; ++k) {
        dtu.SendData("A1", chunk);
        if (k % 100 == 99) {
            ASSERT_TRUE(
                WaitUntil([&] { return rig.Status(i).statistics.rxDatagrams == static_cast<uint64_t>(k + 1); }));
        }
    }
    auto dropped = trace.NextOf({TraceKind::BytesDropped});
    ASSERT_TRUE(dropped);
    EXPECT_GT(dropped->count, 0u);
    ASSERT_TRUE(WaitUntil([&] { return rig.Status(i).statistics.bytesDropped > 0u; }));
    status = rig.Status(i);
    EXPECT_GT(status.statistics.bytesDropped, 0u);
    EXPECT_EQ(status.statistics.rxBytes, 1200u * 1000u);
    EXPECT_EQ(status.lastError.kind, Reason::Kind::BytesDropped);
    EXPECT_EQ(status.lastError.subject, address);
}

TEST(Trace, StatisticsAreNoChangeOfStateSoTheBusSignalsNoMoreOften)
{
    PortStatus before;
    before.slot = 0;
    before.config.PortNumber = 7;
    PortStatus after = before;
    after.statistics.rxDatagrams = 5;
    after.statistics.tcpRefusals = 2;
    after.statistics.lastError = "the TCP connection to 127.0.0.1:502 ended";
    after.statistics.lastErrorMs = 1;
    after.lastError = {Reason::Kind::TcpConnectionEnded, "127.0.0.1:502"};
    EXPECT_TRUE(before.SameStateAs(after));
}
