#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "link/TraceBuffer.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A data record of the given total size (at least the header), numbered by its time.
TraceEvent Numbered(int64_t n, const Bytes& payload)
{
    TraceEvent event;
    event.kind = TraceKind::FromDtu;
    event.slot = 1;
    event.number = 1;
    event.timeUs = n;
    event.bytes = payload.data();
    event.length = payload.size();
    return event;
}

// Takes everything waiting, front run by front run, as the watcher's stream gets it.
void Drain(TraceBuffer& buffer, Bytes& stream, size_t most = SIZE_MAX)
{
    while (buffer.Waiting() > 0 && most > 0) {
        const size_t take = std::min(buffer.FrontLength(), most);
        stream.insert(stream.end(), buffer.Front(), buffer.Front() + take);
        buffer.Consume(take);
        most -= take;
    }
}

std::vector<TraceRecord> Decode(const Bytes& stream)
{
    TraceDecoder decoder;
    decoder.Feed(stream.data(), stream.size());
    std::vector<TraceRecord> records;
    TraceRecord record;
    TraceDecoder::Status status;
    while ((status = decoder.Next(record)) == TraceDecoder::Status::Record)
        records.push_back(record);
    EXPECT_EQ(status, TraceDecoder::Status::NeedMore) << decoder.Error();
    EXPECT_EQ(decoder.Buffered(), 0u);
    return records;
}

}  // namespace

TEST(TraceBuffer, KeepsRecordsInOrderAcrossTheEndOfItsStorage)
{
    // 100-byte records in 250 bytes: every third record is written across the end.
    const Bytes payload(72, 0xAB);
    TraceBuffer buffer(250);
    Bytes stream;
    for (int64_t n = 0; n < 50; ++n) {
        ASSERT_TRUE(buffer.Push(Numbered(n, payload)));
        ASSERT_TRUE(buffer.Push(Numbered(n + 1000, payload)));
        Drain(buffer, stream, 130);  // not on a record boundary
        Drain(buffer, stream, 70);
    }
    Drain(buffer, stream);
    const std::vector<TraceRecord> records = Decode(stream);
    ASSERT_EQ(records.size(), 100u);
    for (int64_t n = 0; n < 50; ++n) {
        EXPECT_EQ(records[2 * n].timeUs, n);
        EXPECT_EQ(records[2 * n + 1].timeUs, n + 1000);
        EXPECT_EQ(records[2 * n].bytes, payload);
    }
    EXPECT_EQ(buffer.LostTotal(), 0u);
}

TEST(TraceBuffer, DropsWholeRecordsWhenFullAndSaysHowManyOnceRoomComesBack)
{
    const Bytes payload(72, 1);  // 100-byte records
    TraceBuffer buffer(350);
    for (int64_t n = 0; n < 3; ++n)
        ASSERT_TRUE(buffer.Push(Numbered(n, payload)));
    // 50 bytes left: nothing of the next records is kept, not even a part.
    for (int64_t n = 3; n < 8; ++n)
        EXPECT_FALSE(buffer.Push(Numbered(n, payload)));
    EXPECT_EQ(buffer.Waiting(), 300u);
    EXPECT_EQ(buffer.LostPending(), 5u);

    // Room for the lost record alone: it goes in as soon as the watcher has read.
    Bytes stream;
    Drain(buffer, stream, 10);
    EXPECT_EQ(buffer.LostPending(), 0u);
    EXPECT_EQ(buffer.Waiting(), 290u + TraceRecordLayout::HeaderSize);
    // 32 bytes left: the next record is dropped and counted anew.
    EXPECT_FALSE(buffer.Push(Numbered(8, payload)));
    Drain(buffer, stream);
    EXPECT_TRUE(buffer.Push(Numbered(9, payload)));
    Drain(buffer, stream);

    const std::vector<TraceRecord> records = Decode(stream);
    ASSERT_EQ(records.size(), 6u);
    EXPECT_EQ(records[0].timeUs, 0);
    EXPECT_EQ(records[2].timeUs, 2);
    EXPECT_EQ(records[3].kind, TraceKind::RecordsLost);
    EXPECT_EQ(records[3].count, 5u);
    EXPECT_EQ(records[3].timeUs, 3);  // when the first was lost
    EXPECT_EQ(records[4].kind, TraceKind::RecordsLost);
    EXPECT_EQ(records[4].count, 1u);
    EXPECT_EQ(records[5].kind, TraceKind::FromDtu);
    EXPECT_EQ(records[5].timeUs, 9);
    EXPECT_EQ(buffer.LostTotal(), 6u);
}

TEST(TraceBuffer, TheLostRecordComesBeforeTheNextKeptRecord)
{
    const Bytes payload(72, 1);
    TraceBuffer buffer(200);
    ASSERT_TRUE(buffer.Push(Numbered(0, payload)));
    ASSERT_TRUE(buffer.Push(Numbered(1, payload)));
    EXPECT_FALSE(buffer.Push(Numbered(2, payload)));
    // Read one record's worth: room for the record, but not for the record and the notice.
    Bytes stream;
    Drain(buffer, stream, 100);
    EXPECT_EQ(buffer.LostPending(), 0u);  // the notice took the room
    EXPECT_FALSE(buffer.Push(Numbered(3, payload)));
    Drain(buffer, stream);
    EXPECT_TRUE(buffer.Push(Numbered(4, payload)));
    Drain(buffer, stream);
    const std::vector<TraceRecord> records = Decode(stream);
    ASSERT_EQ(records.size(), 5u);
    EXPECT_EQ(records[2].kind, TraceKind::RecordsLost);
    EXPECT_EQ(records[3].kind, TraceKind::RecordsLost);
    EXPECT_EQ(records[4].timeUs, 4);
}

TEST(TraceBuffer, ATinyBufferStillCountsAndSaysWhatItLost)
{
    TraceBuffer buffer(0);
    EXPECT_EQ(buffer.Capacity(), TraceRecordLayout::HeaderSize);
    const Bytes one(1, 1);
    EXPECT_FALSE(buffer.Push(Numbered(0, one)));
    buffer.Consume(0);
    Bytes stream;
    Drain(buffer, stream);
    const std::vector<TraceRecord> records = Decode(stream);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].kind, TraceKind::RecordsLost);
}

TEST(TraceBuffer, ARecordLargerThanTheBufferIsCountedAsLost)
{
    TraceBuffer buffer(64);
    const Bytes big(100, 2);
    EXPECT_FALSE(buffer.Push(Numbered(0, big)));
    EXPECT_EQ(buffer.Waiting(), 0u);
    EXPECT_EQ(buffer.LostTotal(), 1u);
}

TEST(TraceBuffer, AWatcherThatStopsReadingLosesRecordsNeverWaitsAndCatchesUp)
{
    int pipeFds[2];
    ASSERT_EQ(pipe2(pipeFds, O_NONBLOCK | O_CLOEXEC), 0);
    const Bytes payload(972, 3);  // 1000-byte records
    TraceBuffer buffer(64 * 1024);

    // The watcher reads nothing: the pipe fills, then the buffer; the writer never blocks.
    int64_t pushed = 0;
    uint64_t kept = 0;
    while (buffer.LostTotal() < 100) {
        kept += buffer.Push(Numbered(pushed++, payload)) ? 1 : 0;
        ASSERT_EQ(buffer.WriteTo(pipeFds[1]), 0);
    }
    EXPECT_GT(buffer.Waiting(), 63u * 1000);

    // The watcher reads again: everything kept arrives, then the notice, then what follows.
    Bytes stream;
    uint8_t chunk[4096];
    auto readAll = [&] {
        for (;;) {
            const ssize_t got = read(pipeFds[0], chunk, sizeof chunk);
            if (got <= 0)
                break;
            stream.insert(stream.end(), chunk, chunk + got);
        }
    };
    auto catchUp = [&] {
        for (int i = 0; i < 1000 && buffer.Waiting() > 0; ++i) {
            readAll();
            ASSERT_EQ(buffer.WriteTo(pipeFds[1]), 0);
        }
        readAll();
    };
    catchUp();
    ASSERT_TRUE(buffer.Push(Numbered(pushed, payload)));
    ASSERT_EQ(buffer.WriteTo(pipeFds[1]), 0);
    catchUp();
    EXPECT_EQ(buffer.Waiting(), 0u);

    const std::vector<TraceRecord> records = Decode(stream);
    ASSERT_EQ(records.size(), kept + 2);
    for (uint64_t i = 0; i < kept; ++i)
        ASSERT_EQ(records[i].timeUs, static_cast<int64_t>(i));
    EXPECT_EQ(records[kept].kind, TraceKind::RecordsLost);
    EXPECT_EQ(records[kept].count, 100u);
    EXPECT_EQ(records[kept].timeUs, static_cast<int64_t>(kept));
    EXPECT_EQ(records[kept + 1].timeUs, pushed);

    close(pipeFds[0]);
    close(pipeFds[1]);
}

TEST(TraceBuffer, AWatcherThatHasGoneIsAnErrorNotASignal)
{
    // SIGPIPE keeps its default action: it would end this test.
    int sockets[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets), 0);
    const Bytes payload(10, 4);
    TraceBuffer buffer;
    ASSERT_TRUE(buffer.Push(Numbered(0, payload)));
    ASSERT_EQ(buffer.WriteTo(sockets[0]), 0);
    close(sockets[1]);
    ASSERT_TRUE(buffer.Push(Numbered(1, payload)));
    EXPECT_EQ(buffer.WriteTo(sockets[0]), EPIPE);
    close(sockets[0]);
}
