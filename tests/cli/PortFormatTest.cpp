#include <QJsonArray>
#include <QJsonDocument>

#include <gtest/gtest.h>

#include "cli/PortFormat.h"
#include "cli/PortWatch.h"

namespace {

QVariantMap Port(int slot, int number, const QString& code)
{
    return {{"slot", slot},       {"number", number},   {"name", QStringLiteral("COM%1").arg(number)},
            {"code", code},       {"transport", "udp"}, {"fixed_ip", ""},
            {"peer", ""},         {"online", false},    {"rx", qlonglong(0)},
            {"tx", qlonglong(0)}, {"device", ""},       {"last_heard", qlonglong(-1)},
            {"interval", 300},    {"state", "offline"}, {"reason", ""},
            {"in_use", false}};
}

// Where each header word starts, in terminal columns.
int ColumnOf(const QString& line, const QString& word)
{
    return DisplayWidth(line.left(line.indexOf(word)));
}

TEST(PortFormat, DisplayWidthCountsChineseAsTwo)
{
    EXPECT_EQ(DisplayWidth("COM7"), 4);
    EXPECT_EQ(DisplayWidth("表A1"), 4);
    EXPECT_EQ(DisplayWidth("端口号"), 6);
    EXPECT_EQ(DisplayWidth(QString::fromUtf8("e\xcc\x81")), 1);  // e and a combining accent
    EXPECT_EQ(FitWidth("端口号", 5), "端口");
    EXPECT_EQ(FitWidth("abc", 5), "abc");
}

TEST(PortFormat, TerminalSafeEscapesControlCharacters)
{
    EXPECT_EQ(TerminalSafe("\x1b[2JA\tB\x7f"), "\\x1b[2JA\\x09B\\x7f");
    EXPECT_EQ(TerminalSafe(QString(QChar(0x9b))), "\\x9b");
    EXPECT_EQ(TerminalSafe("表A1 ok"), "表A1 ok");
}

TEST(PortFormat, TableColumnsLineUpWithWideCodes)
{
    QVariantMap wide = Port(1, 12, "表格码");
    wide["state"] = "not-served";
    wide["reason"] = "COM12: 端口目录不可用";
    QVariantMap online = Port(0, 7, "A1");
    online["online"] = true;
    online["state"] = "online";
    online["peer"] = "127.0.0.1:40000";
    online["rx"] = qlonglong(1234567);
    online["device"] = "/run/user/0/MV5840VSP/COM7";
    const QStringList lines = PortTableText({online, wide}).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 3);
    EXPECT_TRUE(lines[0].startsWith("SLOT  PORT   CODE"));
    // The state column starts at the same terminal column on every line.
    const int state = ColumnOf(lines[0], "STATE");
    EXPECT_EQ(ColumnOf(lines[1], "online"), state);
    EXPECT_EQ(ColumnOf(lines[2], "not-served"), state);
    EXPECT_EQ(ColumnOf(lines[2], "表格码"), ColumnOf(lines[0], "CODE"));
    // Counts are right-aligned under their header.
    EXPECT_EQ(ColumnOf(lines[1], "1234567") + 7, ColumnOf(lines[0], "RX") + 2);
    EXPECT_TRUE(lines[1].endsWith("/run/user/0/MV5840VSP/COM7"));
    EXPECT_TRUE(lines[2].endsWith("COM12: 端口目录不可用"));
    EXPECT_TRUE(lines[2].contains("  -  "));  // no fixed address, no peer
    for (const QString& line : lines)
        EXPECT_FALSE(line.endsWith(' '));
}

TEST(PortFormat, TableOfNoPortsIsTheHeader)
{
    EXPECT_EQ(PortTableText({}).count('\n'), 1);
}

TEST(PortFormat, TableNeverCarriesControlCharacters)
{
    const QString text = PortTableText({Port(0, 7, "\x1b]0;owned\x07")});
    EXPECT_FALSE(text.contains(QChar(0x1b)));
    EXPECT_TRUE(text.contains("\\x1b]0;owned\\x07"));
}

TEST(PortFormat, DetailsListKnownKeysFirstThenOthers)
{
    QVariantMap port = Port(3, 9, "B2");
    port["zeta"] = "new key";
    port["last_heard"] = qlonglong(0);
    const QStringList lines = PortDetailsText(port).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 17);
    EXPECT_TRUE(lines[0].startsWith("slot:"));
    EXPECT_TRUE(lines[3].startsWith("code:"));
    EXPECT_TRUE(lines[3].endsWith(" B2"));
    EXPECT_TRUE(lines[16].startsWith("zeta:"));
    EXPECT_TRUE(lines[7].endsWith(" no"));  // online
    // Values start in one column.
    EXPECT_EQ(lines[0].indexOf("3"), lines[3].indexOf("B2"));
    EXPECT_FALSE(PortDetailsText(Port(0, 1, "")).contains("1970"));
    EXPECT_TRUE(PortDetailsText(Port(0, 1, "")).contains("never"));
}

TEST(PortFormat, JsonKeepsTypesAndNullsMissingAddresses)
{
    QVariantMap fixed = Port(1, 8, "T1");
    fixed["transport"] = "tcp";
    fixed["fixed_ip"] = "10.0.0.5";
    fixed["peer"] = "10.0.0.5:3700";
    fixed["online"] = true;
    fixed["tx"] = qlonglong(5000000000);
    fixed["last_heard"] = qlonglong(1700000000123);
    const QJsonArray array = QJsonDocument::fromJson(PortsJsonText({Port(0, 7, "A1"), fixed})).array();
    ASSERT_EQ(array.size(), 2);
    const QJsonObject dynamic = array[0].toObject();
    EXPECT_TRUE(dynamic["fixed_ip"].isNull());
    EXPECT_TRUE(dynamic["peer"].isNull());
    EXPECT_TRUE(dynamic["online"].isBool());
    EXPECT_EQ(dynamic["slot"].toInt(-1), 0);  // as the program gives it
    // Every empty text is null, the time last heard too when never.
    EXPECT_TRUE(dynamic["device"].isNull());
    EXPECT_TRUE(dynamic["reason"].isNull());
    EXPECT_TRUE(dynamic["last_heard"].isNull());
    const QJsonObject tcp = array[1].toObject();
    EXPECT_EQ(tcp["fixed_ip"].toString(), "10.0.0.5");
    EXPECT_EQ(tcp["transport"].toString(), "tcp");
    EXPECT_TRUE(tcp["online"].toBool());
    EXPECT_EQ(tcp["tx"].toInteger(), 5000000000LL);
    EXPECT_EQ(tcp["last_heard"].toString(), "2023-11-14T22:13:20.123Z");
    EXPECT_EQ(QJsonDocument::fromJson(PortJsonText(fixed)).object()["number"].toInt(), 8);
}

TEST(PortFormat, PlainNamesGiveNumberAndCodeAsWordsForCompletion)
{
    QVariantMap blank = Port(2, 9, "A B");
    EXPECT_EQ(PortNamesText({Port(0, 7, "A1"), Port(1, 8, ""), blank}), "7 A1\n8\n9\n");
}

TEST(PortFormat, ByteSizes)
{
    EXPECT_EQ(ByteSize(0), "0 B");
    EXPECT_EQ(ByteSize(1023), "1023 B");
    EXPECT_EQ(ByteSize(1536), "1.5 KiB");
    EXPECT_EQ(ByteSize(3.0 * 1024 * 1024), "3.0 MiB");
}

TEST(RateMeter, RatesFromSuccessiveSamples)
{
    RateMeter meter;
    QVariantMap port = Port(4, 7, "A1");
    EXPECT_TRUE(meter.Sample({port}, 10000).isEmpty());
    port["rx"] = qlonglong(2000);
    port["tx"] = qlonglong(500);
    const QMap<int, PortRates> rates = meter.Sample({port}, 12000);
    ASSERT_TRUE(rates.contains(4));
    EXPECT_DOUBLE_EQ(rates[4].rx, 1000);
    EXPECT_DOUBLE_EQ(rates[4].tx, 250);
    // A restarted port's counters begin again: no rate for that sample.
    port["rx"] = qlonglong(10);
    EXPECT_FALSE(meter.Sample({port}, 13000).contains(4));
    // A port new in the list has none either.
    EXPECT_FALSE(meter.Sample({port, Port(5, 8, "B")}, 14000).contains(5));
}

TEST(RateMeter, WatchLinesShowRatesAndStatus)
{
    QVariantMap port = Port(0, 7, "A1");
    port["rx"] = qlonglong(4096);
    const QStringList lines = WatchLines({port, Port(1, 8, "B")}, {{0, {2048, 0}}}, "MV5840VSP  status");
    ASSERT_EQ(lines.size(), 4);
    EXPECT_EQ(lines[0], "MV5840VSP  status");
    EXPECT_TRUE(lines[1].startsWith("PORT"));
    EXPECT_TRUE(lines[2].contains("4.0 KiB"));
    EXPECT_TRUE(lines[2].contains("2.0 KiB/s"));
    EXPECT_TRUE(lines[3].contains("  -  "));
}

}  // namespace
