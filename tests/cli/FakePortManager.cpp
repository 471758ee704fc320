#include "FakePortManager.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusUnixFileDescriptor>
#include <QFile>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

QDBusMessage Refuse(const QDBusMessage& message, const char* kind, const QString& text)
{
    return message.createErrorReply(QLatin1String("MV5840VSP.Error.") + QLatin1String(kind), text);
}

QVariantMap Dictionary(const QVariant& argument)
{
    return qdbus_cast<QVariantMap>(argument);
}

}  // namespace

QVariantMap CannedPort(int slot, int number, const QString& code)
{
    return {{"slot", slot},
            {"number", number},
            {"name", QStringLiteral("COM%1").arg(number)},
            {"code", code},
            {"transport", "udp"},
            {"fixed_ip", ""},
            {"peer", ""},
            {"online", false},
            {"rx", qlonglong(0)},
            {"tx", qlonglong(0)},
            {"device", QStringLiteral("/run/user/0/MV5840VSP/COM%1").arg(number)},
            {"last_heard", qlonglong(-1)},
            {"interval", 300},
            {"state", "offline"},
            {"reason", ""},
            {"in_use", false}};
}

FakePortManager::FakePortManager()
{
    qDBusRegisterMetaType<QList<QVariantMap>>();
}

FakePortManager::~FakePortManager()
{
    for (int fd : std::as_const(openTraces_))
        close(fd);
}

QDBusMessage FakePortManager::Monitor(const QDBusMessage& message)
{
    // A stream socket, as the program hands out: it holds far more than the canned traces.
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        return message.createErrorReply(QDBusError::Failed, QStringLiteral("no socket pair"));
    const ssize_t written = write(fds[0], trace.constData(), static_cast<size_t>(trace.size()));
    if (written != trace.size())
        return message.createErrorReply(QDBusError::Failed, QStringLiteral("trace too long"));
    if (traceOpen)
        openTraces_ << fds[0];
    else
        close(fds[0]);
    // The reply holds its own copy of the descriptor.
    const QDBusMessage reply = message.createReply(QVariant::fromValue(QDBusUnixFileDescriptor(fds[1])));
    close(fds[1]);
    return reply;
}

QString FakePortManager::introspect(const QString&) const
{
    // The interface as the program describes it.
    QFile file(QStringLiteral(MV_PORT_MANAGER_XML));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    const QString xml = QString::fromUtf8(file.readAll());
    const qsizetype begin = xml.indexOf(QLatin1String("<interface"));
    const qsizetype end = xml.lastIndexOf(QLatin1String("</interface>"));
    return begin < 0 || end < 0 ? QString() : xml.mid(begin, end - begin + 12);
}

bool FakePortManager::handleMessage(const QDBusMessage& message, const QDBusConnection& connection)
{
    if (message.interface() != QLatin1String("MV5840VSP.IPortManager")
        && message.interface() != QLatin1String("MV5840VSP.IPortSelection"))
        return false;
    calls << message;
    connection.send(Answer(message));
    return true;
}

int FakePortManager::Find(const QVariantMap& selector) const
{
    for (int i = 0; i < listed.size(); ++i) {
        if (selector.contains("number") && listed[i]["number"] == selector["number"])
            return i;
        if (selector.contains("code") && listed[i]["code"] == selector["code"])
            return i;
    }
    return -1;
}

QDBusMessage FakePortManager::Answer(const QDBusMessage& message)
{
    const QString method = message.member();
    const QVariantList arguments = message.arguments();
    if (method == QLatin1String("SelectDtu")) {
        const QString code = arguments.value(0).toString();
        for (const QVariantMap& port : std::as_const(listed)) {
            if (port["code"].toString().compare(code, Qt::CaseInsensitive) == 0) {
                selected = port["code"].toString();
                return message.createReply(0);
            }
        }
        return message.createReply(1);
    }
    if (method == QLatin1String("GetSelectedDtu"))
        return message.createReply(selected);
    if (method == QLatin1String("ListPorts"))
        return message.createReply(QVariant::fromValue(listed));
    if (method == QLatin1String("Monitor") && offersStatistics)
        return Monitor(message);
    if (method == QLatin1String("GetStatistics") && offersStatistics)
        return message.createReply(global);
    if (method == QLatin1String("Monitor") || method == QLatin1String("GetStatistics"))
        return message.createErrorReply(QDBusError::UnknownMethod, method);

    const QVariantMap first = Dictionary(arguments.value(0));
    const bool change = method == QLatin1String("AddPort") || method == QLatin1String("EditPort")
                        || method == QLatin1String("RemovePort");
    if (change && !fileRefusal.isEmpty())
        return Refuse(message, fileRefusal.toLatin1().constData(),
                      QStringLiteral("无法读取配置文件 /home/user/.config/Torvane/HOLBRN.conf：Permission denied\n"
                                     "这项更改没有保存，也没有生效。"));
    if (method == QLatin1String("AddPort")) {
        if (!shared && !first.contains("number"))
            return Refuse(message, "InvalidArgument", QStringLiteral("请求无效：number: required"));
        const int number = shared ? 5 : first.value("number").toInt();
        if (number < 1 || number > 256)
            return Refuse(message, "NumberOutOfRange", QStringLiteral("“请填入一个在1和256之间的整数。”"));
        in_addr address{};
        if (first.contains("fixed_ip") && !first["fixed_ip"].toString().isEmpty()
            && inet_pton(AF_INET, first["fixed_ip"].toString().toLatin1().constData(), &address) != 1)
            return Refuse(message, "InvalidAddress", QStringLiteral("IP地址无效"));
        if (!shared && Find({{"number", number}}) >= 0)
            return Refuse(message, "NumberInUse", QStringLiteral("该端口号已被使用"));
        QVariantMap port = CannedPort(listed.isEmpty() ? 0 : listed.last()["slot"].toInt() + 1, number,
                                      first.value("code").toString());
        for (const char* key : {"transport", "fixed_ip", "interval"})
            if (first.contains(key))
                port[key] = first[key];
        listed << port;
        return message.createReply(port);
    }

    const int found = Find(first);
    if (found < 0) {
        const QString text = first.contains("number")
                                 ? QStringLiteral("没有端口号为%1的端口。").arg(first["number"].toInt())
                                 : QStringLiteral("没有编码为“%1”的端口。").arg(first["code"].toString());
        return Refuse(message, "NoSuchPort", text);
    }
    if (method == QLatin1String("GetPort"))
        return message.createReply(listed[found]);
    if (method == QLatin1String("EditPort")) {
        const QVariantMap changes = Dictionary(arguments.value(1));
        const int holder = changes.contains("number") ? Find({{"number", changes["number"]}}) : -1;
        if (holder >= 0 && holder != found)
            return Refuse(message, "NumberInUse", QStringLiteral("该端口号已被使用"));
        if (changes.contains("interval") && changes["interval"].toInt() < 10)
            return Refuse(message, "IntervalOutOfRange", QStringLiteral("“请填入一个在10和100000之间的整数。”"));
        for (auto it = changes.begin(); it != changes.end(); ++it)
            listed[found][it.key()] = it.value();
        listed[found]["name"] = QStringLiteral("COM%1").arg(listed[found]["number"].toInt());
        return message.createReply(listed[found]);
    }
    if (method == QLatin1String("RemovePort")) {
        if (listed[found]["in_use"].toBool() && !arguments.value(1).toBool())
            return Refuse(message, "PortInUse", QStringLiteral("请确认先关闭正在使用虚拟串口的程序。"));
        listed.removeAt(found);
        return message.createReply();
    }
    return message.createErrorReply(QDBusError::UnknownMethod, method);
}
