#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QString>
#include <QVariantList>

#include <functional>
#include <optional>

// Waits for a condition while the event loop runs, so that a service in this same thread can
// answer. Generous deadline: the machine may be loaded.
bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = 20000);

// A client with a bus connection of its own (its own unique name), as another program has.
class BusClient {
public:
    explicit BusClient(const QString& connectionName);
    ~BusClient();

    QDBusConnection& Connection() { return *connection_; }
    QString UniqueName() const { return connection_->baseService(); }

    // Calls a method of the service and waits for the answer with the event loop running.
    QDBusMessage Call(const QString& interface, const QString& method, const QVariantList& arguments = {},
                      const QString& service = QStringLiteral("MV5840VSP.IMV5840VSP"));
    // Leaves the bus, as a client that exits does.
    void Leave();

private:
    QString name_;
    // Reset on leaving: the connection closes only when no handle refers to it any more.
    std::optional<QDBusConnection> connection_;
};
