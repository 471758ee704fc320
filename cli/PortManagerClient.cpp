#include "cli/PortManagerClient.h"

#include <QDBusArgument>
#include <QDBusMetaType>

namespace {

const QString ServiceName = QStringLiteral("MV5840VSP.IMV5840VSP");
const QString ObjectPath = QStringLiteral("/IMV5840VSP");
const QString Manager = QStringLiteral("MV5840VSP.IPortManager");
const QString Selection = QStringLiteral("MV5840VSP.IPortSelection");
const QString RefusalPrefix = QStringLiteral("MV5840VSP.Error.");

BusReply Unexpected(const QDBusMessage& reply)
{
    BusReply result;
    result.kind = BusReply::Kind::Failed;
    result.message = QStringLiteral("unexpected answer from MV5840VSP (signature \"%1\")").arg(reply.signature());
    return result;
}

} // namespace

PortManagerClient::PortManagerClient(const QDBusConnection& connection) : connection(connection)
{
    qDBusRegisterMetaType<QList<QVariantMap>>();
}

QString PortManagerClient::NotRunningText()
{
    return QStringLiteral("MV5840VSP is not running; start it with \"MV5840VSP --service\" or "
                          "\"systemctl --user start mv5840vsp\"");
}

BusReply PortManagerClient::Call(const QString& interface, const QString& method, const QVariantList& arguments,
                                 const QString& signature)
{
    BusReply result;
    if (!connection.isConnected()) {
        result.kind = BusReply::Kind::NotRunning;
        result.message = QStringLiteral("no session bus (%1); MV5840VSP is reached through the session bus of "
                                        "the user who runs it")
                             .arg(connection.lastError().message());
        return result;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(ServiceName, ObjectPath, interface, method);
    call.setArguments(arguments);
    call.setAutoStartService(false);
    result.reply = connection.call(call, QDBus::Block, callTimeoutMs);
    if (result.reply.type() == QDBusMessage::ReplyMessage) {
        if (result.reply.signature() != signature)
            return Unexpected(result.reply);
        return result;
    }

    const QString name = result.reply.errorName();
    if (name == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown")
        || name == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner")) {
        result.kind = BusReply::Kind::NotRunning;
        result.message = NotRunningText();
    } else if (name.startsWith(RefusalPrefix)) {
        result.kind = BusReply::Kind::Refused;
        result.message = result.reply.errorMessage();
    } else if (name == QLatin1String("org.freedesktop.DBus.Error.UnknownMethod")
               || name == QLatin1String("org.freedesktop.DBus.Error.UnknownInterface")
               || name == QLatin1String("org.freedesktop.DBus.Error.UnknownObject")) {
        result.kind = BusReply::Kind::Failed;
        result.message = QStringLiteral("the running MV5840VSP does not offer %1.%2 (an older version?)")
                             .arg(interface, method);
    } else {
        result.kind = BusReply::Kind::Failed;
        result.message = QStringLiteral("MV5840VSP did not answer %1: %2").arg(method, result.reply.errorMessage());
    }
    return result;
}

BusReply PortManagerClient::PortCall(const QString& method, const QVariantList& arguments, QVariantMap& port)
{
    BusReply result = Call(Manager, method, arguments, QStringLiteral("a{sv}"));
    if (result.Ok())
        port = qdbus_cast<QVariantMap>(result.reply.arguments().at(0));
    return result;
}

BusReply PortManagerClient::ListPorts(QList<QVariantMap>& ports)
{
    BusReply result = Call(Manager, QStringLiteral("ListPorts"), {}, QStringLiteral("aa{sv}"));
    if (result.Ok())
        ports = qdbus_cast<QList<QVariantMap>>(result.reply.arguments().at(0));
    return result;
}

BusReply PortManagerClient::GetPort(const QVariantMap& selector, QVariantMap& port)
{
    return PortCall(QStringLiteral("GetPort"), {selector}, port);
}

BusReply PortManagerClient::AddPort(const QVariantMap& request, QVariantMap& port)
{
    return PortCall(QStringLiteral("AddPort"), {request}, port);
}

BusReply PortManagerClient::EditPort(const QVariantMap& selector, const QVariantMap& changes, QVariantMap& port)
{
    return PortCall(QStringLiteral("EditPort"), {selector, changes}, port);
}

BusReply PortManagerClient::RemovePort(const QVariantMap& selector, bool force)
{
    return Call(Manager, QStringLiteral("RemovePort"), {selector, force}, QString());
}

BusReply PortManagerClient::SelectDtu(const QString& code, int& result)
{
    BusReply reply = Call(Selection, QStringLiteral("SelectDtu"), {code}, QStringLiteral("i"));
    if (reply.Ok())
        result = reply.reply.arguments().at(0).toInt();
    return reply;
}

BusReply PortManagerClient::GetSelectedDtu(QString& code)
{
    BusReply reply = Call(Selection, QStringLiteral("GetSelectedDtu"), {}, QStringLiteral("s"));
    if (reply.Ok())
        code = reply.reply.arguments().at(0).toString();
    return reply;
}
