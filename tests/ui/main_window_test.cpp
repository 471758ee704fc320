// The main window's start-up, close request and table flows, driven as a user drives them:
// dialogs filled in and message boxes answered while they are modal.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QContextMenuEvent>
#include <QDBusConnection>
#include <QDir>
#include <QFile>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <arpa/inet.h>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "link/DtuPacket.h"
#include "link/PortTable.h"
#include "link/TraceRecord.h"
#include "com/BusPortSource.h"
#include "com/ComServer.h"
#include "service/LocalPortSource.h"
#include "service/PortService.h"
#include "support/Loopback.h"
#include "tray/TrayMenu.h"
#include "tray/TrayMessages.h"
#include "ui/PortListView.h"
#include "ui/PortManagerDialog.h"
#include "ui/PortMonitorDialog.h"
#include "vport/VirtualSerialPort.h"

namespace {

// Runs one step for each modal window that is shown, in order: the step gets the window and
// answers it (fills a dialog, presses a button). A dialog run again counts again.
class ModalScript : public QObject {
public:
    using Step = std::function<void(QWidget*)>;

    explicit ModalScript(std::vector<Step> steps) : steps_(std::move(steps)) { qApp->installEventFilter(this); }
    ~ModalScript() override { qApp->removeEventFilter(this); }

    bool Done() const { return next_ == steps_.size(); }

protected:
    bool eventFilter(QObject* object, QEvent* event) override
    {
        auto* widget = qobject_cast<QWidget*>(object);
        if (event->type() == QEvent::Show && widget && widget->isWindow() && widget->isModal() && !Done()) {
            QPointer<QWidget> shown(widget);
            Step step = steps_[next_++];
            // Answer once the modal run has started.
            QTimer::singleShot(0, widget, [shown, step] {
                if (shown)
                    step(shown);
            });
        }
        return false;
    }

private:
    std::vector<Step> steps_;
    size_t next_ = 0;
};

template <class T>
T* Control(QWidget* window, const char* id)
{
    T* widget = window->findChild<T*>(QString::fromLatin1(id));
    EXPECT_NE(widget, nullptr) << id;
    return widget;
}

// A step that checks a message box's text and caption and presses one of its buttons.
ModalScript::Step Answer(const QString& text, const QString& caption, QMessageBox::StandardButton button,
                         std::function<void()> before = {})
{
    return [=](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        ASSERT_NE(box, nullptr) << "expected a message box";
        EXPECT_EQ(box->text(), text);
        EXPECT_EQ(box->windowTitle(), caption);
        if (before)
            before();
        box->button(button)->click();
    };
}

// A step that fills the port edit dialog and presses OK.
ModalScript::Step FillPort(const QString& number, const QString& code)
{
    return [=](QWidget* dialog) {
        if (!number.isEmpty())
            Control<QLineEdit>(dialog, "1008")->setText(number);
        Control<QLineEdit>(dialog, "1011")->setText(code);
        Control<QPushButton>(dialog, "1")->click();
    };
}

ModalScript::Step PressButton(const char* id)
{
    return [=](QWidget* dialog) { Control<QPushButton>(dialog, id)->click(); };
}

void RunUntilDone(const ModalScript& script)
{
    for (int i = 0; i < 1000 && !script.Done(); ++i)
        QApplication::processEvents(QEventLoop::AllEvents, 10);
}

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(configDir.isValid() && runtimeDir.isValid());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, configDir.path());
        setenv("XDG_CONFIG_HOME", configDir.path().toLocal8Bit().constData(), 1);
        setenv("XDG_RUNTIME_DIR", runtimeDir.path().toLocal8Bit().constData(), 1);
    }

    void TearDown() override
    {
        window.reset();
        source.reset();
        server.reset();
        QDBusConnection::disconnectFromBus("service");
        service.reset();
        for (int fd : held)
            close(fd);
    }

    void WriteConfig(const QString& text)
    {
        QDir().mkpath(configDir.path() + "/Torvane");
        QFile file(ConfigPath());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text.toUtf8());
    }

    QString ConfigPath() const { return configDir.path() + "/Torvane/HOLBRN.conf"; }

    QByteArray ConfigText() const
    {
        QFile file(ConfigPath());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    QVariant Stored(const QString& key) const
    {
        QSettings settings(QSettings::NativeFormat, QSettings::UserScope, "Torvane", "HOLBRN");
        return settings.value(key);
    }

    // The window on the ports of this run, or (overBus) as a front end of them on the session
    // bus, as it shows the ports of a service: the service's side on a connection of its own.
    void Start()
    {
        udpPort = FreeLoopbackPort(SOCK_DGRAM);
        service = std::make_unique<PortService>(("127.0.0.1:" + std::to_string(udpPort)).c_str());
        if (overBus) {
            service->StartNetwork();
            service->StartPorts();
            server = std::make_unique<ComServer>(QStringList{"MV5840VSP", "--service"},
                                                 QDBusConnection::connectToBus(QDBusConnection::SessionBus, "service"));
            server->SetPortService(service.get());
            ASSERT_TRUE(server->InitializeServer());
            source = std::make_unique<BusPortSource>(QDBusConnection::sessionBus());
        } else {
            source = std::make_unique<LocalPortSource>(*service);
        }
        window = std::make_unique<PortManagerDialog>(*source);
        window->show();
        ASSERT_TRUE(Eventually([this] { return List()->rowCount() == service->Rows().RowCount(); }));
    }

    // Until the condition holds (at once for the ports of this run; once the bus delivered
    // for a front end), at most 5 s.
    static bool Eventually(const std::function<bool()>& condition) { return QTest::qWaitFor(condition, 5000); }

    PortListView* List() { return window->List(); }

    // The box of what went wrong at start-up, once the window has shown it (null if it does not).
    QMessageBox* StartNotices()
    {
        QMessageBox* box = nullptr;
        for (int i = 0; i < 100 && !box; ++i) {
            QApplication::processEvents(QEventLoop::AllEvents, 10);
            box = window->findChild<QMessageBox*>("startNotices");
        }
        return box;
    }

    QString Cell(int row, int column)
    {
        QApplication::processEvents();  // cell updates are queued
        QTableWidgetItem* item = List()->item(row, column);
        return item ? item->text() : QString();
    }

    std::string Device(const char* name) const { return VirtualSerialPort::PortDirectory() + "/" + name; }

    // Opens a port the way a serial application does; the test closes it at the end.
    int Hold(const char* name)
    {
        int fd = open(Device(name).c_str(), O_RDWR | O_NOCTTY);
        EXPECT_GE(fd, 0) << name;
        held.push_back(fd);
        return fd;
    }

    // A DTU on 127.0.0.1 that logged in to the service with the code and got its reply; the
    // test closes it at the end.
    int LoginDtu(const char* code)
    {
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        held.push_back(fd);
        sockaddr_in server{};
        server.sin_family = AF_INET;
        server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        server.sin_port = htons(udpPort);
        for (int i = 0; i < 500 && !service->UdpPortOpen(); ++i)
            usleep(10000);
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server), 0);
        SendDtu(fd, code, DtuPacketType::Login, "");
        EXPECT_EQ(ReceiveDtu(fd).size(), size_t(DtuPacket::LoginReplySize));
        return fd;
    }

    static void SendDtu(int fd, const char* code, DtuPacketType type, const std::string& payload)
    {
        std::string datagram(DtuPacket::HeaderSize, '\0');
        std::memcpy(datagram.data(), code, std::strlen(code));
        datagram[DtuPacket::TypeOffset] = static_cast<char>(type);
        datagram += payload;
        EXPECT_EQ(send(fd, datagram.data(), datagram.size(), 0), ssize_t(datagram.size()));
    }

    // The next datagram within 5 s, "" when none came.
    static std::string ReceiveDtu(int fd)
    {
        pollfd readable{fd, POLLIN, 0};
        char buffer[2048];
        if (poll(&readable, 1, 5000) != 1)
            return {};
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        return n > 0 ? std::string(buffer, size_t(n)) : std::string();
    }

    // Waits (letting the service look at its ports) until the cell shows the text.
    bool Shows(int row, int column, const QString& text)
    {
        for (int i = 0; i < 500 && Cell(row, column) != text; ++i) {
            usleep(10000);
            QApplication::processEvents(QEventLoop::AllEvents, 10);
        }
        return Cell(row, column) == text;
    }

    void Release(int fd)
    {
        close(fd);
        held.erase(std::remove(held.begin(), held.end(), fd), held.end());
    }

    void Select(int row) { List()->selectRow(row); }

    // The exit question while this test holds the port open: the port and the program named.
    static QString HeldQuestion(const char* port)
    {
        return QStringLiteral("请确认先关闭正在使用虚拟串口的程序。\n\n仍被打开的虚拟串口：\n%1：%2（进程 %3）")
            .arg(QLatin1String(port), QString::fromLocal8Bit(program_invocation_short_name).left(15))
            .arg(getpid());
    }

    static QString PortGroup(int slot, int number, const char* code)
    {
        return QStringLiteral("[%1]\nPortNumber=%2\nCode=%3\n\n").arg(slot).arg(number).arg(code);
    }

    QTemporaryDir configDir;
    QTemporaryDir runtimeDir;
    uint16_t udpPort = 0;
    bool overBus = false;
    std::unique_ptr<PortService> service;
    std::unique_ptr<ComServer> server;
    std::unique_ptr<PortSource> source;
    std::unique_ptr<PortManagerDialog> window;
    std::vector<int> held;
};

// The flows the window's two sources of ports must pass alike.
class FlowTest : public MainWindowTest, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override
    {
        MainWindowTest::SetUp();
        overBus = GetParam();
    }
};

INSTANTIATE_TEST_SUITE_P(BothSources, FlowTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "OverTheBus" : "InProcess");
                         });

TEST_F(MainWindowTest, WithoutConfigurationStartsEmptyWithDefaults)
{
    Start();
    EXPECT_EQ(List()->rowCount(), 0);
    EXPECT_EQ(List()->columnCount(), 6);
    const QStringList titles = {"名称", "编码", "IP地址", "连接", "接收字节计数", "发送字节计数"};
    const int widths[] = {60, 100, 140, 60, 110, 110};
    for (int c = 0; c < 6; ++c) {
        EXPECT_EQ(List()->horizontalHeaderItem(c)->text(), titles[c]);
        EXPECT_EQ(List()->columnWidth(c), widths[c]);
    }
    EXPECT_EQ(window->Settings().SocketPort, 3700);
    EXPECT_EQ(window->Settings().OnlyOnePort, 0);
    EXPECT_EQ(window->Settings().VPortNo, 5);
    EXPECT_EQ(window->windowTitle(), "MV5840 虚拟串口管理");
    EXPECT_FALSE(window->windowFlags() & Qt::WindowMaximizeButtonHint);
}

TEST_F(MainWindowTest, LoadsSlotsInOrderAndServesTheirDevices)
{
    WriteConfig(PortGroup(3, 9, "B2") + PortGroup(1, 7, "A1"));
    Start();
    ASSERT_EQ(List()->rowCount(), 2);
    EXPECT_EQ(Cell(0, 0), "COM7");
    EXPECT_EQ(Cell(0, 1), "A1");
    EXPECT_EQ(List()->RecordAtRow(0), 0);
    EXPECT_EQ(Cell(1, 0), "COM9");
    EXPECT_EQ(List()->RecordAtRow(1), 2);
    EXPECT_FALSE(service->StatusOf(1));  // the free slot between them
    EXPECT_EQ(List()->item(0, 0)->toolTip().toStdString(), Device("COM7"));

    // An application reaches each port by its path, and bytes pass raw.
    int fd = Hold("COM9");
    const uint8_t bytes[] = {0x00, 0x0d, 0x0a, 0xff};
    ASSERT_EQ(write(fd, bytes, sizeof bytes), 4);
    Hold("COM7");
}

// The statistics of a UDP port that has carried nothing, as the name cell's tooltip ends.
const std::string NoTraffic = "收到：0字节，0个数据包\n发送：0字节，0个数据块\n登录：0次，地址变更0次";

TEST_F(MainWindowTest, ANameToolTipShowsThePortsStatisticsAndItsLatestError)
{
    WriteConfig(PortGroup(1, 7, "A1"));
    Start();
    const int fd = Hold("COM7");
    const int dtu = LoginDtu("A1");
    SendDtu(dtu, "A1", DtuPacketType::Data, "hello");
    pollfd readable{fd, POLLIN, 0};
    ASSERT_EQ(poll(&readable, 1, 5000), 1);
    char got[5];
    EXPECT_EQ(read(fd, got, sizeof got), 5);
    // A datagram longer than any DTU sends, with the port's code.
    SendDtu(dtu, "A1", DtuPacketType::Data, std::string(3000, 'x'));
    for (int i = 0; i < 400 && service->StatusOf(0)->statistics.oversizedDatagrams == 0; ++i)
        usleep(5000);
    const std::string tip = List()->NameToolTip(0).toStdString();
    EXPECT_NE(
        tip.find(
            "收到：5字节，1个数据包\n发送：0字节，0个数据块\n登录：1次，地址变更0次\n过长的数据包：1个\n最近错误："),
        std::string::npos)
        << tip;
    EXPECT_NE(tip.find("数据包长3013字节，过长，未接收。"), std::string::npos) << tip;
    Release(fd);
}

TEST_F(MainWindowTest, NameToolTipShowsTheLineSettingsAnApplicationReportsWhileItHoldsThePort)
{
    WriteConfig(PortGroup(1, 7, "A1"));
    Start();
    ASSERT_EQ(List()->rowCount(), 1);
    // What the serial compatibility library reports for an application at 9600 8E1.
    QFile report(QString::fromStdString(LineState::FileFor(Device("COM7"))));
    ASSERT_TRUE(report.open(QIODevice::WriteOnly));
    report.write("baud=9600 data=8 parity=E stop=1 flow=none dtr=1 rts=0\n");
    report.close();
    EXPECT_EQ(List()->NameToolTip(0).toStdString(),
              Device("COM7") + "\n" + NoTraffic);  // nobody holds it: an old report

    const int fd = Hold("COM7");
    for (int i = 0; i < 400 && !service->AnyPortInUse(); ++i)
        usleep(5000);
    EXPECT_EQ(List()->NameToolTip(0).toStdString(),
              Device("COM7") + "\n串口设置：9600 8E1，DTR开，RTS关\n" + NoTraffic);
    Release(fd);
}

// What went wrong at start-up is shown once the window is up, without holding the ports.
TEST_F(MainWindowTest, AnUnreadableConfigurationIsShownInTheWindow)
{
    WriteConfig("\"junk\n" + PortGroup(1, 7, "A1"));
    Start();
    QMessageBox* box = StartNotices();
    ASSERT_NE(box, nullptr);
    EXPECT_TRUE(box->isVisible());
    EXPECT_EQ(box->text(), "配置文件 " + ConfigPath() + " 第1行不是有效的设置，已跳过；修正之前不会写入该文件。");
    // The valid section still serves its port.
    ASSERT_EQ(List()->rowCount(), 1);
    EXPECT_EQ(Cell(0, 0), "COM7");
    EXPECT_EQ(Cell(0, 1), "A1");
    Hold("COM7");
    box->close();
}

TEST_F(MainWindowTest, ARowWhosePortIsNotServedSaysWhy)
{
    WriteConfig(PortGroup(1, 7, "A1") + PortGroup(2, 7, "B2"));
    Start();
    ASSERT_EQ(List()->rowCount(), 2);
    EXPECT_EQ(Cell(0, 3), "");
    EXPECT_EQ(Cell(1, 3), "未服务");
    EXPECT_EQ(List()->item(1, 3)->toolTip(), "COM7已由槽位1的端口提供，本端口未启用。");
    EXPECT_EQ(List()->item(1, 0)->toolTip(), "COM7已由槽位1的端口提供，本端口未启用。");
    EXPECT_EQ(List()->item(0, 0)->toolTip().toStdString(), Device("COM7"));
    EXPECT_EQ(window->findChild<QMessageBox*>("startNotices"), nullptr);
}

// A served port that never hears its DTU: the row is an ordinary row, its tooltips say why
// (the name's after the device to open).
TEST_F(MainWindowTest, ARowWhoseDtuAnotherPortTakesSaysWhich)
{
    WriteConfig(PortGroup(1, 7, "A1") + PortGroup(2, 8, "A1"));
    Start();
    ASSERT_EQ(List()->rowCount(), 2);
    EXPECT_EQ(Cell(1, 3), "");
    const QString why = "COM7（槽位1）排在前面且编码相同，DTU的数据包都由它接收，本端口收不到。";
    EXPECT_EQ(List()->item(1, 3)->toolTip(), why);
    EXPECT_EQ(List()->item(1, 0)->toolTip(), QString::fromStdString(Device("COM8")) + "\n" + why);
    EXPECT_EQ(List()->item(0, 0)->toolTip().toStdString(), Device("COM7"));
}

// The window speaks Chinese also where the system gives the reason: the reason is appended.
// A change the file refuses is not made, and the dialog does not come back for other values.
TEST_F(MainWindowTest, AFileThatCannotBeReadOrWrittenIsSaidInChineseWithTheSystemsReason)
{
    QFile blocker(configDir.path() + "/Torvane");  // a plain file where its folder should be
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    Start();
    QMessageBox* box = StartNotices();
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->text(),
              "无法读取配置文件 " + ConfigPath() + "：Not a directory\n\n本程序以默认设置运行，没有端口。");
    box->close();

    {
        bool reopened = false;
        bool returned = false;
        ModalScript script(
            {FillPort("7", "A1"),
             Answer("无法读取配置文件 " + ConfigPath() + "：Not a directory\n这项更改没有保存，也没有生效。",
                    "MV5840VSP", QMessageBox::Ok),
             [&](QWidget* again) {
                 reopened = true;
                 qobject_cast<QDialog*>(again)->reject();
             }});
        QTimer::singleShot(0, window.get(), [&] {
            window->AddPort();
            returned = true;
        });
        for (int i = 0; i < 1000 && !returned; ++i)
            QApplication::processEvents(QEventLoop::AllEvents, 10);
        EXPECT_TRUE(returned);
        EXPECT_FALSE(reopened);
    }
    EXPECT_EQ(List()->rowCount(), 0);

    // A folder in the file's place: no system reason, the same end.
    QFile::remove(configDir.path() + "/Torvane");
    ASSERT_TRUE(QDir().mkpath(ConfigPath()));
    ModalScript folder(
        {FillPort("7", "A1"), Answer("配置文件 " + ConfigPath()
                                         + " 不是普通文件（可能是文件夹、管道或设备），本程序不读取也不写入它。\n"
                                           "这项更改没有保存，也没有生效。",
                                     "MV5840VSP", QMessageBox::Ok)});
    QTimer::singleShot(0, window.get(), [this] { window->AddPort(); });
    RunUntilDone(folder);
    EXPECT_TRUE(folder.Done());
    EXPECT_EQ(List()->rowCount(), 0);
}

TEST_F(MainWindowTest, APortWhoseLinkIsTakenSaysSoInChinese)
{
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(VirtualSerialPort::PortDirectory())));
    chmod(VirtualSerialPort::PortDirectory().c_str(), 0700);
    QFile squatter(QString::fromStdString(Device("COM7")));
    ASSERT_TRUE(squatter.open(QIODevice::WriteOnly));
    squatter.close();
    WriteConfig(PortGroup(1, 7, "A1"));
    Start();
    ASSERT_EQ(List()->rowCount(), 1);
    const QString why = QString::fromStdString(Device("COM7"))
                        + " 已被其他程序占用（不是本程序创建的），本程序不会改动它。";
    EXPECT_EQ(List()->item(0, 0)->toolTip(), why);
    EXPECT_EQ(List()->item(0, 3)->toolTip(), why);
}

TEST_P(FlowTest, TheLiveCellsFollowThePortsCountsAndStates)
{
    const int tcpPort = FreeLoopbackPort(SOCK_STREAM);
    WriteConfig(QStringLiteral("SocketPort=%1\n").arg(tcpPort) + PortGroup(1, 7, "A1")
                + "[2]\nPortNumber=8\nCode=T1\nUseTcp=1\nUseFixedIP=1\nPeerIP=127.0.0.1\n");
    Start();
    ASSERT_EQ(List()->rowCount(), 2);
    EXPECT_EQ(Cell(0, 3), "");
    EXPECT_EQ(Cell(0, 4), "");
    EXPECT_EQ(Cell(0, 5), "");

    const int app = Hold("COM7");
    const int dtu = LoginDtu("A1");
    SendDtu(dtu, "A1", DtuPacketType::Data, std::string(16, 'r'));
    const std::string written(2510, 'w');
    ASSERT_EQ(write(app, written.data(), written.size()), ssize_t(written.size()));
    EXPECT_TRUE(Shows(0, 3, "√"));
    EXPECT_TRUE(Shows(0, 4, "16"));
    EXPECT_TRUE(Shows(0, 5, "2510"));
    EXPECT_EQ(Cell(0, 2), "127.0.0.1");  // where the DTU logged in from

    // A TCP port's mark follows its connection.
    EXPECT_EQ(Cell(1, 3), "");
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    held.push_back(listener);
    const SocketAddress local = Loopback(uint16_t(tcpPort));
    ASSERT_EQ(bind(listener, local.Raw(), SocketAddress::Length), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    EXPECT_TRUE(Shows(1, 3, "√"));
}

TEST_F(MainWindowTest, ANameToolTipShowsAFrameGapOtherThanTheDefault)
{
    WriteConfig(PortGroup(1, 7, "A1") + "[2]\nPortNumber=8\nCode=B2\nFrameGap=0\n");
    Start();
    ASSERT_EQ(List()->rowCount(), 2);
    EXPECT_EQ(List()->NameToolTip(0).toStdString(), Device("COM7") + "\n" + NoTraffic);
    EXPECT_EQ(List()->NameToolTip(1).toStdString(), Device("COM8") + "\n帧间隔：0毫秒\n" + NoTraffic);
    EXPECT_EQ(service->StatusOf(1)->config.FrameGap, 0);
}

TEST_F(MainWindowTest, CloseRequestAsksAgainWhilePortIsHeldAndCancelKeepsRunning)
{
    WriteConfig(PortGroup(1, 7, "A1"));
    Start();
    int fd = Hold("COM7");
    const QString question = HeldQuestion("COM7");

    ModalScript cancel({Answer(question, "MV5840VSP", QMessageBox::Cancel)});
    QTimer::singleShot(0, window.get(), [this] { window->RequestClose(); });
    RunUntilDone(cancel);
    QApplication::processEvents();
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->result(), QDialog::Rejected);

    ModalScript retry(
        {Answer(question, "MV5840VSP", QMessageBox::Ok), Answer(question, "MV5840VSP", QMessageBox::Ok, [&] {
             // The user closes the application before answering.
             Release(fd);
             for (int i = 0; i < 400 && service->AnyPortInUse(); ++i)
                 usleep(5000);
         })});
    QTimer::singleShot(0, window.get(), [this] { window->RequestClose(); });
    RunUntilDone(retry);
    for (int i = 0; i < 100 && window->isVisible(); ++i)
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(window->result(), QDialog::Accepted);

    window.reset();
    service.reset();  // the teardown removes the device
    EXPECT_NE(access(Device("COM7").c_str(), F_OK), 0);
}

TEST_P(FlowTest, TrayExitCommandAsksTheSameQuestion)
{
    WriteConfig(PortGroup(1, 7, "A1"));
    Start();
    Hold("COM7");
    if (overBus) {
        // A front end holds no port: it ends without a question, and the port stays.
        QApplication::postEvent(window.get(), new TrayMessageEvent(CSystemTray::commandMessage, TrayCommandExit, 0));
        EXPECT_TRUE(Eventually([this] { return !window->isVisible(); }));
        EXPECT_EQ(window->result(), QDialog::Accepted);
        EXPECT_EQ(access(Device("COM7").c_str(), F_OK), 0);
        return;
    }
    ModalScript script({Answer(HeldQuestion("COM7"), "MV5840VSP", QMessageBox::Cancel)});
    QApplication::postEvent(window.get(), new TrayMessageEvent(CSystemTray::commandMessage, TrayCommandExit, 0));
    RunUntilDone(script);
    EXPECT_TRUE(script.Done());
    EXPECT_TRUE(window->isVisible());
}

TEST_F(MainWindowTest, EscapeAndEnterDoNotCloseTheWindow)
{
    Start();
    for (int key : {Qt::Key_Escape, Qt::Key_Return, Qt::Key_Enter}) {
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
        QApplication::sendEvent(List(), &press);
    }
    QApplication::processEvents();
    EXPECT_TRUE(window->isVisible());
}

TEST_P(FlowTest, AddWithNumberInUseBringsTheDialogBackWithTheUsersValues)
{
    WriteConfig(PortGroup(1, 7, "A1"));
    Start();
    ModalScript script(
        {FillPort("7", "X1"), Answer("该端口号已被使用", "MV5840VSP", QMessageBox::Ok), [](QWidget* dialog) {
             EXPECT_EQ(Control<QLineEdit>(dialog, "1008")->text(), "7");
             EXPECT_EQ(Control<QLineEdit>(dialog, "1011")->text(), "X1");
             FillPort("8", "X1")(dialog);
         }});
    QTimer::singleShot(0, window.get(), [this] { window->AddPort(); });
    RunUntilDone(script);
    ASSERT_EQ(List()->rowCount(), 2);
    EXPECT_EQ(Cell(1, 0), "COM8");
    EXPECT_EQ(Cell(1, 1), "X1");
    EXPECT_EQ(Stored("2/PortNumber").toInt(), 8);
    EXPECT_EQ(Stored("2/Code").toString(), "X1");
    EXPECT_EQ(access(Device("COM8").c_str(), F_OK), 0);
}

TEST_P(FlowTest, FullTableRefusesAnotherPortAndCancelEndsTheFlow)
{
    QString config;
    for (int slot = 1; slot <= 200; ++slot)
        config += PortGroup(slot, slot, "C");
    WriteConfig(config);
    Start();
    ASSERT_EQ(List()->rowCount(), 200);
    ModalScript script({FillPort("250", "NEW"), Answer("端口数量太多，无法创建新的端口", "MV5840VSP", QMessageBox::Ok),
                        PressButton("2")});
    QTimer::singleShot(0, window.get(), [this] { window->AddPort(); });
    RunUntilDone(script);
    EXPECT_EQ(List()->rowCount(), 200);
    EXPECT_FALSE(Stored("201/PortNumber").isValid());
}

TEST_P(FlowTest, DeleteThenAddReusesTheFreedSlotAndAppendsTheRow)
{
    QString config;
    for (int slot = 1; slot <= 10; ++slot)
        config += PortGroup(slot, 20 + slot, "D");
    WriteConfig(config);
    Start();
    Select(3);
    window->DeletePort();
    ASSERT_EQ(List()->rowCount(), 9);
    EXPECT_FALSE(Stored("4/PortNumber").isValid());
    EXPECT_NE(access(Device("COM24").c_str(), F_OK), 0);
    for (int row = 0; row < 9; ++row)
        EXPECT_EQ(List()->RecordAtRow(row), service->Rows().RecordAtRow(row));

    ModalScript script({FillPort("99", "NEW")});
    QTimer::singleShot(0, window.get(), [this] { window->AddPort(); });
    RunUntilDone(script);
    ASSERT_EQ(List()->rowCount(), 10);
    EXPECT_EQ(List()->RecordAtRow(9), 3);
    EXPECT_EQ(Cell(9, 0), "COM99");
    EXPECT_EQ(Stored("4/PortNumber").toInt(), 99);
}

TEST_F(MainWindowTest, DeleteWithNothingSelectedDoesNothing)
{
    WriteConfig(PortGroup(1, 7, "A1"));
    Start();
    List()->clearSelection();
    window->DeletePort();
    EXPECT_EQ(List()->rowCount(), 1);
}

TEST_P(FlowTest, EditWithNothingSelectedSaysSo)
{
    WriteConfig(PortGroup(1, 7, "A1"));
    Start();
    List()->clearSelection();
    ModalScript script({Answer("请先选择要编辑的端口！", "HOLBRN", QMessageBox::Ok)});
    QTimer::singleShot(0, window.get(), [this] { window->EditPort(); });
    RunUntilDone(script);
    EXPECT_TRUE(script.Done());
}

TEST_P(FlowTest, EditOfTheCodeLeavesTheHeldDeviceUndisturbed)
{
    WriteConfig(PortGroup(1, 7, "A1"));
    Start();
    int fd = Hold("COM7");
    Select(0);
    ModalScript script({[](QWidget* dialog) {
        EXPECT_EQ(Control<QLineEdit>(dialog, "1008")->text(), "7");
        FillPort("", "Z9")(dialog);
    }});
    QTimer::singleShot(0, window.get(), [this] { window->EditPort(); });
    RunUntilDone(script);
    EXPECT_EQ(Cell(0, 1), "Z9");
    EXPECT_EQ(Stored("1/Code").toString(), "Z9");

    // The application's descriptor still reaches the same port, and through it the DTU.
    EXPECT_TRUE(service->StatusOf(0)->inUse);
    const int dtu = LoginDtu("Z9");
    ASSERT_EQ(write(fd, "ok", 2), 2);
    std::string expected(DtuPacket::HeaderSize, '\0');
    expected.replace(0, 2, "Z9");
    expected[DtuPacket::TypeOffset] = static_cast<char>(DtuPacketType::Data);
    EXPECT_EQ(ReceiveDtu(dtu), expected + "ok");
}

TEST_P(FlowTest, AnEditInTheDialogKeepsThePortsFrameGap)
{
    WriteConfig("[1]\nPortNumber=7\nCode=A1\nFrameGap=2\n");
    Start();
    Select(0);
    ModalScript script({FillPort("", "Z9")});
    QTimer::singleShot(0, window.get(), [this] { window->EditPort(); });
    RunUntilDone(script);
    EXPECT_EQ(Stored("1/Code").toString(), "Z9");
    EXPECT_EQ(Stored("1/FrameGap").toInt(), 2);
    EXPECT_EQ(service->StatusOf(0)->config.FrameGap, 2);
}

TEST_P(FlowTest, EditOfTheNumberMovesTheDevice)
{
    WriteConfig(PortGroup(1, 7, "A1"));
    Start();
    Select(0);
    ModalScript script({FillPort("17", "A1")});
    QTimer::singleShot(0, window.get(), [this] { window->EditPort(); });
    RunUntilDone(script);
    EXPECT_EQ(Cell(0, 0), "COM17");
    EXPECT_NE(access(Device("COM7").c_str(), F_OK), 0);
    EXPECT_EQ(access(Device("COM17").c_str(), F_OK), 0);
    EXPECT_EQ(Stored("1/PortNumber").toInt(), 17);
}

TEST_P(FlowTest, ConfigurationWithoutChangeKeepsRunning)
{
    Start();
    ModalScript script({PressButton("1")});
    QTimer::singleShot(0, window.get(), [this] { window->Configure(); });
    RunUntilDone(script);
    QApplication::processEvents();
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(Stored("SocketPort").toInt(), 3700);
    EXPECT_EQ(Stored("VPortNo").toInt(), 5);
}

TEST_F(MainWindowTest, ConfigurationChangeIsStoredAndEndsTheProgram)
{
    Start();  // the ports of this run: they end with it
    ModalScript script({[](QWidget* dialog) {
                            Control<QLineEdit>(dialog, "1008")->setText("secret");
                            Control<QPushButton>(dialog, "1")->click();
                        },
                        Answer(QStringLiteral("系统配置已被改变，必须退出本程序重新运行。\r\n"
                                              "请确认先关闭正在使用虚拟串口的程序。"),
                               "MV5840VSP", QMessageBox::Ok)});
    QTimer::singleShot(0, window.get(), [this] { window->Configure(); });
    RunUntilDone(script);
    QApplication::processEvents();
    EXPECT_EQ(window->result(), QDialog::Accepted);
    EXPECT_EQ(Stored("Password").toString(), "secret");
}

TEST_F(MainWindowTest, AFrontEndsConfigurationChangeIsStoredByTheServiceWhichKeepsServing)
{
    overBus = true;
    WriteConfig(PortGroup(1, 7, "A1"));
    Start();
    ModalScript script({[](QWidget* dialog) {
                            EXPECT_EQ(Control<QLineEdit>(dialog, "1008")->text(), "");
                            Control<QLineEdit>(dialog, "1008")->setText("secret");
                            Control<QPushButton>(dialog, "1")->click();
                        },
                        Answer(QStringLiteral("系统配置已保存，在提供虚拟串口的 MV5840VSP 服务重新启动后生效（例如 "
                                              "systemctl --user restart mv5840vsp）。\r\n"
                                              "重新启动之前，请确认先关闭正在使用虚拟串口的程序。"),
                               "MV5840VSP", QMessageBox::Ok)});
    QTimer::singleShot(0, window.get(), [this] { window->Configure(); });
    RunUntilDone(script);
    QApplication::processEvents();
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(Stored("Password").toString(), "secret");
    EXPECT_EQ(Stored("1/Code").toString(), "A1");
    EXPECT_EQ(access(Device("COM7").c_str(), F_OK), 0);
}

// The service that serves the ports ends and comes back: the window says so in itself, keeps
// the list as it was (not current), and follows the new instance by itself.
TEST_F(MainWindowTest, AFrontEndSaysWhenItsServiceIsGoneAndAttachesAgain)
{
    overBus = true;
    WriteConfig(PortGroup(1, 7, "A1"));
    Start();
    QLabel* absence = window->findChild<QLabel*>("absence");
    ASSERT_NE(absence, nullptr);
    EXPECT_FALSE(absence->isVisible());
    EXPECT_TRUE(List()->isEnabled());

    server->TerminateServer();
    ASSERT_TRUE(Eventually([&] { return absence->isVisible(); }));
    EXPECT_TRUE(absence->text().startsWith("提供虚拟串口的 MV5840VSP 服务")) << absence->text().toStdString();
    EXPECT_TRUE(absence->text().contains("不是最新的")) << absence->text().toStdString();
    EXPECT_FALSE(List()->isEnabled());
    EXPECT_EQ(List()->rowCount(), 1);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    // A change meanwhile is refused in Chinese, and the user's values come back.
    ModalScript refused(
        {FillPort("8", "B2"),
         Answer("提供虚拟串口的 MV5840VSP 服务没有运行，这项更改没有生效。", "MV5840VSP", QMessageBox::Ok),
         PressButton("2")});
    QTimer::singleShot(0, window.get(), [this] { window->AddPort(); });
    RunUntilDone(refused);
    EXPECT_TRUE(refused.Done());

    PortConfig fields;
    fields.PortNumber = 9;
    fields.Code = "B2";
    ASSERT_FALSE(service->Add(fields));
    ASSERT_TRUE(server->InitializeServer());
    ASSERT_TRUE(Eventually([&] { return !absence->isVisible() && List()->rowCount() == 2; }));
    EXPECT_TRUE(List()->isEnabled());
    EXPECT_EQ(Cell(1, 0), "COM9");
}

TEST_P(FlowTest, ConfigurationCancelWritesNothing)
{
    WriteConfig(PortGroup(1, 7, "A1"));
    Start();
    const QByteArray before = ConfigText();
    ModalScript script({[](QWidget* dialog) {
        Control<QLineEdit>(dialog, "1008")->setText("other");
        Control<QPushButton>(dialog, "2")->click();
    }});
    QTimer::singleShot(0, window.get(), [this] { window->Configure(); });
    RunUntilDone(script);
    EXPECT_EQ(ConfigText(), before);
    EXPECT_TRUE(window->isVisible());
}

TEST_F(MainWindowTest, SharedModeAddsEveryPortWithTheSharedNumber)
{
    WriteConfig("[General]\nOnlyOnePort=1\nVPortNo=12\n\n");
    Start();
    EXPECT_EQ(access(Device("COM12").c_str(), F_OK), 0);
    ModalScript script({[](QWidget* dialog) {
        auto* number = Control<QLineEdit>(dialog, "1008");
        EXPECT_FALSE(number->isEnabled());
        EXPECT_EQ(number->text(), "12");
        FillPort("", "S1")(dialog);
    }});
    QTimer::singleShot(0, window.get(), [this] { window->AddPort(); });
    RunUntilDone(script);
    ASSERT_EQ(List()->rowCount(), 1);
    EXPECT_EQ(Cell(0, 0), "COM12");
    EXPECT_EQ(window->GetSharedTargetCode(), "S1");
    EXPECT_EQ(Stored("1/PortNumber").toInt(), 12);
}

TEST_P(FlowTest, ListFollowsChangesMadeThroughTheServiceElsewhere)
{
    // What the bus manager or a reload does while the window is open.
    WriteConfig(PortGroup(1, 7, "A1"));
    Start();
    PortConfig fields;
    fields.PortNumber = 9;
    fields.Code = "B2";
    int slot = -1;
    ASSERT_FALSE(service->Add(fields, &slot));
    ASSERT_TRUE(Eventually([this] { return List()->rowCount() == 2; }));
    EXPECT_EQ(Cell(1, 0), "COM9");
    EXPECT_EQ(Cell(1, 1), "B2");
    EXPECT_TRUE(Eventually([this] { return List()->item(1, 0)->toolTip().toStdString() == Device("COM9"); }));

    fields.PortNumber = 10;
    ASSERT_FALSE(service->Edit(slot, fields));
    EXPECT_TRUE(Eventually([this] { return Cell(1, 0) == "COM10"; }));
    EXPECT_TRUE(Eventually([this] { return List()->item(1, 0)->toolTip().toStdString() == Device("COM10"); }));

    ASSERT_FALSE(service->Remove(0, false));
    ASSERT_TRUE(Eventually([this] { return List()->rowCount() == 1; }));
    EXPECT_EQ(Cell(0, 0), "COM10");
    EXPECT_EQ(List()->RecordAtRow(0), slot);
}

// A right click where the user makes it: on a row, or below the rows. Returns the row's
// menu, or null when none opened.
QMenu* RightClick(PortListView* list, const QPoint& at)
{
    QContextMenuEvent event(QContextMenuEvent::Mouse, at, list->viewport()->mapToGlobal(at));
    QApplication::sendEvent(list->viewport(), &event);
    return list->findChild<QMenu*>("rowMenu");
}

QPoint RowPoint(PortListView* list, int row)
{
    return list->visualRect(list->model()->index(row, PortView::ColCode)).center();
}

// Clicks the menu's entry as a user does; the menu closes and goes.
void Choose(QMenu* menu, const QString& text)
{
    for (QAction* action : menu->actions()) {
        if (action->text() == text) {
            QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(action).center());
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            return;
        }
    }
    ADD_FAILURE() << "no entry " << text.toStdString();
}

TEST_F(MainWindowTest, ARowsMenuOpensALiveViewOfThatRowsPort)
{
    WriteConfig(PortGroup(1, 7, "A1") + PortGroup(3, 9, "B2"));
    Start();
    ASSERT_EQ(List()->rowCount(), 2);
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    const int program = pair[1];
    std::vector<int> asked;
    window->SetTraceSource([&](int slot) {
        asked.push_back(slot);
        return pair[0];
    });

    QMenu* menu = RightClick(List(), RowPoint(List(), 1));
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(List()->SelectedRow(), 1);
    QStringList entries;
    for (const QAction* action : menu->actions())
        entries << (action->isSeparator() ? "-" : action->text());
    EXPECT_EQ(entries, (QStringList{"监视…", "-", "关于 MV5840VSP(&A)..."}));
    Choose(menu, "监视…");
    EXPECT_EQ(List()->findChild<QMenu*>("rowMenu"), nullptr);
    EXPECT_EQ(asked, std::vector<int>{2});  // the second row's port is in slot 3
    QPointer<PortMonitorDialog> monitor = window->findChild<PortMonitorDialog*>();
    ASSERT_NE(monitor, nullptr);
    EXPECT_EQ(monitor->windowTitle(), "监视 COM9");
    EXPECT_TRUE(monitor->isVisible());
    EXPECT_FALSE(monitor->isModal());

    // What the program writes shows there.
    TraceEvent online;
    online.kind = TraceKind::Online;
    online.slot = 3;
    online.number = 9;
    std::vector<uint8_t> record;
    AppendTraceRecord(online, record);
    ASSERT_EQ(send(program, record.data(), record.size(), MSG_NOSIGNAL), static_cast<ssize_t>(record.size()));
    for (int i = 0; i < 200 && monitor->Received() == 0; ++i)
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    EXPECT_EQ(monitor->findChild<QPlainTextEdit*>("trace")->toPlainText(), "1970-01-01 08:00:00.000000 COM9 上线");

    // Again: the open view comes forward; no second trace.
    Choose(RightClick(List(), RowPoint(List(), 1)), "监视…");
    EXPECT_EQ(asked.size(), 1u);
    EXPECT_EQ(window->findChildren<PortMonitorDialog*>().size(), 1);

    // Closing the view lets go of the trace.
    monitor->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(monitor.isNull());
    EXPECT_EQ(send(program, record.data(), record.size(), MSG_NOSIGNAL), -1);
    EXPECT_EQ(errno, EPIPE);
    close(program);
}

TEST_P(FlowTest, ARowsMonitorShowsTheTraceOfItsPortFromTheService)
{
    WriteConfig(PortGroup(1, 7, "A1"));
    Start();
    Choose(RightClick(List(), RowPoint(List(), 0)), "监视…");
    QPointer<PortMonitorDialog> monitor = window->findChild<PortMonitorDialog*>();
    ASSERT_NE(monitor, nullptr);
    EXPECT_TRUE(monitor->Reading());
    LoginDtu("A1");
    // The view shows what came in at its next refresh, not as each record arrives.
    const QPlainTextEdit* trace = monitor->findChild<QPlainTextEdit*>("trace");
    static_cast<void>(QTest::qWaitFor([&] { return trace->toPlainText().contains("COM7 上线"); }, 5000));
    const QString text = trace->toPlainText();
    EXPECT_TRUE(text.contains("COM7 登录 127.0.0.1:")) << text.toStdString();
    EXPECT_TRUE(text.contains("COM7 上线")) << text.toStdString();
    monitor->close();
}

TEST_F(MainWindowTest, ALiveViewFollowsItsPortsNumberAndEndsWhenThePortGoes)
{
    WriteConfig(PortGroup(1, 7, "A1"));
    Start();
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    window->SetTraceSource([&](int) { return pair[0]; });
    Choose(RightClick(List(), RowPoint(List(), 0)), "监视…");
    QPointer<PortMonitorDialog> monitor = window->findChild<PortMonitorDialog*>();
    ASSERT_NE(monitor, nullptr);
    EXPECT_EQ(monitor->windowTitle(), "监视 COM7");

    PortConfig config;
    config.PortNumber = 10;
    config.Code = "A1";
    ASSERT_FALSE(service->Edit(0, config));
    EXPECT_EQ(monitor->windowTitle(), "监视 COM10");
    EXPECT_TRUE(monitor->Reading());

    ASSERT_FALSE(service->Remove(0, false));
    ASSERT_FALSE(monitor.isNull());
    EXPECT_FALSE(monitor->Reading());
    EXPECT_EQ(monitor->findChild<QPlainTextEdit*>("trace")->toPlainText(), "该端口已删除，监视已结束。");
    const uint8_t more[] = {'T'};
    EXPECT_EQ(send(pair[1], more, 1, MSG_NOSIGNAL), -1);
    EXPECT_EQ(errno, EPIPE);
    close(pair[1]);
}

TEST_F(MainWindowTest, TheMenuKeyOpensTheSelectedRowsMenu)
{
    WriteConfig(PortGroup(1, 7, "A1") + PortGroup(2, 8, "B2"));
    Start();
    std::vector<int> asked;
    window->SetTraceSource([&](int slot) {
        asked.push_back(slot);
        return -1;
    });
    Select(1);
    QContextMenuEvent key(QContextMenuEvent::Keyboard, QPoint(0, 0), List()->mapToGlobal(QPoint(0, 0)));
    QApplication::sendEvent(List(), &key);
    QMenu* menu = List()->findChild<QMenu*>("rowMenu");
    ASSERT_NE(menu, nullptr);
    ModalScript script({Answer("该端口的监视暂不可用。", "MV5840VSP", QMessageBox::Ok)});
    QTimer::singleShot(0, window.get(), [menu] { Choose(menu, "监视…"); });
    RunUntilDone(script);
    EXPECT_EQ(asked, std::vector<int>{1});
}

TEST_F(MainWindowTest, AMonitorWithoutATraceSaysSo)
{
    WriteConfig(PortGroup(1, 7, "A1"));
    Start();
    window->SetTraceSource([](int) { return -1; });
    ModalScript script({Answer("该端口的监视暂不可用。", "MV5840VSP", QMessageBox::Ok)});
    QTimer::singleShot(0, window.get(), [this] { Choose(RightClick(List(), RowPoint(List(), 0)), "监视…"); });
    RunUntilDone(script);
    EXPECT_TRUE(script.Done());
    EXPECT_EQ(window->findChild<PortMonitorDialog*>(), nullptr);
}

TEST_F(MainWindowTest, BelowTheRowsTheWindowsOwnMenuOpens)
{
    WriteConfig(PortGroup(1, 7, "A1"));
    Start();
    QStringList entries;
    QTimer::singleShot(0, window.get(), [&] {
        if (QWidget* popup = QApplication::activePopupWidget()) {
            for (QAction* action : popup->actions())
                entries << action->text();
            popup->close();
        }
    });
    const QPoint below(10, List()->viewport()->height() - 5);
    ASSERT_FALSE(List()->indexAt(below).isValid());
    EXPECT_EQ(RightClick(List(), below), nullptr);
    EXPECT_EQ(entries, QStringList{"关于 MV5840VSP(&A)..."});
}

}  // namespace

int main(int argc, char** argv)
{
    // The monitor view's times are local: the test's are China's.
    setenv("TZ", "Asia/Shanghai", 1);
    tzset();
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
