#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "link/TraceTap.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The watcher's side of a stream the tap writes to.
struct Watcher {
    int mine = -1;
    int tap = -1;

    Watcher()
    {
        int fds[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        mine = fds[0];
        tap = fds[1];
    }
    ~Watcher()
    {
        if (mine >= 0)
            close(mine);
    }

    std::vector<TraceRecord> Read()
    {
        uint8_t piece[65536];
        for (;;) {
            const ssize_t got = recv(mine, piece, sizeof piece, MSG_DONTWAIT);
            if (got <= 0)
                break;
            decoder.Feed(piece, static_cast<size_t>(got));
        }
        std::vector<TraceRecord> records;
        TraceRecord record;
        while (decoder.Next(record) == TraceDecoder::Status::Record)
            records.push_back(record);
        return records;
    }

    TraceDecoder decoder;
};

TraceEvent Event(TraceKind kind, uint16_t slot, int64_t timeUs, const Bytes& bytes = {})
{
    TraceEvent event;
    event.kind = kind;
    event.slot = slot;
    event.number = slot == 0 ? 0 : static_cast<uint16_t>(slot + 10);
    event.timeUs = timeUs;
    event.bytes = bytes.data();
    event.length = bytes.size();
    if (kind == TraceKind::RecordsLost || kind == TraceKind::UnknownCode)
        event.count = 1;
    return event;
}

}  // namespace

TEST(TraceTap, NobodyWatchingMeansNothingIsWanted)
{
    TraceTap tap;
    EXPECT_FALSE(tap.Any());
    EXPECT_FALSE(tap.Watching(1));
    Watcher some;
    tap.Add(some.tap, {3, 5, 3});
    EXPECT_TRUE(tap.Any());
    EXPECT_TRUE(tap.Watching(3));
    EXPECT_TRUE(tap.Watching(5));
    EXPECT_FALSE(tap.Watching(4));
    Watcher all;
    tap.Add(all.tap, {});
    EXPECT_TRUE(tap.Watching(4));
    tap.Remove(all.tap);
    EXPECT_FALSE(tap.Watching(4));
    tap.Remove(some.tap);
    EXPECT_FALSE(tap.Watching(3));
    EXPECT_FALSE(tap.Any());
}

TEST(TraceTap, EachWatcherGetsItsPortsAndWhatBelongsToNone)
{
    TraceTap tap;
    Watcher com3;
    Watcher all;
    tap.Add(com3.tap, {3});
    tap.Add(all.tap, {});
    const Bytes bytes = {1, 2, 3};
    tap.Emit(Event(TraceKind::FromDtu, 3, 1, bytes));
    tap.Emit(Event(TraceKind::FromApplication, 4, 2, bytes));
    tap.Emit(Event(TraceKind::UnknownCode, 0, 3));
    EXPECT_EQ(tap.WriteAll(), 0);
    EXPECT_TRUE(tap.Blocked().empty());

    const std::vector<TraceRecord> mine = com3.Read();
    ASSERT_EQ(mine.size(), 2u);
    EXPECT_EQ(mine[0].slot, 3);
    EXPECT_EQ(mine[0].bytes, bytes);
    EXPECT_EQ(mine[1].kind, TraceKind::UnknownCode);
    const std::vector<TraceRecord> every = all.Read();
    ASSERT_EQ(every.size(), 3u);
    EXPECT_EQ(every[1].slot, 4);
}

TEST(TraceTap, ASlowWatcherLosesRecordsAndTheOthersDoNot)
{
    TraceTap tap;
    Watcher slow;
    Watcher fast;
    tap.Add(slow.tap, {}, 16 * 1024);
    tap.Add(fast.tap, {}, 16 * 1024);
    const Bytes chunk(1000, 0x55);
    std::vector<TraceRecord> fastRecords;
    const int events = 2000;  // 2 MB: far beyond the socket's buffer and the watcher's
    for (int n = 0; n < events; ++n) {
        tap.Emit(Event(TraceKind::FromDtu, 1, n, chunk));
        tap.WriteAll();
        const std::vector<TraceRecord> got = fast.Read();
        fastRecords.insert(fastRecords.end(), got.begin(), got.end());
    }
    EXPECT_GT(tap.Lost(slow.tap), 0u);
    EXPECT_EQ(tap.Lost(fast.tap), 0u);
    EXPECT_EQ(tap.Blocked(), std::vector<int>{slow.tap});
    ASSERT_EQ(fastRecords.size(), static_cast<size_t>(events));

    // The slow watcher reads everything at last: what it got plus what it lost is every event.
    uint64_t seen = 0;
    uint64_t lost = 0;
    for (int round = 0; round < 100 && !tap.Blocked().empty(); ++round) {
        for (const TraceRecord& record : slow.Read())
            (record.kind == TraceKind::RecordsLost ? lost += record.count : ++seen);
        tap.WriteAll();
    }
    for (const TraceRecord& record : slow.Read())
        (record.kind == TraceKind::RecordsLost ? lost += record.count : ++seen);
    EXPECT_EQ(seen + lost, static_cast<uint64_t>(events));
    EXPECT_EQ(lost, tap.Lost(slow.tap));
}

TEST(TraceTap, AWatcherThatHasGoneIsRemovedOnTheNextWrite)
{
    TraceTap tap;
    Watcher gone;
    tap.Add(gone.tap, {2});
    close(gone.mine);
    gone.mine = -1;
    tap.Emit(Event(TraceKind::Online, 2, 1));
    EXPECT_EQ(tap.WriteAll(), 1);
    EXPECT_FALSE(tap.Any());
    EXPECT_FALSE(tap.Watching(2));
}
