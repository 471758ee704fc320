#include <QBuffer>
#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include "cli/CtlRunner.h"
#include "cli/TraceMonitor.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A UDP DTU's exchange as the loop would trace it: login, online, a poll and its answer.
Bytes Exchange()
{
    const int64_t t = 1765191636000000;
    Bytes stream;
    TraceEvent login{TraceKind::Login, 3, 7, t, 0, "192.0.2.7:40001", nullptr, 0};
    TraceEvent online{TraceKind::Online, 3, 7, t + 1, 0, {}, nullptr, 0};
    const uint8_t poll[] = {0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0a};
    const uint8_t answer[] = {0x01, 0x03, 0x02, 0x00, 0x2a, 0x38, 0x5b};
    TraceEvent tx{TraceKind::FromApplication, 3, 7, t + 1000, 0, {}, poll, sizeof poll};
    TraceEvent rx{TraceKind::FromDtu, 3, 7, t + 21000, 0, {}, answer, sizeof answer};
    for (const TraceEvent& event : {login, online, tx, rx})
        AppendTraceRecord(event, stream);
    return stream;
}

QStringList Lines(const QString& text)
{
    return text.split('\n', Qt::SkipEmptyParts);
}

struct App {
    int argc = 1;
    char name[8] = "monitor";
    char* argv[1] = {name};
    QCoreApplication app{argc, argv};
};

// The monitor's loop over a pipe that already holds stream and is closed behind it unless
// keepOpen.
int RunOverPipe(const Bytes& stream, const MonitorOptions& options, QString& out, QString& err, bool keepOpen = false)
{
    int fds[2];
    EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
    EXPECT_EQ(write(fds[1], stream.data(), stream.size()), static_cast<ssize_t>(stream.size()));
    if (!keepOpen)
        close(fds[1]);
    App app;
    QTextStream outStream(&out);
    QTextStream errStream(&err);
    const int status = RunTraceMonitor(fds[0], options, outStream, errStream);
    close(fds[0]);
    if (keepOpen)
        close(fds[1]);
    return status;
}

}  // namespace

TEST(TracePrinter, PrintsEachRecordOnceWholeWhateverThePieces)
{
    const Bytes stream = Exchange();
    MonitorOptions options;
    QString text;
    QTextStream out(&text);
    TracePrinter printer(options, out, nullptr);
    for (uint8_t byte : stream)
        ASSERT_EQ(printer.Take(&byte, 1), TracePrinter::State::Going);
    const QStringList lines = Lines(text);
    ASSERT_EQ(lines.size(), 4);
    EXPECT_EQ(lines[0], "2025-12-08T11:00:36.000000Z COM7 login 192.0.2.7:40001");
    EXPECT_EQ(lines[1], "2025-12-08T11:00:36.000001Z COM7 online");
    EXPECT_EQ(lines[2], "2025-12-08T11:00:36.001000Z COM7 tx 8 bytes  01 03 00 00 00 01 84 0a  |........|");
    EXPECT_EQ(lines[3], "2025-12-08T11:00:36.021000Z COM7 rx 7 bytes  01 03 02 00 2a 38 5b  |....*8[|");
    EXPECT_EQ(printer.Shown(), 4);
}

TEST(TracePrinter, StopsAtTheCount)
{
    const Bytes stream = Exchange();
    MonitorOptions options;
    options.count = 3;
    QString text;
    QTextStream out(&text);
    TracePrinter printer(options, out, nullptr);
    EXPECT_EQ(printer.Take(stream.data(), stream.size()), TracePrinter::State::Done);
    EXPECT_EQ(Lines(text).size(), 3);
}

TEST(TracePrinter, AMalformedOrCutStreamFailsAndSaysWhy)
{
    Bytes stream = Exchange();
    MonitorOptions options;
    QString text;
    QTextStream out(&text);
    TracePrinter cut(options, out, nullptr);
    EXPECT_EQ(cut.Take(stream.data(), stream.size() - 1), TracePrinter::State::Going);
    EXPECT_EQ(cut.End(), TracePrinter::State::Failed);
    EXPECT_TRUE(cut.Error().contains("ended inside a record"));
    TracePrinter whole(options, out, nullptr);
    EXPECT_EQ(whole.Take(stream.data(), stream.size()), TracePrinter::State::Going);
    EXPECT_EQ(whole.End(), TracePrinter::State::Failed);
    EXPECT_EQ(whole.Error(), "MV5840VSP ended the trace");

    stream[TraceRecordLayout::HeaderSize + 15] = 'X';  // the second record's magic
    TracePrinter bad(options, out, nullptr);
    EXPECT_EQ(bad.Take(stream.data(), stream.size()), TracePrinter::State::Failed);
    EXPECT_TRUE(bad.Error().contains("malformed")) << bad.Error().toStdString();
}

TEST(TracePrinter, PcapInsteadOfLines)
{
    const Bytes stream = Exchange();
    MonitorOptions options;
    options.pcapFile = "-";
    QString text;
    QTextStream out(&text);
    QBuffer pcap;
    pcap.open(QIODevice::WriteOnly);
    TracePrinter printer(options, out, &pcap);
    EXPECT_EQ(printer.Take(stream.data(), stream.size()), TracePrinter::State::Going);
    EXPECT_TRUE(text.isEmpty());
    const QByteArray file = pcap.data();
    // Section, interface, four packets; the login's comment is its line's event text.
    ASSERT_GT(file.size(), 4);
    EXPECT_EQ(file.left(4), QByteArray("\x0a\x0d\x0d\x0a", 4));
    EXPECT_TRUE(file.contains("COM7"));
    EXPECT_TRUE(file.contains("login 192.0.2.7:40001"));
}

TEST(TracePrinter, OutputThatCannotBeWrittenEndsTheMonitor)
{
    const Bytes stream = Exchange();
    MonitorOptions options;
    QFile full("/dev/full");
    ASSERT_TRUE(full.open(QIODevice::WriteOnly));
    QTextStream out(&full);
    TracePrinter printer(options, out, nullptr);
    EXPECT_EQ(printer.Take(stream.data(), stream.size()), TracePrinter::State::Failed);
    EXPECT_TRUE(printer.Error().startsWith("cannot write the output: ")) << printer.Error().toStdString();
}

TEST(TraceMonitor, ReadsTheStreamToItsEndAndSaysTheProgramEndedIt)
{
    MonitorOptions options;
    options.style = TraceStyle::Json;
    QString out;
    QString err;
    EXPECT_EQ(RunOverPipe(Exchange(), options, out, err), CtlExit::Failed);
    EXPECT_EQ(err, "mv5840vspctl: monitor: MV5840VSP ended the trace\n");
    const QStringList lines = Lines(out);
    ASSERT_EQ(lines.size(), 4);
    EXPECT_TRUE(lines[3].startsWith("{\"event\":\"rx\",\"hex\":\"010302002a385b\""));
}

TEST(TraceMonitor, EndsAtTheCountOrTheDeadlineWhileTheStreamStaysOpen)
{
    MonitorOptions options;
    options.count = 2;
    QString out;
    QString err;
    EXPECT_EQ(RunOverPipe(Exchange(), options, out, err, true), CtlExit::Done);
    EXPECT_EQ(Lines(out).size(), 2);

    options.count = 0;
    options.seconds = 1;
    out.clear();
    EXPECT_EQ(RunOverPipe(Exchange(), options, out, err, true), CtlExit::Done);
    EXPECT_EQ(Lines(out).size(), 4);
}

TEST(TraceMonitor, AMalformedStreamIsOneLineOnStandardError)
{
    const Bytes garbage = {'{', '"', 'x', '"', '}'};
    MonitorOptions options;
    QString out;
    QString err;
    EXPECT_EQ(RunOverPipe(garbage, options, out, err, true), CtlExit::Failed);
    EXPECT_EQ(err, "mv5840vspctl: monitor: the trace from MV5840VSP is malformed: not a trace record (bad magic)\n");
}

TEST(TraceMonitor, WritesThePcapFile)
{
    QTemporaryDir dir;
    MonitorOptions options;
    options.pcapFile = dir.filePath("trace.pcapng");
    QString out;
    QString err;
    options.count = 4;
    EXPECT_EQ(RunOverPipe(Exchange(), options, out, err, true), CtlExit::Done);
    EXPECT_TRUE(out.isEmpty());
    EXPECT_TRUE(err.isEmpty());
    QFile file(options.pcapFile);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_TRUE(file.readAll().contains("COM7"));

    options.pcapFile = dir.filePath("no/such/folder/trace.pcapng");
    EXPECT_EQ(RunOverPipe(Exchange(), options, out, err), CtlExit::Failed);
    EXPECT_TRUE(err.startsWith("mv5840vspctl: monitor: cannot write " + options.pcapFile)) << err.toStdString();
}
