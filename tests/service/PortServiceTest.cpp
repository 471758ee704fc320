// The port service as every front end meets it: the add, edit and remove rules with the
// texts the window shows, what is stored, the snapshots of ports a DTU and an application
// use, and a reload of the file while bytes stream through a port it leaves alone.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <functional>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <thread>

#include "LinkTestSupport.h"
#include "net/Log.h"
#include "service/PortMessages.h"
#include "service/PortService.h"
#include "support/ThreadHold.h"

namespace {

class PortServiceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(configDir.isValid());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, configDir.path());
        setenv("XDG_CONFIG_HOME", configDir.path().toLocal8Bit().constData(), 1);
        Log::SetSink([this](Log::Priority priority, std::string_view text) {
            std::lock_guard hold(logGuard);
            (priority > Log::Priority::Warning ? events : failures).emplace_back(text);
        });
    }

    void TearDown() override
    {
        service.reset();
        Log::SetSink(nullptr);
    }

    QString ConfigPath() const { return configDir.path() + "/Torvane/HOLBRN.conf"; }

    void WriteConfig(const QString& text)
    {
        QDir().mkpath(configDir.path() + "/Torvane");
        QFile file(ConfigPath());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text.toUtf8());
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    }

    QByteArray ReadConfig() const
    {
        QFile file(ConfigPath());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    void ExpectRunningAsStored();

    static QString Slot(int group, int number, const char* code)
    {
        return QStringLiteral("[%1]\nPortNumber=%2\nCode=%3\n\n").arg(group).arg(number).arg(code);
    }

    QVariant Stored(const QString& key) const
    {
        return QSettings(QSettings::NativeFormat, QSettings::UserScope, "Torvane", "HOLBRN").value(key);
    }

    void Start()
    {
        serverPort = FreeLoopbackPort(SOCK_DGRAM);
        const std::string local = "127.0.0.1:" + std::to_string(serverPort);
        service = std::make_unique<PortService>(local.c_str());
        ASSERT_EQ(service->StartNetwork(), PortTable::NetworkResult::Started);
        service->StartPorts();
        ASSERT_TRUE(WaitUntil([&] { return service->UdpPortOpen(); }));
    }

    static PortConfig Fields(int number, const std::string& code, int interval = 300)
    {
        PortConfig fields;
        fields.PortNumber = number;
        fields.Code = code;
        fields.LoginInterval = interval;
        return fields;
    }

    std::vector<std::string> Codes() const
    {
        std::vector<std::string> codes;
        for (const PortStatus& port : service->Snapshot())
            codes.push_back(port.config.Code);
        return codes;
    }

    bool Logged(const std::vector<std::string>& lines, const std::string& part)
    {
        std::lock_guard hold(logGuard);
        for (const std::string& line : lines) {
            if (line.find(part) != std::string::npos)
                return true;
        }
        return false;
    }

    QTemporaryDir configDir;
    TempRuntimeDir runtimeDir;
    uint16_t serverPort = 0;
    std::unique_ptr<PortService> service;
    std::mutex logGuard;
    std::vector<std::string> events;
    std::vector<std::string> failures;
};

// The kind and the exact text the window's message box shows.
void ExpectRefusal(const PortError& error, PortError::Kind kind, const char* text)
{
    EXPECT_EQ(error.kind, kind) << PortError::Name(error.kind);
    EXPECT_EQ(PortMessages::Text(error), text);
}

TEST_F(PortServiceTest, ValuesOutsideTheDialogsRulesAreRefusedWithTheDialogsTexts)
{
    Start();
    ExpectRefusal(service->Add(Fields(0, "A")), PortError::Kind::NumberOutOfRange, "“请填入一个在1和256之间的整数。”");
    ExpectRefusal(service->Add(Fields(257, "A")), PortError::Kind::NumberOutOfRange,
                  "“请填入一个在1和256之间的整数。”");
    // Eleven bytes of UTF-8, not eleven characters: four Chinese characters are twelve.
    ExpectRefusal(service->Add(Fields(7, "一二三四")), PortError::Kind::CodeTooLong, "“请填入不多于11个的字符。”");
    ExpectRefusal(service->Add(Fields(7, "123456789012")), PortError::Kind::CodeTooLong, "“请填入不多于11个的字符。”");
    ExpectRefusal(service->Add(Fields(7, "A", 9)), PortError::Kind::IntervalOutOfRange,
                  "“请填入一个在10和100000之间的整数。”");
    ExpectRefusal(service->Add(Fields(7, "A", 100001)), PortError::Kind::IntervalOutOfRange,
                  "“请填入一个在10和100000之间的整数。”");
    EXPECT_TRUE(service->Snapshot().empty());
    EXPECT_FALSE(QFile::exists(configDir.path() + "/Torvane/HOLBRN.conf"));

    EXPECT_FALSE(service->Add(Fields(1, "一二三", 10)));
    EXPECT_FALSE(service->Add(Fields(256, "12345678901", 100000)));
    std::string address;
    ExpectRefusal(service->ParseAddress("10.0.0", address), PortError::Kind::InvalidAddress,
                  "“10.0.0”不是有效的IP地址。");
    EXPECT_FALSE(service->ParseAddress("10.0.0.9", address));
    EXPECT_EQ(address, "10.0.0.9");
}

TEST_F(PortServiceTest, NumberInUseOnAddAndOnEditButNotForThePortItself)
{
    Start();
    int seven = -1, eight = -1;
    ASSERT_FALSE(service->Add(Fields(7, "A"), &seven));
    ASSERT_FALSE(service->Add(Fields(8, "B"), &eight));
    ExpectRefusal(service->Add(Fields(7, "C")), PortError::Kind::NumberInUse, "该端口号已被使用");
    ExpectRefusal(service->Edit(eight, Fields(7, "B")), PortError::Kind::NumberInUse, "该端口号已被使用");
    EXPECT_FALSE(service->Edit(eight, Fields(8, "B2")));
    EXPECT_EQ(Codes(), (std::vector<std::string>{"A", "B2"}));
    // The slot as users see it: the file's group number, index 5 is group 6.
    const PortError gone = service->Edit(5, Fields(9, "X"));
    ExpectRefusal(gone, PortError::Kind::NoSuchPort, "该端口已不存在。");
    EXPECT_EQ(gone.value, "6");
    ExpectRefusal(service->Remove(5, true), PortError::Kind::NoSuchPort, "该端口已不存在。");
}

TEST_F(PortServiceTest, TableFullAfterTwoHundredPorts)
{
    // Shared-port mode: two hundred DTUs behind one port, no pseudo-terminal each.
    WriteConfig("[General]\nOnlyOnePort=1\nVPortNo=3\n\n");
    Start();
    for (int i = 0; i < PortTable::MaxPorts; ++i)
        ASSERT_FALSE(service->Add(Fields(0, "D" + std::to_string(i)))) << i;
    ExpectRefusal(service->Add(Fields(3, "one more")), PortError::Kind::TableFull, "端口数量太多，无法创建新的端口");
    // Every port has the shared port's number, whatever was asked.
    EXPECT_EQ(service->Snapshot().back().config.PortNumber, 3);
    EXPECT_EQ(Stored("200/PortNumber").toInt(), 3);
    EXPECT_FALSE(Stored("201/PortNumber").isValid());
}

TEST_F(PortServiceTest, RemoveRefusesAPortAnApplicationHoldsUnlessForced)
{
    Start();
    int slot = -1;
    ASSERT_FALSE(service->Add(Fields(7, "A"), &slot));
    const std::string device = service->StatusOf(slot)->device;
    SerialApp app(device);
    ASSERT_TRUE(app.IsOpen());
    ASSERT_TRUE(WaitUntil([&] { return service->StatusOf(slot)->inUse; }));
    ExpectRefusal(service->Remove(slot, false), PortError::Kind::PortInUse, "请确认先关闭正在使用虚拟串口的程序。");
    EXPECT_TRUE(service->StatusOf(slot));
    EXPECT_EQ(Stored("1/Code").toString(), "A");

    EXPECT_FALSE(service->Remove(slot, true));
    EXPECT_FALSE(service->StatusOf(slot));
    EXPECT_NE(access(device.c_str(), F_OK), 0);
    EXPECT_FALSE(Stored("1/Code").isValid());
}

TEST_F(PortServiceTest, ChangesAreStoredAsTheWindowStoresThem)
{
    Start();
    PortConfig fields = Fields(12, "站点1", 60);
    fields.UseFixedIP = 1;
    fields.UseTcp = 1;
    ASSERT_FALSE(service->ParseAddress("127.0.0.9", fields.PeerIP));
    int slot = -1;
    ASSERT_FALSE(service->Add(fields, &slot));
    EXPECT_EQ(Stored("1/PortNumber").toInt(), 12);
    EXPECT_EQ(Stored("1/Code").toString(), QStringLiteral("站点1"));
    EXPECT_EQ(Stored("1/LoginInterval").toInt(), 60);
    EXPECT_EQ(Stored("1/UseFixedIP").toInt(), 1);
    EXPECT_EQ(Stored("1/UseTcp").toInt(), 1);
    EXPECT_EQ(Stored("1/PeerIP").toString(), "127.0.0.9");
    const PortStatus port = *service->StatusOf(slot);
    EXPECT_EQ(port.FixedAddress(), "127.0.0.9");
    EXPECT_EQ(port.peer, "127.0.0.9:3700");
    EXPECT_EQ(port.State(), "offline");  // nobody listens there
}

TEST_F(PortServiceTest, SnapshotFollowsTheDtuAndTheApplication)
{
    Start();
    int slot = -1;
    ASSERT_FALSE(service->Add(Fields(7, "D7"), &slot));
    PortStatus port = *service->StatusOf(slot);
    EXPECT_EQ(port.State(), "offline");
    EXPECT_EQ(port.peer, "");
    EXPECT_EQ(port.lastHeardMs, -1);
    EXPECT_EQ(port.device, runtimeDir.PortDir() + "/COM7");

    UdpDtu dtu(serverPort);
    dtu.SendLogin("D7");
    ASSERT_TRUE(dtu.Receive());
    ASSERT_TRUE(WaitUntil([&] { return service->StatusOf(slot)->online; }));
    SerialApp app(port.device);
    dtu.SendData("D7", ToBytes("hello"));
    EXPECT_EQ(app.Read(5), ToBytes("hello"));
    ASSERT_TRUE(app.Write(ToBytes("abc")));
    ASSERT_TRUE(dtu.Receive());
    ASSERT_TRUE(WaitUntil([&] { return service->StatusOf(slot)->statistics.txBytes == 3u; }));
    port = *service->StatusOf(slot);
    EXPECT_EQ(port.State(), "online");
    EXPECT_EQ(port.peer, "127.0.0.1:" + std::to_string(dtu.Port()));
    EXPECT_EQ(port.statistics.rxBytes, 5u);
    EXPECT_TRUE(port.inUse);
    EXPECT_GT(port.lastHeardMs, 1700000000000);

    // The service reports changes from its poll, and the login once.
    std::vector<PortStatus> changes;
    QObject::connect(service.get(), &PortService::PortStateChanged,
                     [&](const PortStatus& changed) { changes.push_back(changed); });
    ASSERT_TRUE(WaitUntil([&] {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        return Logged(events, "COM7 (DTU \"D7\"): DTU logged in from 127.0.0.1:" + std::to_string(dtu.Port()))
               && !changes.empty();
    }));
    EXPECT_EQ(changes.back().State(), "online");
}

TEST_F(PortServiceTest, BytesAnApplicationDoesNotReadInTimeAreCountedAndSaidOnceNotPerDatagram)
{
    Start();
    int slot = -1;
    ASSERT_FALSE(service->Add(Fields(7, "D7"), &slot));
    SerialApp app(service->StatusOf(slot)->device);  // holds the port open and reads nothing
    ASSERT_TRUE(app.IsOpen());
    UdpDtu dtu(serverPort);
    dtu.SendLogin("D7");
    ASSERT_TRUE(dtu.Receive());
    const Bytes payload(1000, 0x55);
    for (int k = 0; k < 1200; ++k) {
        dtu.SendData("D7", payload);
        if (k % 100 == 99) {  // keep the server's receive queue from overflowing instead
            ASSERT_TRUE(WaitUntil(
                [&] { return service->StatusOf(slot)->statistics.rxBytes == static_cast<uint64_t>((k + 1) * 1000); }));
        }
    }
    const std::string said = "COM7 (DTU \"D7\"): the application does not read fast enough; ";
    ASSERT_TRUE(WaitUntil([&] {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        return Logged(failures, said);
    }));
    const PortStatus port = *service->StatusOf(slot);
    EXPECT_GT(port.statistics.bytesDropped, 0u);
    EXPECT_LE(port.statistics.bytesDropped, port.statistics.rxBytes);
    // More drops within the minute add no line.
    for (int k = 0; k < 100; ++k)
        dtu.SendData("D7", payload);
    ASSERT_TRUE(
        WaitUntil([&] { return service->StatusOf(slot)->statistics.bytesDropped > port.statistics.bytesDropped; }));
    const auto watched = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);  // three looks
    while (std::chrono::steady_clock::now() < watched)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    auto saidLines = [&] {
        std::lock_guard hold(logGuard);
        return std::count_if(failures.begin(), failures.end(),
                             [&](const std::string& line) { return line.find(said) == 0; });
    };
    EXPECT_EQ(saidLines(), 1);
    // What was dropped since is said when the service ends, not lost.
    service->Shutdown();
    EXPECT_EQ(saidLines(), 2);
    EXPECT_TRUE(Logged(failures, " more bytes from the DTU were dropped"));
}

TEST_F(PortServiceTest, TcpLinkUpAndDownAreReportedAndARefusingDtuOnce)
{
    const uint16_t dtuPort = FreeLoopbackPort(SOCK_STREAM);
    auto dtu = std::make_unique<TcpDtu>(dtuPort);
    WriteConfig(QStringLiteral("[General]\nSocketPort=%1\n\n").arg(dtuPort)
                + "[1]\nPortNumber=7\nCode=T7\nUseTcp=1\nUseFixedIP=1\nPeerIP=127.0.0.1\n\n");
    Start();
    ASSERT_GE(dtu->Accept(), 0);
    const std::string link = "COM7 (DTU \"T7\"): TCP link to 127.0.0.1:" + std::to_string(dtuPort);
    auto watched = [&](const std::vector<std::string>& lines, const std::string& line) {
        return WaitUntil([&] {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            return Logged(lines, line);
        });
    };
    EXPECT_TRUE(watched(events, link + " up"));
    EXPECT_EQ(service->StatusOf(0)->State(), "online");
    // A DTU that hangs up after a second is connected again at once, mostly between two
    // looks: its hang-up is said all the same.
    const auto lived = std::chrono::steady_clock::now() + std::chrono::milliseconds(1100);
    while (std::chrono::steady_clock::now() < lived)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    dtu->CloseConnection();
    ASSERT_GE(dtu->Accept(), 0);
    EXPECT_TRUE(WaitUntil([&] {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        return Logged(failures, link + " ended and was connected again") || Logged(failures, link + " down");
    }));
    // Gone for good: the link cannot come back between two looks. A lost DTU is a warning.
    dtu.reset();
    EXPECT_TRUE(watched(failures, link + " down"));
    EXPECT_EQ(service->StatusOf(0)->State(), "offline");

    // Nothing listens any more: each attempt is refused, and that is said once.
    const std::string refused = "COM7 (DTU \"T7\"): cannot connect to the DTU at 127.0.0.1:" + std::to_string(dtuPort)
                                + ": Connection refused; trying again every second";
    EXPECT_TRUE(watched(failures, refused));
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(2500);
    while (std::chrono::steady_clock::now() < until)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    std::lock_guard hold(logGuard);
    EXPECT_EQ(std::count(failures.begin(), failures.end(), refused), 1);
}

TEST_F(PortServiceTest, APortThatCannotBeCreatedIsNotServedAndSaysWhy)
{
    // Two slots with one number: the second cannot have the name.
    WriteConfig(Slot(1, 7, "A") + Slot(2, 7, "B"));
    Start();
    const std::vector<PortStatus> listed = service->Snapshot();
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0].State(), "offline");
    EXPECT_EQ(listed[1].State(), "not-served");
    EXPECT_EQ(listed[1].reason.English(), "slot 1 already serves COM7");
    EXPECT_EQ(listed[1].device, "");
    EXPECT_TRUE(Logged(failures, "COM7 (slot 2) is not served: slot 1 already serves COM7"));
}

// A hand-written file: an address written with leading zeros is its DTU's and stays as
// written through an edit that keeps it; a port behind another with its code says so once in
// the log, and in Chinese where the window shows it.
TEST_F(PortServiceTest, AHandWrittenAddressIsKeptAndAShadowedPortSaysWhy)
{
    WriteConfig(QStringLiteral("[1]\nPortNumber=7\nCode=A\nUseFixedIP=1\nPeerIP=127.000.000.001\n\n") + Slot(2, 8, "B")
                + Slot(3, 9, "B"));
    Start();
    PortConfig fields = service->StatusOf(0)->config;
    EXPECT_EQ(fields.PeerIP, "127.000.000.001");
    fields.LoginInterval = 60;
    fields.PeerIP = "127.0.0.1";  // as the window's dialog gives it back
    ASSERT_FALSE(service->Edit(0, fields));
    EXPECT_EQ(Stored("1/PeerIP").toString(), "127.000.000.001");
    EXPECT_EQ(Stored("1/LoginInterval").toInt(), 60);

    const PortStatus shadowed = *service->StatusOf(2);
    EXPECT_TRUE(shadowed.served);
    EXPECT_EQ(PortMessages::Text(shadowed.reason),
              "COM8（槽位2）排在前面且编码相同，DTU的数据包都由它接收，本端口收不到。");
    const std::string said = "COM9 (DTU \"B\"): it never hears its DTU: COM8 (slot 2) comes first with the same code";
    EXPECT_TRUE(WaitUntil([&] {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        return Logged(failures, said);
    }));
    std::lock_guard hold(logGuard);
    EXPECT_EQ(std::count_if(failures.begin(), failures.end(),
                            [&](const std::string& line) { return line.find(said) == 0; }),
              1);
}

TEST_F(PortServiceTest, ReloadLeavesAnUnchangedPortStreamingAndAppliesTheRest)
{
    WriteConfig(Slot(1, 7, "A1") + Slot(2, 8, "B2") + Slot(3, 9, "C3"));
    Start();
    UdpDtu dtu(serverPort);
    dtu.SendLogin("A1");
    ASSERT_TRUE(dtu.Receive());
    SerialApp app(service->StatusOf(0)->device);
    ASSERT_TRUE(app.IsOpen());

    // The DTU streams into the port while the file changes and the service reloads it.
    constexpr int Datagrams = 300;
    std::atomic<bool> reloaded{false};
    Bytes sent;
    std::thread sender([&] {
        for (int k = 0; k < Datagrams; ++k) {
            const Bytes payload = Pattern(100, k);
            dtu.SendData("A1", payload);
            sent.insert(sent.end(), payload.begin(), payload.end());
            if (k == Datagrams / 2)
                WaitUntil([&] { return reloaded.load(); });
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    WaitUntil([&] { return service->StatusOf(0)->statistics.rxBytes > 0; });
    WriteConfig("[General]\nVPortNo=9\n\n" + Slot(1, 7, "A1") + Slot(2, 8, "B9") + Slot(5, 12, "E5"));
    service->Reload();
    reloaded = true;
    const Bytes received = app.Read(Datagrams * 100);
    sender.join();
    EXPECT_EQ(received, sent);
    ASSERT_TRUE(app.Write(ToBytes("still here")));
    Bytes expected = Header("A1", 3);
    const Bytes text = ToBytes("still here");
    expected.insert(expected.end(), text.begin(), text.end());
    EXPECT_EQ(dtu.Receive(), expected);

    EXPECT_EQ(Codes(), (std::vector<std::string>{"A1", "B9", "E5"}));
    EXPECT_NE(access((runtimeDir.PortDir() + "/COM9").c_str(), F_OK), 0);
    EXPECT_EQ(service->StatusOf(4)->device, runtimeDir.PortDir() + "/COM12");
    EXPECT_TRUE(Logged(events,
                       "configuration reloaded: 1 unchanged, 1 restarted (COM8 (slot 2)), 1 closed (COM9 (slot 3)), "
                       "1 opened (COM12 (slot 5))"));
    EXPECT_TRUE(Logged(failures, "global settings"));
    EXPECT_EQ(service->Settings().VPortNo, 5);  // applies at the next start
}

// What runs is what a restart would give: the ports in service are the file's groups, each
// with the file's values.
void PortServiceTest::ExpectRunningAsStored()
{
    const StoredConfig stored = ConfigStore(ConfigPath().toStdString()).Load();
    const auto& groups = stored.ports;
    for (int slot = 0; slot < PortTable::MaxPorts; ++slot) {
        const auto running = service->StatusOf(slot);
        ASSERT_EQ(running.has_value(), groups[slot].has_value()) << "slot " << slot;
        if (!running)
            continue;
        const PortConfig& wanted = *groups[slot];
        EXPECT_EQ(running->config.PortNumber, wanted.PortNumber) << slot;
        EXPECT_EQ(running->config.Code, wanted.Code) << slot;
        EXPECT_EQ(running->config.LoginInterval, wanted.LoginInterval) << slot;
        EXPECT_EQ(running->config.UseTcp, wanted.UseTcp) << slot;
        EXPECT_EQ(running->config.UseFixedIP, wanted.UseFixedIP) << slot;
        EXPECT_EQ(running->config.FrameGap, wanted.FrameGap) << slot;
    }
}

// Whatever keeps the file from taking a change, the change is refused with its own kind and
// nothing of it is made: no port added, edited or removed, the file as it was.
TEST_F(PortServiceTest, AChangeTheFileCannotKeepIsNotMade)
{
    WriteConfig(Slot(1, 7, "A1") + Slot(2, 8, "B2"));
    Start();
    const QByteArray original = ReadConfig();
    const std::string path = ConfigPath().toStdString();
    const std::string folder = configDir.path().toStdString() + "/Torvane";
    rlimit unlimited{};
    getrlimit(RLIMIT_FSIZE, &unlimited);
    signal(SIGXFSZ, SIG_IGN);

    struct Fault {
        const char* name;
        PortError::Kind kind;
        std::function<void()> make;
    };
    std::vector<Fault> faults = {
        {"a line that is not a setting", PortError::Kind::ConfigNotSettings,
         [&] { WriteConfig(QString::fromUtf8(original) + "this is no setting\n"); }},
        {"a FIFO", PortError::Kind::ConfigNotRegularFile,
         [&] {
             unlink(path.c_str());
             mkfifo(path.c_str(), 0600);
         }},
        {"a file that cannot be read", PortError::Kind::ConfigUnreadable,
         [&] {
             unlink(path.c_str());
             symlink(path.c_str(), path.c_str());
         }},
        {"a full disk", PortError::Kind::SaveFailed,
         [&] {
             rlimit small = unlimited;
             small.rlim_cur = 8;
             setrlimit(RLIMIT_FSIZE, &small);
         }},
    };
    if (geteuid() != 0)
        faults.push_back(
            {"a folder that cannot be written", PortError::Kind::SaveFailed, [&] { chmod(folder.c_str(), 0500); }});
    for (const Fault& fault : faults) {
        SCOPED_TRACE(fault.name);
        fault.make();
        PortError error = service->Add(Fields(9, "C3"));
        EXPECT_EQ(error.kind, fault.kind) << PortError::Name(error.kind) << ": " << error.cause.English();
        EXPECT_TRUE(error.ByTheFile());
        EXPECT_EQ(error.cause.subject, path) << error.cause.English();
        // The window names the file and says that nothing changed.
        const std::string text = PortMessages::Text(error);
        EXPECT_NE(text.find(path), std::string::npos) << text;
        EXPECT_NE(text.find("\n这项更改没有保存，也没有生效。"), std::string::npos) << text;
        EXPECT_EQ(service->Edit(0, Fields(17, "A9", 60)).kind, fault.kind);
        EXPECT_EQ(service->Remove(1, true).kind, fault.kind);
        GlobalSettings settings = service->Settings();
        settings.Password = "new";
        EXPECT_EQ(service->SaveSettings(settings).kind, fault.kind);

        // Mended: the file is as it was and what runs is what it says.
        setrlimit(RLIMIT_FSIZE, &unlimited);
        chmod(folder.c_str(), 0700);
        unlink(path.c_str());
        WriteConfig(QString::fromUtf8(original));
        EXPECT_EQ(Codes(), (std::vector<std::string>{"A1", "B2"}));
        EXPECT_EQ(service->StatusOf(0)->config.PortNumber, 7);
        EXPECT_EQ(service->StatusOf(0)->config.LoginInterval, 300);
        EXPECT_NE(access((runtimeDir.PortDir() + "/COM9").c_str(), F_OK), 0);
        EXPECT_EQ(access((runtimeDir.PortDir() + "/COM8").c_str(), F_OK), 0);
        ExpectRunningAsStored();
    }
    EXPECT_EQ(ReadConfig(), original);

    // And once the file can take them, the same changes are made and kept.
    EXPECT_FALSE(service->Add(Fields(9, "C3")));
    EXPECT_FALSE(service->Edit(0, Fields(17, "A9", 60)));
    EXPECT_FALSE(service->Remove(1, true));
    EXPECT_EQ(Codes(), (std::vector<std::string>{"A9", "C3"}));
    ExpectRunningAsStored();
}

// Start-up only reads: a group with no keys is a port with the defaults, and the file, its
// comments and its order stay as they are.
TEST_F(PortServiceTest, StartUpServesAnEmptyGroupWithTheDefaultsAndLeavesTheFileAlone)
{
    WriteConfig("; my ports\n[2]\n\n# the next one\n[1]\ncode=A1\nPORTNUMBER=7\n");
    const QByteArray original = ReadConfig();
    Start();
    const auto empty = service->StatusOf(1);
    ASSERT_TRUE(empty.has_value());
    EXPECT_EQ(empty->config.PortNumber, 0);
    EXPECT_EQ(empty->config.UseTcp, 0);
    EXPECT_EQ(empty->config.UseFixedIP, 0);
    EXPECT_EQ(empty->config.LoginInterval, 300);
    EXPECT_EQ(empty->config.Code, "");
    // Letter case aside, the hand-written group is the port it says.
    EXPECT_EQ(service->StatusOf(0)->config.PortNumber, 7);
    EXPECT_EQ(service->StatusOf(0)->config.Code, "A1");
    service->Shutdown();
    EXPECT_EQ(ReadConfig(), original);
}

// A group written into the file by hand and not reloaded yet is the user's: an added port
// takes the next slot and leaves that group as it is.
TEST_F(PortServiceTest, AnAddedPortLeavesAGroupWrittenByHandSinceTheStart)
{
    WriteConfig(Slot(1, 7, "A1"));
    Start();
    const QByteArray hand = "\n[2]\nPortNumber=30\nCode=HAND\nFrameGap=2\n";
    WriteConfig(QString::fromUtf8(ReadConfig() + hand));
    int slot = -1;
    ASSERT_FALSE(service->Add(Fields(9, "C9"), &slot));
    EXPECT_EQ(slot, 2);
    EXPECT_TRUE(ReadConfig().contains(hand)) << ReadConfig().constData();
    EXPECT_TRUE(ReadConfig().contains("[3]\nCode=C9\n")) << ReadConfig().constData();
}

// A port added to a slot another port had shows nothing of that port.
TEST_F(PortServiceTest, AReaddedPortStartsWithoutTheRemovedOnesState)
{
    Start();
    int slot = -1;
    ASSERT_FALSE(service->Add(Fields(7, "D7"), &slot));
    UdpDtu dtu(serverPort);
    dtu.SendLogin("D7");
    ASSERT_TRUE(dtu.Receive());
    dtu.SendData("D7", ToBytes("hello"));
    ASSERT_TRUE(WaitUntil([&] { return service->StatusOf(slot)->statistics.rxBytes == 5u; }));
    EXPECT_GT(service->StatusOf(slot)->lastHeardMs, 0);
    ASSERT_FALSE(service->Remove(slot, true));

    int again = -1;
    ASSERT_FALSE(service->Add(Fields(7, "D7"), &again));
    ASSERT_EQ(again, slot);
    const PortStatus port = *service->StatusOf(again);
    EXPECT_EQ(port.lastHeardMs, -1);
    EXPECT_EQ(port.statistics.rxBytes, 0u);
    EXPECT_EQ(port.State(), "offline");
    EXPECT_EQ(port.peer, "");
}

// Shared-port mode: the DTU an application's writes go to stays the selected one through an
// edit of another setting and through a reload that changes one.
TEST_F(PortServiceTest, TheSharedPortsSelectionStaysThroughAnEditAndAReload)
{
    const QString globals = "[General]\nOnlyOnePort=1\nVPortNo=3\n\n";
    WriteConfig(globals + Slot(1, 3, "AA") + Slot(2, 3, "BB"));
    Start();
    UdpDtu aa(serverPort), bb(serverPort);
    aa.SendLogin("AA");
    ASSERT_TRUE(aa.Receive());
    bb.SendLogin("BB");
    ASSERT_TRUE(bb.Receive());
    ASSERT_TRUE(service->SelectSharedTarget("BB"));
    SerialApp app(runtimeDir.PortDir() + "/COM3");
    ASSERT_TRUE(app.IsOpen());
    auto writesReachBb = [&](const std::string& text) {
        if (!app.Write(ToBytes(text)))
            return false;
        Bytes expected = Header("BB", 3);
        const Bytes bytes = ToBytes(text);
        expected.insert(expected.end(), bytes.begin(), bytes.end());
        return bb.Receive() == expected;
    };
    ASSERT_TRUE(writesReachBb("one"));

    WriteConfig(globals + Slot(1, 3, "AA") + Slot(2, 3, "BB") + "[2]\nLoginInterval=60\n");
    service->Reload();
    EXPECT_EQ(service->StatusOf(1)->config.LoginInterval, 60);
    EXPECT_EQ(service->GetSharedTargetCode(), "BB");
    EXPECT_TRUE(writesReachBb("two"));

    PortConfig edited = service->StatusOf(1)->config;
    edited.LoginInterval = 120;
    EXPECT_FALSE(service->Edit(1, edited));
    EXPECT_EQ(service->GetSharedTargetCode(), "BB");
    EXPECT_TRUE(writesReachBb("three"));
    EXPECT_FALSE(aa.Receive(std::chrono::milliseconds(100)));
    ExpectRunningAsStored();
}

// The loop publishes on its own from the moment the service is made; a start that stalls past
// a publish and then reads the file still hands the loop its settings without a race.
TEST_F(PortServiceTest, AStartThatStallsPastAPublishHandsTheLoopItsSettingsWithoutARace)
{
    WriteConfig("[General]\nOnlyOnePort=1\nVPortNo=4\n\n" + Slot(1, 4, "AA"));
    serverPort = FreeLoopbackPort(SOCK_DGRAM);
    const std::string local = "127.0.0.1:" + std::to_string(serverPort);
    service = std::make_unique<PortService>(local.c_str());
    std::this_thread::sleep_for(3 * PortTable::QuietInterval);
    ASSERT_EQ(service->StartNetwork(), PortTable::NetworkResult::Started);
    service->StartPorts();
    ASSERT_EQ(service->Snapshot().size(), 1u);
    EXPECT_EQ(service->Snapshot()[0].Name(), "COM4");
    EXPECT_TRUE(service->Snapshot()[0].served);
}

// With the loop held still (as a debugger holds it), the thread that asks is never held with
// it: questions are answered from what the loop published last, saying how old it is, the
// window's list goes on, and a change fails within its bound with a clear refusal and
// nothing stored. Once the loop goes on, so does everything.
TEST_F(PortServiceTest, AHeldLoopLeavesQuestionsAnsweredAndChangesRefusedInTime)
{
    using namespace std::chrono;
    WriteConfig(Slot(1, 7, "AA"));
    Start();
    const QByteArray stored = ReadConfig();
    {
        ThreadHold hold("mv-pumps");
        ASSERT_TRUE(hold.Held());
        const auto asked = steady_clock::now();
        EXPECT_GT(service->CatchUp(), milliseconds(0));
        EXPECT_EQ(Codes(), std::vector<std::string>{"AA"});
        EXPECT_FALSE(service->LineSettings(0));
        EXPECT_FALSE(service->AnyPortInUse());
        EXPECT_LT(steady_clock::now() - asked, milliseconds(500));
        const auto listed = steady_clock::now() + milliseconds(2 * PortService::WatchIntervalMs);
        while (steady_clock::now() < listed)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        ASSERT_EQ(service->Rows().RowCount(), 1);
        EXPECT_EQ(service->Rows().Cell(0, PortView::ColName), "COM7");

        const auto changed = steady_clock::now();
        ExpectRefusal(service->Add(Fields(8, "BB")), PortError::Kind::NotAnswering,
                      "本程序的数据转发没有响应，这项更改没有保存，也没有生效。请稍后再试。");
        EXPECT_LT(steady_clock::now() - changed, PortTable::CommandBound + seconds(1));
        EXPECT_EQ(ReadConfig(), stored);
    }
    EXPECT_EQ(service->CatchUp(), milliseconds(0));
    EXPECT_FALSE(service->Add(Fields(8, "BB")));
    EXPECT_EQ(Codes(), (std::vector<std::string>{"AA", "BB"}));
    EXPECT_EQ(service->Rows().RowCount(), 2);
}

// A list of 200 ports with their line settings visits the loop once, for its catch-up: the
// statuses and the line settings come from what the loop published, not a question a port.
TEST_F(PortServiceTest, AListOfTwoHundredPortsWakesTheLoopAtMostTwice)
{
    Start();
    for (int i = 0; i < PortTable::MaxPorts; ++i)
        ASSERT_FALSE(service->Add(Fields(1 + i, "C" + std::to_string(i))));
    const uint64_t before = service->DataPathHeartbeat();
    EXPECT_EQ(service->CatchUp(), std::chrono::milliseconds(0));
    const std::vector<PortStatus> ports = service->Snapshot();
    for (const PortStatus& port : ports)
        EXPECT_FALSE(PortService::LineSettings(port));
    // The catch-up, and at most one look of the loop's own at the statuses meanwhile.
    EXPECT_LE(service->DataPathHeartbeat() - before, 2u);
    EXPECT_EQ(ports.size(), size_t(PortTable::MaxPorts));
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
