// The port manager on the bus, in this process with a service of its own: what a client
// reads and changes, the errors it gets, and the change signal that follows states, not
// byte counts.
#include <QDBusArgument>
#include <QDBusMetaType>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "BusClient.h"
#include "com/ComServer.h"
#include "service/PortService.h"
#include "support/Loopback.h"
#include "support/RuntimeDir.h"
#include "support/ThreadHold.h"

namespace {

const QString Manager = QStringLiteral("MV5840VSP.IPortManager");

class ChangeRecorder : public QObject {
    Q_OBJECT
public:
    QList<QVariantMap> changes;

public slots:
    void PortChanged(const QVariantMap& port) { changes.append(port); }
};

QVariantMap MapOf(const QDBusMessage& reply)
{
    EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
    return qdbus_cast<QVariantMap>(reply.arguments().value(0));
}

class PortManagerBusTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(configDir.isValid());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, configDir.path());
        setenv("XDG_CONFIG_HOME", configDir.path().toLocal8Bit().constData(), 1);
        serverPort = FreeLoopbackPort(SOCK_DGRAM);
        const std::string local = "127.0.0.1:" + std::to_string(serverPort);
        service = std::make_unique<PortService>(local.c_str());
        server = std::make_unique<ComServer>(QStringList{QStringLiteral("MV5840VSP")},
                                             QDBusConnection::connectToBus(QDBusConnection::SessionBus, "manager"));
        server->SetPortService(service.get());
        ASSERT_TRUE(server->InitializeServer());
        service->StartNetwork();
        service->StartPorts();
    }

    void TearDown() override
    {
        server->TerminateServer();
        server.reset();
        QDBusConnection::disconnectFromBus("manager");
        service.reset();
    }

    QDBusMessage Call(const QString& method, const QVariantList& arguments = {})
    {
        return client.Call(Manager, method, arguments);
    }

    QTemporaryDir configDir;
    TempRuntimeDir runtimeDir;
    uint16_t serverPort = 0;
    std::unique_ptr<PortService> service;
    std::unique_ptr<ComServer> server;
    BusClient client{QStringLiteral("manager-client")};
};

TEST_F(PortManagerBusTest, AddEditGetListAndRemoveAPort)
{
    QVariantMap port = MapOf(Call("AddPort", {QVariantMap{{"number", 7},
                                                          {"code", "D7"},
                                                          {"fixed_ip", "127.0.0.5"},
                                                          {"interval", 30},
                                                          {"transport", "tcp"}}}));
    EXPECT_EQ(port.value("name").toString(), "COM7");
    EXPECT_EQ(port.value("fixed_ip").toString(), "127.0.0.5");
    EXPECT_EQ(port.value("transport").toString(), "tcp");
    EXPECT_EQ(port.value("interval").toInt(), 30);
    EXPECT_EQ(port.value("device").toString().toStdString(), runtimeDir.PortDir() + "/COM7");
    EXPECT_EQ(port.value("state").toString(), "offline");
    EXPECT_EQ(port.value("last_heard").toLongLong(), -1);

    port = MapOf(Call("EditPort", {QVariantMap{{"code", "D7"}}, QVariantMap{{"fixed_ip", ""}, {"transport", "udp"}}}));
    EXPECT_EQ(port.value("fixed_ip").toString(), "");
    EXPECT_EQ(port.value("transport").toString(), "udp");
    EXPECT_EQ(port.value("interval").toInt(), 30);  // kept
    EXPECT_EQ(port.value("frame_gap").toInt(), 10);

    // The framing gap is stored in the port's group only when it is not the default.
    port = MapOf(Call("EditPort", {QVariantMap{{"number", 7}}, QVariantMap{{"frame_gap", 0}}}));
    EXPECT_EQ(port.value("frame_gap").toInt(), 0);
    EXPECT_EQ(service->StatusOf(0)->config.FrameGap, 0);
    EXPECT_EQ(QSettings(QSettings::NativeFormat, QSettings::UserScope, "Torvane", "HOLBRN").value("1/FrameGap").toInt(),
              0);
    const QDBusMessage tooLong = Call("EditPort", {QVariantMap{{"number", 7}}, QVariantMap{{"frame_gap", 1001}}});
    EXPECT_EQ(tooLong.errorName(), "MV5840VSP.Error.FrameGapOutOfRange");
    EXPECT_EQ(tooLong.errorMessage(), "“请填入一个在0和1000之间的整数。”");
    EXPECT_EQ(service->StatusOf(0)->config.FrameGap, 0);
    // Slots as the file numbers its groups: the port in group 1 is slot 1.
    EXPECT_EQ(MapOf(Call("GetPort", {QVariantMap{{"slot", 1}}})).value("code").toString(), "D7");
    EXPECT_EQ(MapOf(Call("GetPort", {QVariantMap{{"number", 7}}})).value("slot").toInt(), 1);
    EXPECT_EQ(Call("GetPort", {QVariantMap{{"slot", 0}}}).errorName(), "MV5840VSP.Error.NoSuchPort");

    const QDBusMessage list = Call("ListPorts");
    ASSERT_EQ(list.type(), QDBusMessage::ReplyMessage) << list.errorMessage().toStdString();
    const auto listed = qdbus_cast<QList<QVariantMap>>(list.arguments().value(0));
    ASSERT_EQ(listed.size(), 1);
    EXPECT_EQ(listed[0].value("number").toInt(), 7);

    const QVariantMap settings = MapOf(Call("GetSettings"));
    EXPECT_EQ(settings.value("socket_port").toInt(), 3700);
    EXPECT_FALSE(settings.value("shared_mode").toBool());
    EXPECT_EQ(settings.value("shared_number").toInt(), 5);

    EXPECT_EQ(Call("RemovePort", {QVariantMap{{"number", 7}}, false}).type(), QDBusMessage::ReplyMessage);
    EXPECT_TRUE(service->Snapshot().empty());
}

// A held loop (a debugger, a stall) leaves the bus answering: a question from what the loop
// published last, with how old it is; a change refused within its bound by name.
TEST_F(PortManagerBusTest, WhileTheLoopIsHeldQuestionsAreAnsweredWithTheirAgeAndChangesRefused)
{
    MapOf(Call("AddPort", {QVariantMap{{"number", 7}, {"code", "D7"}}}));
    EXPECT_EQ(MapOf(Call("GetPort", {QVariantMap{{"number", 7}}})).value("age_ms").toLongLong(), 0);
    ThreadHold hold("mv-pumps");
    ASSERT_TRUE(hold.Held());
    const QDBusMessage list = Call("ListPorts");
    ASSERT_EQ(list.type(), QDBusMessage::ReplyMessage) << list.errorMessage().toStdString();
    const auto listed = qdbus_cast<QList<QVariantMap>>(list.arguments().value(0));
    ASSERT_EQ(listed.size(), 1);
    EXPECT_EQ(listed[0].value("code").toString(), "D7");
    EXPECT_GT(listed[0].value("age_ms").toLongLong(), 0);
    EXPECT_GT(MapOf(Call("GetPort", {QVariantMap{{"number", 7}}})).value("age_ms").toLongLong(), 0);
    EXPECT_GT(MapOf(Call("GetStatistics")).value("age_ms").toLongLong(), 0);
    EXPECT_EQ(Call("AddPort", {QVariantMap{{"number", 8}, {"code", "D8"}}}).errorName(),
              "MV5840VSP.Error.NotAnswering");
}

TEST_F(PortManagerBusTest, AFileThatCannotKeepTheChangeIsAnError)
{
    // A folder where the file should be: nothing can be written, so no port is made.
    ASSERT_TRUE(QDir().mkpath(configDir.path() + "/Torvane/HOLBRN.conf"));
    const QDBusMessage reply = Call("AddPort", {QVariantMap{{"number", 7}}});
    EXPECT_EQ(reply.errorName(), "MV5840VSP.Error.ConfigNotRegularFile");
    // The window's text, and that nothing changed.
    EXPECT_EQ(reply.errorMessage(),
              "配置文件 " + configDir.path()
                  + "/Torvane/HOLBRN.conf 不是普通文件（可能是文件夹、管道或设备），本程序不读取也不写入它。"
                    "\n这项更改没有保存，也没有生效。");
    EXPECT_TRUE(service->Snapshot().empty());
}

TEST_F(PortManagerBusTest, StateChangesAreSignalledAndByteCountsAloneAreNot)
{
    ChangeRecorder recorder;
    ASSERT_TRUE(client.Connection().connect(QStringLiteral("MV5840VSP.IMV5840VSP"), QStringLiteral("/IMV5840VSP"),
                                            Manager, QStringLiteral("PortChanged"), &recorder,
                                            SLOT(PortChanged(QVariantMap))));
    MapOf(Call("AddPort", {QVariantMap{{"number", 7}, {"code", "D7"}}}));

    int dtu = socket(AF_INET, SOCK_DGRAM, 0);
    const SocketAddress server = Loopback(serverPort);
    auto send = [&](uint8_t type, const QByteArray& payload) {
        QByteArray datagram("D7", 2);
        datagram.append(10, '\0').append(char(type)).append(payload);
        sendto(dtu, datagram.constData(), datagram.size(), 0, server.Raw(), SocketAddress::Length);
    };
    // The login is a change of state: signalled.
    send(0, {});
    ASSERT_TRUE(WaitUntil(
        [&] { return !recorder.changes.isEmpty() && recorder.changes.last().value("state").toString() == "online"; }));
    const qsizetype signalled = recorder.changes.size();

    // Data moves only the counts: no signal, however long it goes on; the counts are read.
    constexpr int Datagrams = 200;
    for (int k = 0; k < Datagrams; ++k) {
        send(3, QByteArray(10, 'x'));
        WaitUntil([] { return false; }, 2);  // the event loop runs between datagrams
    }
    ASSERT_TRUE(WaitUntil([&] {
        return MapOf(Call("GetPort", {QVariantMap{{"number", 7}}})).value("rx").toLongLong() == Datagrams * 10;
    }));
    WaitUntil([] { return false; }, 3 * PortService::WatchIntervalMs);
    EXPECT_EQ(recorder.changes.size(), signalled);

    // An answer counts every byte the port took before the question, also while the counts
    // of a busy port are published only now and then: once the application has read the
    // second datagram's bytes, they are in the next answer.
    const int app = open((runtimeDir.PortDir() + "/COM7").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(app, 0);
    ASSERT_TRUE(WaitUntil([&] {
        return MapOf(Call("GetPort", {QVariantMap{{"number", 7}}})).value("in_use").toBool();
    }));
    auto arrived = [&](int count) {
        return WaitUntil([&, got = 0]() mutable {
            char buffer[64];
            const ssize_t n = read(app, buffer, sizeof buffer);
            got += n > 0 ? int(n) : 0;
            return got >= count;
        });
    };
    for (int k = 1; k <= 2; ++k) {
        send(3, QByteArray(10, 'y'));
        ASSERT_TRUE(arrived(10));
        EXPECT_EQ(MapOf(Call("GetPort", {QVariantMap{{"number", 7}}})).value("rx").toLongLong(),
                  Datagrams * 10 + k * 10);
    }
    close(app);

    // A change of configuration is signalled.
    MapOf(Call("EditPort", {QVariantMap{{"number", 7}}, QVariantMap{{"frame_gap", 2}}}));
    ASSERT_TRUE(WaitUntil(
        [&] { return !recorder.changes.isEmpty() && recorder.changes.last().value("frame_gap").toInt() == 2; }));

    Call("RemovePort", {QVariantMap{{"number", 7}}, true});
    ASSERT_TRUE(WaitUntil([&] { return recorder.changes.last().value("removed").toBool(); }));
    EXPECT_EQ(recorder.changes.last().value("code").toString(), "D7");
    close(dtu);
}

}  // namespace

#include "PortManagerBusTest.moc"
