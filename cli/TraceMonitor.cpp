#include "cli/TraceMonitor.h"

#include <QCoreApplication>
#include <QFile>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <unistd.h>

#include "Version.h"
#include "app/SignalExit.h"
#include "cli/CtlRunner.h"
#include "cli/PortFormat.h"

TracePrinter::TracePrinter(const MonitorOptions& options, QTextStream& out, QIODevice* pcap)
    : options_(options), out_(out), pcap_(pcap),
      pcapWriter_("MV5840VSP " MV5840VSP_VERSION, options.decodeAs.toStdString())
{
}

TracePrinter::State TracePrinter::Fail(const QString& why)
{
    error_ = why;
    return State::Failed;
}

TracePrinter::State TracePrinter::Take(const uint8_t* data, size_t length)
{
    decoder_.Feed(data, length);
    State state = State::Going;
    TraceRecord record;
    for (;;) {
        if (options_.count > 0 && shown_ >= options_.count) {
            state = State::Done;
            break;
        }
        const TraceDecoder::Status status = decoder_.Next(record);
        if (status == TraceDecoder::Status::NeedMore)
            break;
        if (status == TraceDecoder::Status::Malformed)
            return Fail(QStringLiteral("the trace from MV5840VSP is malformed: ")
                        + QString::fromStdString(decoder_.Error()));
        ++shown_;
        if (pcap_) {
            const QString comment = TraceEventText(record);
            pcapWriter_.Write(record, comment.toStdString(), blocks_);
        } else {
            out_ << TraceLine(record, options_.style) << '\n';
        }
    }
    // Whatever this piece brought is shown before the next wait.
    if (pcap_ && !blocks_.empty()) {
        const qint64 size = static_cast<qint64>(blocks_.size());
        if (pcap_->write(reinterpret_cast<const char*>(blocks_.data()), size) != size)
            return Fail(QStringLiteral("cannot write the pcapng file: ") + pcap_->errorString());
        blocks_.clear();
    }
    out_.flush();
    // A monitor writing into a full disk or a closed pipe would watch on for nobody.
    if (out_.status() == QTextStream::WriteFailed)
        return Fail(QStringLiteral("cannot write the output: ") + out_.device()->errorString());
    return state;
}

TracePrinter::State TracePrinter::End()
{
    if (decoder_.Buffered() > 0)
        return Fail(QStringLiteral("the trace from MV5840VSP ended inside a record"));
    // Only the user ends a monitor: an end from the program is news (it stopped).
    return Fail(QStringLiteral("MV5840VSP ended the trace"));
}

int RunTraceMonitor(int fd, const MonitorOptions& options, QTextStream& out, QTextStream& err)
{
    auto fail = [&err](const QString& why) {
        err << "mv5840vspctl: monitor: " << TerminalSafe(why) << Qt::endl;
        return CtlExit::Failed;
    };

    QFile pcap;
    if (!options.pcapFile.isEmpty()) {
        bool opened = false;
        if (options.pcapFile == QLatin1String("-")) {
            opened = pcap.open(STDOUT_FILENO, QIODevice::WriteOnly | QIODevice::Unbuffered);
        } else {
            pcap.setFileName(options.pcapFile);
            opened = pcap.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered);
        }
        if (!opened)
            return fail(QStringLiteral("cannot write %1: %2").arg(options.pcapFile, pcap.errorString()));
    }
    TracePrinter printer(options, out, pcap.isOpen() ? &pcap : nullptr);

    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
        return fail(QStringLiteral("the trace cannot be read: %1").arg(qt_error_string(errno)));

    SignalExit endOnSignal;
    int status = CtlExit::Done;
    QSocketNotifier readable(fd, QSocketNotifier::Read);
    auto end = [&](int code) {
        readable.setEnabled(false);
        status = code;
        QCoreApplication::exit(code);
    };
    QObject::connect(&readable, &QSocketNotifier::activated, [&] {
        // A few pieces at a time, so that a fast trace leaves room for Ctrl+C and the deadline.
        for (int pieces = 0; pieces < 16; ++pieces) {
            uint8_t piece[65536];
            const ssize_t got = read(fd, piece, sizeof piece);
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                return;
            if (got < 0)
                return end(fail(QStringLiteral("the trace cannot be read: %1").arg(qt_error_string(errno))));
            const TracePrinter::State state = got == 0 ? printer.End() : printer.Take(piece, static_cast<size_t>(got));
            if (state == TracePrinter::State::Failed)
                return end(fail(printer.Error()));
            if (state == TracePrinter::State::Done)
                return end(CtlExit::Done);
        }
    });
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, [] { QCoreApplication::exit(CtlExit::Done); });
    if (options.seconds > 0)
        deadline.start(std::chrono::seconds(options.seconds));

    // Ctrl+C and SIGTERM end the loop as a normal end does.
    QCoreApplication::exec();
    return status;
}
