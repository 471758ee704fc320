#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QProcess>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "BusClient.h"
#include "com/AutomationObject.h"
#include "com/ComServer.h"

namespace {

const QString Selection = QStringLiteral("MV5840VSP.IPortSelection");
const QString Factory = QStringLiteral("MV5840VSP.IClassFactory");
const QString Application = QStringLiteral("MV5840VSP.IApplication");
const QString ServiceName = QStringLiteral("MV5840VSP.IMV5840VSP");

// A window with a small port table: codes of the ports in service, in table order.
class FakeWindow : public PortSelectionTarget {
public:
    explicit FakeWindow(std::vector<std::string> codes) : codes(std::move(codes)) {}

    bool SelectSharedTarget(const std::string& code) override
    {
        requests.push_back(code);
        for (size_t i = 0; i < codes.size(); ++i) {
            if (EqualIgnoringCase(codes[i], code)) {
                selected = static_cast<int>(i);
                return true;
            }
        }
        return false;
    }
    std::string GetSharedTargetCode() const override { return selected < 0 ? "#NoSelected" : codes[selected]; }
    bool ShowWindow() override
    {
        ++shown;
        return true;
    }

    std::vector<std::string> codes;
    std::vector<std::string> requests;
    int selected = -1;
    int shown = 0;

private:
    static bool EqualIgnoringCase(const std::string& a, const std::string& b)
    {
        return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
                   return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
               });
    }
};

QStringList Arguments(const QString& switchText = QString())
{
    QStringList arguments{QCoreApplication::applicationFilePath()};
    if (!switchText.isEmpty())
        arguments << switchText;
    return arguments;
}

bool NameOwned()
{
    return QDBusConnection::sessionBus().interface()->isServiceRegistered(ServiceName).value();
}

// A server on a bus connection of its own, like a separate process has.
struct Instance {
    explicit Instance(const QString& connectionName, const QString& switchText = QString())
        : name(connectionName),
          server(Arguments(switchText), QDBusConnection::connectToBus(QDBusConnection::SessionBus, connectionName))
    {
        server.SetEndOfRun([this] { ++ends; });
    }
    ~Instance()
    {
        server.TerminateServer();
        QDBusConnection::disconnectFromBus(name);
    }
    int Objects() const { return server.Lock().Count(); }

    QString name;
    ComServer server;
    int ends = 0;
};

int IntOf(const QDBusMessage& reply)
{
    EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
    return reply.arguments().value(0, -1).toInt();
}

QString TextOf(const QDBusMessage& reply)
{
    EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
    return reply.arguments().value(0).toString();
}

}  // namespace

TEST(AutomationBus, SelectionCallsReachTheWindowWithTheirResultCodes)
{
    FakeWindow window({"A1", "ABC", "abc"});
    Instance instance(QStringLiteral("server-select"));
    ASSERT_TRUE(instance.server.InitializeServer());
    ASSERT_TRUE(instance.server.Serving());
    instance.server.SetTarget(&window);
    BusClient client(QStringLiteral("client-select"));

    EXPECT_EQ(TextOf(client.Call(Selection, "GetSelectedDtu")), "#NoSelected");
    EXPECT_EQ(IntOf(client.Call(Selection, "SelectDtu", {QStringLiteral("abc")})), 0);
    EXPECT_EQ(window.selected, 1);
    EXPECT_EQ(TextOf(client.Call(Selection, "GetSelectedDtu")), "ABC");

    // An unknown code answers 1 and keeps the choice.
    EXPECT_EQ(IntOf(client.Call(Selection, "SelectDtu", {QStringLiteral("B7")})), 1);
    EXPECT_EQ(window.selected, 1);
    // An empty code selects nothing and never reaches the window (a port may have an empty code).
    const size_t before = window.requests.size();
    EXPECT_EQ(IntOf(client.Call(Selection, "SelectDtu", {QString()})), 1);
    EXPECT_EQ(window.requests.size(), before);
    // UTF-8 text travels unchanged.
    window.codes.push_back("站点7");
    EXPECT_EQ(IntOf(client.Call(Selection, "SelectDtu", {QString::fromUtf8("站点7")})), 0);
    EXPECT_EQ(TextOf(client.Call(Selection, "GetSelectedDtu")), QString::fromUtf8("站点7"));

    // A wrong argument type is refused by the bus layer, not passed on.
    EXPECT_EQ(client.Call(Selection, "SelectDtu", {42}).type(), QDBusMessage::ErrorMessage);

    // Without a main window nothing can be selected.
    instance.server.SetTarget(nullptr);
    EXPECT_EQ(IntOf(client.Call(Selection, "SelectDtu", {QStringLiteral("abc")})), 1);
    EXPECT_EQ(TextOf(client.Call(Selection, "GetSelectedDtu")), "#NoSelected");
}

TEST(AutomationBus, TheInterfacesAreIntrospectable)
{
    Instance instance(QStringLiteral("server-introspect"));
    ASSERT_TRUE(instance.server.InitializeServer());
    BusClient client(QStringLiteral("client-introspect"));
    const QString xml = TextOf(client.Call(QStringLiteral("org.freedesktop.DBus.Introspectable"), "Introspect"));
    for (const char* part : {"<interface name=\"MV5840VSP.IPortSelection\">", "<method name=\"SelectDtu\">",
                             "<method name=\"GetSelectedDtu\">", "<interface name=\"MV5840VSP.IClassFactory\">",
                             "<method name=\"LockServer\">", "<interface name=\"MV5840VSP.IApplication\">"})
        EXPECT_TRUE(xml.contains(QLatin1String(part))) << part;
    // Introspection creates no object.
    EXPECT_EQ(instance.Objects(), 0);
}

TEST(AutomationBus, EachClientConnectionIsOneObjectUntilItLeavesTheBus)
{
    Instance instance(QStringLiteral("server-count"));
    ASSERT_TRUE(instance.server.InitializeServer());
    const ClientLedger& ledger = instance.server.Object()->Ledger();

    BusClient first(QStringLiteral("client-count-1"));
    BusClient second(QStringLiteral("client-count-2"));
    IntOf(first.Call(Selection, "SelectDtu", {QStringLiteral("x")}));
    TextOf(first.Call(Selection, "GetSelectedDtu"));
    TextOf(second.Call(Selection, "GetSelectedDtu"));
    EXPECT_EQ(instance.Objects(), 2);
    EXPECT_TRUE(ledger.HoldsObject(first.UniqueName()));

    first.Leave();
    EXPECT_TRUE(WaitUntil([&] { return instance.Objects() == 1; }));
    second.Leave();
    EXPECT_TRUE(WaitUntil([&] { return instance.Objects() == 0; }));
    EXPECT_EQ(ledger.ClientCount(), 0);
    // A run the user started goes on.
    EXPECT_EQ(instance.ends, 0);
}

TEST(AutomationBus, AScriptThatCallsAndExitsReleasesItsObject)
{
    Instance instance(QStringLiteral("server-script"));
    ASSERT_TRUE(instance.server.InitializeServer());
    QProcess gdbus;
    gdbus.start(QStringLiteral("gdbus"), {"call", "--session", "--dest", ServiceName, "--object-path", "/IMV5840VSP",
                                          "--method", "MV5840VSP.IPortSelection.SelectDtu", "ABC"});
    ASSERT_TRUE(WaitUntil([&] { return gdbus.state() == QProcess::NotRunning; }));
    EXPECT_EQ(gdbus.exitCode(), 0) << gdbus.readAllStandardError().toStdString();
    EXPECT_EQ(gdbus.readAllStandardOutput().trimmed(), "(1,)");
    EXPECT_TRUE(WaitUntil([&] { return instance.Objects() == 0; }));
}

TEST(AutomationBus, ACallWhoseClientLeftBeforeItWasServedHoldsNothing)
{
    Instance instance(QStringLiteral("server-gone"));
    ASSERT_TRUE(instance.server.InitializeServer());
    {
        BusClient client(QStringLiteral("client-gone"));
        QDBusMessage call = QDBusMessage::createMethodCall(ServiceName, QStringLiteral("/IMV5840VSP"), Selection,
                                                           QStringLiteral("GetSelectedDtu"));
        ASSERT_TRUE(client.Connection().send(call));
        // Leaves before this thread had a chance to serve the call.
    }
    EXPECT_TRUE(
        WaitUntil([&] { return instance.server.Object()->Ledger().ClientCount() == 0 && instance.Objects() == 0; }));
}

TEST(AutomationBus, ARunForClientsEndsWhenItsLastClientLeaves)
{
    Instance instance(QStringLiteral("server-embedding"), QStringLiteral("-Embedding"));
    ASSERT_TRUE(instance.server.InitializeServer());
    EXPECT_TRUE(instance.server.Windowless());
    BusClient client(QStringLiteral("client-embedding"));
    EXPECT_EQ(IntOf(client.Call(Selection, "SelectDtu", {QStringLiteral("ABC")})), 1);
    EXPECT_EQ(TextOf(client.Call(Selection, "GetSelectedDtu")), "#NoSelected");
    EXPECT_EQ(instance.ends, 0);
    client.Leave();
    EXPECT_TRUE(WaitUntil([&] { return instance.ends == 1; }));
}

TEST(AutomationBus, LockServerKeepsARunForClientsUntilUnlocked)
{
    Instance instance(QStringLiteral("server-lock"), QStringLiteral("/Automation"));
    ASSERT_TRUE(instance.server.InitializeServer());
    BusClient holder(QStringLiteral("client-lock-holder"));
    BusClient user(QStringLiteral("client-lock-user"));
    BusClient stranger(QStringLiteral("client-lock-stranger"));

    EXPECT_EQ(holder.Call(Factory, "LockServer", {true}).type(), QDBusMessage::ReplyMessage);
    TextOf(user.Call(Selection, "GetSelectedDtu"));
    EXPECT_EQ(instance.Objects(), 2);
    user.Leave();
    EXPECT_TRUE(WaitUntil([&] { return instance.Objects() == 1; }));
    // An unlock from a client that holds no lock changes nothing.
    EXPECT_EQ(stranger.Call(Factory, "LockServer", {false}).type(), QDBusMessage::ReplyMessage);
    EXPECT_EQ(instance.Objects(), 1);
    EXPECT_EQ(instance.ends, 0);
    // The holder is still connected but holds no object: unlocking ends the run.
    EXPECT_EQ(holder.Call(Factory, "LockServer", {false}).type(), QDBusMessage::ReplyMessage);
    EXPECT_TRUE(WaitUntil([&] { return instance.ends == 1; }));
}

TEST(AutomationBus, TheLocksOfAClientThatLeavesAreTakenAway)
{
    Instance instance(QStringLiteral("server-lockgone"), QStringLiteral("-Embedding"));
    ASSERT_TRUE(instance.server.InitializeServer());
    BusClient holder(QStringLiteral("client-lockgone"));
    holder.Call(Factory, "LockServer", {true});
    holder.Call(Factory, "LockServer", {true});
    TextOf(holder.Call(Selection, "GetSelectedDtu"));
    EXPECT_EQ(instance.Objects(), 3);
    holder.Leave();
    EXPECT_TRUE(WaitUntil([&] { return instance.ends == 1; }));
    EXPECT_EQ(instance.Objects(), 0);
}

TEST(AutomationBus, TheUsersRunNeverEndsByTheLockCount)
{
    Instance instance(QStringLiteral("server-user"));
    ASSERT_TRUE(instance.server.InitializeServer());
    BusClient client(QStringLiteral("client-user"));
    client.Call(Factory, "LockServer", {true});
    client.Call(Factory, "LockServer", {false});
    TextOf(client.Call(Selection, "GetSelectedDtu"));
    client.Leave();
    EXPECT_TRUE(WaitUntil([&] { return instance.Objects() == 0; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(instance.ends, 0);
}

TEST(AutomationBus, ASecondStartBringsTheFirstWindowForwardAndEnds)
{
    FakeWindow window({"A1"});
    Instance first(QStringLiteral("server-first"));
    ASSERT_TRUE(first.server.InitializeServer());
    first.server.SetTarget(&window);

    Instance second(QStringLiteral("server-second"));
    EXPECT_FALSE(second.server.InitializeServer());
    EXPECT_EQ(second.server.ExitCode(), 0);
    EXPECT_FALSE(second.server.Serving());
    EXPECT_EQ(window.shown, 1);
    EXPECT_TRUE(first.server.Serving());

    // A start for clients while the user's instance runs leaves it alone.
    Instance third(QStringLiteral("server-third"), QStringLiteral("-Embedding"));
    EXPECT_FALSE(third.server.InitializeServer());
    EXPECT_EQ(third.server.ExitCode(), 0);
    EXPECT_EQ(window.shown, 1);
    EXPECT_EQ(first.ends, 0);
}

TEST(AutomationBus, TheUsersStartTakesTheNameOverFromARunForClients)
{
    Instance forClients(QStringLiteral("server-takeover-1"), QStringLiteral("-Embedding"));
    ASSERT_TRUE(forClients.server.InitializeServer());
    BusClient client(QStringLiteral("client-takeover"));
    TextOf(client.Call(Selection, "GetSelectedDtu"));

    FakeWindow window({"ABC"});
    Instance users(QStringLiteral("server-takeover-2"));
    ASSERT_TRUE(users.server.InitializeServer());
    users.server.SetTarget(&window);
    EXPECT_EQ(window.shown, 0);
    // New calls reach the instance with the ports.
    EXPECT_EQ(IntOf(client.Call(Selection, "SelectDtu", {QStringLiteral("abc")})), 0);
    // The run for clients ends with its last client.
    QCoreApplication::processEvents();
    EXPECT_EQ(forClients.ends, 0);
    client.Leave();
    EXPECT_TRUE(WaitUntil([&] { return forClients.ends == 1; }));
    EXPECT_EQ(users.ends, 0);
}

TEST(AutomationBus, AnIdleRunForClientsEndsAtOnceWhenTheUsersStartTakesTheName)
{
    Instance forClients(QStringLiteral("server-idle-1"), QStringLiteral("-Embedding"));
    ASSERT_TRUE(forClients.server.InitializeServer());
    Instance users(QStringLiteral("server-idle-2"));
    ASSERT_TRUE(users.server.InitializeServer());
    EXPECT_TRUE(WaitUntil([&] { return forClients.ends == 1; }));
}

TEST(AutomationBus, WithoutABusTheUsersRunGoesOnWithoutTheInterface)
{
    const QString name = QStringLiteral("no-bus");
    QDBusConnection none = QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent/bus"), name);
    ASSERT_FALSE(none.isConnected());
    {
        ComServer users(Arguments(), none);
        EXPECT_TRUE(users.InitializeServer());
        EXPECT_FALSE(users.Serving());
        users.TerminateServer();

        // A run for clients has no one to serve.
        ComServer forClients(Arguments(QStringLiteral("-Embedding")), none);
        EXPECT_FALSE(forClients.InitializeServer());
        EXPECT_EQ(forClients.ExitCode(), 1);
    }
    QDBusConnection::disconnectFromBus(name);
}

TEST(AutomationBus, TerminateServerGivesTheNameBack)
{
    {
        Instance instance(QStringLiteral("server-terminate"));
        ASSERT_TRUE(instance.server.InitializeServer());
        EXPECT_TRUE(NameOwned());
        instance.server.TerminateServer();
        EXPECT_FALSE(instance.server.ServerInitialised());
        EXPECT_TRUE(WaitUntil([] { return !NameOwned(); }));
    }
    Instance next(QStringLiteral("server-terminate-next"));
    EXPECT_TRUE(next.server.InitializeServer());
    EXPECT_TRUE(next.server.Serving());
}
