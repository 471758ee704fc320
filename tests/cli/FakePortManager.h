#pragma once

#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QList>
#include <QString>
#include <QVariantMap>

// A stand-in for the running program on the bus: the port manager and the port selection at
// /IMV5840VSP with canned ports, answering requests the way the program does, with its
// error names and texts. Records every call it gets.
class FakePortManager : public QDBusVirtualObject {
public:
    FakePortManager();

    QString introspect(const QString& path) const override;
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;

    QList<QVariantMap> listed;
    QString selected = QStringLiteral("#NoSelected");
    QList<QDBusMessage> calls;
    // When set, every change is refused with this kind, as a configuration file that cannot
    // keep it refuses it ("ConfigTooLarge").
    QString fileRefusal;
    // Monitor hands out a stream that holds trace and is then closed, or left open while
    // traceOpen (until the stand-in goes); none of the two methods exists unless
    // offersStatistics.
    QByteArray trace;
    bool traceOpen = false;
    bool offersStatistics = true;
    QVariantMap global;  // GetStatistics
    // Shared-port mode: a port added without a number takes the shared one (5).
    bool shared = false;

    ~FakePortManager() override;

private:
    QDBusMessage Answer(const QDBusMessage& message);
    int Find(const QVariantMap& selector) const;
    QDBusMessage Monitor(const QDBusMessage& message);

    QList<int> openTraces_;
};

// The canned port of slot with the given COM number and code, offline and dynamic.
QVariantMap CannedPort(int slot, int number, const QString& code);
