// Runs the built program MV5840VSP (its path is the first argument; mv5840vspctl's is the
// second) the ways a user, a script and the bus start it. Runs under a session bus of its own
// whose daemon was started with this test's XDG_DATA_HOME, so that the activation file
// written here is seen.
#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QThread>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/ptrace.h>
#include <sys/wait.h>

#include "BusClient.h"

namespace {

QString program;
QString tool;  // mv5840vspctl
const QString ServiceName = QStringLiteral("MV5840VSP.IMV5840VSP");
const QString Selection = QStringLiteral("MV5840VSP.IPortSelection");
const QString Factory = QStringLiteral("MV5840VSP.IClassFactory");

QString DataHome()
{
    return qEnvironmentVariable("XDG_DATA_HOME");
}

QString ServiceFile()
{
    return DataHome() + "/dbus-1/services/MV5840VSP.IMV5840VSP.service";
}

QByteArray ReadAll(const QString& fileName)
{
    QFile file(fileName);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool NameOwned()
{
    return QDBusConnection::sessionBus().interface()->isServiceRegistered(ServiceName).value();
}

// Runs the program to its end; false when it did not end in time.
bool RunToEnd(QProcess& process, const QStringList& arguments,
              const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment())
{
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    return WaitUntil([&] { return process.state() == QProcess::NotRunning; }, 30000);
}

void Stop(QProcess& process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
    if (!WaitUntil([&] { return process.state() == QProcess::NotRunning; }, 20000)) {
        process.kill();
        process.waitForFinished();
    }
}

class Program : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(program.isEmpty());
        ASSERT_FALSE(DataHome().isEmpty());
        QDir(DataHome()).removeRecursively();
        ASSERT_TRUE(QDir().mkpath(DataHome()));
        ASSERT_TRUE(WaitUntil([] { return !NameOwned(); }));
    }

    void Register()
    {
        QProcess registration;
        ASSERT_TRUE(RunToEnd(registration, {"-RegServer"}));
        ASSERT_EQ(registration.exitCode(), 0);
        ASSERT_TRUE(QFile::exists(ServiceFile()));
    }
};

}  // namespace

TEST_F(Program, RegServerLastInAnyCaseRegistersAndUnregServerRemovesOnlyItsFiles)
{
    QProcess registration;
    ASSERT_TRUE(RunToEnd(registration, {"/regserver"}));
    EXPECT_EQ(registration.exitCode(), 0);
    EXPECT_EQ(ReadAll(ServiceFile()), "[D-BUS Service]\nName=MV5840VSP.IMV5840VSP\nExec="
                                          + QFileInfo(program).canonicalFilePath().toUtf8() + " -Embedding\n");
    EXPECT_TRUE(QFile::exists(DataHome() + "/dbus-1/interfaces/MV5840VSP.IMV5840VSP.xml"));
    EXPECT_TRUE(QFile::exists(DataHome() + "/applications/MV5840VSP.desktop"));
    EXPECT_FALSE(NameOwned());

    QFile other(DataHome() + "/dbus-1/services/org.example.Other.service");
    ASSERT_TRUE(other.open(QIODevice::WriteOnly));
    other.close();
    QProcess removal;
    ASSERT_TRUE(RunToEnd(removal, {"-UNREGSERVER"}));
    EXPECT_EQ(removal.exitCode(), 0);
    EXPECT_FALSE(QFile::exists(ServiceFile()));
    EXPECT_FALSE(QFile::exists(DataHome() + "/applications/MV5840VSP.desktop"));
    EXPECT_TRUE(other.exists());
}

TEST_F(Program, TheBusStartsAWindowlessInstanceThatEndsAfterItsClientLeaves)
{
    Register();
    BusClient client(QStringLiteral("activating-client"));
    const QDBusMessage reply = client.Call(Selection, "SelectDtu", {QStringLiteral("ABC")});
    ASSERT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
    EXPECT_EQ(reply.arguments().value(0).toInt(), 1);
    EXPECT_EQ(client.Call(Selection, "GetSelectedDtu").arguments().value(0).toString(), "#NoSelected");
    const uint pid = QDBusConnection::sessionBus().interface()->servicePid(ServiceName).value();
    EXPECT_TRUE(ReadAll(QStringLiteral("/proc/%1/cmdline").arg(pid)).contains("-Embedding"));
    client.Leave();
    EXPECT_TRUE(WaitUntil([] { return !NameOwned(); }));
}

TEST_F(Program, LockServerKeepsTheInstanceRunningPastItsLastCallUntilUnlocked)
{
    Register();
    BusClient holder(QStringLiteral("locking-client"));
    ASSERT_EQ(holder.Call(Factory, "LockServer", {true}).type(), QDBusMessage::ReplyMessage);
    {
        BusClient caller(QStringLiteral("calling-client"));
        ASSERT_EQ(caller.Call(Selection, "GetSelectedDtu").type(), QDBusMessage::ReplyMessage);
    }
    // The caller is gone; the lock holds the instance.
    QThread::msleep(1000);
    QCoreApplication::processEvents();
    EXPECT_TRUE(NameOwned());
    ASSERT_EQ(holder.Call(Factory, "LockServer", {false}).type(), QDBusMessage::ReplyMessage);
    EXPECT_TRUE(WaitUntil([] { return !NameOwned(); }));
}

TEST_F(Program, ASecondStartBringsTheFirstWindowForwardAndExitsWithZero)
{
    QProcess first;
    first.start(program, {});
    ASSERT_TRUE(WaitUntil([] { return NameOwned(); }, 30000)) << first.readAllStandardError().toStdString();

    QProcess second;
    ASSERT_TRUE(RunToEnd(second, {}));
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0);
    // Normal operation: nothing said.
    EXPECT_EQ(second.readAllStandardError(), QByteArray());
    EXPECT_EQ(first.state(), QProcess::Running);
    Stop(first);
}

TEST_F(Program, AWindowStartBesideAServiceIsItsFrontEndAndASecondStartRaisesIt)
{
    QProcess service;
    service.start(program, {QStringLiteral("--service")});
    ASSERT_TRUE(WaitUntil([] { return NameOwned(); }, 30000)) << service.readAllStandardError().toStdString();

    QProcess window;
    window.start(program, {});
    QByteArray said;
    const auto frontEndOwned = [] {
        return QDBusConnection::sessionBus()
            .interface()
            ->isServiceRegistered(QStringLiteral("MV5840VSP.Window"))
            .value();
    };
    ASSERT_TRUE(WaitUntil(frontEndOwned, 30000)) << window.readAllStandardError().toStdString();
    ASSERT_TRUE(WaitUntil([&] { return (said += window.readAllStandardError()).contains('\n'); }, 10000));
    EXPECT_TRUE(said.contains("runs as a service")) << said.toStdString();
    EXPECT_TRUE(said.contains("process " + QByteArray::number(service.processId()))) << said.toStdString();
    EXPECT_TRUE(said.contains("front end")) << said.toStdString();
    EXPECT_TRUE(said.contains("mv5840vspctl")) << said.toStdString();

    // A second start, and the service's own Show, bring the front end forward.
    QProcess second;
    ASSERT_TRUE(RunToEnd(second, {}));
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_EQ(second.readAllStandardError(), QByteArray());
    const QDBusMessage shown = QDBusConnection::sessionBus().call(
        QDBusMessage::createMethodCall(ServiceName, QStringLiteral("/IMV5840VSP"),
                                       QStringLiteral("MV5840VSP.IApplication"), QStringLiteral("Show")));
    EXPECT_EQ(shown.type(), QDBusMessage::ReplyMessage) << shown.errorMessage().toStdString();

    // Ending the window ends the window only.
    Stop(window);
    ASSERT_TRUE(WaitUntil([&] { return window.state() == QProcess::NotRunning; }, 30000));
    EXPECT_EQ(window.exitCode(), 0);
    EXPECT_FALSE(frontEndOwned());
    EXPECT_EQ(service.state(), QProcess::Running);
    EXPECT_TRUE(NameOwned());
    Stop(service);
}

TEST_F(Program, AServiceStartBesideAWindowNamesItsProcess)
{
    QProcess window;
    window.start(program, {});
    ASSERT_TRUE(WaitUntil([] { return NameOwned(); }, 30000)) << window.readAllStandardError().toStdString();

    QProcess service;
    ASSERT_TRUE(RunToEnd(service, {QStringLiteral("--service")}));
    EXPECT_EQ(service.exitCode(), 150);
    const QByteArray said = service.readAllStandardError();
    EXPECT_TRUE(said.contains("already runs with its window (process " + QByteArray::number(window.processId())))
        << said.toStdString();
    EXPECT_TRUE(said.contains("mv5840vspctl")) << said.toStdString();
    Stop(window);
}

TEST_F(Program, WithoutASessionBusTheProgramRunsWithoutTheInterface)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("unix:path=/nonexistent/bus"));
    QProcess process;
    process.setProcessEnvironment(environment);
    QByteArray errors;
    process.start(program, {});
    EXPECT_TRUE(WaitUntil(
        [&] {
            errors += process.readAllStandardError();
            return errors.contains("no D-Bus session bus") || process.state() == QProcess::NotRunning;
        },
        30000));
    EXPECT_EQ(process.state(), QProcess::Running) << errors.toStdString();
    Stop(process);
}

// A data path held still by a debugger on its thread leaves the tool answering: the list
// comes from what the loop published last, with a note that says how old it is.
TEST_F(Program, WhileItsDataPathIsHeldTheToolStillListsThePortsSayingHowOldTheListIs)
{
    ASSERT_FALSE(tool.isEmpty());
    const QString config = qEnvironmentVariable("XDG_CONFIG_HOME") + "/Torvane/HOLBRN.conf";
    ASSERT_TRUE(QDir().mkpath(QFileInfo(config).path()));
    QFile file(config);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("[1]\nPortNumber=7\nCode=D7\n");
    file.close();
    QProcess service;
    service.start(program, {QStringLiteral("--service")});
    ASSERT_TRUE(WaitUntil([] { return NameOwned(); }, 30000)) << service.readAllStandardError().toStdString();
    // Held once it serves its port and its loop sleeps.
    ASSERT_TRUE(
        WaitUntil([] { return QFileInfo::exists(qEnvironmentVariable("XDG_RUNTIME_DIR") + "/MV5840VSP/COM7"); }));
    QThread::msleep(300);

    pid_t loop = -1;
    const QString tasks = QStringLiteral("/proc/%1/task").arg(service.processId());
    for (const QString& task : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        if (ReadAll(tasks + "/" + task + "/comm").trimmed() == "mv-pumps")
            loop = task.toInt();
    ASSERT_GT(loop, 0);
    ASSERT_EQ(ptrace(PTRACE_SEIZE, loop, nullptr, nullptr), 0) << strerror(errno);
    ASSERT_EQ(ptrace(PTRACE_INTERRUPT, loop, nullptr, nullptr), 0) << strerror(errno);
    int status = 0;
    ASSERT_EQ(waitpid(loop, &status, __WALL), loop);

    QProcess list;
    list.start(tool, {QStringLiteral("list")});
    EXPECT_TRUE(WaitUntil([&] { return list.state() == QProcess::NotRunning; }, 5000))
        << ReadAll(tasks + "/" + QString::number(service.processId()) + "/wchan").toStdString() << " "
        << ReadAll(tasks + "/" + QString::number(loop) + "/stat").toStdString();
    EXPECT_EQ(list.exitCode(), 0);
    const QByteArray out = list.readAllStandardOutput();
    const QByteArray err = list.readAllStandardError();
    EXPECT_TRUE(out.contains("COM7")) << out.toStdString() << err.toStdString();
    EXPECT_TRUE(err.contains("data path is not answering")) << err.toStdString();

    ptrace(PTRACE_DETACH, loop, nullptr, nullptr);
    Stop(service);
    QFile::remove(config);
}

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    if (argc > 1)
        program = QFileInfo(QString::fromLocal8Bit(argv[1])).absoluteFilePath();
    if (argc > 2)
        tool = QFileInfo(QString::fromLocal8Bit(argv[2])).absoluteFilePath();
    // The program's own folders: configuration and a private runtime folder for its ports.
    QDir().mkpath(qEnvironmentVariable("XDG_CONFIG_HOME"));
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    QDir().mkpath(runtime);
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return RUN_ALL_TESTS();
}
