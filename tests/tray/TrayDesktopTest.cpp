// The tray icon on a real X server and session bus, with a StatusNotifierWatcher of the test's
// own as the tray host: registration, the host's restart, hiding to the tray and coming back.
// Run as: xvfb-run -a dbus-run-session -- tray_desktop_tests (QT_QPA_PLATFORM=xcb).
#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QProcess>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <cstring>

#include "tests/tray/MenuPick.h"
#include "tests/tray/TrayTestDialog.h"

namespace {

constexpr int Deadline = 15000;
const QString WatcherName = QStringLiteral("org.kde.StatusNotifierWatcher");

bool WatcherOnBus()
{
    return QDBusConnection::sessionBus().interface()->isServiceRegistered(WatcherName).value();
}

class WatcherProcess {
public:
    ~WatcherProcess() { Stop(); }

    void Start(bool host = true)
    {
        Stop();
        output_.clear();
        process_.start(QStringLiteral(FAKE_WATCHER), host ? QStringList() : QStringList{"--no-host"});
        ASSERT_TRUE(process_.waitForStarted(Deadline));
        ASSERT_TRUE(QTest::qWaitFor([&] { return Read().contains("READY\n"); }, Deadline));
    }
    void Stop()
    {
        if (process_.state() == QProcess::NotRunning)
            return;
        process_.terminate();
        process_.waitForFinished(Deadline);
        EXPECT_TRUE(QTest::qWaitFor([] { return !WatcherOnBus(); }, Deadline));
    }
    QStringList Registered()
    {
        QStringList items;
        for (const QByteArray& line : Read().split('\n'))
            if (line.startsWith("REGISTERED "))
                items << QString::fromUtf8(line.mid(11));
        return items;
    }
    bool WaitForRegistration()
    {
        return QTest::qWaitFor([&] { return !Registered().isEmpty(); }, Deadline);
    }

private:
    const QByteArray& Read()
    {
        output_ += process_.readAllStandardOutput();
        return output_;
    }
    QProcess process_;
    QByteArray output_;
};

WatcherProcess* watcher = nullptr;

// What a window manager does when it maps a window: it marks it normal (not iconic). Xvfb has
// no window manager, and without this mark Qt keeps taking a restored window for minimised.
class WindowManagerStandIn : public QObject {
public:
    explicit WindowManagerStandIn(QWidget& window) : window_(window)
    {
        window.winId();
        window.windowHandle()->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject*, QEvent* e) override
    {
        if (e->type() == QEvent::Show)
            MarkNormal();
        return false;
    }

private:
    void MarkNormal()
    {
        auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
        xcb_connection_t* c = x11->connection();
        const char name[] = "WM_STATE";
        xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, std::strlen(name), name),
                                                              nullptr);
        const uint32_t state[2] = {1 /* NormalState */, 0};
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, window_.winId(), atom->atom, atom->atom, 32, 2, state);
        xcb_flush(c);
        std::free(atom);
    }
    QWidget& window_;
};

// Right-clicks the icon the way a StatusNotifierItem host does, from a connection of its own.
void RightClickIcon(const QString& item)
{
    QDBusConnection host = QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("tray-host"));
    QDBusMessage call = QDBusMessage::createMethodCall(item, QStringLiteral("/StatusNotifierItem"),
                                                       QStringLiteral("org.kde.StatusNotifierItem"),
                                                       QStringLiteral("ContextMenu"));
    call << 10 << 10;
    host.asyncCall(call);
}

// Clicks the icon the way a StatusNotifierItem host does: activation, never a double-click.
void ClickIcon(const QString& item)
{
    QDBusConnection host = QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("tray-host"));
    QDBusMessage call = QDBusMessage::createMethodCall(item, QStringLiteral("/StatusNotifierItem"),
                                                       QStringLiteral("org.kde.StatusNotifierItem"),
                                                       QStringLiteral("Activate"));
    call << 10 << 10;
    host.asyncCall(call);
}

bool ShownNormalAndActive(QWidget& w)
{
    return w.isVisible() && w.windowHandle()->isVisible() && !w.isMinimized() && w.isActiveWindow();
}

TEST(TrayDesktop, IconRegistersAtStartAndAgainAfterTheHostRestarts)
{
    watcher->Start();
    TrayTestDialog dialog;
    EXPECT_TRUE(watcher->WaitForRegistration());
    EXPECT_FALSE(dialog.tray.IsAddPending());

    watcher->Stop();
    watcher->Start();
    EXPECT_TRUE(watcher->WaitForRegistration());
    EXPECT_FALSE(dialog.tray.IsHidden());
    EXPECT_FALSE(dialog.tray.IsAddPending());
}

TEST(TrayDesktop, AnIconOwedToAMissingHostIsAddedWhenTheHostArrives)
{
    watcher->Start(false);
    TrayTestDialog dialog;
    EXPECT_TRUE(dialog.tray.IsAddPending());
    EXPECT_TRUE(watcher->Registered().isEmpty());

    watcher->Start(true);
    EXPECT_TRUE(watcher->WaitForRegistration());
    EXPECT_TRUE(QTest::qWaitFor([&] { return !dialog.tray.IsAddPending(); }, Deadline));
    EXPECT_FALSE(dialog.tray.IsHidden());
}

TEST(TrayDesktop, MinimiseHidesIntoTheIconAndTheMenuBringsTheWindowBackInFront)
{
    watcher->Start();
    TrayTestDialog dialog;
    WindowManagerStandIn windowManager(dialog);
    ASSERT_TRUE(watcher->WaitForRegistration());
    const QString item = watcher->Registered().last();

    bool hidden = false, back = false;
    MenuPick pick;
    QTimer::singleShot(0, [&] {
        if (!QTest::qWaitForWindowExposed(&dialog, Deadline))
            return dialog.reject();
        dialog.showMinimized();
        // Qt lets go of a hidden window's focus only after a grace time for the focus to come back; a
        // window shown again before that gets no focus change, so it never becomes the active one.
        hidden = QTest::qWaitFor(
            [&] {
                return !dialog.windowHandle()->isVisible() && QGuiApplication::focusWindow() != dialog.windowHandle();
            },
            Deadline);
        pick.Arm(Qt::Key_D);
        RightClickIcon(item);
        back = QTest::qWaitFor([&] { return ShownNormalAndActive(dialog); }, Deadline);
        QTest::qWait(300);  // it must stay that way
        back = back && ShownNormalAndActive(dialog);
        dialog.accept();
    });
    // Hiding into the icon must not end the modal run.
    EXPECT_EQ(dialog.exec(), QDialog::Accepted);
    EXPECT_TRUE(hidden);
    EXPECT_TRUE(back);
    EXPECT_EQ(pick.texts, (QStringList{"显示窗口内容(&D)", "", "退出(&X)"}));
    EXPECT_TRUE(pick.separatorSecond);
    EXPECT_EQ(pick.defaultText, "显示窗口内容(&D)");
}

TEST(TrayDesktop, AClickFromAStatusNotifierHostBringsTheWindowBack)
{
    watcher->Start();
    TrayTestDialog dialog;
    WindowManagerStandIn windowManager(dialog);
    ASSERT_TRUE(watcher->WaitForRegistration());
    const QString item = watcher->Registered().last();

    bool hidden = false, back = false;
    QTimer::singleShot(0, [&] {
        if (!QTest::qWaitForWindowExposed(&dialog, Deadline))
            return dialog.reject();
        dialog.showMinimized();
        hidden = QTest::qWaitFor([&] { return !dialog.windowHandle()->isVisible(); }, Deadline);
        ClickIcon(item);
        // Without a window manager nothing hands the focus over, as the menu does in the test above.
        back = QTest::qWaitFor(
            [&] { return dialog.isVisible() && dialog.windowHandle()->isVisible() && !dialog.isMinimized(); },
            Deadline);
        dialog.accept();
    });
    EXPECT_EQ(dialog.exec(), QDialog::Accepted);
    EXPECT_TRUE(hidden);
    EXPECT_TRUE(back);
}

TEST(TrayDesktop, TheExitItemReachesTheWindow)
{
    watcher->Start();
    TrayTestDialog dialog;
    dialog.show();
    ASSERT_TRUE(watcher->WaitForRegistration());
    MenuPick pick;
    pick.Arm(Qt::Key_X);
    RightClickIcon(watcher->Registered().last());
    EXPECT_TRUE(QTest::qWaitFor([&] { return dialog.exitCommands == 1; }, Deadline));
}

TEST(TrayDesktop, WithoutAHostMinimiseLeavesTheWindowReachable)
{
    watcher->Stop();
    TrayTestDialog dialog;
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog, Deadline));
    dialog.showMinimized();
    QTest::qWait(300);
    EXPECT_TRUE(dialog.isMinimized());
    EXPECT_TRUE(dialog.windowHandle()->isVisible());
}

TEST(TrayDesktop, WhenTheHostGoesAwayAHiddenWindowComesBackMinimised)
{
    watcher->Start();
    TrayTestDialog dialog;
    dialog.show();
    ASSERT_TRUE(watcher->WaitForRegistration());
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog, Deadline));
    dialog.showMinimized();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog.windowHandle()->isVisible(); }, Deadline));
    watcher->Stop();
    EXPECT_TRUE(QTest::qWaitFor([&] { return dialog.windowHandle()->isVisible(); }, Deadline));
    EXPECT_TRUE(dialog.isMinimized());
}

}  // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    if (QGuiApplication::platformName() != QLatin1String("xcb") || !QDBusConnection::sessionBus().isConnected()) {
        std::fprintf(stderr, "needs an X server (QT_QPA_PLATFORM=xcb) and a session bus\n");
        return 1;
    }
    WatcherProcess process;
    watcher = &process;
    // Qt picks the StatusNotifierItem tray once per process, when it first looks: let it find a host.
    process.Start();
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        std::fprintf(stderr, "the test's tray host was not taken for a system tray\n");
        return 1;
    }
    return RUN_ALL_TESTS();
}
