#include "com/FrontEnd.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>

#include "com/AutomationObject.h"
#include "com/Registration.h"

FrontEnd::FrontEnd(const QDBusConnection& connection, PortSelectionTarget& window, QObject* parent)
    : QObject(parent), connection_(connection), window_(window)
{
}

FrontEnd::~FrontEnd()
{
    if (!published_)
        return;
    connection_.unregisterObject(QLatin1String(Registration::ObjectPath));
    connection_.interface()->unregisterService(QLatin1String(AutomationObject::FrontEndService));
}

bool FrontEnd::Publish()
{
    if (!connection_.registerObject(QLatin1String(Registration::ObjectPath), this,
                                    QDBusConnection::ExportScriptableSlots))
        return false;
    const auto reply = connection_.interface()->registerService(QLatin1String(AutomationObject::FrontEndService),
                                                                QDBusConnectionInterface::DontQueueService,
                                                                QDBusConnectionInterface::DontAllowReplacement);
    published_ = reply.isValid() && reply.value() == QDBusConnectionInterface::ServiceRegistered;
    if (!published_)
        connection_.unregisterObject(QLatin1String(Registration::ObjectPath));
    return published_;
}

bool FrontEnd::AskToShow(QDBusConnection connection)
{
    const QString name = QLatin1String(AutomationObject::FrontEndService);
    if (!connection.isConnected() || !connection.interface()->isServiceRegistered(name))
        return false;
    const QDBusMessage reply = connection.call(QDBusMessage::createMethodCall(name,
                                                                              QLatin1String(Registration::ObjectPath),
                                                                              QStringLiteral("MV5840VSP.IApplication"),
                                                                              QStringLiteral("Show")),
                                               QDBus::Block, 10000);
    return reply.type() == QDBusMessage::ReplyMessage;
}

void FrontEnd::Show()
{
    window_.ShowWindow();
}
