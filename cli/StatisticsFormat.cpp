#include "cli/StatisticsFormat.h"

#include "cli/PortFormat.h"

namespace {

QString Key(const char* key)
{
    return QString::fromLatin1(key);
}

// HELP and TYPE, then the samples.
class Family {
public:
    Family(QString& text, const char* metric, const char* help, const char* type) : text_(text), metric_(metric)
    {
        // Help text escapes backslash and newline only.
        const QString escaped = QString::fromUtf8(help)
                                    .replace(QLatin1Char('\\'), QLatin1String("\\\\"))
                                    .replace(QLatin1Char('\n'), QLatin1String("\\n"));
        text += QLatin1String("# HELP ") + Key(metric) + QLatin1Char(' ') + escaped + QLatin1Char('\n');
        text += QLatin1String("# TYPE ") + Key(metric) + QLatin1Char(' ') + Key(type) + QLatin1Char('\n');
    }

    // labels: name="value" pairs, already escaped, or empty.
    void Sample(const QString& labels, const QString& value)
    {
        text_ += Key(metric_);
        if (!labels.isEmpty())
            text_ += QLatin1Char('{') + labels + QLatin1Char('}');
        text_ += QLatin1Char(' ') + value + QLatin1Char('\n');
    }

private:
    QString& text_;
    const char* metric_;
};

QString Label(const char* name, const QString& value)
{
    return Key(name) + QLatin1String("=\"") + PrometheusLabelValue(value) + QLatin1Char('"');
}

QString PortLabels(const PortMetrics& port)
{
    return Label("port", port.name) + QLatin1Char(',') + Label("slot", QString::number(port.slot));
}

QString Seconds(qint64 ms)
{
    return QStringLiteral("%1.%2").arg(ms / 1000).arg(ms % 1000, 3, 10, QLatin1Char('0'));
}

}  // namespace

bool PortMetricsFromMap(const QVariantMap& port, PortMetrics& metrics)
{
    metrics.slot = port.value(QStringLiteral("slot")).toInt();
    metrics.name = port.value(QStringLiteral("name")).toString();
    metrics.code = port.value(QStringLiteral("code")).toString();
    metrics.online = port.value(QStringLiteral("online")).toBool();
    // rx and tx were there before any other counter: one of the others tells.
    bool carried = false;
    for (const StatisticsCounter& counter : PortCounters) {
        const auto found = port.constFind(Key(counter.key));
        if (found == port.constEnd())
            continue;
        metrics.statistics.*counter.field = found->toULongLong();
        carried = carried || (Key(counter.key) != QLatin1String("rx") && Key(counter.key) != QLatin1String("tx"));
    }
    metrics.statistics.lastError = port.value(Key(StatisticsKeys::LastError)).toString().toStdString();
    metrics.statistics.lastErrorMs = port.value(Key(StatisticsKeys::LastErrorTime), qlonglong(-1)).toLongLong();
    return carried;
}

GlobalStatistics GlobalStatisticsFromMap(const QVariantMap& global)
{
    GlobalStatistics statistics;
    statistics.unknownCodeDatagrams = global.value(Key(StatisticsKeys::UnknownCodeDatagrams)).toULongLong();
    statistics.lastUnknownSource = global.value(Key(StatisticsKeys::LastUnknownSource)).toString().toStdString();
    return statistics;
}

QString PrometheusLabelValue(const QString& value)
{
    QString escaped;
    escaped.reserve(value.size());
    for (QChar c : value) {
        if (c == QLatin1Char('\\'))
            escaped += QLatin1String("\\\\");
        else if (c == QLatin1Char('"'))
            escaped += QLatin1String("\\\"");
        else if (c == QLatin1Char('\n'))
            escaped += QLatin1String("\\n");
        else
            escaped += c;
    }
    return escaped;
}

QString StatisticsTableText(const QList<PortMetrics>& ports, const GlobalStatistics& global)
{
    TextTable table;
    table.AddColumn(QStringLiteral("SLOT"), TextTable::Right);
    table.AddColumn(QStringLiteral("PORT"));
    table.AddColumn(QStringLiteral("CODE"));
    for (const char* header :
         {"RX BYTES", "RX DGRAMS", "TX BYTES", "TX CHUNKS", "LOGINS", "TCP UP", "TCP FAILED", "DROPPED", "TOO LONG"})
        table.AddColumn(QString::fromLatin1(header), TextTable::Right);
    table.AddColumn(QStringLiteral("LAST ERROR"));
    for (const PortMetrics& port : ports) {
        const PortStatistics& s = port.statistics;
        const QString lastError = s.lastErrorMs < 0 ? QStringLiteral("-")
                                                    : LastHeardText(s.lastErrorMs) + QLatin1Char(' ')
                                                          + QString::fromStdString(s.lastError);
        QStringList row{QString::number(port.slot), port.name, port.code.isEmpty() ? QStringLiteral("-") : port.code};
        for (uint64_t count : {s.rxBytes, s.rxDatagrams, s.txBytes, s.txChunks, s.logins, s.tcpConnects, s.tcpRefusals,
                               s.bytesDropped, s.oversizedDatagrams})
            row << QString::number(count);
        table.AddRow(row << lastError);
    }
    QString text = table.Lines().join(QLatin1Char('\n')) + QLatin1Char('\n');
    text += QStringLiteral("datagrams whose code no port has: %1").arg(global.unknownCodeDatagrams);
    if (!global.lastUnknownSource.empty())
        text +=
            QStringLiteral(" (the latest from %1)").arg(TerminalSafe(QString::fromStdString(global.lastUnknownSource)));
    return text + QLatin1Char('\n');
}

QString PrometheusText(const QList<PortMetrics>& ports, const GlobalStatistics* global)
{
    QString text;
    {
        Family online(text, "mv5840vsp_online", "1 while the DTU is online, else 0.", "gauge");
        for (const PortMetrics& port : ports)
            online.Sample(PortLabels(port), port.online ? QStringLiteral("1") : QStringLiteral("0"));
    }
    for (const StatisticsCounter& counter : PortCounters) {
        Family family(text, counter.metric, counter.help, "counter");
        for (const PortMetrics& port : ports)
            family.Sample(PortLabels(port), QString::number(port.statistics.*counter.field));
    }
    {
        Family lastError(text, "mv5840vsp_last_error_timestamp_seconds",
                         "Time of the port's latest failure (seconds since the Unix epoch), named in the error label.",
                         "gauge");
        for (const PortMetrics& port : ports)
            if (port.statistics.lastErrorMs >= 0)
                lastError.Sample(PortLabels(port) + QLatin1Char(',')
                                     + Label("error", QString::fromStdString(port.statistics.lastError)),
                                 Seconds(port.statistics.lastErrorMs));
    }
    if (global) {
        Family unknown(text, "mv5840vsp_unknown_code_datagrams_total", "Datagrams whose code no port has.", "counter");
        unknown.Sample(QString(), QString::number(global->unknownCodeDatagrams));
        if (!global->lastUnknownSource.empty()) {
            Family source(text, "mv5840vsp_unknown_code_last_source_info",
                          "The source of the latest datagram whose code no port has.", "gauge");
            source.Sample(Label("source", QString::fromStdString(global->lastUnknownSource)), QStringLiteral("1"));
        }
    }
    return text;
}
