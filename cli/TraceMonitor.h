#pragma once

#include <QList>
#include <QString>
#include <QTextStream>
#include <QVariantMap>

#include <cstdint>
#include <vector>

#include "cli/PcapngWriter.h"
#include "format/TraceFormat.h"
#include "link/TraceRecord.h"

class QIODevice;

// What `mv5840vspctl monitor` is asked to show.
struct MonitorOptions {
    QList<QVariantMap> selectors;  // {"number": N} or {"code": CODE} each; none for every port
    TraceStyle style = TraceStyle::HexAndText;
    QString pcapFile;  // --pcap: the file to write instead of lines, "-" for stdout
    QString decodeAs;  // --decode-as: the Wireshark dissector of the bytes ("mbrtu"), "" for USER0
    int count = 0;     // records before it ends, 0 for no limit
    int seconds = 0;   // seconds before it ends, 0 for no limit
};

// Shows the records of a trace stream as they arrive in pieces: one line each on out, or the
// blocks of a pcapng file on pcap when one is given.
class TracePrinter {
public:
    enum class State { Going, Done, Failed };

    TracePrinter(const MonitorOptions& options, QTextStream& out, QIODevice* pcap);

    // Takes the next piece of the stream. Done once the count of records is reached; Failed
    // on a malformed stream or a failed write, with Error() saying why.
    State Take(const uint8_t* data, size_t length);
    // The stream has ended: Failed, as the program ends it only when it stops, with Error()
    // saying whether it ended inside a record.
    State End();
    const QString& Error() const { return error_; }
    int Shown() const { return shown_; }

private:
    State Fail(const QString& why);

    const MonitorOptions& options_;
    QTextStream& out_;
    QIODevice* pcap_;
    TraceDecoder decoder_;
    PcapngWriter pcapWriter_;
    std::vector<uint8_t> blocks_;
    int shown_ = 0;
    QString error_;
};

// The monitor's loop: reads the trace from fd (the stream the port manager hands out) and
// shows it until the count or the seconds are reached or Ctrl+C/SIGTERM (status 0), or the
// stream ends or fails (status 1, one line on err). Needs a QCoreApplication.
int RunTraceMonitor(int fd, const MonitorOptions& options, QTextStream& out, QTextStream& err);
