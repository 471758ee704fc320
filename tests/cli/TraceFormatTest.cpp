#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include "format/TraceFormat.h"

namespace {

const int64_t Time = 1765191636123456;  // 2025-12-08T11:00:36.123456Z

TraceRecord Record(TraceKind kind, std::vector<uint8_t> bytes = {}, std::string text = {}, uint64_t count = 0)
{
    TraceRecord record;
    record.kind = kind;
    record.slot = 3;
    record.number = 7;
    record.timeUs = Time;
    record.bytes = std::move(bytes);
    record.text = std::move(text);
    record.count = count;
    return record;
}

TraceRecord Global(TraceKind kind, std::vector<uint8_t> bytes, std::string text, uint64_t count)
{
    TraceRecord record = Record(kind, std::move(bytes), std::move(text), count);
    record.slot = 0;
    record.number = 0;
    return record;
}

QJsonObject Json(const TraceRecord& record)
{
    const QString line = TraceLine(record, TraceStyle::Json);
    EXPECT_FALSE(line.contains('\n'));
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(line.toUtf8(), &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << line.toStdString();
    return document.object();
}

}  // namespace

TEST(TraceFormat, TimeIsUtcWithMicroseconds)
{
    EXPECT_EQ(TraceTimeText(Time), "2025-12-08T11:00:36.123456Z");
    EXPECT_EQ(TraceTimeText(0), "1970-01-01T00:00:00.000000Z");
    EXPECT_EQ(TraceTimeText(-1), "1969-12-31T23:59:59.999999Z");
    EXPECT_EQ(TraceTimeText(1000005), "1970-01-01T00:00:01.000005Z");
}

TEST(TraceFormat, DataInEveryStyle)
{
    const TraceRecord rx = Record(TraceKind::FromDtu, {0x01, 0x03, 'A', 'b', 0x0d, 0x0a, '\\', 0xff});
    EXPECT_EQ(TraceLine(rx, TraceStyle::HexAndText),
              "2025-12-08T11:00:36.123456Z COM7 rx 8 bytes  01 03 41 62 0d 0a 5c ff  |..Ab..\\.|");
    EXPECT_EQ(TraceLine(rx, TraceStyle::Text),
              "2025-12-08T11:00:36.123456Z COM7 rx 8 bytes  \\x01\\x03Ab\\r\\n\\\\\\xff");
    EXPECT_EQ(TraceLine(rx, TraceStyle::Hex), "2025-12-08T11:00:36.123456Z COM7 rx 8 bytes  01 03 41 62 0d 0a 5c ff");
    const TraceRecord tx = Record(TraceKind::FromApplication, {'x'});
    EXPECT_EQ(TraceLine(tx, TraceStyle::HexAndText), "2025-12-08T11:00:36.123456Z COM7 tx 1 byte  78  |x|");
    EXPECT_EQ(TraceLine(Record(TraceKind::FromDtu), TraceStyle::HexAndText),
              "2025-12-08T11:00:36.123456Z COM7 rx 0 bytes");
}

TEST(TraceFormat, WhatADtuSendsNeverDrivesTheTerminal)
{
    // An escape sequence that would clear the screen and set the window title.
    const std::vector<uint8_t> hostile = {0x1b, '[', '2', 'J', 0x1b, ']', '0', ';', 'x', 0x07, 0x9b, 0x00};
    for (TraceStyle style : {TraceStyle::HexAndText, TraceStyle::Text, TraceStyle::Hex, TraceStyle::Json}) {
        const QString line = TraceLine(Record(TraceKind::FromDtu, hostile), style);
        for (QChar c : line)
            EXPECT_FALSE(c.unicode() < 0x20 || (c.unicode() >= 0x7f && c.unicode() <= 0x9f)) << line.toStdString();
    }
    const QString code = TraceLine(Global(TraceKind::UnknownCode, {0x1b, '"', 'A'}, "198.51.100.1:9\n", 20),
                                   TraceStyle::HexAndText);
    EXPECT_EQ(code,
              "2025-12-08T11:00:36.123456Z - unknown-code code \"\\x1b\\x22A\", 20 bytes from 198.51.100.1:9\\x0a");
}

TEST(TraceFormat, EveryEventHasItsLine)
{
    const QString at = QStringLiteral("2025-12-08T11:00:36.123456Z COM7 ");
    EXPECT_EQ(TraceLine(Record(TraceKind::Login, {}, "192.0.2.7:40001"), TraceStyle::Hex),
              at + "login 192.0.2.7:40001");
    EXPECT_EQ(TraceLine(Record(TraceKind::Online), TraceStyle::Hex), at + "online");
    EXPECT_EQ(TraceLine(Record(TraceKind::Offline, {}, "no login for 300 s"), TraceStyle::Text),
              at + "offline no login for 300 s");
    EXPECT_EQ(TraceLine(Record(TraceKind::TcpConnect, {}, "192.0.2.8:502"), TraceStyle::HexAndText),
              at + "tcp-connect 192.0.2.8:502");
    EXPECT_EQ(TraceEventText(Record(TraceKind::TcpRefused, {}, "Connection refused")),
              "tcp-refused Connection refused");
    EXPECT_EQ(TraceEventText(Record(TraceKind::TcpUp, {}, "192.0.2.8:502")), "tcp-up 192.0.2.8:502");
    EXPECT_EQ(TraceEventText(Record(TraceKind::TcpDown, {}, "Connection reset by peer")),
              "tcp-down Connection reset by peer");
    EXPECT_EQ(TraceEventText(Record(TraceKind::BytesDropped, {}, {}, 4096)), "dropped 4096 bytes");
    EXPECT_EQ(TraceEventText(Record(TraceKind::Oversized, {}, "192.0.2.7:40001", 2100)),
              "oversized 2100 bytes from 192.0.2.7:40001");
    EXPECT_EQ(TraceLine(Global(TraceKind::RecordsLost, {}, {}, 1), TraceStyle::Hex),
              "2025-12-08T11:00:36.123456Z - lost 1 trace record");
    EXPECT_EQ(TraceEventText(Global(TraceKind::RecordsLost, {}, {}, 9)), "lost 9 trace records");
}

TEST(TraceFormat, JsonIsOneObjectALineWithTheKindsFields)
{
    QJsonObject rx = Json(Record(TraceKind::FromDtu, {0x01, 0xab}));
    EXPECT_EQ(rx.value("time").toString(), "2025-12-08T11:00:36.123456Z");
    EXPECT_EQ(rx.value("time_us").toInteger(), Time);
    EXPECT_EQ(rx.value("slot").toInt(), 3);
    EXPECT_EQ(rx.value("port").toString(), "COM7");
    EXPECT_EQ(rx.value("event").toString(), "rx");
    EXPECT_EQ(rx.value("length").toInt(), 2);
    EXPECT_EQ(rx.value("hex").toString(), "01ab");

    EXPECT_EQ(Json(Record(TraceKind::Login, {}, "192.0.2.7:40001")).value("address").toString(), "192.0.2.7:40001");
    EXPECT_EQ(Json(Record(TraceKind::TcpDown, {}, "Connection reset by peer")).value("reason").toString(),
              "Connection reset by peer");
    EXPECT_EQ(Json(Record(TraceKind::BytesDropped, {}, {}, 12)).value("bytes").toInt(), 12);
    const QJsonObject oversized = Json(Record(TraceKind::Oversized, {}, "192.0.2.7:1", 2100));
    EXPECT_EQ(oversized.value("source").toString(), "192.0.2.7:1");
    EXPECT_EQ(oversized.value("length").toInt(), 2100);

    const QJsonObject unknown = Json(Global(TraceKind::UnknownCode, {'Z', 0x1b}, "198.51.100.1:9", 20));
    EXPECT_TRUE(unknown.value("slot").isNull());
    EXPECT_TRUE(unknown.value("port").isNull());
    EXPECT_EQ(unknown.value("code").toString(), "Z\\x1b");
    EXPECT_EQ(unknown.value("code_hex").toString(), "5a1b");
    EXPECT_EQ(unknown.value("source").toString(), "198.51.100.1:9");
    EXPECT_EQ(Json(Global(TraceKind::RecordsLost, {}, {}, 9)).value("records").toInt(), 9);
    EXPECT_EQ(Json(Record(TraceKind::Online)).keys(), QStringList({"event", "port", "slot", "time", "time_us"}));
}
