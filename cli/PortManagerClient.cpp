#include "cli/PortManagerClient.h"

#include <QDBusArgument>
#include <QDBusMetaType>
#include <QHash>

#include "vport/PortDirectoryLock.h"
#include "vport/PortLink.h"

namespace {

const QString ServiceName = QStringLiteral("MV5840VSP.IMV5840VSP");
const QString ObjectPath = QStringLiteral("/IMV5840VSP");
const QString Manager = QStringLiteral("MV5840VSP.IPortManager");
const QString Selection = QStringLiteral("MV5840VSP.IPortSelection");
const QString RefusalPrefix = QStringLiteral("MV5840VSP.Error.");

// The program's refusals in English, by kind (the error's name without its prefix); the
// error's own text is the window's, in Chinese. %1: what the refusal names, as the request
// named it ("number 7", the address).
const QHash<QString, QString>& RefusalSentences()
{
    static const QHash<QString, QString> sentences = {
        {QStringLiteral("NumberOutOfRange"), QStringLiteral("the port number must be an integer from 1 to 256")},
        {QStringLiteral("NumberInUse"), QStringLiteral("the port number %1 is already in use")},
        {QStringLiteral("TableFull"), QStringLiteral("too many ports: all 200 slots are in use")},
        {QStringLiteral("CodeTooLong"), QStringLiteral("the code must be at most 11 bytes")},
        {QStringLiteral("IntervalOutOfRange"), QStringLiteral("the interval must be an integer from 10 to 100000")},
        {QStringLiteral("FrameGapOutOfRange"), QStringLiteral("the frame gap must be an integer from 0 to 1000")},
        {QStringLiteral("NetPortOutOfRange"), QStringLiteral("the network port must be an integer from 0 to 65535")},
        {QStringLiteral("NetPortInUse"), QStringLiteral("another port already uses that network port")},
        {QStringLiteral("NetModeInvalid"), QStringLiteral("the network mode must be rfc2217 or raw")},
        {QStringLiteral("InvalidAddress"), QStringLiteral("not an IPv4 address: %1")},
        {QStringLiteral("NoSuchPort"), QStringLiteral("no such port: %1")},
        {QStringLiteral("PortInUse"),
         QStringLiteral("an application holds the port open; close it first, or use --force")},
        {QStringLiteral("InvalidArgument"), QStringLiteral("the program did not understand the request")},
        {QStringLiteral("NotAnswering"),
         QStringLiteral("the program's data path is not answering, so nothing was changed; try again later")},
        {QStringLiteral("NotAnsweredYet"),
         QStringLiteral("the change is stored, but the program's data path is not answering; the change is made "
                        "once it answers")},
        // The file refused the change: nothing was changed.
        {QStringLiteral("SaveFailed"),
         QStringLiteral("the configuration file could not be written, so nothing was changed; the program's log "
                        "says why")},
        {QStringLiteral("ConfigNotRegularFile"),
         QStringLiteral("the configuration file is not a regular file (a folder, a FIFO or a device), so nothing "
                        "was changed")},
        {QStringLiteral("ConfigTooLarge"),
         QStringLiteral("the configuration file is larger than 4 MiB and is not read, so nothing was changed")},
        {QStringLiteral("ConfigUnreadable"),
         QStringLiteral("the configuration file cannot be read, so nothing was changed; the program's log says "
                        "why")},
        {QStringLiteral("ConfigNotSettings"),
         QStringLiteral("the configuration file holds a line that is not a setting, so nothing was changed; the "
                        "program's log names the line")},
    };
    return sentences;
}

// What a refusal of the kind names, as the call's arguments hold it.
QString RefusalSubject(const QString& kind, const QVariantList& arguments)
{
    const QVariantMap first = qdbus_cast<QVariantMap>(arguments.value(0));
    if (kind == QLatin1String("NoSuchPort") && first.size() == 1)
        return first.firstKey() + QLatin1Char(' ') + first.first().toString();
    // Monitor's selectors: the program refuses the first it does not know; the one named
    // when there is one, else each of them.
    if (kind == QLatin1String("NoSuchPort") && arguments.value(0).canConvert<QList<QVariantMap>>()) {
        QStringList named;
        for (const QVariantMap& selector : arguments.value(0).value<QList<QVariantMap>>())
            if (selector.size() == 1)
                named << selector.firstKey() + QLatin1Char(' ') + selector.first().toString();
        return named.join(QLatin1String(" or "));
    }
    // The number asked for: AddPort's request, or EditPort's changes.
    if (kind == QLatin1String("NumberInUse")) {
        const QVariantMap request = arguments.size() > 1 ? qdbus_cast<QVariantMap>(arguments.value(1)) : first;
        return request.value(QStringLiteral("number")).toString();
    }
    if (kind == QLatin1String("InvalidAddress")) {
        const QVariantMap request = arguments.size() > 1 ? qdbus_cast<QVariantMap>(arguments.value(1)) : first;
        return request.value(QStringLiteral("fixed_ip")).toString();
    }
    return {};
}

BusReply Unexpected(const QDBusMessage& reply)
{
    BusReply result;
    result.kind = BusReply::Kind::Failed;
    result.message = QStringLiteral("unexpected answer from MV5840VSP (signature \"%1\")").arg(reply.signature());
    return result;
}

}  // namespace

PortManagerClient::PortManagerClient(const QDBusConnection& connection) : connection_(connection)
{
    qDBusRegisterMetaType<QList<QVariantMap>>();
}

QString PortManagerClient::RefusalText(const QString& kind, const QVariantList& arguments)
{
    const auto known = RefusalSentences().constFind(kind);
    if (known == RefusalSentences().constEnd())
        return QStringLiteral("refused (%1)").arg(kind);
    return known->contains(QLatin1String("%1")) ? known->arg(RefusalSubject(kind, arguments)) : *known;
}

QString PortManagerClient::NotRunningText()
{
    // An instance holds its port directory's lock whatever bus it is on: a second start would
    // end with status 150, so the advice is to reach that one.
    const std::string directory = PortLink::Directory();
    if (const pid_t holder = PortDirectoryLock::RunningHolder(directory, PortDirectoryLock::FallbackDirectories()))
        return QStringLiteral("MV5840VSP (process %1) serves the ports in %2 but is not on this session bus: it "
                              "runs on another session bus (one of dbus-run-session, another login) or on none; "
                              "run mv5840vspctl with that bus's address in DBUS_SESSION_BUS_ADDRESS, or stop "
                              "that instance and start it where this bus is")
            .arg(holder)
            .arg(QString::fromStdString(directory));
    return QStringLiteral("MV5840VSP is not running; start it with \"MV5840VSP --service\" or "
                          "\"systemctl --user start mv5840vsp\"");
}

BusReply PortManagerClient::Call(const QString& interface, const QString& method, const QVariantList& arguments,
                                 const QString& signature)
{
    BusReply result;
    if (!connection_.isConnected()) {
        result.kind = BusReply::Kind::NotRunning;
        result.message = QStringLiteral("no session bus (%1); MV5840VSP is reached through the session bus of "
                                        "the user who runs it")
                             .arg(connection_.lastError().message());
        return result;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(ServiceName, ObjectPath, interface, method);
    call.setArguments(arguments);
    call.setAutoStartService(false);
    result.reply = connection_.call(call, QDBus::Block, callTimeoutMs_);
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
        result.refusal = name.mid(RefusalPrefix.size());
        result.message = RefusalText(result.refusal, arguments);
        // The text after the window's words names the key and what is wrong with it, in English.
        const QString detail = result.reply.errorMessage().section(QChar(0xFF1A), 1);
        if (result.refusal == QLatin1String("InvalidArgument") && !detail.isEmpty())
            result.message += QLatin1String(" (") + detail + QLatin1Char(')');
    } else if (name == QLatin1String("org.freedesktop.DBus.Error.UnknownMethod")
               || name == QLatin1String("org.freedesktop.DBus.Error.UnknownInterface")
               || name == QLatin1String("org.freedesktop.DBus.Error.UnknownObject")) {
        result.kind = BusReply::Kind::Failed;
        result.message =
            QStringLiteral("the running MV5840VSP does not offer %1.%2 (an older version?)").arg(interface, method);
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

BusReply PortManagerClient::Monitor(const QList<QVariantMap>& selectors, QDBusUnixFileDescriptor& trace)
{
    BusReply reply = Call(Manager, QStringLiteral("Monitor"), {QVariant::fromValue(selectors)}, QStringLiteral("h"));
    if (reply.Ok())
        trace = qdbus_cast<QDBusUnixFileDescriptor>(reply.reply.arguments().at(0));
    return reply;
}

BusReply PortManagerClient::GetStatistics(QVariantMap& global)
{
    BusReply reply = Call(Manager, QStringLiteral("GetStatistics"), {}, QStringLiteral("a{sv}"));
    if (reply.Ok())
        global = qdbus_cast<QVariantMap>(reply.reply.arguments().at(0));
    return reply;
}
