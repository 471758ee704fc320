#pragma once

#include <QList>
#include <QMap>
#include <QStringList>
#include <QTextStream>
#include <QVariantMap>

#include "cli/PortManagerClient.h"

struct PortRates {
    double rx = 0;  // bytes per second from the DTU
    double tx = 0;  // bytes per second to the DTU
};

// Byte rates from the counters of successive samples, per slot. A port seen for the first
// time, or whose counters went back (it was restarted), has no rate yet.
class RateMeter {
public:
    QMap<int, PortRates> Sample(const QList<QVariantMap>& ports, qint64 nowMs);

private:
    QMap<int, std::pair<qint64, qint64>> counters_;
    qint64 lastMs_ = -1;
};

// The watch view: a status line and the table of ports with their rates.
QStringList WatchLines(const QList<QVariantMap>& ports, const QMap<int, PortRates>& rates, const QString& status);

// The live view of `mv5840vspctl watch`. On a terminal it takes the alternate screen and
// redraws it in place each second until q, Ctrl+C or the count of refreshes; otherwise it
// prints the view again each second.
class PortWatch {
public:
    PortWatch(PortManagerClient& client, QTextStream& out, bool terminal, int count);
    // The first sample; the view starts only when it succeeded.
    BusReply Start();
    // Needs a QCoreApplication. Runs the view to its end; returns the exit status.
    int Loop();

private:
    void Refresh();
    QString Status(const QString& problem) const;
    void Draw(const QStringList& lines);

    PortManagerClient& client_;
    QTextStream& out_;
    bool terminal_;
    int count_;
    int frames_ = 0;
    RateMeter meter_;
    QList<QVariantMap> ports_;
    QMap<int, PortRates> rates_;
};
