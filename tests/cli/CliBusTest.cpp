// Runs the built mv5840vspctl (its path is the first argument) against a stand-in for the
// program on this test's own session bus, and reads what it prints and how it exits.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusReply>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <utility>
#include <vector>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "FakePortManager.h"
#include "link/PortStatistics.h"
#include "link/TraceRecord.h"

// Readable QStrings in failure messages.
void PrintTo(const QString& text, std::ostream* os)
{
    *os << '"' << text.toStdString() << '"';
}

namespace {

QString tool;
const QString ServiceName = QStringLiteral("MV5840VSP.IMV5840VSP");
const QString ObjectPath = QStringLiteral("/IMV5840VSP");

struct ToolRun {
    int status = -1;
    QString out;
    QString err;
};

QProcessEnvironment ToolEnvironment()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // Qt's bus thread keeps a few allocations to the end of the process.
    environment.insert("ASAN_OPTIONS", "detect_leaks=0");
    // A port directory of the test's own: the lock of an instance running beside the test
    // would change what the tool says when nothing answers.
    static QTemporaryDir runtime;
    environment.insert("XDG_RUNTIME_DIR", runtime.path());
    environment.insert("XDG_CACHE_HOME", runtime.path() + "/cache");
    return environment;
}

// Waits with the event loop running, so that the stand-in answers the tool meanwhile.
bool WaitFinished(QProcess& process, int timeoutMs = 30000)
{
    if (process.state() == QProcess::NotRunning)
        return true;
    QEventLoop loop;
    QObject::connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    return process.state() == QProcess::NotRunning;
}

ToolRun RunTool(const QStringList& arguments, const QProcessEnvironment& environment = ToolEnvironment())
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(tool, arguments);
    ToolRun run;
    if (!WaitFinished(process)) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

// A refusal or failure is one line on standard error and nothing on standard output.
void ExpectOneErrorLine(const ToolRun& run, int status, const QString& line)
{
    EXPECT_EQ(run.status, status);
    EXPECT_EQ(run.err, "mv5840vspctl: " + line + "\n");
    EXPECT_EQ(run.out, "");
}

class CliBus : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(tool.isEmpty());
        QVariantMap online = CannedPort(0, 7, "A1");
        online["online"] = true;
        online["state"] = "online";
        online["peer"] = "127.0.0.1:40001";
        online["rx"] = qlonglong(1234);
        online["tx"] = qlonglong(56);
        online["last_heard"] = qlonglong(1700000000000);
        QVariantMap tcp = CannedPort(1, 8, "表A1");
        tcp["transport"] = "tcp";
        tcp["fixed_ip"] = "127.0.0.2";
        tcp["in_use"] = true;
        QVariantMap notServed = CannedPort(2, 9, "C3");
        notServed["state"] = "not-served";
        notServed["device"] = "";
        notServed["reason"] = "COM9: cannot make the port link: Permission denied";
        fake.listed = {online, tcp, notServed};
        Publish();
    }

    void TearDown() override { Withdraw(); }

    void Publish()
    {
        QDBusConnection bus = QDBusConnection::sessionBus();
        ASSERT_TRUE(bus.registerVirtualObject(ObjectPath, &fake));
        ASSERT_TRUE(bus.registerService(ServiceName));
    }

    void Withdraw()
    {
        QDBusConnection bus = QDBusConnection::sessionBus();
        bus.unregisterService(ServiceName);
        bus.unregisterObject(ObjectPath);
    }

    // Every port with its counters, some of them counted, and a latest error on COM8.
    void GiveStatistics()
    {
        for (QVariantMap& port : fake.listed) {
            for (const StatisticsCounter& counter : PortCounters)
                if (!port.contains(counter.key))
                    port[counter.key] = qulonglong(0);
            port[StatisticsKeys::LastError] = "";
            port[StatisticsKeys::LastErrorTime] = qlonglong(-1);
        }
        fake.listed[0]["bytes_dropped"] = qulonglong(4096);
        fake.listed[1]["tcp_refusals"] = qulonglong(3);
        fake.listed[1][StatisticsKeys::LastError] = "connect to 127.0.0.2:502: Connection refused";
        fake.listed[1][StatisticsKeys::LastErrorTime] = qlonglong(1765191636250);
        fake.global = {{StatisticsKeys::UnknownCodeDatagrams, qulonglong(5)},
                       {StatisticsKeys::LastUnknownSource, "127.0.0.1:9"}};
    }

    // The dictionary argument of the last call the stand-in got.
    QVariantMap LastArgument(int index) const
    {
        return qdbus_cast<QVariantMap>(fake.calls.last().arguments().value(index));
    }

    FakePortManager fake;
};

TEST_F(CliBus, ListPrintsAnAlignedTable)
{
    const ToolRun run = RunTool({"list"});
    ASSERT_EQ(run.status, 0) << run.err.toStdString();
    EXPECT_EQ(run.err, "");
    const QStringList lines = run.out.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 4);
    EXPECT_TRUE(lines[0].startsWith("SLOT"));
    EXPECT_TRUE(lines[1].contains("COM7") && lines[1].contains("127.0.0.1:40001") && lines[1].contains("1234"));
    EXPECT_TRUE(lines[2].contains("表A1") && lines[2].contains("tcp") && lines[2].contains("127.0.0.2"));
    EXPECT_TRUE(lines[3].endsWith("COM9: cannot make the port link: Permission denied"));
    // "表A1" is four columns wide, but five characters would break the alignment: check it.
    const int state = lines[0].indexOf("STATE");
    EXPECT_EQ(lines[1].indexOf("online", lines[1].indexOf("yes")), state);
    EXPECT_EQ(lines[2].indexOf("offline") + 1, state);  // one Chinese character: one column less
    EXPECT_EQ(fake.calls.size(), 1);
    EXPECT_EQ(fake.calls.last().member(), "ListPorts");
}

TEST_F(CliBus, ListJsonParsesBack)
{
    const ToolRun run = RunTool({"list", "--json"});
    ASSERT_EQ(run.status, 0) << run.err.toStdString();
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(run.out.toUtf8(), &error);
    ASSERT_EQ(error.error, QJsonParseError::NoError) << run.out.toStdString();
    ASSERT_TRUE(document.isArray());
    const QJsonArray rows = document.array();
    ASSERT_EQ(rows.size(), 3);
    for (const QJsonValue& value : rows) {
        const QJsonObject port = value.toObject();
        for (const char* key : {"slot", "number", "code", "transport", "fixed_ip", "peer", "online", "rx", "tx",
                                "device", "state", "reason"})
            EXPECT_TRUE(port.contains(key)) << key;
        EXPECT_TRUE(port["online"].isBool());
        EXPECT_TRUE(port["rx"].isDouble());
        EXPECT_TRUE(port["slot"].isDouble());
    }
    EXPECT_EQ(rows[0]["number"].toInt(), 7);
    EXPECT_EQ(rows[0]["transport"].toString(), "udp");
    EXPECT_TRUE(rows[0]["fixed_ip"].isNull());
    EXPECT_EQ(rows[0]["peer"].toString(), "127.0.0.1:40001");
    EXPECT_TRUE(rows[0]["online"].toBool());
    EXPECT_EQ(rows[0]["rx"].toInteger(), 1234);
    EXPECT_EQ(rows[1]["code"].toString(), "表A1");
    EXPECT_EQ(rows[1]["fixed_ip"].toString(), "127.0.0.2");
    EXPECT_TRUE(rows[1]["peer"].isNull());
    EXPECT_EQ(rows[2]["state"].toString(), "not-served");
    EXPECT_EQ(rows[2]["reason"].toString(), "COM9: cannot make the port link: Permission denied");
}

TEST_F(CliBus, ListOfNoPorts)
{
    fake.listed.clear();
    EXPECT_EQ(RunTool({"list", "--json"}).out.trimmed(), "[\n]");
    EXPECT_EQ(RunTool({"list"}).out.count('\n'), 1);
}

// An answer from what the program's data path published a while ago (it did not answer in
// time) is shown as any other, with a note of its age on standard error; 0 is no note.
TEST_F(CliBus, AnOldAnswerIsShownWithANoteOfItsAge)
{
    for (QVariantMap& port : fake.listed)
        port["age_ms"] = qlonglong(0);
    const ToolRun fresh = RunTool({"list"});
    EXPECT_EQ(fresh.err, "");
    EXPECT_FALSE(fresh.out.contains("age"));
    const ToolRun freshJson = RunTool({"list", "--json"});
    for (QVariantMap& port : fake.listed)
        port["age_ms"] = qlonglong(1200);
    const QString note =
        "mv5840vspctl: note: the program's data path is not answering; what is shown is as it was 1200 ms ago\n";
    const ToolRun old = RunTool({"list"});
    ASSERT_EQ(old.status, 0) << old.err.toStdString();
    EXPECT_EQ(old.out, fresh.out);
    EXPECT_EQ(old.err, note);
    const ToolRun oldJson = RunTool({"list", "--json"});
    EXPECT_EQ(oldJson.out, freshJson.out);
    EXPECT_EQ(oldJson.err, note);
    const ToolRun shown = RunTool({"show", "--number", "7"});
    EXPECT_FALSE(shown.out.contains("age"));
    EXPECT_EQ(shown.err, note);
}

TEST_F(CliBus, ShowByNumberAndByCode)
{
    ToolRun run = RunTool({"show", "--number", "7"});
    ASSERT_EQ(run.status, 0) << run.err.toStdString();
    EXPECT_TRUE(run.out.contains(QRegularExpression("\\npeer: +127\\.0\\.0\\.1:40001\\n")));
    EXPECT_TRUE(run.out.contains(QRegularExpression("\\nin_use: +no\\n")));
    EXPECT_EQ(LastArgument(0), (QVariantMap{{"number", 7}}));

    run = RunTool({"show", "--code", "表A1", "--json"});
    ASSERT_EQ(run.status, 0) << run.err.toStdString();
    EXPECT_EQ(LastArgument(0), (QVariantMap{{"code", "表A1"}}));
    const QJsonObject port = QJsonDocument::fromJson(run.out.toUtf8()).object();
    EXPECT_EQ(port["number"].toInt(), 8);
    EXPECT_TRUE(port["in_use"].toBool());
}

TEST_F(CliBus, ShowOfAMissingPortIsTheProgramsLine)
{
    ExpectOneErrorLine(RunTool({"show", "--number", "99"}), 1, "no such port: number 99");
}

TEST_F(CliBus, AddSendsTheRequestAndPrintsThePort)
{
    const ToolRun run = RunTool(
        {"add", "--number", "12", "--code", "B2", "--tcp", "--peer", "127.0.0.5", "--interval", "60"});
    ASSERT_EQ(run.status, 0) << run.err.toStdString();
    EXPECT_EQ(fake.calls.last().member(), "AddPort");
    EXPECT_EQ(fake.calls.last().signature(), "a{sv}");
    const QVariantMap request = LastArgument(0);
    EXPECT_EQ(request, (QVariantMap{{"number", 12},
                                    {"code", "B2"},
                                    {"transport", "tcp"},
                                    {"fixed_ip", "127.0.0.5"},
                                    {"interval", 60}}));
    EXPECT_EQ(request["number"].typeId(), QMetaType::Int);
    EXPECT_TRUE(run.out.contains(QRegularExpression("\\nname: +COM12\\n")));
    EXPECT_TRUE(run.out.contains(QRegularExpression("\\ntransport: +tcp\\n")));
    EXPECT_EQ(fake.listed.size(), 4);

    const QJsonArray rows = QJsonDocument::fromJson(RunTool({"list", "--json"}).out.toUtf8()).array();
    ASSERT_EQ(rows.size(), 4);
    EXPECT_EQ(rows[3]["fixed_ip"].toString(), "127.0.0.5");
}

// The bus error carries the window's Chinese text; the tool says each kind in English, with
// what the request named. A taken number names the port that has it.
TEST_F(CliBus, AddRefusedInEnglishByKind)
{
    ExpectOneErrorLine(RunTool({"add", "--number", "7", "--code", "B2"}), 1,
                       "the port number 7 is already in use by COM7 (slot 0, code A1)");
    ExpectOneErrorLine(RunTool({"edit", "--number", "9", "--new-number", "8"}), 1,
                       "the port number 8 is already in use by COM8 (slot 1, code 表A1)");
    EXPECT_EQ(fake.listed.size(), 3);
}

// The rule of the help: 2 for what is wrong with the arguments, whoever finds it (a value
// malformed or out of its range, a missing option), 1 for a refusal of a well-formed request.
TEST_F(CliBus, ExitStatusesFollowTheHelpsRule)
{
    ExpectOneErrorLine(RunTool({"add", "--number", "abc", "--code", "B2"}), 2,
                       "add: --number: not an integer: abc (see mv5840vspctl add --help)");
    for (const char* number : {"0", "300", "99999999999"})
        ExpectOneErrorLine(RunTool({"add", "--number", number, "--code", "B2"}), 2,
                           "add: --number must be a COM number from 1 to 256 (see mv5840vspctl add --help)");
    ExpectOneErrorLine(RunTool({"show", "--number", "0"}), 2,
                       "show: --number must be a COM number from 1 to 256 (see mv5840vspctl show --help)");
    EXPECT_TRUE(fake.calls.isEmpty());

    ExpectOneErrorLine(RunTool({"add", "--number", "12", "--code", "B2", "--peer", "127.0.0.1:502"}), 2,
                       "not an IPv4 address: 127.0.0.1:502");
    ExpectOneErrorLine(RunTool({"edit", "--number", "9", "--interval", "5"}), 2,
                       "the interval must be an integer from 10 to 100000");
    ExpectOneErrorLine(RunTool({"add", "--code", "Q9"}), 2,
                       "add: --number N is required (only in shared-port mode does the port take the shared "
                       "number; see mv5840vspctl add --help)");
    ExpectOneErrorLine(RunTool({"show", "--number", "99"}), 1, "no such port: number 99");
    EXPECT_EQ(fake.listed.size(), 3);

    fake.shared = true;
    const ToolRun run = RunTool({"add", "--code", "Q9"});
    EXPECT_EQ(run.status, 0) << run.err.toStdString();
    EXPECT_FALSE(LastArgument(0).contains("number"));
    EXPECT_TRUE(run.out.contains(QRegularExpression("\\nname: +COM5\\n")));
}

// A change the configuration file cannot keep: one English sentence per kind, saying that
// nothing changed.
TEST_F(CliBus, FileRefusalsInEnglishByKind)
{
    const std::vector<std::pair<QString, QString>> sentences = {
        {"SaveFailed",
         "the configuration file could not be written, so nothing was changed; the program's log says why"},
        {"ConfigNotRegularFile",
         "the configuration file is not a regular file (a folder, a FIFO or a device), so nothing was changed"},
        {"ConfigTooLarge", "the configuration file is larger than 4 MiB and is not read, so nothing was changed"},
        {"ConfigUnreadable",
         "the configuration file cannot be read, so nothing was changed; the program's log says why"},
        {"ConfigNotSettings", "the configuration file holds a line that is not a setting, so nothing was changed; the "
                              "program's log names the line"},
    };
    for (const auto& [kind, sentence] : sentences) {
        SCOPED_TRACE(kind.toStdString());
        fake.fileRefusal = kind;
        ExpectOneErrorLine(RunTool({"add", "--number", "9", "--code", "C9"}), 1, sentence);
        ExpectOneErrorLine(RunTool({"edit", "--number", "7", "--interval", "60"}), 1, sentence);
        ExpectOneErrorLine(RunTool({"remove", "--number", "7"}), 1, sentence);
    }
    EXPECT_EQ(fake.listed.size(), 3);
}

TEST_F(CliBus, EditSendsSelectorAndChanges)
{
    ToolRun run = RunTool({"edit", "--number", "7", "--new-number", "17", "--code", "A9", "--json"});
    ASSERT_EQ(run.status, 0) << run.err.toStdString();
    EXPECT_EQ(fake.calls.last().member(), "EditPort");
    EXPECT_EQ(LastArgument(0), (QVariantMap{{"number", 7}}));
    EXPECT_EQ(LastArgument(1), (QVariantMap{{"number", 17}, {"code", "A9"}}));
    const QJsonObject port = QJsonDocument::fromJson(run.out.toUtf8()).object();
    EXPECT_EQ(port["name"].toString(), "COM17");
    EXPECT_EQ(port["code"].toString(), "A9");

    run = RunTool({"edit", "--code", "表A1", "--udp", "--dynamic"});
    ASSERT_EQ(run.status, 0) << run.err.toStdString();
    EXPECT_EQ(LastArgument(0), (QVariantMap{{"code", "表A1"}}));
    EXPECT_EQ(LastArgument(1), (QVariantMap{{"transport", "udp"}, {"fixed_ip", ""}}));
    EXPECT_TRUE(run.out.contains(QRegularExpression("\\nfixed_ip: +\\n")));

    ExpectOneErrorLine(RunTool({"edit", "--code", "nope", "--interval", "50"}), 1, "no such port: code nope");
}

TEST_F(CliBus, RemoveRefusesAHeldPortUnlessForced)
{
    ExpectOneErrorLine(RunTool({"remove", "--number", "8"}), 1,
                       "an application holds the port open; close it first, or use --force");
    EXPECT_EQ(fake.calls.last().arguments().value(1).toBool(), false);
    EXPECT_EQ(fake.listed.size(), 3);

    ToolRun run = RunTool({"remove", "--code", "表A1", "--force"});
    EXPECT_EQ(run.status, 0) << run.err.toStdString();
    EXPECT_EQ(run.out, "removed COM8 (slot 1, code 表A1) while an application held it open\n");
    EXPECT_EQ(fake.calls.last().arguments().value(1).toBool(), true);
    EXPECT_EQ(fake.listed.size(), 2);

    run = RunTool({"remove", "--number", "7"});
    EXPECT_EQ(run.status, 0) << run.err.toStdString();
    EXPECT_EQ(run.out, "removed COM7 (slot 0, code A1)\n");
    ExpectOneErrorLine(RunTool({"remove", "--number", "7"}), 1, "no such port: number 7");
}

TEST_F(CliBus, SelectAndSelected)
{
    ToolRun run = RunTool({"selected"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "#NoSelected\n");

    run = RunTool({"select", "a1"});
    EXPECT_EQ(run.status, 0) << run.err.toStdString();
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(fake.calls.last().interface(), "MV5840VSP.IPortSelection");
    EXPECT_EQ(RunTool({"selected"}).out, "A1\n");

    ExpectOneErrorLine(RunTool({"select", "ZZ"}), 1, "no port in service has the code ZZ; the earlier choice stays");
    EXPECT_EQ(RunTool({"selected"}).out, "A1\n");
}

TEST_F(CliBus, WrongArgumentsNeverReachTheProgram)
{
    ExpectOneErrorLine(RunTool({"add", "--number", "seven"}), 2,
                       "add: --number: not an integer: seven (see mv5840vspctl add --help)");
    ExpectOneErrorLine(RunTool({"frob"}), 2, "unknown command frob (see mv5840vspctl --help)");
    ExpectOneErrorLine(RunTool({"add", "--number", "9"}), 2,
                       "add: --code CODE is required (see mv5840vspctl add --help)");
    EXPECT_EQ(RunTool({}).status, 2);
    EXPECT_TRUE(fake.calls.isEmpty());
}

TEST_F(CliBus, HelpForEveryCommand)
{
    ToolRun run = RunTool({"--help"});
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(run.out.startsWith("Usage: mv5840vspctl COMMAND"));
    for (const char* verb :
         {"list", "show", "add", "edit", "remove", "select", "selected", "watch", "monitor", "stats"}) {
        run = RunTool({verb, "--help"});
        EXPECT_EQ(run.status, 0) << verb;
        EXPECT_TRUE(run.out.startsWith(QStringLiteral("Usage: mv5840vspctl ") + verb)) << verb;
        EXPECT_EQ(run.out, RunTool({"help", verb}).out);
    }
    EXPECT_TRUE(fake.calls.isEmpty());
}

TEST_F(CliBus, NoInstanceRunningSaysHowToStartOne)
{
    Withdraw();
    for (const char* verb : {"list", "selected", "watch"}) {
        const ToolRun run = RunTool({verb});
        ExpectOneErrorLine(run, 3,
                           "MV5840VSP is not running; start it with \"MV5840VSP --service\" or "
                           "\"systemctl --user start mv5840vsp\"");
    }
    const ToolRun run = RunTool({"remove", "--number", "7"});
    EXPECT_EQ(run.status, 3);
}

// An instance that holds this user's port directory but answers on no bus of ours (started
// under its own dbus-run-session): starting another would end with 150, so the tool says where
// the running one is instead.
TEST_F(CliBus, AnInstanceOnAnotherBusIsNamed)
{
    Withdraw();
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    QProcessEnvironment environment = ToolEnvironment();
    environment.insert("XDG_RUNTIME_DIR", home.path());
    ExpectOneErrorLine(RunTool({"list"}, environment), 3,
                       "MV5840VSP is not running; start it with \"MV5840VSP --service\" or "
                       "\"systemctl --user start mv5840vsp\"");

    ASSERT_TRUE(QDir().mkpath(home.path() + "/MV5840VSP"));
    const QByteArray lock = (home.path() + "/MV5840VSP/.lock").toLocal8Bit();
    const int fd = open(lock.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    ExpectOneErrorLine(RunTool({"list"}, environment), 3,
                       QStringLiteral("MV5840VSP (process %1) serves the ports in %2/MV5840VSP but is not on this "
                                      "session bus: it runs on another session bus (one of dbus-run-session, another "
                                      "login) or on none; run mv5840vspctl with that bus's address in "
                                      "DBUS_SESSION_BUS_ADDRESS, or stop that instance and start it where this bus is")
                           .arg(getpid())
                           .arg(home.path()));
    close(fd);
}

TEST_F(CliBus, NeverStartsTheProgramThroughTheBus)
{
    // An activation file whose program leaves a mark when the bus starts it.
    Withdraw();
    const QString dataHome = qEnvironmentVariable("XDG_DATA_HOME");
    ASSERT_FALSE(dataHome.isEmpty());
    const QString mark = dataHome + "/started";
    const QString script = dataHome + "/fake-program.sh";
    QFile::remove(mark);
    ASSERT_TRUE(QDir().mkpath(dataHome + "/dbus-1/services"));
    QFile scriptFile(script);
    ASSERT_TRUE(scriptFile.open(QIODevice::WriteOnly));
    scriptFile.write("#!/bin/sh\ntouch '" + mark.toUtf8() + "'\n");
    scriptFile.close();
    scriptFile.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QFile service(dataHome + "/dbus-1/services/MV5840VSP.IMV5840VSP.service");
    ASSERT_TRUE(service.open(QIODevice::WriteOnly));
    service.write("[D-BUS Service]\nName=MV5840VSP.IMV5840VSP\nExec=" + script.toUtf8() + "\n");
    service.close();
    QDBusConnection bus = QDBusConnection::sessionBus();
    bus.call(QDBusMessage::createMethodCall("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                            "ReloadConfig"));
    const QDBusReply<QStringList> activatable = bus.call(
        QDBusMessage::createMethodCall("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                       "ListActivatableNames"));
    ASSERT_TRUE(activatable.value().contains(ServiceName)) << "the bus does not see the activation file";

    for (const char* verb : {"list", "selected"})
        EXPECT_EQ(RunTool({verb}).status, 3) << verb;
    EXPECT_EQ(RunTool({"select", "A1"}).status, 3);
    EXPECT_FALSE(QFile::exists(mark));

    QFile::remove(service.fileName());
    bus.call(QDBusMessage::createMethodCall("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                            "ReloadConfig"));
}

TEST_F(CliBus, NoSessionBus)
{
    QProcessEnvironment environment = ToolEnvironment();
    environment.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus");
    const ToolRun run = RunTool({"list"}, environment);
    EXPECT_EQ(run.status, 3);
    EXPECT_TRUE(run.err.startsWith("mv5840vspctl: no session bus (")) << run.err.toStdString();
    EXPECT_EQ(run.err.count('\n'), 1);
}

TEST_F(CliBus, AnOlderProgramWithoutTheManager)
{
    // Only the port selection answers, as a program from before the manager would.
    Withdraw();
    class SelectionOnly : public FakePortManager {
    public:
        bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override
        {
            if (message.interface() == QLatin1String("MV5840VSP.IPortManager"))
                return false;
            return FakePortManager::handleMessage(message, connection);
        }
    } older;
    QDBusConnection bus = QDBusConnection::sessionBus();
    ASSERT_TRUE(bus.registerVirtualObject(ObjectPath, &older));
    ASSERT_TRUE(bus.registerService(ServiceName));
    const ToolRun run = RunTool({"list"});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(
        run.err.startsWith("mv5840vspctl: the running MV5840VSP does not offer MV5840VSP.IPortManager.ListPorts"))
        << run.err.toStdString();
    EXPECT_EQ(RunTool({"selected"}).out, "#NoSelected\n");
    bus.unregisterService(ServiceName);
    bus.unregisterObject(ObjectPath);
    Publish();
}

TEST_F(CliBus, WatchGivesUpOnAProgramThatDoesNotAnswer)
{
    Withdraw();
    class Silent : public FakePortManager {
    public:
        bool handleMessage(const QDBusMessage& message, const QDBusConnection&) override
        {
            calls << message;
            return true;
        }
    } silent;
    QDBusConnection bus = QDBusConnection::sessionBus();
    ASSERT_TRUE(bus.registerVirtualObject(ObjectPath, &silent));
    ASSERT_TRUE(bus.registerService(ServiceName));
    const ToolRun run = RunTool({"watch"});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(run.err.startsWith("mv5840vspctl: MV5840VSP did not answer ListPorts: ")) << run.err.toStdString();
    EXPECT_EQ(run.err.count('\n'), 1) << run.err.toStdString();
    bus.unregisterService(ServiceName);
    bus.unregisterObject(ObjectPath);
    Publish();
}

TEST_F(CliBus, HostileCodesNeverReachTheTerminal)
{
    fake.listed[0]["code"] = QStringLiteral("\x1b]0;owned\x07\x1b[2J");
    fake.selected = QStringLiteral("\x1b[31mred");
    for (const QStringList& arguments : {QStringList{"list"}, QStringList{"show", "--number", "7"},
                                         QStringList{"selected"}, QStringList{"watch", "--count", "1"}}) {
        const ToolRun run = RunTool(arguments);
        EXPECT_EQ(run.status, 0);
        EXPECT_FALSE(run.out.contains(QChar(0x1b))) << arguments.join(' ').toStdString();
    }
    // JSON escapes them its own way and keeps the code exact.
    const QJsonArray rows = QJsonDocument::fromJson(RunTool({"list", "--json"}).out.toUtf8()).array();
    EXPECT_EQ(rows[0]["code"].toString(), fake.listed[0]["code"].toString());
}

TEST_F(CliBus, WatchPrintsAgainWhenNotOnATerminal)
{
    const ToolRun run = RunTool({"watch", "--count", "2"});
    ASSERT_EQ(run.status, 0) << run.err.toStdString();
    EXPECT_EQ(run.out.count(QRegularExpression("^MV5840VSP  \\d\\d:\\d\\d:\\d\\d  3 ports, 1 online, 1 not served$",
                                               QRegularExpression::MultilineOption)),
              2)
        << run.out.toStdString();
    EXPECT_EQ(run.out.count("RX/s"), 2);
    EXPECT_FALSE(run.out.contains(QChar(0x1b)));
    EXPECT_FALSE(run.out.contains("q quits"));
    EXPECT_EQ(fake.calls.size(), 2);
}

TEST_F(CliBus, WatchShowsRatesFromTheCounters)
{
    QProcess process;
    process.setProcessEnvironment(ToolEnvironment());
    process.start(tool, {"watch", "--count", "3"});
    // Between the first and later samples the DTU's bytes arrive.
    QTimer feed;
    QObject::connect(&feed, &QTimer::timeout, [&] {
        if (!fake.calls.isEmpty())
            fake.listed[0]["rx"] = fake.listed[0]["rx"].toLongLong() + 3000;
    });
    feed.start(100);
    ASSERT_TRUE(WaitFinished(process));
    const QString out = QString::fromUtf8(process.readAllStandardOutput());
    EXPECT_EQ(process.exitCode(), 0);
    EXPECT_TRUE(out.contains(QRegularExpression("COM7 .* KiB/s"))) << out.toStdString();
}

TEST_F(CliBus, WatchKeepsRunningWhenTheProgramGoesAway)
{
    QProcess process;
    process.setProcessEnvironment(ToolEnvironment());
    process.start(tool, {"watch", "--count", "3"});
    // Gone after the first sample; the view says so and goes on.
    QTimer away;
    QObject::connect(&away, &QTimer::timeout, [&] {
        if (!fake.calls.isEmpty()) {
            Withdraw();
            away.stop();
        }
    });
    away.start(20);
    ASSERT_TRUE(WaitFinished(process));
    const QString out = QString::fromUtf8(process.readAllStandardOutput());
    EXPECT_EQ(process.exitCode(), 0);
    EXPECT_TRUE(out.contains("MV5840VSP is not running")) << out.toStdString();
}

// The tool's terminal is the slave of a pseudo-terminal whose master this test reads.
class Terminal {
public:
    Terminal()
    {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0)
            slave = QString::fromLocal8Bit(ptsname(master));
        // Held open here too, so the terminal lives between the tool's opens.
        keeper = open(slave.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        winsize size{};
        size.ws_col = 100;
        size.ws_row = 30;
        ioctl(master, TIOCSWINSZ, &size);
    }
    ~Terminal()
    {
        close(keeper);
        close(master);
    }

    // Reads what arrived, for up to timeoutMs, while the event loop runs.
    void Read(int timeoutMs, const std::function<bool()>& enough)
    {
        QElapsedTimer timer;
        timer.start();
        while (!enough() && timer.elapsed() < timeoutMs) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            pollfd fd{master, POLLIN, 0};
            if (poll(&fd, 1, 10) > 0 && (fd.revents & POLLIN)) {
                char buffer[4096];
                const ssize_t got = read(master, buffer, sizeof buffer);
                if (got > 0)
                    seen.append(buffer, got);
            }
        }
    }

    bool LocalFlags(tcflag_t flags) const
    {
        termios settings{};
        return tcgetattr(keeper, &settings) == 0 && (settings.c_lflag & flags) == flags;
    }

    int master = -1;
    int keeper = -1;
    QString slave;
    QByteArray seen;
};

TEST_F(CliBus, WatchOnATerminalRedrawsInPlaceAndEndsOnQ)
{
    Terminal terminal;
    ASSERT_FALSE(terminal.slave.isEmpty());
    ASSERT_TRUE(terminal.LocalFlags(ICANON | ECHO));
    QProcess process;
    process.setProcessEnvironment(ToolEnvironment());
    process.setStandardInputFile(terminal.slave);
    process.setStandardOutputFile(terminal.slave);
    process.start(tool, {"watch"});
    // Two frames: the view redraws from the top-left corner.
    terminal.Read(20000, [&] { return terminal.seen.count("\x1b[H") >= 2; });
    EXPECT_TRUE(terminal.seen.startsWith("\x1b[?1049h\x1b[?25l")) << terminal.seen.toStdString();
    EXPECT_GE(terminal.seen.count("\x1b[H"), 2);
    EXPECT_TRUE(terminal.seen.contains("(q quits)"));
    EXPECT_FALSE(terminal.LocalFlags(ICANON)) << "keys are read one by one";
    ASSERT_EQ(write(terminal.master, "q", 1), 1);
    ASSERT_TRUE(WaitFinished(process, 20000));
    terminal.Read(300, [] { return false; });
    EXPECT_EQ(process.exitCode(), 0);
    EXPECT_TRUE(terminal.seen.endsWith("\x1b[?25h\x1b[?1049l")) << terminal.seen.right(40).toStdString();
    EXPECT_TRUE(terminal.LocalFlags(ICANON | ECHO)) << "the terminal is given back as it was";
    // No line is wider than the terminal: nothing wraps. Each frame starts at the top.
    for (const QByteArray& line : QByteArray(terminal.seen).replace("\x1b[H", "\n").split('\n'))
        EXPECT_LE(QString::fromUtf8(line).remove(QRegularExpression("\x1b\\[[0-9;?]*[A-Za-z]")).size(), 100)
            << line.toStdString();
}

TEST_F(CliBus, WatchOnATerminalEndsCleanlyOnSigint)
{
    Terminal terminal;
    QProcess process;
    process.setProcessEnvironment(ToolEnvironment());
    process.setStandardInputFile(terminal.slave);
    process.setStandardOutputFile(terminal.slave);
    process.start(tool, {"watch"});
    terminal.Read(20000, [&] { return terminal.seen.contains("(q quits)"); });
    ASSERT_TRUE(terminal.seen.contains("(q quits)"));
    ::kill(static_cast<pid_t>(process.processId()), SIGINT);
    ASSERT_TRUE(WaitFinished(process, 20000));
    terminal.Read(300, [] { return false; });
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(process.exitCode(), 0);
    EXPECT_TRUE(terminal.seen.endsWith("\x1b[?25h\x1b[?1049l"));
    EXPECT_TRUE(terminal.LocalFlags(ICANON | ECHO));
}

// A UDP DTU's poll and answer, and a datagram with an unknown code, as the loop traces them.
QByteArray CannedTrace()
{
    const int64_t t = 1765191636000000;
    const uint8_t poll[] = {0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0a};
    const uint8_t answer[] = {0x01, 0x03, 0x02, 0x00, 0x2a, 0x38, 0x5b};
    const uint8_t code[] = {'Z', '9'};
    std::vector<uint8_t> stream;
    AppendTraceRecord({TraceKind::Login, 1, 7, t, 0, "127.0.0.1:40001", nullptr, 0}, stream);
    AppendTraceRecord({TraceKind::FromApplication, 1, 7, t + 1000, 0, {}, poll, sizeof poll}, stream);
    AppendTraceRecord({TraceKind::FromDtu, 1, 7, t + 21000, 0, {}, answer, sizeof answer}, stream);
    AppendTraceRecord({TraceKind::UnknownCode, 0, 0, t + 30000, 20, "127.0.0.1:9", code, sizeof code}, stream);
    return QByteArray(reinterpret_cast<const char*>(stream.data()), static_cast<qsizetype>(stream.size()));
}

TEST_F(CliBus, MonitorPrintsTheTraceOfTheNamedPorts)
{
    fake.trace = CannedTrace();
    // The stand-in closes the trace behind the canned records, as the program does when it stops.
    const ToolRun run = RunTool({"monitor", "--number", "7", "--code", "表A1", "--hex"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "mv5840vspctl: monitor: MV5840VSP ended the trace\n");
    EXPECT_EQ(run.out, "2025-12-08T11:00:36.000000Z COM7 login 127.0.0.1:40001\n"
                       "2025-12-08T11:00:36.001000Z COM7 tx 8 bytes  01 03 00 00 00 01 84 0a\n"
                       "2025-12-08T11:00:36.021000Z COM7 rx 7 bytes  01 03 02 00 2a 38 5b\n"
                       "2025-12-08T11:00:36.030000Z - unknown-code code \"Z9\", 20 bytes from 127.0.0.1:9\n");
    ASSERT_EQ(fake.calls.last().member(), "Monitor");
    EXPECT_EQ(fake.calls.last().signature(), "aa{sv}");
    const auto selectors = qdbus_cast<QList<QVariantMap>>(fake.calls.last().arguments().value(0));
    ASSERT_EQ(selectors.size(), 2);
    EXPECT_EQ(selectors[0].value("number").toInt(), 7);
    EXPECT_EQ(selectors[1].value("code").toString(), "表A1");

    const ToolRun json = RunTool({"monitor", "--json", "--count", "1"});
    EXPECT_EQ(json.status, 0);
    EXPECT_EQ(QJsonDocument::fromJson(json.out.toUtf8()).object().value("address").toString(), "127.0.0.1:40001");
    EXPECT_TRUE(qdbus_cast<QList<QVariantMap>>(fake.calls.last().arguments().value(0)).isEmpty());
}

TEST_F(CliBus, MonitorEndsOnSigintWhileTheTraceGoesOn)
{
    fake.trace = CannedTrace();
    fake.traceOpen = true;
    QProcess process;
    process.setProcessEnvironment(ToolEnvironment());
    process.start(tool, {"monitor"});
    QElapsedTimer waited;
    waited.start();
    QByteArray out;
    while (out.count('\n') < 4 && waited.elapsed() < 20000) {
        process.waitForReadyRead(100);
        QCoreApplication::processEvents();
        out += process.readAllStandardOutput();
    }
    ASSERT_EQ(out.count('\n'), 4) << out.toStdString();
    ::kill(static_cast<pid_t>(process.processId()), SIGINT);
    ASSERT_TRUE(WaitFinished(process, 20000));
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(process.exitCode(), 0);
}

TEST_F(CliBus, MonitorAndStatsOfAnOlderProgramSayItLacksThem)
{
    fake.offersStatistics = false;
    ExpectOneErrorLine(RunTool({"monitor"}), 1,
                       "the running MV5840VSP does not offer MV5840VSP.IPortManager.Monitor (an older version?)");
    ExpectOneErrorLine(RunTool({"stats", "--prometheus"}), 1,
                       "the running MV5840VSP does not offer MV5840VSP.IPortManager.GetStatistics (an older version?)");
    fake.offersStatistics = true;
    ExpectOneErrorLine(RunTool({"stats", "--prometheus"}), 1,
                       "the running MV5840VSP reports no statistics for COM7 (an older version?)");
}

TEST_F(CliBus, StatsPrometheusPrintsEveryPortsCounters)
{
    GiveStatistics();
    const ToolRun run = RunTool({"stats", "--prometheus"});
    EXPECT_EQ(run.status, 0) << run.err.toStdString();
    const QStringList lines = run.out.split('\n');
    EXPECT_TRUE(lines.contains("mv5840vsp_online{port=\"COM7\",slot=\"0\"} 1"));
    EXPECT_TRUE(lines.contains("mv5840vsp_received_bytes_total{port=\"COM7\",slot=\"0\"} 1234"));
    EXPECT_TRUE(lines.contains("mv5840vsp_dropped_bytes_total{port=\"COM7\",slot=\"0\"} 4096"));
    EXPECT_TRUE(lines.contains("mv5840vsp_tcp_refusals_total{port=\"COM8\",slot=\"1\"} 3"));
    EXPECT_TRUE(lines.contains("mv5840vsp_last_error_timestamp_seconds{port=\"COM8\",slot=\"1\",error=\"connect to "
                               "127.0.0.2:502: Connection refused\"} 1765191636.250"));
    EXPECT_TRUE(lines.contains("mv5840vsp_unknown_code_datagrams_total 5"));
    EXPECT_TRUE(lines.contains("# TYPE mv5840vsp_sent_chunks_total counter"));
}

TEST_F(CliBus, StatsPrintsATableForPeople)
{
    GiveStatistics();
    fake.listed[0]["rx_datagrams"] = qulonglong(12);
    fake.listed[0]["logins"] = qulonglong(3);
    fake.listed[1]["tcp_connects"] = qulonglong(2);
    fake.listed[1]["tcp_refusals"] = qulonglong(31);
    const ToolRun run = RunTool({"stats"});
    EXPECT_EQ(run.status, 0) << run.err.toStdString();
    EXPECT_EQ(run.out,
              "SLOT  PORT  CODE  RX BYTES  RX DGRAMS  TX BYTES  TX CHUNKS  LOGINS  TCP UP  TCP FAILED  DROPPED  "
              "TOO LONG  LAST ERROR\n"
              "   0  COM7  A1        1234         12        56          0       3       0           0     4096  "
              "       0  -\n"
              "   1  COM8  表A1         0          0         0          0       0       2          31        0  "
              "       0  2025-12-08T11:00:36.250Z connect to 127.0.0.2:502: Connection refused\n"
              "   2  COM9  C3           0          0         0          0       0       0           0        0  "
              "       0  -\n"
              "datagrams whose code no port has: 5 (the latest from 127.0.0.1:9)\n");
}

TEST_F(CliBus, MonitorWritesNoPcapToATerminal)
{
    Terminal terminal;
    QProcess process;
    process.setProcessEnvironment(ToolEnvironment());
    process.setStandardOutputFile(terminal.slave);
    process.start(tool, {"monitor", "--pcap", "-"});
    ASSERT_TRUE(WaitFinished(process, 20000));
    EXPECT_EQ(process.exitCode(), 2);
    EXPECT_TRUE(QString::fromUtf8(process.readAllStandardError()).contains("name a file or redirect the output"));
    terminal.Read(300, [] { return false; });
    EXPECT_TRUE(terminal.seen.isEmpty());
    EXPECT_TRUE(fake.calls.isEmpty());
}

}  // namespace

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    if (argc > 1)
        tool = QString::fromLocal8Bit(argv[1]);
    return RUN_ALL_TESTS();
}
