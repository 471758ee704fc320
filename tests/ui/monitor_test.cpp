// The window's live view of a port's trace, fed through a real socket pair as the program
// hands a trace out: records in pieces of any size, pause, the end of the stream and a stream
// that is not a trace.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "ui/MonitorLine.h"
#include "link/TraceRecord.h"
#include "ui/PortMonitorDialog.h"

namespace {

using Bytes = std::vector<uint8_t>;

const int64_t Time = 1796727636123456;  // 2026-12-08T11:00:36.123456Z

TraceRecord Record(TraceKind kind, Bytes bytes = {}, std::string text = {}, int64_t timeUs = Time)
{
    TraceRecord record;
    record.kind = kind;
    record.slot = 3;
    record.number = 7;
    record.timeUs = timeUs;
    record.bytes = std::move(bytes);
    record.text = std::move(text);
    return record;
}

Bytes Encoded(const std::vector<TraceRecord>& records)
{
    Bytes out;
    for (const TraceRecord& record : records)
        AppendTraceRecord(record.View(), out);
    return out;
}

// A view of COM7 reading the far end of a socket pair the test writes to.
class MonitorTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        ASSERT_EQ(fcntl(fds[1], F_SETFL, O_NONBLOCK), 0);
        program = fds[1];
        dialog = std::make_unique<PortMonitorDialog>(fds[0], QStringLiteral("COM7"));
        dialog->show();
    }

    void TearDown() override
    {
        dialog.reset();
        if (program >= 0)
            close(program);
    }

    // Writes as the program does, letting the window read while the socket is full.
    void Send(const Bytes& bytes)
    {
        size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = send(program, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n > 0)
                sent += static_cast<size_t>(n);
            else if (n < 0 && errno == EAGAIN)
                QApplication::processEvents(QEventLoop::AllEvents, 10);
            else
                FAIL() << "send: " << errno;
        }
    }

    void EndStream()
    {
        close(program);
        program = -1;
    }

    // Lets the window read until it has received count records in all (or ended), and
    // show them.
    void ReadUntil(uint64_t count)
    {
        for (int i = 0; i < 1000 && dialog->Received() < count && dialog->Reading(); ++i)
            QApplication::processEvents(QEventLoop::AllEvents, 10);
        EXPECT_GE(dialog->Received(), count);
        QElapsedTimer shown;
        shown.start();
        while (shown.elapsed() < 2 * PortMonitorDialog::ShowIntervalMs)
            QApplication::processEvents(QEventLoop::AllEvents, 10);
    }

    void ReadUntilEnded()
    {
        for (int i = 0; i < 500 && dialog->Reading(); ++i)
            QApplication::processEvents(QEventLoop::AllEvents, 10);
        EXPECT_FALSE(dialog->Reading());
    }

    QStringList Lines() const
    {
        const QString text = dialog->findChild<QPlainTextEdit*>("trace")->toPlainText();
        return text.isEmpty() ? QStringList() : text.split('\n');
    }

    QPushButton* Pause() const { return dialog->findChild<QPushButton*>("pause"); }
    QString Count() const { return dialog->findChild<QLabel*>("count")->text(); }

    int program = -1;
    std::unique_ptr<PortMonitorDialog> dialog;
};

TEST_F(MonitorTest, ShowsOneLinePerRecordInOrderInChineseWithLocalTimes)
{
    EXPECT_EQ(dialog->windowTitle(), "监视 COM7");
    EXPECT_FALSE(dialog->isModal());
    EXPECT_TRUE(dialog->findChild<QPlainTextEdit*>("trace")->isReadOnly());
    EXPECT_EQ(Pause()->text(), "暂停");
    EXPECT_EQ(Count(), "已收到 0 条记录");

    const std::vector<TraceRecord> records = {
        Record(TraceKind::Login, {}, "192.0.2.7:40001"),
        Record(TraceKind::FromDtu, {0x01, 0x03, 'A', 0x0a}, {}, Time + 1),
        Record(TraceKind::FromApplication, {'A', 'T', 0x0d}, {}, Time + 2),
    };
    Send(Encoded(records));
    ReadUntil(3);
    const QStringList lines = Lines();
    ASSERT_EQ(lines.size(), 3);
    // 11:00 UTC is 19:00 in the test's time zone (Asia/Shanghai, set in main).
    EXPECT_EQ(lines[0], "2026-12-08 19:00:36.123456 COM7 登录 192.0.2.7:40001");
    EXPECT_EQ(lines[1], "2026-12-08 19:00:36.123457 COM7 收到 4字节  01 03 41 0a  |..A.|");
    EXPECT_EQ(lines[2], "2026-12-08 19:00:36.123458 COM7 发送 3字节  41 54 0d  |AT.|");
    EXPECT_EQ(lines[2], MonitorLine(records[2]));
    EXPECT_EQ(Count(), "已收到 3 条记录");
    EXPECT_TRUE(dialog->Reading());
}

TEST_F(MonitorTest, ARecordThatArrivesInPiecesShowsOnceWhole)
{
    const Bytes bytes = Encoded({Record(TraceKind::FromDtu, {0xff, 'x'}), Record(TraceKind::Online)});
    for (size_t i = 0; i + 1 < bytes.size(); ++i) {
        Send({bytes[i]});
        QApplication::processEvents();
    }
    ReadUntil(1);
    EXPECT_EQ(Lines(), QStringList{"2026-12-08 19:00:36.123456 COM7 收到 2字节  ff 78  |.x|"});
    Send({bytes.back()});
    ReadUntil(2);
    EXPECT_EQ(Lines().value(1), "2026-12-08 19:00:36.123456 COM7 上线");
}

TEST_F(MonitorTest, PauseHoldsTheViewWhileRecordsAreStillReadAndCounted)
{
    Send(Encoded({Record(TraceKind::Online)}));
    ReadUntil(1);
    Pause()->click();
    EXPECT_TRUE(dialog->Paused());
    EXPECT_EQ(Pause()->text(), "继续");

    Send(Encoded({Record(TraceKind::FromDtu, {'1'}), Record(TraceKind::FromDtu, {'2'})}));
    ReadUntil(3);
    EXPECT_EQ(Lines().size(), 1);
    EXPECT_EQ(Count(), "已收到 3 条记录，已暂停");

    Pause()->click();
    EXPECT_EQ(Pause()->text(), "暂停");
    const QStringList lines = Lines();
    ASSERT_EQ(lines.size(), 3);
    EXPECT_TRUE(lines[1].endsWith("收到 1字节  31  |1|"));
    EXPECT_TRUE(lines[2].endsWith("收到 1字节  32  |2|"));
    EXPECT_EQ(Count(), "已收到 3 条记录");
}

TEST_F(MonitorTest, WhatWaitsWhilePausedIsBoundedAndSaysHowMuchWasLeftOut)
{
    Pause()->click();
    const int sent = PortMonitorDialog::MaxLines + 5;
    std::vector<TraceRecord> records;
    for (int i = 0; i < sent; ++i)
        records.push_back(Record(TraceKind::FromDtu, {static_cast<uint8_t>('a' + i % 26)}, {}, Time + i));
    Send(Encoded(records));
    ReadUntil(sent);
    EXPECT_TRUE(Lines().isEmpty());

    Pause()->click();
    const QStringList lines = Lines();
    ASSERT_EQ(lines.size(), PortMonitorDialog::MaxLines);
    EXPECT_EQ(lines[0], "（另有 6 条较早的记录未显示）");
    EXPECT_EQ(lines[1], MonitorLine(records[6]));
    EXPECT_EQ(lines.last(), MonitorLine(records.back()));
}

TEST_F(MonitorTest, TheViewKeepsTheLatestLinesOnly)
{
    std::vector<TraceRecord> records;
    for (int i = 0; i < PortMonitorDialog::MaxLines + 500; ++i)
        records.push_back(Record(TraceKind::FromApplication, {'z'}, {}, Time + i));
    // In rounds that the view shows one by one.
    for (size_t round = 0; round < records.size(); round += 500) {
        Send(Encoded(std::vector<TraceRecord>(records.begin() + static_cast<std::ptrdiff_t>(round),
                                              records.begin() + static_cast<std::ptrdiff_t>(round + 500))));
        ReadUntil(round + 500);
    }
    const QStringList lines = Lines();
    ASSERT_EQ(lines.size(), PortMonitorDialog::MaxLines);
    EXPECT_EQ(lines.first(), MonitorLine(records[500]));
    EXPECT_EQ(lines.last(), MonitorLine(records.back()));
}

// A trace faster than the view takes lines: each show takes what came meanwhile, at most a
// view's worth, and says how many it left out.
TEST_F(MonitorTest, AFastTraceIsShownInStepsAndNothingIsOutOfOrder)
{
    std::vector<TraceRecord> records;
    for (int i = 0; i < 3 * PortMonitorDialog::MaxLines; ++i)
        records.push_back(Record(TraceKind::FromDtu, {static_cast<uint8_t>(i)}, {}, Time + i));
    Send(Encoded(records));
    ReadUntil(records.size());
    const QStringList lines = Lines();
    ASSERT_EQ(lines.size(), PortMonitorDialog::MaxLines);
    EXPECT_EQ(lines.last(), MonitorLine(records.back()));
    size_t next = 0;
    uint64_t leftOut = 0;
    for (const QString& line : lines) {
        const QRegularExpressionMatch note = QRegularExpression("^（另有 (\\d+) 条较早的记录未显示）$").match(line);
        if (note.hasMatch()) {
            leftOut += note.captured(1).toULongLong();
            continue;
        }
        while (next < records.size() && MonitorLine(records[next]) != line)
            ++next;
        ASSERT_LT(next, records.size()) << "out of order: " << line.toStdString();
        ++next;
    }
    EXPECT_GT(leftOut, 0u);
}

TEST_F(MonitorTest, TheEndOfTheStreamIsSaid)
{
    Send(Encoded({Record(TraceKind::Offline, {}, "no report for 312 s")}));
    EndStream();
    ReadUntilEnded();
    const QStringList lines = Lines();
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(lines[0], "2026-12-08 19:00:36.123456 COM7 离线：312秒未收到DTU的数据");
    EXPECT_EQ(lines[1], "跟踪已结束。");
    EXPECT_EQ(Count(), "已收到 1 条记录，跟踪已结束");
    EXPECT_FALSE(Pause()->isEnabled());
}

TEST_F(MonitorTest, AStreamThatEndsInsideARecordSaysSo)
{
    const Bytes bytes = Encoded({Record(TraceKind::FromDtu, {1, 2, 3})});
    Send(Bytes(bytes.begin(), bytes.end() - 1));
    EndStream();
    ReadUntilEnded();
    EXPECT_EQ(Lines(), QStringList{"跟踪已结束，最后一条记录不完整。"});
}

TEST_F(MonitorTest, AnEndWhilePausedShowsAfterWhatCameBefore)
{
    Pause()->click();
    Send(Encoded({Record(TraceKind::Online)}));
    EndStream();
    ReadUntilEnded();
    EXPECT_TRUE(Lines().isEmpty());
    EXPECT_EQ(Count(), "已收到 1 条记录，已暂停，跟踪已结束");
    ASSERT_TRUE(Pause()->isEnabled());
    Pause()->click();
    EXPECT_FALSE(Pause()->isEnabled());
    EXPECT_EQ(Lines(), (QStringList{"2026-12-08 19:00:36.123456 COM7 上线", "跟踪已结束。"}));
}

TEST_F(MonitorTest, AStreamThatIsNotATraceEndsTheViewAndClosesIt)
{
    Bytes bytes = Encoded({Record(TraceKind::Online)});
    const std::string junk = "GET / HTTP/1.0\r\n";
    bytes.insert(bytes.end(), junk.begin(), junk.end());
    Send(bytes);
    ReadUntilEnded();
    EXPECT_EQ(Lines(), (QStringList{"2026-12-08 19:00:36.123456 COM7 上线", "跟踪数据无法识别，监视已停止。"}));
    // The window let go of the stream: the program's next write fails instead of piling up.
    const uint8_t more[] = {'T'};
    EXPECT_EQ(send(program, more, 1, MSG_NOSIGNAL), -1);
    EXPECT_EQ(errno, EPIPE);
}

TEST_F(MonitorTest, ARecordOfAnUnknownKindEndsTheView)
{
    Bytes bytes = Encoded({Record(TraceKind::Online)});
    bytes[2] = 0x7f;
    Send(bytes);
    ReadUntilEnded();
    EXPECT_EQ(Lines(), QStringList{"跟踪数据无法识别，监视已停止。"});
    EXPECT_EQ(dialog->Received(), 0u);
}

TEST_F(MonitorTest, ClosingTheWindowClosesTheStream)
{
    Send(Encoded({Record(TraceKind::Online)}));
    ReadUntil(1);
    dialog.reset();
    const uint8_t more[] = {'T'};
    EXPECT_EQ(send(program, more, 1, MSG_NOSIGNAL), -1);
    EXPECT_EQ(errno, EPIPE);
}

}  // namespace

// Every event in the window's words; what the system says (a connection's failure) as it says it.
TEST(MonitorLineTest, EveryEventIsSaidInChinese)
{
    auto line = [](TraceKind kind, std::string text = {}, uint64_t count = 0, Bytes bytes = {}) {
        TraceRecord record = Record(kind, std::move(bytes), std::move(text));
        record.count = count;
        return MonitorLine(record).mid(27).toStdString();  // after the time
    };
    EXPECT_EQ(line(TraceKind::Online), "COM7 上线");
    EXPECT_EQ(line(TraceKind::TcpConnect, "192.0.2.7:502"), "COM7 正在连接 192.0.2.7:502");
    EXPECT_EQ(line(TraceKind::TcpRefused, "Connection refused"), "COM7 TCP连接失败：Connection refused");
    EXPECT_EQ(line(TraceKind::TcpUp, "192.0.2.7:502"), "COM7 TCP已连接 192.0.2.7:502");
    EXPECT_EQ(line(TraceKind::TcpDown, "connection closed"), "COM7 TCP连接已断开：对方关闭了连接");
    EXPECT_EQ(line(TraceKind::BytesDropped, {}, 4096), "COM7 丢弃 4096字节：应用程序没有及时读取");
    EXPECT_EQ(line(TraceKind::Oversized, "192.0.2.7:4000", 3000),
              "COM7 来自192.0.2.7:4000的数据包长3000字节，过长，未接收");
    TraceRecord unknown = Record(TraceKind::UnknownCode, {'Q', '\x1b'}, "192.0.2.9:1");
    unknown.slot = 0;
    unknown.count = 40;
    EXPECT_EQ(MonitorLine(unknown).mid(27).toStdString(),
              "- 来自192.0.2.9:1的数据包（40字节）的编码“Q\\x1b”不属于任何端口");
    EXPECT_EQ(line(TraceKind::RecordsLost, {}, 9), "COM7 监视跟不上，9条记录未显示");
}

int main(int argc, char** argv)
{
    setenv("TZ", "Asia/Shanghai", 1);
    tzset();
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
