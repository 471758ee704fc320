#include "BusClient.h"

#include <QCoreApplication>
#include <QDBusPendingCall>
#include <QDeadlineTimer>
#include <QThread>

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
    return true;
}

BusClient::BusClient(const QString& connectionName)
    : name_(connectionName), connection_(QDBusConnection::connectToBus(QDBusConnection::SessionBus, connectionName))
{
}

BusClient::~BusClient()
{
    Leave();
}

QDBusMessage BusClient::Call(const QString& interface, const QString& method, const QVariantList& arguments,
                             const QString& service)
{
    QDBusMessage message = QDBusMessage::createMethodCall(service, QStringLiteral("/IMV5840VSP"), interface, method);
    message.setArguments(arguments);
    QDBusPendingCall call = connection_->asyncCall(message, 20000);
    WaitUntil([&] { return call.isFinished(); }, 25000);
    return call.reply();
}

void BusClient::Leave()
{
    if (!connection_)
        return;
    connection_.reset();
    QDBusConnection::disconnectFromBus(name_);
}
