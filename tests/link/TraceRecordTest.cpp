#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/TraceRecord.h"

namespace {

using Bytes = std::vector<uint8_t>;

TraceEvent Data(TraceKind kind, uint16_t slot, uint16_t number, int64_t timeUs, const Bytes& bytes)
{
    TraceEvent event;
    event.kind = kind;
    event.slot = slot;
    event.number = number;
    event.timeUs = timeUs;
    event.bytes = bytes.data();
    event.length = bytes.size();
    return event;
}

TraceEvent Text(TraceKind kind, uint16_t slot, uint16_t number, std::string_view text)
{
    TraceEvent event;
    event.kind = kind;
    event.slot = slot;
    event.number = number;
    event.timeUs = 1;
    event.text = text;
    return event;
}

std::vector<TraceRecord> DecodeAll(const Bytes& stream, size_t piece)
{
    TraceDecoder decoder;
    std::vector<TraceRecord> records;
    for (size_t at = 0; at < stream.size(); at += piece) {
        decoder.Feed(stream.data() + at, std::min(piece, stream.size() - at));
        TraceRecord record;
        TraceDecoder::Status status;
        while ((status = decoder.Next(record)) == TraceDecoder::Status::Record)
            records.push_back(record);
        EXPECT_EQ(status, TraceDecoder::Status::NeedMore) << decoder.Error();
    }
    EXPECT_EQ(decoder.Buffered(), 0u);
    return records;
}

TraceDecoder::Status DecodeOne(const Bytes& stream, std::string* error = nullptr)
{
    TraceDecoder decoder;
    decoder.Feed(stream.data(), stream.size());
    TraceRecord record;
    const TraceDecoder::Status status = decoder.Next(record);
    if (error)
        *error = decoder.Error();
    return status;
}

}  // namespace

TEST(TraceRecord, HeaderLayoutIsFixedAndLittleEndian)
{
    const Bytes payload = {0x01, 0x03, 0x00};
    TraceEvent event = Data(TraceKind::FromDtu, 3, 7, 0x0102030405060708, payload);
    Bytes out;
    AppendTraceRecord(event, out);
    const Bytes expected = {'T', 'R', 1, 0, 3, 0, 7, 0, 0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01,
                            0,   0,   0, 0, 0, 0, 0, 0, 0,    0,    3,    0,    0x01, 0x03, 0x00};
    EXPECT_EQ(out, expected);
    EXPECT_EQ(TraceRecordSize(event), expected.size());

    TraceEvent lost;
    lost.kind = TraceKind::RecordsLost;
    lost.count = 0x1234;
    lost.timeUs = -1;  // before the epoch still round-trips
    out.clear();
    AppendTraceRecord(lost, out);
    ASSERT_EQ(out.size(), TraceRecordLayout::HeaderSize);
    EXPECT_EQ(out[2], 13);
    EXPECT_EQ(out[16], 0x34);
    EXPECT_EQ(out[17], 0x12);
    const std::vector<TraceRecord> back = DecodeAll(out, out.size());
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].timeUs, -1);
    EXPECT_EQ(back[0].count, 0x1234u);
}

TEST(TraceRecord, EveryKindRoundTripsInPiecesOfAnySize)
{
    const Bytes modbus = {0x01, 0x03, 0x00, 0x00, 0x00, 0x0a, 0xc5, 0xcd};
    Bytes chunk(1000);
    for (size_t i = 0; i < chunk.size(); ++i)
        chunk[i] = static_cast<uint8_t>(i * 7);
    const Bytes code = {'X', '9'};

    std::vector<TraceEvent> events = {
        Data(TraceKind::FromDtu, 1, 5, 1765191636123456, modbus),
        Data(TraceKind::FromApplication, 200, 256, 1765191636123457, chunk),
        Text(TraceKind::Login, 1, 5, "192.0.2.7:40001"),
        Text(TraceKind::Online, 1, 5, ""),
        Text(TraceKind::Offline, 1, 5, "no login for 300 s"),
        Text(TraceKind::TcpConnect, 2, 6, "192.0.2.8:502"),
        Text(TraceKind::TcpRefused, 2, 6, "Connection refused"),
        Text(TraceKind::TcpUp, 2, 6, "192.0.2.8:502"),
        Text(TraceKind::TcpDown, 2, 6, "Connection reset by peer"),
    };
    TraceEvent dropped = Text(TraceKind::BytesDropped, 1, 5, "");
    dropped.count = 4096;
    TraceEvent oversized = Text(TraceKind::Oversized, 1, 5, "192.0.2.7:40001");
    oversized.count = 2001;
    TraceEvent unknown = Text(TraceKind::UnknownCode, 0, 0, "198.51.100.1:9");
    unknown.count = 20;
    unknown.bytes = code.data();
    unknown.length = code.size();
    TraceEvent lost = Text(TraceKind::RecordsLost, 0, 0, "");
    lost.count = 3;
    events.insert(events.end(), {dropped, oversized, unknown, lost});

    Bytes stream;
    for (const TraceEvent& event : events)
        AppendTraceRecord(event, stream);

    for (size_t piece : {size_t(1), size_t(5), size_t(27), size_t(28), size_t(29), size_t(1000), stream.size()}) {
        SCOPED_TRACE(piece);
        const std::vector<TraceRecord> back = DecodeAll(stream, piece);
        ASSERT_EQ(back.size(), events.size());
        for (size_t i = 0; i < events.size(); ++i) {
            EXPECT_EQ(back[i].kind, events[i].kind);
            EXPECT_EQ(back[i].slot, events[i].slot);
            EXPECT_EQ(back[i].number, events[i].number);
            EXPECT_EQ(back[i].timeUs, events[i].timeUs);
            EXPECT_EQ(back[i].count, events[i].count);
            EXPECT_EQ(back[i].text, events[i].text);
            EXPECT_EQ(back[i].bytes, Bytes(events[i].bytes, events[i].bytes + events[i].length));
        }
    }
}

TEST(TraceRecord, TooLongTextIsCutOnACharacterBoundary)
{
    // 85 three-byte characters (255 bytes) and one more: the last one would straddle the cut.
    std::string text;
    for (int i = 0; i < 86; ++i)
        text += "\xe7\xab\xaf";
    Bytes out;
    AppendTraceRecord(Text(TraceKind::TcpDown, 1, 1, text), out);
    const std::vector<TraceRecord> back = DecodeAll(out, 64);
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].text, text.substr(0, 255));
}

TEST(TraceRecord, MalformedInputIsRejectedAndStaysRejected)
{
    const Bytes payload = {1, 2, 3};
    Bytes good;
    AppendTraceRecord(Data(TraceKind::FromDtu, 3, 7, 5, payload), good);
    std::string error;

    Bytes badMagic = good;
    badMagic[0] = 'X';
    EXPECT_EQ(DecodeOne(badMagic, &error), TraceDecoder::Status::Malformed);
    EXPECT_NE(error.find("magic"), std::string::npos);
    // A stream that is not a trace fails on its first byte, not after a header's worth.
    EXPECT_EQ(DecodeOne(Bytes{'{'}), TraceDecoder::Status::Malformed);

    Bytes badKind = good;
    badKind[2] = 0;
    EXPECT_EQ(DecodeOne(badKind), TraceDecoder::Status::Malformed);
    badKind[2] = 14;
    EXPECT_EQ(DecodeOne(badKind), TraceDecoder::Status::Malformed);

    Bytes reserved = good;
    reserved[3] = 1;
    EXPECT_EQ(DecodeOne(reserved), TraceDecoder::Status::Malformed);

    Bytes noSlot = good;
    noSlot[4] = 0;
    EXPECT_EQ(DecodeOne(noSlot), TraceDecoder::Status::Malformed);
    Bytes slotTooHigh = good;
    slotTooHigh[4] = 201;
    EXPECT_EQ(DecodeOne(slotTooHigh), TraceDecoder::Status::Malformed);

    // Data records carry no text and no count; a lost record belongs to no port.
    Bytes textOnData = good;
    textOnData[24] = 1;
    EXPECT_EQ(DecodeOne(textOnData, &error), TraceDecoder::Status::Malformed);
    Bytes countOnData = good;
    countOnData[16] = 1;
    EXPECT_EQ(DecodeOne(countOnData), TraceDecoder::Status::Malformed);
    Bytes lostOnPort;
    TraceEvent lost;
    lost.kind = TraceKind::RecordsLost;
    lost.count = 1;
    AppendTraceRecord(lost, lostOnPort);
    lostOnPort[4] = 1;
    EXPECT_EQ(DecodeOne(lostOnPort), TraceDecoder::Status::Malformed);

    Bytes longText;
    AppendTraceRecord(Text(TraceKind::Login, 1, 1, "x"), longText);
    longText[24] = 0x01;
    longText[25] = 0x01;  // 257 bytes of text
    EXPECT_EQ(DecodeOne(longText), TraceDecoder::Status::Malformed);

    // Once out of step, later good records are not taken as records.
    TraceDecoder decoder;
    decoder.Feed(badMagic.data(), badMagic.size());
    TraceRecord record;
    EXPECT_EQ(decoder.Next(record), TraceDecoder::Status::Malformed);
    decoder.Feed(good.data(), good.size());
    EXPECT_EQ(decoder.Next(record), TraceDecoder::Status::Malformed);
}

TEST(TraceRecord, AStreamThatEndsMidRecordLeavesBytesBuffered)
{
    const Bytes payload = {1, 2, 3};
    Bytes good;
    AppendTraceRecord(Data(TraceKind::FromDtu, 3, 7, 5, payload), good);
    TraceDecoder decoder;
    decoder.Feed(good.data(), good.size() - 1);
    TraceRecord record;
    EXPECT_EQ(decoder.Next(record), TraceDecoder::Status::NeedMore);
    EXPECT_EQ(decoder.Buffered(), good.size() - 1);
}
