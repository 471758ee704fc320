#pragma once

#include <QList>
#include <QObject>
#include <QVariantMap>
#include <chrono>

#include "service/PortError.h"
#include "service/PortService.h"

// The port manager on the bus (MV5840VSP.IPortManager): turns the bus's dictionaries into
// the service's requests and its snapshots back into dictionaries. Every change goes through
// the service's rules, so the bus refuses what the window refuses, with the same text. The
// port dictionaries are in English (reason, line), as the command-line tool shows them.
class PortManager : public QObject {
    Q_OBJECT
public:
    explicit PortManager(PortService& service, QObject* parent = nullptr);

    QList<QVariantMap> ListPorts() const;
    // Every port's slot and counters (PortCounters' order), as published.
    QList<QList<qulonglong>> ListCounters() const;
    PortError GetPort(const QVariantMap& selector, QVariantMap& port) const;
    PortError AddPort(const QVariantMap& request, QVariantMap& port);
    PortError EditPort(const QVariantMap& selector, const QVariantMap& changes, QVariantMap& port);
    PortError RemovePort(const QVariantMap& selector, bool force);
    QVariantMap GetSettings() const;
    // Stores the given globals (the keys of GetSettings; the others keep their running
    // values) for the next start, as the window's configure dialog does.
    PortError SetSettings(const QVariantMap& settings);
    // A live trace of the selected ports (every port for no selector): the reading end of the
    // stream in trace, which the caller owns; -1 when none could be made.
    PortError Monitor(const QList<QVariantMap>& selectors, int& trace);
    // What belongs to no port (StatisticsKeys).
    QVariantMap GetStatistics() const;

    static QVariantMap ToMap(const PortStatus& port);
    // A port as a front end on the bus reads it back from ToMap's dictionary.
    static PortStatus FromMap(const QVariantMap& map);
    static GlobalSettings SettingsFromMap(const QVariantMap& map);
    // An answer's port: ToMap with "line", the line settings an application set through the
    // compatibility library ("9600 8E1, DTR on, RTS off", "" when none are known), and
    // "age_ms", how much older than the question the status is (0: the loop caught up; more
    // when it did not answer in time and the answer is what it published last).
    static QVariantMap AnswerMap(const PortStatus& port, std::chrono::milliseconds age);

signals:
    // A port's configuration or state changed, or it was removed; at most one a
    // PortTable::PublishInterval per port, as the loop publishes the statuses. Byte counts alone are
    // not signalled: they come with ListPorts and GetPort.
    void PortChanged(const QVariantMap& port);

private:
    PortError Select(const QVariantMap& selector, int& slot) const;
    // Lays the request's keys over fields.
    PortError Apply(const QVariantMap& request, PortConfig& fields) const;
    PortError Result(PortError error, int slot, QVariantMap& port,
                     std::chrono::milliseconds age = std::chrono::milliseconds(0)) const;

    PortService& service_;
};
