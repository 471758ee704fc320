#pragma once

#include <QList>
#include <QString>
#include <QVariantMap>

#include "link/PortStatistics.h"

// One port's statistics as the tool shows them: the port's names and its counters.
struct PortMetrics {
    int slot = 0;
    QString name;  // "COM7"
    QString code;
    bool online = false;
    PortStatistics statistics;
};

// From a port's dictionary (the port manager's keys and those of PortCounters and
// StatisticsKeys). False when it carries no statistics: the program that answered is older.
bool PortMetricsFromMap(const QVariantMap& port, PortMetrics& metrics);
// From the dictionary of what belongs to no port (StatisticsKeys).
GlobalStatistics GlobalStatisticsFromMap(const QVariantMap& global);

// A label value or help text in the Prometheus text format: backslash, newline and (in label
// values) the double quote escaped.
QString PrometheusLabelValue(const QString& value);

// stats: a table for people, one line per port (bytes and datagrams or chunks each way,
// logins, TCP connections up and attempts failed, bytes dropped, the latest error with its
// UTC time), then what belongs to no port.
QString StatisticsTableText(const QList<PortMetrics>& ports, const GlobalStatistics& global);

// The Prometheus text exposition format (version 0.0.4), as a node exporter's text-file
// collector reads it: each metric with its HELP and TYPE lines, then one sample per port with
// the labels port="COM<n>" and slot (shared-port mode gives several ports one name). The
// latest error is a gauge of its time in seconds with the error as a label; what belongs to
// no port follows when global is given.
QString PrometheusText(const QList<PortMetrics>& ports, const GlobalStatistics* global);
