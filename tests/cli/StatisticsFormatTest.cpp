#include <QMap>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include "cli/StatisticsFormat.h"

namespace {

// One sample of the exposition, its labels unescaped.
struct Sample {
    QString metric;
    QMap<QString, QString> labels;
    QString value;
};

// The text format read back as Prometheus reads it; fails the test on what it would reject.
struct Exposition {
    QMap<QString, QString> help;
    QMap<QString, QString> type;
    QList<Sample> samples;

    const Sample* Find(const QString& metric, const QString& port = QString()) const
    {
        for (const Sample& sample : samples)
            if (sample.metric == metric && (port.isEmpty() || sample.labels.value("port") == port))
                return &sample;
        return nullptr;
    }
};

Exposition Parse(const QString& text)
{
    Exposition exposition;
    EXPECT_TRUE(text.endsWith('\n'));
    const QRegularExpression name("^[a-zA-Z_:][a-zA-Z0-9_:]*$");
    QString family;
    QStringList finished;
    for (const QString& line : text.split('\n', Qt::SkipEmptyParts)) {
        if (line.startsWith("# HELP ") || line.startsWith("# TYPE ")) {
            const QString rest = line.mid(7);
            const QString metric = rest.section(' ', 0, 0);
            EXPECT_TRUE(name.match(metric).hasMatch()) << line.toStdString();
            if (metric != family) {
                // A family's lines stay together.
                EXPECT_FALSE(finished.contains(metric)) << "family split: " << metric.toStdString();
                if (!family.isEmpty())
                    finished << family;
                family = metric;
            }
            if (line.startsWith("# HELP "))
                exposition.help[metric] = rest.section(' ', 1);
            else
                exposition.type[metric] = rest.section(' ', 1);
            continue;
        }
        Sample sample;
        int at = 0;
        while (at < line.size() && line[at] != '{' && line[at] != ' ')
            ++at;
        sample.metric = line.left(at);
        EXPECT_EQ(sample.metric, family) << "sample outside its family: " << line.toStdString();
        EXPECT_TRUE(exposition.type.contains(sample.metric)) << "no TYPE before " << line.toStdString();
        if (at < line.size() && line[at] == '{') {
            ++at;
            while (at < line.size() && line[at] != '}') {
                const int equals = line.indexOf('=', at);
                const QString label = line.mid(at, equals - at);
                EXPECT_TRUE(name.match(label).hasMatch()) << line.toStdString();
                EXPECT_EQ(line[equals + 1], '"');
                QString value;
                int i = equals + 2;
                for (; i < line.size() && line[i] != '"'; ++i) {
                    if (line[i] == '\\') {
                        ++i;
                        const QChar escaped = line[i];
                        EXPECT_TRUE(escaped == '\\' || escaped == '"' || escaped == 'n') << line.toStdString();
                        value += escaped == 'n' ? QChar('\n') : escaped;
                    } else {
                        value += line[i];
                    }
                }
                EXPECT_FALSE(sample.labels.contains(label));
                sample.labels[label] = value;
                at = i + 1;
                if (at < line.size() && line[at] == ',')
                    ++at;
            }
            ++at;
        }
        EXPECT_EQ(line[at], ' ') << line.toStdString();
        sample.value = line.mid(at + 1);
        EXPECT_FALSE(sample.value.contains(' ')) << line.toStdString();
        exposition.samples << sample;
    }
    return exposition;
}

PortMetrics Port(int slot, int number)
{
    PortMetrics port;
    port.slot = slot;
    port.name = QStringLiteral("COM%1").arg(number);
    return port;
}

}  // namespace

TEST(StatisticsFormat, PrometheusTextParsesBackWithEveryCounterPerPort)
{
    PortMetrics com7 = Port(3, 7);
    com7.online = true;
    com7.statistics.rxBytes = (uint64_t(1) << 63) + 5;  // past what a double holds exactly
    com7.statistics.rxDatagrams = 11;
    com7.statistics.txBytes = 4;
    com7.statistics.txChunks = 1;
    com7.statistics.logins = 3;
    com7.statistics.loginAddressChanges = 1;
    com7.statistics.bytesDropped = 4096;
    com7.statistics.oversizedDatagrams = 2;
    com7.statistics.lastError = "say \"no\" \\ then\nmore";
    com7.statistics.lastErrorMs = 1765191636007;
    PortMetrics com8 = Port(4, 8);
    com8.statistics.tcpConnects = 5;
    com8.statistics.tcpRefusals = 6;
    com8.statistics.tcpDisconnects = 7;
    GlobalStatistics global;
    global.unknownCodeDatagrams = 9;
    global.lastUnknownSource = "198.51.100.1:9";

    const Exposition exposition = Parse(PrometheusText({com7, com8}, &global));

    for (const StatisticsCounter& counter : PortCounters) {
        const QString metric = QString::fromLatin1(counter.metric);
        EXPECT_TRUE(metric.startsWith("mv5840vsp_") && metric.endsWith("_total")) << counter.metric;
        EXPECT_EQ(exposition.type.value(metric), "counter") << counter.metric;
        EXPECT_FALSE(exposition.help.value(metric).isEmpty()) << counter.metric;
        for (const PortMetrics& port : {com7, com8}) {
            const Sample* sample = exposition.Find(metric, port.name);
            ASSERT_TRUE(sample) << counter.metric;
            EXPECT_EQ(sample->labels.value("slot"), QString::number(port.slot));
            EXPECT_EQ(sample->value, QString::number(port.statistics.*counter.field)) << counter.metric;
        }
    }
    EXPECT_EQ(exposition.Find("mv5840vsp_received_bytes_total", "COM7")->value, "9223372036854775813");
    EXPECT_EQ(exposition.Find("mv5840vsp_tcp_refusals_total", "COM8")->value, "6");
    EXPECT_EQ(exposition.Find("mv5840vsp_online", "COM7")->value, "1");
    EXPECT_EQ(exposition.Find("mv5840vsp_online", "COM8")->value, "0");

    // The error text comes back exactly through the label's escapes.
    const Sample* error = exposition.Find("mv5840vsp_last_error_timestamp_seconds", "COM7");
    ASSERT_TRUE(error);
    EXPECT_EQ(error->labels.value("error"), "say \"no\" \\ then\nmore");
    EXPECT_EQ(error->value, "1765191636.007");
    EXPECT_EQ(exposition.type.value("mv5840vsp_last_error_timestamp_seconds"), "gauge");
    EXPECT_FALSE(exposition.Find("mv5840vsp_last_error_timestamp_seconds", "COM8"));

    const Sample* unknown = exposition.Find("mv5840vsp_unknown_code_datagrams_total");
    ASSERT_TRUE(unknown);
    EXPECT_TRUE(unknown->labels.isEmpty());
    EXPECT_EQ(unknown->value, "9");
    EXPECT_EQ(exposition.Find("mv5840vsp_unknown_code_last_source_info")->labels.value("source"), "198.51.100.1:9");
}

TEST(StatisticsFormat, SharedPortModeSamplesStayDistinctBySlot)
{
    const Exposition exposition = Parse(PrometheusText({Port(1, 5), Port(2, 5)}, nullptr));
    QStringList seen;
    for (const Sample& sample : exposition.samples) {
        const QString key = sample.metric + sample.labels.value("port") + sample.labels.value("slot");
        EXPECT_FALSE(seen.contains(key)) << key.toStdString();
        seen << key;
    }
    EXPECT_FALSE(exposition.Find("mv5840vsp_unknown_code_datagrams_total"));
}

TEST(StatisticsFormat, NoPortsStillDeclaresTheMetrics)
{
    GlobalStatistics global;
    const Exposition exposition = Parse(PrometheusText({}, &global));
    EXPECT_EQ(exposition.type.value("mv5840vsp_received_bytes_total"), "counter");
    EXPECT_EQ(exposition.samples.size(), 1);  // the unknown-code counter
    EXPECT_FALSE(exposition.Find("mv5840vsp_unknown_code_last_source_info"));
}

TEST(StatisticsFormat, FilledFromTheBusDictionaries)
{
    const QVariantMap port = {
        {"slot", 3},
        {"name", "COM7"},
        {"online", true},
        {"rx", qlonglong(100)},
        {"tx", qlonglong(50)},
        {"rx_datagrams", qulonglong(10)},
        {"tx_chunks", qulonglong(5)},
        {"logins", qulonglong(2)},
        {"login_address_changes", qulonglong(1)},
        {"tcp_connects", qulonglong(0)},
        {"tcp_refusals", qulonglong(0)},
        {"tcp_disconnects", qulonglong(0)},
        {"bytes_dropped", qulonglong(7)},
        {"oversized_datagrams", qulonglong(1)},
        {"last_error", "datagram of 2100 bytes from 192.0.2.7:40001 is too long"},
        {"last_error_time", qlonglong(1000)},
    };
    PortMetrics metrics;
    ASSERT_TRUE(PortMetricsFromMap(port, metrics));
    EXPECT_EQ(metrics.slot, 3);
    EXPECT_EQ(metrics.name, "COM7");
    EXPECT_TRUE(metrics.online);
    EXPECT_EQ(metrics.statistics.rxBytes, 100u);
    EXPECT_EQ(metrics.statistics.txBytes, 50u);
    EXPECT_EQ(metrics.statistics.rxDatagrams, 10u);
    EXPECT_EQ(metrics.statistics.bytesDropped, 7u);
    EXPECT_EQ(metrics.statistics.lastError, "datagram of 2100 bytes from 192.0.2.7:40001 is too long");
    EXPECT_EQ(metrics.statistics.lastErrorMs, 1000);

    // A program from before the statistics sends rx and tx only.
    PortMetrics old;
    EXPECT_FALSE(PortMetricsFromMap({{"slot", 1}, {"name", "COM1"}, {"rx", qlonglong(1)}, {"tx", qlonglong(2)}}, old));
    EXPECT_EQ(old.statistics.lastErrorMs, -1);

    const GlobalStatistics global = GlobalStatisticsFromMap(
        {{"unknown_code_datagrams", qulonglong(4)}, {"unknown_code_last_source", "198.51.100.1:9"}});
    EXPECT_EQ(global.unknownCodeDatagrams, 4u);
    EXPECT_EQ(global.lastUnknownSource, "198.51.100.1:9");
}
