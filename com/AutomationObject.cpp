#include "com/AutomationObject.h"

#include <QDBusConnectionInterface>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

#include <QDBusMetaType>

#include "automationadaptor.h"
#include "com/PortManager.h"
#include "com/Registration.h"
#include "service/PortMessages.h"
#include "portmanageradaptor.h"

namespace {
const char NoSelection[] = "#NoSelected";
}

AutomationObject::AutomationObject(AppLock& lock, const QDBusConnection& connection, QObject* parent)
    : QObject(parent), lock_(lock), connection_(connection), ledger_(lock_),
      clientWatcher_(QString(), connection_, QDBusServiceWatcher::WatchForUnregistration)
{
    new IPortSelectionAdaptor(this);
    new IClassFactoryAdaptor(this);
    new IApplicationAdaptor(this);
    connect(&clientWatcher_, &QDBusServiceWatcher::serviceUnregistered, this, &AutomationObject::OnClientGone);
}

int AutomationObject::SelectDtu(const QString& code)
{
    ObjectUsed();
    if (code.isEmpty() || !target_)
        return NotFound;
    return target_->SelectSharedTarget(code.toStdString()) ? Selected : NotFound;
}

QString AutomationObject::GetSelectedDtu()
{
    ObjectUsed();
    if (!target_)
        return QString::fromLatin1(NoSelection);
    return QString::fromStdString(target_->GetSharedTargetCode());
}

void AutomationObject::LockServer(bool lockIt)
{
    const QString client = Caller();
    if (client.isEmpty())
        return;
    const bool known = ledger_.Knows(client);
    if (ledger_.LockServer(client, lockIt)) {
        if (!known)
            Watch(client);
    } else if (known) {
        clientWatcher_.removeWatchedService(client);
    }
}

void AutomationObject::Show()
{
    if (target_ && target_->ShowWindow())
        return;
    // A front end shows this instance's ports: it raises itself, without this call waiting.
    if (connection_.interface()->isServiceRegistered(QLatin1String(FrontEndService))) {
        connection_.send(
            QDBusMessage::createMethodCall(QLatin1String(FrontEndService), QLatin1String(Registration::ObjectPath),
                                           QStringLiteral("MV5840VSP.IApplication"), QStringLiteral("Show")));
        return;
    }
    if (calledFromDBus())
        sendErrorReply(QLatin1String(NoWindowError), QStringLiteral("this MV5840VSP runs without a window"));
}

void AutomationObject::SetPortManager(PortManager* newManager)
{
    manager_ = newManager;
    qDBusRegisterMetaType<QList<QVariantMap>>();
    qDBusRegisterMetaType<QList<QList<qulonglong>>>();
    new IPortManagerAdaptor(this);
    connect(manager_, &PortManager::PortChanged, this, &AutomationObject::PortChanged);
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
    return manager_ ? manager_->ListPorts() : QList<QVariantMap>();
}

QList<QList<qulonglong>> AutomationObject::ListCounters()
{
    return manager_ ? manager_->ListCounters() : QList<QList<qulonglong>>();
}

QVariantMap AutomationObject::GetPort(const QVariantMap& selector)
{
    QVariantMap port;
    if (manager_)
        Refuse(manager_->GetPort(selector, port));
    return port;
}

QVariantMap AutomationObject::AddPort(const QVariantMap& request)
{
    QVariantMap port;
    if (manager_)
        Refuse(manager_->AddPort(request, port));
    return port;
}

QVariantMap AutomationObject::EditPort(const QVariantMap& selector, const QVariantMap& changes)
{
    QVariantMap port;
    if (manager_)
        Refuse(manager_->EditPort(selector, changes, port));
    return port;
}

void AutomationObject::RemovePort(const QVariantMap& selector, bool force)
{
    if (manager_)
        Refuse(manager_->RemovePort(selector, force));
}

QVariantMap AutomationObject::GetSettings()
{
    return manager_ ? manager_->GetSettings() : QVariantMap();
}

void AutomationObject::SetSettings(const QVariantMap& settings)
{
    if (manager_)
        Refuse(manager_->SetSettings(settings));
}

QDBusUnixFileDescriptor AutomationObject::Monitor(const QList<QVariantMap>& selectors)
{
    QDBusUnixFileDescriptor trace;
    if (!manager_)
        return trace;
    int fd = -1;
    if (const PortError error = manager_->Monitor(selectors, fd)) {
        Refuse(error);
        return trace;
    }
    if (fd < 0) {
        if (calledFromDBus())
            sendErrorReply(QDBusError::Failed, QStringLiteral("MV5840VSP could not open a trace; its log says why"));
        return trace;
    }
    trace.giveFileDescriptor(fd);  // the reply sends it and the object closes it
    return trace;
}

QVariantMap AutomationObject::GetStatistics()
{
    return manager_ ? manager_->GetStatistics() : QVariantMap();
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
    if (!ledger_.Knows(client))
        Watch(client);
    ledger_.ObjectUsed(client);
}

void AutomationObject::Watch(const QString& client)
{
    clientWatcher_.addWatchedService(client);
    // The client may have left before the watch was in place; the bus answers this question
    // only after it has taken the watch, so no departure can slip between the two.
    QDBusPendingCall call = connection_.interface()->asyncCall(QStringLiteral("NameHasOwner"), client);
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
    clientWatcher_.removeWatchedService(client);
    ledger_.ClientGone(client);
}
