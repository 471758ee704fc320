#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QList>
#include <QString>
#include <QVariantMap>

// The outcome of one call to the running program.
struct BusReply {
    enum class Kind {
        Ok,
        Refused,     // the program said no; message says why in English
        NotRunning,  // no instance owns the name, or there is no session bus
        Failed,      // anything else: no answer, an unexpected answer
    };
    Kind kind = Kind::Ok;
    QString message;
    QString refusal;  // Refused: the kind, as the error's name ends ("NumberInUse")
    QDBusMessage reply;

    bool Ok() const { return kind == Kind::Ok; }
};

// Calls the port manager and the port selection of a running MV5840VSP. Never starts the
// program through bus activation: an instance started that way would have no ports, so a
// missing instance is reported instead.
class PortManagerClient {
public:
    explicit PortManagerClient(const QDBusConnection& connection);

    // How long a call waits for its answer. The default leaves time for a port whose close
    // waits for its link to stop.
    void SetCallTimeout(int milliseconds) { callTimeoutMs_ = milliseconds; }

    BusReply ListPorts(QList<QVariantMap>& ports);
    BusReply GetPort(const QVariantMap& selector, QVariantMap& port);
    BusReply AddPort(const QVariantMap& request, QVariantMap& port);
    BusReply EditPort(const QVariantMap& selector, const QVariantMap& changes, QVariantMap& port);
    BusReply RemovePort(const QVariantMap& selector, bool force);
    // result: 0 selected, 1 no port in service has the code.
    BusReply SelectDtu(const QString& code, int& result);
    BusReply GetSelectedDtu(QString& code);
    // A live trace of the selected ports (every port for none): the reading end of a stream
    // of trace records (link/TraceRecord.h) that the program writes until it stops or the
    // reader closes it.
    BusReply Monitor(const QList<QVariantMap>& selectors, QDBusUnixFileDescriptor& trace);
    // What belongs to no port (link/PortStatistics.h, StatisticsKeys); the ports' own
    // statistics come with ListPorts.
    BusReply GetStatistics(QVariantMap& global);

    // The one line that says why no instance answers on this bus and what to do: start one, or
    // reach the one that serves this user's ports from another session bus (or none).
    static QString NotRunningText();
    // The English sentence for a refusal of the kind (the error name's last part) of a call
    // with these arguments, naming the port or address asked for where the kind needs it.
    static QString RefusalText(const QString& kind, const QVariantList& arguments);

private:
    BusReply Call(const QString& interface, const QString& method, const QVariantList& arguments,
                  const QString& signature);
    BusReply PortCall(const QString& method, const QVariantList& arguments, QVariantMap& port);

    QDBusConnection connection_;
    int callTimeoutMs_ = 30000;
};
