#include "com/AutomationObject.h"

#include <QDBusConnectionInterface>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

#include <QDBusMetaType>

#include "automationadaptor.h"
#include "com/PortManager.h"
#include "service/PortMessages.h"
#include "portmanageradaptor.h"

namespace {
const char NoSelection[] = "#NoSelected";
}

AutomationObject::AutomationObject(AppLock& lock, const QDBusConnection& connection, QObject* parent)
    : QObject(parent), lock(lock), connection(connection), ledger(lock),
      clientWatcher(QString(), connection, QDBusServiceWatcher::WatchForUnregistration)
{
    new IPortSelectionAdaptor(this);
    new IClassFactoryAdaptor(this);
    new IApplicationAdaptor(this);
    connect(&clientWatcher, &QDBusServiceWatcher::serviceUnregistered, this, &AutomationObject::OnClientGone);
}

int AutomationObject::SelectDtu(const QString& code)
{
    ObjectUsed();
    if (code.isEmpty() || !target)
        return NotFound;
    return target->SelectSharedTarget(code.toStdString()) ? Selected : NotFound;
}

QString AutomationObject::GetSelectedDtu()
{
    ObjectUsed();
    if (!target)
        return QString::fromLatin1(NoSelection);
    return QString::fromStdString(target->GetSharedTargetCode());
}

void AutomationObject::LockServer(bool lockIt)
{
    const QString client = Caller();
    if (client.isEmpty())
        return;
    const bool known = ledger.Knows(client);
    if (ledger.LockServer(client, lockIt)) {
        if (!known)
            Watch(client);
    } else if (known) {
        clientWatcher.removeWatchedService(client);
    }
}

void AutomationObject::Show()
{
    if ((!target || !target->ShowWindow()) && calledFromDBus())
        sendErrorReply(QLatin1String(NoWindowError), QStringLiteral("this MV5840VSP runs without a window"));
}

void AutomationObject::SetPortManager(PortManager* newManager)
{
    manager = newManager;
    qDBusRegisterMetaType<QList<QVariantMap>>();
    new IPortManagerAdaptor(this);
    connect(manager, &PortManager::PortChanged, this, &AutomationObject::PortChanged);
}

void AutomationObject::Refuse(const PortError& error)
{
    // The window's text; a client that speaks another language goes by the error's name.
    if (error && calledFromDBus())
        sendErrorReply(QStringLiteral("MV5840VSP.Error.") + QLatin1String(PortError::Name(error.kind)),
                       QString::fromStdString(PortMessages::Text(error)));
}

QList<QVariantMap> AutomationObject::ListPorts()
{
    return manager ? manager->ListPorts() : QList<QVariantMap>();
}

QVariantMap AutomationObject::GetPort(const QVariantMap& selector)
{
    QVariantMap port;
    if (manager)
        Refuse(manager->GetPort(selector, port));
    return port;
}

QVariantMap AutomationObject::AddPort(const QVariantMap& request)
{
    QVariantMap port;
    if (manager)
        Refuse(manager->AddPort(request, port));
    return port;
}

QVariantMap AutomationObject::EditPort(const QVariantMap& selector, const QVariantMap& changes)
{
    QVariantMap port;
    if (manager)
        Refuse(manager->EditPort(selector, changes, port));
    return port;
}

void AutomationObject::RemovePort(const QVariantMap& selector, bool force)
{
    if (manager)
        Refuse(manager->RemovePort(selector, force));
}

QVariantMap AutomationObject::GetSettings()
{
    return manager ? manager->GetSettings() : QVariantMap();
}

QString AutomationObject::Caller() const
{
    return calledFromDBus() ? message().service() : QString();
}

void AutomationObject::ObjectUsed()
{
    const QString client = Caller();
    if (client.isEmpty())
        return;
    if (!ledger.Knows(client))
        Watch(client);
    ledger.ObjectUsed(client);
}

void AutomationObject::Watch(const QString& client)
{
    clientWatcher.addWatchedService(client);
    // The client may have left before the watch was in place; the bus answers this question
    // only after it has taken the watch, so no departure can slip between the two.
    QDBusPendingCall call = connection.interface()->asyncCall(QStringLiteral("NameHasOwner"), client);
    auto* watcher = new QDBusPendingCallWatcher(call, this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, client](QDBusPendingCallWatcher* finished) {
        const QDBusPendingReply<bool> reply = *finished;
        finished->deleteLater();
        if (reply.isValid() && !reply.value())
            OnClientGone(client);
    });
}

void AutomationObject::OnClientGone(const QString& client)
{
    clientWatcher.removeWatchedService(client);
    ledger.ClientGone(client);
}
