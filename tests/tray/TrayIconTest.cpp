// CSystemTray against a fake notification area: the icon states, the tooltip cut, the mouse
// events and the hide-to-tray rule. Runs on the offscreen platform.
#include <QApplication>
#include <QDialog>
#include <QTimer>
#include <gtest/gtest.h>

#include <vector>

#include "tests/tray/FakeTrayShell.h"
#include "tests/tray/MenuPick.h"
#include "tray/CSystemTray.h"
#include "tray/TrayMenu.h"
#include "tray/TrayMessages.h"

namespace {

const QString Title = QStringLiteral("MV5840 虚拟串口管理");

// A window that records the tray messages it gets and, like the main window, answers the
// callback message with HandleNotify.
class RecordingWindow : public QWidget {
public:
    struct Message {
        int type;
        unsigned id;
        unsigned mouse;
        bool operator==(const Message&) const = default;
    };
    std::vector<Message> got;
    CSystemTray* tray = nullptr;
    qintptr lastAnswer = -1;

protected:
    bool event(QEvent* e) override
    {
        const int t = e->type();
        if (t != TrayCallbackMessage && t != CSystemTray::notifyMessage && t != CSystemTray::commandMessage)
            return QWidget::event(e);
        const auto* m = static_cast<TrayMessageEvent*>(e);
        got.push_back({t, m->id, m->mouse});
        if (t == TrayCallbackMessage && tray)
            lastAnswer = tray->HandleNotify(m->id, m->mouse);
        return true;
    }
};

struct State {
    bool hidden, removed, addPending;
    bool operator==(const State&) const = default;
};
State StateOf(const CSystemTray& tray)
{
    return {tray.IsHidden(), tray.IsRemoved(), tray.IsAddPending()};
}
constexpr State Constructed{true, true, false}, Shown{false, false, false}, Pending{true, true, true},
    Deleted{true, true, false};

class TrayTest : public testing::Test {
protected:
    TrayTest() : shellOwned(std::make_unique<FakeTrayShell>()), shell(shellOwned.get()), tray(std::move(shellOwned))
    {
        window.tray = &tray;
    }
    bool OpenForWindow(bool hidden = false, unsigned id = TrayMenuId)
    {
        const bool r = tray.Open(&window, TrayCallbackMessage, Title, QIcon(), id, hidden);
        tray.SetNotifyTarget(&window);
        return r;
    }
    std::unique_ptr<FakeTrayShell> shellOwned;
    FakeTrayShell* shell;
    CSystemTray tray;
    RecordingWindow window;
};

TEST_F(TrayTest, OpenAddsTheIconWithItsRecord)
{
    EXPECT_EQ(StateOf(tray), Constructed);
    EXPECT_TRUE(OpenForWindow());
    EXPECT_EQ(StateOf(tray), Shown);
    ASSERT_EQ(shell->adds, 1);
    EXPECT_EQ(shell->lastAdded.window, &window);
    EXPECT_EQ(shell->lastAdded.id, 129u);
    EXPECT_EQ(shell->lastAdded.callbackMessage, QEvent::Type(0x800A));
    EXPECT_EQ(shell->lastAdded.flags, TrayIconData::Message | TrayIconData::Icon | TrayIconData::Tip);
    EXPECT_EQ(shell->lastAdded.tip, Title.toUtf8());
}

TEST_F(TrayTest, FailedAddStaysPendingUntilAnAddSucceeds)
{
    shell->addSucceeds = false;
    EXPECT_FALSE(OpenForWindow());
    EXPECT_EQ(StateOf(tray), Pending);
    emit shell->HostReturned();
    EXPECT_EQ(shell->adds, 2);
    EXPECT_EQ(StateOf(tray), Pending);
    shell->addSucceeds = true;
    emit shell->HostReturned();
    EXPECT_EQ(shell->adds, 3);
    EXPECT_EQ(StateOf(tray), Shown);
    EXPECT_EQ(shell->lastAdded.flags, TrayIconData::Message | TrayIconData::Icon | TrayIconData::Tip);
}

TEST_F(TrayTest, HostReturnAddsAShownIconAgainAndAFailureOnlyMarksItPending)
{
    OpenForWindow();
    emit shell->HostReturned();
    EXPECT_EQ(shell->adds, 2);
    EXPECT_EQ(StateOf(tray), Shown);
    shell->addSucceeds = false;
    emit shell->HostReturned();
    EXPECT_EQ(StateOf(tray), (State{false, false, true}));
}

TEST_F(TrayTest, HiddenOpenAddsNothingAndOwesNothing)
{
    EXPECT_TRUE(OpenForWindow(true));
    EXPECT_EQ(StateOf(tray), Constructed);
    emit shell->HostReturned();
    EXPECT_EQ(shell->adds, 0);
}

TEST_F(TrayTest, DeleteAsksTheShellOnceAndHostReturnThenAddsNothing)
{
    OpenForWindow();
    EXPECT_TRUE(tray.DeleteIcon());
    EXPECT_EQ(StateOf(tray), Deleted);
    EXPECT_TRUE(tray.DeleteIcon());
    EXPECT_EQ(shell->deletes, 1);
    emit shell->HostReturned();
    EXPECT_EQ(shell->adds, 1);
}

TEST_F(TrayTest, DeleteCancelsAPendingAdd)
{
    shell->addSucceeds = false;
    OpenForWindow();
    EXPECT_TRUE(tray.DeleteIcon());
    EXPECT_EQ(shell->deletes, 0);
    EXPECT_EQ(StateOf(tray), Deleted);
    shell->addSucceeds = true;
    emit shell->HostReturned();
    EXPECT_EQ(shell->adds, 1);
}

TEST_F(TrayTest, FailedDeleteKeepsTheIconAndIsTriedAgain)
{
    OpenForWindow();
    shell->deleteSucceeds = false;
    EXPECT_FALSE(tray.DeleteIcon());
    EXPECT_EQ(StateOf(tray), Shown);
    shell->deleteSucceeds = true;
    EXPECT_TRUE(tray.DeleteIcon());
    EXPECT_EQ(shell->deletes, 2);
    EXPECT_EQ(StateOf(tray), Deleted);
}

TEST_F(TrayTest, DestroyDeletesTheIconAndDropsTheMenu)
{
    OpenForWindow();
    tray.Destroy();
    EXPECT_EQ(shell->deletes, 1);
    EXPECT_EQ(StateOf(tray), Deleted);
    EXPECT_EQ(tray.HandleNotify(129, TrayMouse::LeftButtonDoubleClick), 0);
    EXPECT_TRUE(window.got.empty());
}

// Each case: tooltip, the bytes the icon gets.
TEST(TrayTooltip, CutsAt63BytesWithoutSplittingACharacter)
{
    const QString han = QStringLiteral("虚");      // 3 bytes
    const QString latin = QStringLiteral("é");     // 2 bytes
    const QString emoji = QString::fromUtf8("😀");  // 4 bytes
    const struct {
        QString tooltip;
        int bytes;
    } cases[] = {
        {Title, 25},
        {QString(63, 'a'), 63},
        {QString(64, 'a'), 63},
        {han.repeated(22), 63},
        {"a" + han.repeated(21), 61},
        {"ab" + han.repeated(21), 62},
        {"a" + latin.repeated(40), 63},
        {latin.repeated(40), 62},
        {emoji.repeated(16), 60},
        {"abc" + emoji.repeated(16), 63},
        {QString::fromUtf8("ab\0cd", 5), 2},  // the tip ends at a NUL, as a C string would
    };
    for (const auto& c : cases) {
        auto owned = std::make_unique<FakeTrayShell>();
        FakeTrayShell* shell = owned.get();
        CSystemTray tray(std::move(owned));
        tray.Open(nullptr, TrayCallbackMessage, c.tooltip, QIcon(), TrayMenuId, false);
        const QByteArray tip = shell->lastAdded.tip;
        SCOPED_TRACE(c.tooltip.toStdString());
        EXPECT_EQ(tip.size(), c.bytes);
        EXPECT_TRUE(c.tooltip.toUtf8().startsWith(tip));
        EXPECT_EQ(QString::fromUtf8(tip).toUtf8(), tip);  // whole characters only
        EXPECT_TRUE(shell->lastAdded.flags & TrayIconData::Tip);
    }
}

TEST_F(TrayTest, EmptyTooltipSetsNoTip)
{
    tray.Open(&window, TrayCallbackMessage, QString(), QIcon(), TrayMenuId, false);
    EXPECT_TRUE(shell->lastAdded.tip.isEmpty());
    EXPECT_EQ(shell->lastAdded.flags, TrayIconData::Message | TrayIconData::Icon);
}

TEST_F(TrayTest, WithoutCallbackMessageOrParentTheTrayAnswersItsOwnNotifications)
{
    tray.Open(nullptr, QEvent::None, Title, QIcon(), TrayMenuId, false);
    EXPECT_EQ(shell->lastAdded.callbackMessage, CSystemTray::notifyMessage);
    EXPECT_EQ(shell->lastAdded.window, &tray);
    tray.SetNotifyTarget(&window);
    shell->Click(TrayMouse::LeftButtonDoubleClick);
    const std::vector<RecordingWindow::Message> want{{CSystemTray::notifyMessage, TrayCommandShowWindow, 0}};
    EXPECT_EQ(window.got, want);
}

TEST_F(TrayTest, DoubleClickSendsTheShowCommandAsNotifyMessage)
{
    OpenForWindow();
    shell->Click(TrayMouse::LeftButtonDoubleClick);
    const std::vector<RecordingWindow::Message> want{
        {TrayCallbackMessage, 129, TrayMouse::LeftButtonDoubleClick},
        {CSystemTray::notifyMessage, 32772, 0},
    };
    EXPECT_EQ(window.got, want);
    EXPECT_EQ(window.lastAnswer, 1);

    window.got.clear();
    shell->Click(TrayMouse::LeftButtonUp);
    EXPECT_EQ(window.got.size(), 1u);  // only the callback itself
    EXPECT_EQ(window.lastAnswer, 1);
}

TEST_F(TrayTest, NotificationsForAnotherIconOrWithoutTargetAnswerZero)
{
    OpenForWindow();
    EXPECT_EQ(tray.HandleNotify(130, TrayMouse::LeftButtonDoubleClick), 0);
    EXPECT_EQ(tray.HandleNotify(130, TrayMouse::RightButtonUp), 0);
    EXPECT_TRUE(window.got.empty());

    auto owned = std::make_unique<FakeTrayShell>();
    CSystemTray orphan(std::move(owned));
    orphan.Open(nullptr, TrayCallbackMessage, Title, QIcon(), TrayMenuId, false);
    EXPECT_EQ(orphan.NotifyTarget(), nullptr);
    EXPECT_EQ(orphan.HandleNotify(129, TrayMouse::LeftButtonDoubleClick), 0);
}

TEST_F(TrayTest, WithoutTargetTheOpeningWindowGetsTheCommands)
{
    tray.Open(&window, TrayCallbackMessage, Title, QIcon(), TrayMenuId, false);
    EXPECT_EQ(tray.NotifyTarget(), &window);
    EXPECT_EQ(tray.HandleNotify(129, TrayMouse::LeftButtonDoubleClick), 1);
    ASSERT_EQ(window.got.size(), 1u);
    EXPECT_EQ(window.got[0].type, CSystemTray::notifyMessage);
}

TEST_F(TrayTest, AMissingMenuAnswersZeroForMenuAndDefaultCommand)
{
    OpenForWindow(false, 130);  // there is no menu 130
    EXPECT_EQ(tray.HandleNotify(130, TrayMouse::RightButtonUp), 0);
    EXPECT_EQ(tray.HandleNotify(130, TrayMouse::LeftButtonDoubleClick), 0);
    EXPECT_EQ(tray.HandleNotify(130, TrayMouse::LeftButtonUp), 1);
    EXPECT_TRUE(window.got.empty());
}

TEST_F(TrayTest, RightClickShowsTheMenuAndPostsTheChosenCommand)
{
    OpenForWindow();
    for (auto [key, command] : {std::pair{Qt::Key_X, TrayCommandExit}, std::pair{Qt::Key_D, TrayCommandShowWindow}}) {
        window.got.clear();
        MenuPick pick;
        pick.Arm(key);
        shell->Click(TrayMouse::RightButtonUp);
        EXPECT_EQ(window.lastAnswer, 1);
        EXPECT_EQ(pick.texts, (QStringList{"显示窗口内容(&D)", "", "退出(&X)"}));
        EXPECT_TRUE(pick.separatorSecond);
        EXPECT_EQ(pick.defaultText, "显示窗口内容(&D)");
        ASSERT_EQ(window.got.size(), 1u);  // the command is posted, not sent from inside the menu
        QCoreApplication::processEvents();
        const std::vector<RecordingWindow::Message> want{{TrayCallbackMessage, 129, TrayMouse::RightButtonUp},
                                                         {CSystemTray::commandMessage, command, 0}};
        EXPECT_EQ(window.got, want);
    }
}

TEST_F(TrayTest, MinimisingHidesIntoTheIconOnlyWhileItIsInATray)
{
    window.show();
    window.showMinimized();

    shell->addSucceeds = false;
    OpenForWindow();
    EXPECT_FALSE(tray.ShrinkToTray(&window));  // pending
    EXPECT_TRUE(window.isVisible());

    shell->addSucceeds = true;
    emit shell->HostReturned();
    shell->shown = false;  // added, but the host shows nothing
    EXPECT_FALSE(tray.ShrinkToTray(&window));
    EXPECT_TRUE(window.isVisible());

    shell->shown = true;
    EXPECT_TRUE(tray.ShrinkToTray(&window));
    EXPECT_FALSE(window.isVisible());
    tray.RestoreFromTray(&window);
    EXPECT_TRUE(window.isVisible());
    EXPECT_FALSE(window.isMinimized());

    tray.DeleteIcon();
    window.showMinimized();
    EXPECT_FALSE(tray.ShrinkToTray(&window));
    EXPECT_TRUE(window.isVisible());
}

TEST_F(TrayTest, HostLossGivesAHiddenWindowBackMinimised)
{
    OpenForWindow();
    window.show();
    window.showMinimized();
    ASSERT_TRUE(tray.ShrinkToTray(&window));
    shell->shown = false;
    emit shell->HostLost();
    EXPECT_TRUE(window.isVisible());
    EXPECT_TRUE(window.isMinimized());
}

TEST_F(TrayTest, HidingIntoTheIconKeepsAModalRunGoing)
{
    OpenForWindow();
    QDialog dialog;
    bool hiddenDuringRun = false;
    QTimer::singleShot(0, [&] {
        dialog.showMinimized();
        hiddenDuringRun = tray.ShrinkToTray(&dialog) && !dialog.isVisible();
        QTimer::singleShot(50, [&] {
            tray.RestoreFromTray(&dialog);
            QTimer::singleShot(50, &dialog, &QDialog::accept);
        });
    });
    EXPECT_EQ(dialog.exec(), QDialog::Accepted);
    EXPECT_TRUE(hiddenDuringRun);
}

}  // namespace
