#include "cli/CtlRunner.h"

#include <algorithm>

#include "Version.h"

#include "cli/PortFormat.h"
#include "cli/PortWatch.h"
#include "cli/StatisticsFormat.h"
#include "cli/TraceMonitor.h"

namespace {

// A value that is malformed or out of its range is a wrong argument whoever finds it, the
// tool or the program; the program's other refusals (a number taken, no such port, a port
// held open, the file) are refusals of a well-formed request.
bool WrongArgument(const QString& refusal)
{
    static const QStringList kinds = {
        QStringLiteral("NumberOutOfRange"),   QStringLiteral("CodeTooLong"),    QStringLiteral("IntervalOutOfRange"),
        QStringLiteral("FrameGapOutOfRange"), QStringLiteral("InvalidAddress"), QStringLiteral("InvalidArgument"),
    };
    return kinds.contains(refusal);
}

}  // namespace

CtlRunner::CtlRunner(PortManagerClient& client, QTextStream& out, QTextStream& err)
    : client_(client), out_(out), err_(err)
{
}

int CtlRunner::Fail(const QString& text, int status)
{
    // One line, whatever the text holds.
    err_ << "mv5840vspctl: " << TerminalSafe(text) << Qt::endl;
    return status;
}

int CtlRunner::Report(const BusReply& reply)
{
    switch (reply.kind) {
    case BusReply::Kind::Ok: return CtlExit::Done;
    case BusReply::Kind::NotRunning: return Fail(reply.message, CtlExit::NotRunning);
    case BusReply::Kind::Refused:
        return Fail(reply.message, WrongArgument(reply.refusal) ? CtlExit::Usage : CtlExit::Failed);
    case BusReply::Kind::Failed: break;
    }
    return Fail(reply.message, CtlExit::Failed);
}

int CtlRunner::ReportChange(const CtlCommand& command, BusReply reply)
{
    const bool numberGiven = command.request.contains(QStringLiteral("number"));
    // The only key the tool may leave out: a port's number, which only shared-port mode fills in.
    if (command.verb == CtlVerb::Add && !numberGiven && reply.refusal == QLatin1String("InvalidArgument"))
        return Fail(QStringLiteral("add: --number N is required (only in shared-port mode does the port take the "
                                   "shared number; see mv5840vspctl add --help)"),
                    CtlExit::Usage);
    if (reply.refusal == QLatin1String("NumberInUse") && numberGiven) {
        QList<QVariantMap> ports;
        if (client_.ListPorts(ports).Ok()) {
            for (const QVariantMap& port : ports)
                if (port.value(QStringLiteral("number")) == command.request.value(QStringLiteral("number")))
                    reply.message += QLatin1String(" by ") + PortLabel(port);
        }
    }
    return Report(reply);
}

void CtlRunner::NoteAge(QList<QVariantMap>& ports)
{
    qlonglong age = 0;
    for (QVariantMap& port : ports)
        age = std::max(age, port.take(QStringLiteral("age_ms")).toLongLong());
    if (age > 0)
        err_ << "mv5840vspctl: note: the program's data path is not answering; what is shown is as it was " << age
             << " ms ago" << Qt::endl;
}

int CtlRunner::PrintPort(const CtlCommand& command, const BusReply& reply, const QVariantMap& answer)
{
    if (!reply.Ok())
        return command.verb == CtlVerb::Show ? Report(reply) : ReportChange(command, reply);
    QList<QVariantMap> ports{answer};
    NoteAge(ports);
    const QVariantMap& port = ports.front();
    // What the save kept besides the change is said apart from the port, once.
    const QString note = port.value(QStringLiteral("note")).toString();
    if (command.json) {
        out_ << QString::fromUtf8(PortJsonText(port));
    } else {
        QVariantMap shown = port;
        shown.remove(QStringLiteral("note"));
        out_ << PortDetailsText(shown);
    }
    out_.flush();
    if (!note.isEmpty())
        err_ << "mv5840vspctl: note: " << TerminalSafe(note) << Qt::endl;
    return CtlExit::Done;
}

int CtlRunner::RemovePort(const CtlCommand& command)
{
    // Asked first, to say which port went.
    QVariantMap port;
    BusReply reply = client_.GetPort(command.selector, port);
    if (!reply.Ok())
        return Report(reply);
    reply = client_.RemovePort(command.selector, command.force);
    if (!reply.Ok())
        return Report(reply);
    out_ << "removed " << TerminalSafe(PortLabel(port));
    if (port.value(QStringLiteral("in_use")).toBool())
        out_ << " while an application held it open";
    out_ << Qt::endl;
    return CtlExit::Done;
}

int CtlRunner::PrintStatistics(bool prometheus)
{
    QList<QVariantMap> ports;
    BusReply reply = client_.ListPorts(ports);
    if (!reply.Ok())
        return Report(reply);
    NoteAge(ports);
    QVariantMap globalMap;
    reply = client_.GetStatistics(globalMap);
    if (!reply.Ok())
        return Report(reply);
    QList<PortMetrics> metrics;
    for (const QVariantMap& port : ports) {
        PortMetrics one;
        if (!PortMetricsFromMap(port, one))
            return Fail(
                QStringLiteral("the running MV5840VSP reports no statistics for %1 (an older version?)").arg(one.name),
                CtlExit::Failed);
        metrics << one;
    }
    const GlobalStatistics global = GlobalStatisticsFromMap(globalMap);
    out_ << (prometheus ? PrometheusText(metrics, &global) : StatisticsTableText(metrics, global));
    out_.flush();
    return CtlExit::Done;
}

int CtlRunner::Run(const CtlCommand& command, bool stdoutTerminal)
{
    QVariantMap port;
    switch (command.verb) {
    case CtlVerb::Help:
        out_ << CtlHelp(command.helpTopic);
        out_.flush();
        return CtlExit::Done;
    case CtlVerb::Version:
        out_ << "mv5840vspctl " MV5840VSP_VERSION "\n";
        out_.flush();
        return CtlExit::Done;
    case CtlVerb::List: {
        QList<QVariantMap> ports;
        const BusReply reply = client_.ListPorts(ports);
        if (!reply.Ok())
            return Report(reply);
        NoteAge(ports);
        if (command.plain)
            out_ << PortNamesText(ports);
        else
            out_ << (command.json ? QString::fromUtf8(PortsJsonText(ports)) : PortTableText(ports));
        out_.flush();
        return CtlExit::Done;
    }
    case CtlVerb::Show: return PrintPort(command, client_.GetPort(command.selector, port), port);
    case CtlVerb::Add: return PrintPort(command, client_.AddPort(command.request, port), port);
    case CtlVerb::Edit: return PrintPort(command, client_.EditPort(command.selector, command.request, port), port);
    case CtlVerb::Remove: return RemovePort(command);
    case CtlVerb::Select: {
        int result = 1;
        const BusReply reply = client_.SelectDtu(command.code, result);
        if (!reply.Ok())
            return Report(reply);
        if (result != 0)
            return Fail(
                QStringLiteral("no port in service has the code %1; the earlier choice stays").arg(command.code),
                CtlExit::Failed);
        return CtlExit::Done;
    }
    case CtlVerb::Selected: {
        QString code;
        const BusReply reply = client_.GetSelectedDtu(code);
        if (!reply.Ok())
            return Report(reply);
        out_ << TerminalSafe(code) << Qt::endl;
        return CtlExit::Done;
    }
    case CtlVerb::Watch: {
        PortWatch watch(client_, out_, stdoutTerminal, command.count);
        const BusReply first = watch.Start();
        if (!first.Ok())
            return Report(first);
        return watch.Loop();
    }
    case CtlVerb::Monitor: {
        // Binary blocks would drive the terminal.
        if (command.monitor.pcapFile == QLatin1String("-") && stdoutTerminal)
            return Fail(QStringLiteral("monitor: --pcap - writes a pcapng file to standard output, which is a "
                                       "terminal; name a file or redirect the output"),
                        CtlExit::Usage);
        QDBusUnixFileDescriptor trace;
        const BusReply reply = client_.Monitor(command.monitor.selectors, trace);
        if (!reply.Ok())
            return Report(reply);
        if (!trace.isValid())
            return Fail(QStringLiteral("MV5840VSP handed out no trace"), CtlExit::Failed);
        return RunTraceMonitor(trace.fileDescriptor(), command.monitor, out_, err_);
    }
    case CtlVerb::Stats: return PrintStatistics(command.prometheus);
    }
    return CtlExit::Failed;
}
