#include "cli/CtlRunner.h"

#include "Version.h"

#include "cli/PortFormat.h"
#include "cli/PortWatch.h"
#include "cli/StatisticsFormat.h"
#include "cli/TraceMonitor.h"

CtlRunner::CtlRunner(PortManagerClient& client, QTextStream& out, QTextStream& err) : client(client), out(out), err(err)
{
}

int CtlRunner::Fail(const QString& text, int status)
{
    // One line, whatever the text holds.
    err << "mv5840vspctl: " << TerminalSafe(text) << Qt::endl;
    return status;
}

int CtlRunner::Report(const BusReply& reply)
{
    switch (reply.kind) {
    case BusReply::Kind::Ok: return CtlExit::Done;
    case BusReply::Kind::NotRunning: return Fail(reply.message, CtlExit::NotRunning);
    case BusReply::Kind::Refused:
    case BusReply::Kind::Failed: break;
    }
    return Fail(reply.message, CtlExit::Failed);
}

int CtlRunner::PrintPort(const CtlCommand& command, const BusReply& reply, const QVariantMap& port)
{
    if (!reply.Ok())
        return Report(reply);
    if (command.json)
        out << QString::fromUtf8(PortJsonText(port));
    else
        out << PortDetailsText(port);
    out.flush();
    return CtlExit::Done;
}

int CtlRunner::PrintStatistics()
{
    QList<QVariantMap> ports;
    BusReply reply = client.ListPorts(ports);
    if (!reply.Ok())
        return Report(reply);
    QVariantMap globalMap;
    reply = client.GetStatistics(globalMap);
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
    out << PrometheusText(metrics, &global);
    out.flush();
    return CtlExit::Done;
}

int CtlRunner::Run(const CtlCommand& command, bool stdoutTerminal)
{
    QVariantMap port;
    switch (command.verb) {
    case CtlVerb::Help:
        out << CtlHelp(command.helpTopic);
        out.flush();
        return CtlExit::Done;
    case CtlVerb::Version:
        out << "mv5840vspctl " MV5840VSP_VERSION "\n";
        out.flush();
        return CtlExit::Done;
    case CtlVerb::List: {
        QList<QVariantMap> ports;
        const BusReply reply = client.ListPorts(ports);
        if (!reply.Ok())
            return Report(reply);
        if (command.plain)
            out << PortNamesText(ports);
        else
            out << (command.json ? QString::fromUtf8(PortsJsonText(ports)) : PortTableText(ports));
        out.flush();
        return CtlExit::Done;
    }
    case CtlVerb::Show: return PrintPort(command, client.GetPort(command.selector, port), port);
    case CtlVerb::Add: return PrintPort(command, client.AddPort(command.request, port), port);
    case CtlVerb::Edit: return PrintPort(command, client.EditPort(command.selector, command.request, port), port);
    case CtlVerb::Remove: return Report(client.RemovePort(command.selector, command.force));
    case CtlVerb::Select: {
        int result = 1;
        const BusReply reply = client.SelectDtu(command.code, result);
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
        const BusReply reply = client.GetSelectedDtu(code);
        if (!reply.Ok())
            return Report(reply);
        out << TerminalSafe(code) << Qt::endl;
        return CtlExit::Done;
    }
    case CtlVerb::Watch: {
        PortWatch watch(client, out, stdoutTerminal, command.count);
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
        const BusReply reply = client.Monitor(command.monitor.selectors, trace);
        if (!reply.Ok())
            return Report(reply);
        if (!trace.isValid())
            return Fail(QStringLiteral("MV5840VSP handed out no trace"), CtlExit::Failed);
        return RunTraceMonitor(trace.fileDescriptor(), command.monitor, out, err);
    }
    case CtlVerb::Stats: return PrintStatistics();
    }
    return CtlExit::Failed;
}
