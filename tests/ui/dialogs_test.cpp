#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>

#include <sys/socket.h>
#include <unistd.h>

#include "ui/AboutDialog.h"
#include "ui/ConfigDialog.h"
#include "ui/Ipv4AddressEdit.h"
#include "ui/PortEditDialog.h"
#include "ui/PortMonitorDialog.h"
#include "ui/PortListView.h"
#include "ui/UiFont.h"

namespace {

const QString IntegerMessage = QStringLiteral("请键入一个整数。");

QString RangeMessage(int min, int max)
{
    return QStringLiteral("“请填入一个在%1和%2之间的整数。”").arg(min).arg(max);
}

struct SeenMessage {
    QString text;
    QString caption;
    QMessageBox::Icon icon;
};

// Answers every message box that comes up while it lives with OK, and keeps what it said.
class MessageBoxAnswerer {
public:
    MessageBoxAnswerer()
    {
        timer_.setInterval(5);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                seen.push_back({box->text(), box->windowTitle(), box->icon()});
                box->button(QMessageBox::Ok)->click();
            }
        });
        timer_.start();
    }

    std::vector<SeenMessage> seen;

private:
    QTimer timer_;
};

// Types text key by key, as a keyboard or an input method delivers it.
void Type(QWidget* widget, const QString& text)
{
    for (const QChar c : text) {
        QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
        QApplication::sendEvent(widget, &press);
        QKeyEvent release(QEvent::KeyRelease, 0, Qt::NoModifier, QString(c));
        QApplication::sendEvent(widget, &release);
    }
}

template <class T>
T* Control(QWidget& dialog, const char* id)
{
    T* widget = dialog.findChild<T*>(QString::fromLatin1(id));
    EXPECT_NE(widget, nullptr) << id;
    return widget;
}

// The port edit dialog, shown with its fields preset to valid values.
class PortEditTest : public ::testing::Test {
protected:
    void Open(bool shared = false, int portNumber = 7)
    {
        dialog = std::make_unique<PortEditDialog>(QStringLiteral("增加"), shared);
        dialog->portNumber = portNumber;
        dialog->code = QStringLiteral("A1");
        dialog->show();
        portEdit = Control<QLineEdit>(*dialog, "1008");
        codeEdit = Control<QLineEdit>(*dialog, "1011");
        intervalEdit = Control<QLineEdit>(*dialog, "1012");
        dynamicBox = Control<QCheckBox>(*dialog, "1009");
        address = Control<Ipv4AddressEdit>(*dialog, "1010");
        ok = Control<QPushButton>(*dialog, "1");
    }

    // Presses OK and returns the one message it brought, or an empty text.
    QString PressOk()
    {
        MessageBoxAnswerer answers;
        ok->click();
        EXPECT_LE(answers.seen.size(), 1u);
        if (answers.seen.empty())
            return {};
        EXPECT_EQ(answers.seen[0].caption, "MV5840VSP");
        EXPECT_EQ(answers.seen[0].icon, QMessageBox::Warning);
        return answers.seen[0].text;
    }

    std::unique_ptr<PortEditDialog> dialog;
    QLineEdit* portEdit = nullptr;
    QLineEdit* codeEdit = nullptr;
    QLineEdit* intervalEdit = nullptr;
    QCheckBox* dynamicBox = nullptr;
    Ipv4AddressEdit* address = nullptr;
    QPushButton* ok = nullptr;
};

}  // namespace

TEST_F(PortEditTest, AddWithDefaultsFailsOnPortNumberAndStaysOpen)
{
    Open(false, 0);
    EXPECT_EQ(dialog->windowTitle(), "增加");
    EXPECT_EQ(portEdit->text(), "0");
    EXPECT_EQ(intervalEdit->text(), "300");
    EXPECT_TRUE(Control<QRadioButton>(*dialog, "1016")->isChecked());
    EXPECT_EQ(dialog->focusWidget(), portEdit);

    EXPECT_EQ(PressOk(), RangeMessage(1, 256));
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(dialog->result(), 0);
    EXPECT_EQ(dialog->focusWidget(), portEdit);
}

TEST_F(PortEditTest, RangesOfPortNumberAndLoginInterval)
{
    Open();
    const struct {
        QLineEdit* edit;
        const char* text;
        QString message;
    } cases[] = {
        {portEdit, "0", RangeMessage(1, 256)},
        {portEdit, "257", RangeMessage(1, 256)},
        {portEdit, "", IntegerMessage},
        {portEdit, "99999999999999999999", IntegerMessage},
        {intervalEdit, "9", RangeMessage(10, 100000)},
        {intervalEdit, "100001", RangeMessage(10, 100000)},
        {intervalEdit, "-5", RangeMessage(10, 100000)},
        {intervalEdit, "1x", IntegerMessage},
        {intervalEdit, "", IntegerMessage},
    };
    for (const auto& c : cases) {
        portEdit->setText("7");
        intervalEdit->setText("300");
        c.edit->setText(c.text);
        EXPECT_EQ(PressOk(), c.message) << c.text;
        EXPECT_EQ(dialog->focusWidget(), c.edit) << c.text;
        EXPECT_TRUE(c.edit->hasSelectedText() || c.edit->text().isEmpty());
        EXPECT_TRUE(dialog->isVisible());
    }

    portEdit->setText("256");
    intervalEdit->setText(" 100000 ");
    EXPECT_EQ(PressOk(), "");
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
    EXPECT_EQ(dialog->portNumber, 256);
    EXPECT_EQ(dialog->loginInterval, 100000);

    dialog->show();
    portEdit->setText("1");
    intervalEdit->setText("10");
    EXPECT_EQ(PressOk(), "");
    EXPECT_EQ(dialog->portNumber, 1);
    EXPECT_EQ(dialog->loginInterval, 10);
}

TEST_F(PortEditTest, PortNumberTakesDigitsOnly)
{
    Open();
    portEdit->clear();
    QTest::keyClicks(portEdit, "1a-2 3");
    EXPECT_EQ(portEdit->text(), "123");
}

TEST_F(PortEditTest, ExchangeStopsAtTheFirstFailingField)
{
    Open();
    dialog->loginInterval = 300;
    codeEdit->setText("B2");
    portEdit->setText("300");      // fails
    intervalEdit->setText("500");  // valid, but after the failing field
    dynamicBox->setChecked(true);
    EXPECT_EQ(PressOk(), RangeMessage(1, 256));
    EXPECT_EQ(dialog->code, "B2");          // before the failing field: taken
    EXPECT_EQ(dialog->portNumber, 7);       // the failing field keeps its value
    EXPECT_EQ(dialog->loginInterval, 300);  // after it: not taken
    EXPECT_EQ(dialog->dynamicLogin, 0);
}

TEST_F(PortEditTest, CodeIsLimitedTo11BytesOfUtf8)
{
    Open();
    codeEdit->clear();
    QTest::keyClicks(codeEdit, "ABCDEFGHIJKL");
    EXPECT_EQ(codeEdit->text(), "ABCDEFGHIJK");  // the 12th is not taken

    codeEdit->clear();
    Type(codeEdit, QStringLiteral("中文ab中"));  // 3+3+1+1 = 8, the next CJK is 11
    EXPECT_EQ(codeEdit->text(), QStringLiteral("中文ab中"));
    Type(codeEdit, QStringLiteral("x"));
    EXPECT_EQ(codeEdit->text(), QStringLiteral("中文ab中"));  // 12 bytes: refused

    codeEdit->clear();
    Type(codeEdit, QStringLiteral("中文中文"));
    EXPECT_EQ(codeEdit->text(), QStringLiteral("中文中"));

    codeEdit->setText("ABCDEFGHIJK");
    EXPECT_EQ(PressOk(), "");
    EXPECT_EQ(dialog->code, "ABCDEFGHIJK");
}

TEST_F(PortEditTest, LongerPresetCodeIsShownButRefusedOnOk)
{
    dialog = std::make_unique<PortEditDialog>(QStringLiteral("编辑"), false);
    dialog->portNumber = 3;
    dialog->code = QStringLiteral("中文中文");  // 12 bytes
    dialog->show();
    QLineEdit* code = Control<QLineEdit>(*dialog, "1011");
    EXPECT_EQ(code->text(), QStringLiteral("中文中文"));
    ok = Control<QPushButton>(*dialog, "1");
    EXPECT_EQ(PressOk(), QStringLiteral("“请填入不多于11个的字符。”"));
    EXPECT_EQ(dialog->focusWidget(), code);
    EXPECT_TRUE(dialog->isVisible());
}

TEST_F(PortEditTest, DynamicLoginSwitchesTheAddressField)
{
    Open();
    EXPECT_TRUE(address->isEnabled());
    dynamicBox->click();
    EXPECT_FALSE(address->isEnabled());
    EXPECT_EQ(dialog->dynamicLogin, 1);
    dynamicBox->click();
    EXPECT_TRUE(address->isEnabled());

    // With an earlier field failing, the new state is not taken.
    portEdit->setText("0");
    MessageBoxAnswerer answers;
    dynamicBox->click();
    ASSERT_EQ(answers.seen.size(), 1u);
    EXPECT_EQ(answers.seen[0].text, RangeMessage(1, 256));
    EXPECT_TRUE(address->isEnabled());
    EXPECT_EQ(dialog->focusWidget(), portEdit);

    // Switching the protocol switches nothing.
    Control<QRadioButton>(*dialog, "1015")->click();
    EXPECT_TRUE(address->isEnabled());
    EXPECT_TRUE(portEdit->isEnabled());
}

TEST_F(PortEditTest, DynamicLoginPresetOpensWithTheAddressDisabled)
{
    dialog = std::make_unique<PortEditDialog>(QStringLiteral("编辑"), false);
    dialog->portNumber = 3;
    dialog->dynamicLogin = 1;
    dialog->protocol = 1;
    dialog->hostOrderAddress = 0xC0A80A01;
    dialog->show();
    EXPECT_FALSE(Control<Ipv4AddressEdit>(*dialog, "1010")->isEnabled());
    EXPECT_TRUE(Control<QCheckBox>(*dialog, "1009")->isChecked());
    EXPECT_TRUE(Control<QRadioButton>(*dialog, "1015")->isChecked());
    EXPECT_EQ(Control<Ipv4AddressEdit>(*dialog, "1010")->Octet(0)->text(), "192");
    EXPECT_EQ(dialog->windowTitle(), "编辑");
}

TEST_F(PortEditTest, SharedPortModeDisablesTheNumberAndFocusesTheCode)
{
    Open(true, 5);
    EXPECT_FALSE(portEdit->isEnabled());
    EXPECT_EQ(portEdit->text(), "5");
    EXPECT_EQ(dialog->focusWidget(), codeEdit);
    EXPECT_EQ(PressOk(), "");
    EXPECT_EQ(dialog->portNumber, 5);
}

TEST_F(PortEditTest, OkHandsOverTheAddressWithBlankOctetsAsZero)
{
    Open();
    for (int i = 0; i < 4; ++i)
        address->Octet(i)->clear();
    EXPECT_EQ(PressOk(), "");
    EXPECT_EQ(dialog->hostOrderAddress, 0u);

    dialog->show();
    address->Octet(0)->setText("10");
    address->Octet(1)->clear();
    address->Octet(2)->clear();
    address->Octet(3)->setText("7");
    EXPECT_EQ(PressOk(), "");
    EXPECT_EQ(dialog->hostOrderAddress, 0x0A000007u);

    // Cancel keeps the fields as the last successful read left them.
    dialog->show();
    address->Octet(0)->setText("99");
    Control<QPushButton>(*dialog, "2")->click();
    EXPECT_EQ(dialog->result(), QDialog::Rejected);
    EXPECT_EQ(dialog->hostOrderAddress, 0x0A000007u);
}

TEST_F(PortEditTest, RerunStartsFromTheUsersValues)
{
    Open();
    int runs = 0;
    std::vector<QString> shown;
    std::function<void()> drive = [&] {
        auto* d = qobject_cast<PortEditDialog*>(QApplication::activeModalWidget());
        if (!d) {
            QTimer::singleShot(5, drive);
            return;
        }
        shown.push_back(Control<QLineEdit>(*d, "1008")->text() + "|" + Control<QLineEdit>(*d, "1011")->text() + "|"
                        + Control<Ipv4AddressEdit>(*d, "1010")->Octet(1)->text());
        if (runs++ == 0) {
            Control<QLineEdit>(*d, "1008")->setText("9");
            Control<QLineEdit>(*d, "1011")->setText("Z9");
            Control<Ipv4AddressEdit>(*d, "1010")->Octet(1)->setText("42");
        }
        Control<QPushButton>(*d, "1")->click();
    };
    dialog->hide();
    QTimer::singleShot(0, drive);
    ASSERT_EQ(dialog->exec(), QDialog::Accepted);
    QTimer::singleShot(0, drive);
    ASSERT_EQ(dialog->exec(), QDialog::Accepted);
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0], "7|A1|0");
    EXPECT_EQ(shown[1], "9|Z9|42");
    EXPECT_EQ(dialog->hostOrderAddress, 0x002A0000u);
}

TEST_F(PortEditTest, TabOrderFollowsTheControlOrder)
{
    Open();
    QStringList order;
    QWidget* w = portEdit;
    for (int i = 0; i < 40 && order.size() < 12; ++i, w = w->nextInFocusChain()) {
        if ((w->focusPolicy() & Qt::TabFocus) && w->isVisibleTo(dialog.get())) {
            QWidget* named = w->parentWidget() == address ? address : w;
            order << named->objectName();
        }
    }
    EXPECT_EQ(order, QStringList({"1008", "1011", "1016", "1015", "1012", "1009", "1010", "netPort", "netModeRfc2217",
                                  "netModeRaw", "1", "2"}));
}

TEST_F(PortEditTest, NetworkPortAndProtocolAreExchangedInRange)
{
    Open();
    auto* netPort = Control<QLineEdit>(*dialog, "netPort");
    EXPECT_EQ(netPort->text(), "0");
    EXPECT_TRUE(Control<QRadioButton>(*dialog, "netModeRfc2217")->isChecked());
    netPort->setText("65536");
    EXPECT_EQ(PressOk(), "“请填入一个在0和65535之间的整数。”");
    netPort->setText("4001");
    Control<QRadioButton>(*dialog, "netModeRaw")->setChecked(true);
    EXPECT_EQ(PressOk(), "");
    EXPECT_EQ(dialog->netPort, 4001);
    EXPECT_EQ(dialog->netMode, 1);
}

TEST(Ipv4AddressEditTest, OctetsTakeUpTo255AndKeysMoveBetweenThem)
{
    Ipv4AddressEdit edit;
    edit.show();
    edit.SetAddress(0xC0A80A01);
    EXPECT_EQ(edit.Octet(0)->text(), "192");
    EXPECT_EQ(edit.Octet(3)->text(), "1");
    EXPECT_EQ(edit.Address(), 0xC0A80A01u);

    for (int i = 0; i < 4; ++i)
        edit.Octet(i)->clear();
    QTest::keyClicks(edit.Octet(0), "256");
    EXPECT_EQ(edit.Octet(0)->text(), "25");  // 256 is refused
    edit.Octet(0)->clear();
    QTest::keyClicks(edit.Octet(0), "x1");
    EXPECT_EQ(edit.Octet(0)->text(), "1");

    // '.' and a third digit move on; typing a whole address fills all four.
    edit.Octet(0)->clear();
    edit.Octet(0)->setFocus();
    QApplication::setActiveWindow(&edit);
    for (const char c : std::string("172.16.254.3")) {
        QWidget* target = QApplication::focusWidget() ? QApplication::focusWidget() : edit.Octet(0);
        QTest::keyClick(target, c);
    }
    EXPECT_EQ(edit.Address(), (172u << 24) | (16u << 16) | (254u << 8) | 3u);

    edit.SetAddress(0);
    EXPECT_EQ(edit.Octet(2)->text(), "0");
    EXPECT_EQ(edit.Address(), 0u);
}

TEST(ConfigDialogTest, SharedPortNumberFollowsTheMode)
{
    ConfigDialog dialog;
    dialog.password = "pw";
    dialog.networkPort = 3700;
    dialog.mode = 0;
    dialog.sharedPortNumber = 5;
    dialog.show();
    EXPECT_EQ(dialog.windowTitle(), "配置");
    auto* sharedEdit = Control<QLineEdit>(dialog, "1009");
    EXPECT_FALSE(sharedEdit->isEnabled());
    EXPECT_EQ(sharedEdit->text(), "5");
    EXPECT_EQ(Control<QLineEdit>(dialog, "1008")->echoMode(), QLineEdit::Normal);

    Control<QRadioButton>(dialog, "1015")->click();
    EXPECT_TRUE(sharedEdit->isEnabled());
    EXPECT_EQ(dialog.mode, 1);
    Control<QRadioButton>(dialog, "1014")->click();
    EXPECT_FALSE(sharedEdit->isEnabled());
    EXPECT_EQ(dialog.mode, 0);

    // A failing network port keeps the old mode and 1009's state.
    Control<QLineEdit>(dialog, "1007")->setText("0");
    MessageBoxAnswerer answers;
    Control<QRadioButton>(dialog, "1015")->click();
    ASSERT_EQ(answers.seen.size(), 1u);
    EXPECT_EQ(answers.seen[0].text, RangeMessage(1, 32767));
    EXPECT_EQ(dialog.mode, 0);
    EXPECT_FALSE(sharedEdit->isEnabled());
    EXPECT_EQ(dialog.focusWidget(), Control<QLineEdit>(dialog, "1007"));
}

TEST(ConfigDialogTest, RangesAndThePasswordWithoutLimit)
{
    ConfigDialog dialog;
    dialog.networkPort = 3700;
    dialog.mode = 1;
    dialog.sharedPortNumber = 5;
    dialog.show();
    EXPECT_TRUE(Control<QLineEdit>(dialog, "1009")->isEnabled());
    auto* portEdit = Control<QLineEdit>(dialog, "1007");
    auto* sharedEdit = Control<QLineEdit>(dialog, "1009");
    auto* ok = Control<QPushButton>(dialog, "1");

    const struct {
        QLineEdit* edit;
        const char* text;
        QString message;
    } cases[] = {
        {portEdit, "0", RangeMessage(1, 32767)},   {portEdit, "32768", RangeMessage(1, 32767)},
        {portEdit, "port", IntegerMessage},        {sharedEdit, "0", RangeMessage(1, 256)},
        {sharedEdit, "257", RangeMessage(1, 256)}, {sharedEdit, "", IntegerMessage},
    };
    for (const auto& c : cases) {
        portEdit->setText("3700");
        sharedEdit->setText("5");
        c.edit->setText(c.text);
        MessageBoxAnswerer answers;
        ok->click();
        ASSERT_EQ(answers.seen.size(), 1u) << c.text;
        EXPECT_EQ(answers.seen[0].text, c.message);
        EXPECT_EQ(answers.seen[0].caption, "MV5840VSP");
        EXPECT_EQ(answers.seen[0].icon, QMessageBox::Warning);
        EXPECT_EQ(dialog.focusWidget(), c.edit);
        EXPECT_TRUE(dialog.isVisible());
    }

    const QString longPassword = QString(40, QChar('k')) + QStringLiteral("密码");
    Control<QLineEdit>(dialog, "1008")->setText(longPassword);
    portEdit->setText("32767");
    sharedEdit->setText("256");
    MessageBoxAnswerer answers;
    ok->click();
    EXPECT_TRUE(answers.seen.empty());
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(dialog.password, longPassword);
    EXPECT_EQ(dialog.networkPort, 32767);
    EXPECT_EQ(dialog.sharedPortNumber, 256);
    EXPECT_EQ(dialog.mode, 1);
}

TEST(AboutDialogTest, CaptionIconVersionAndOk)
{
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::red);
    AboutDialog about(nullptr, QIcon(pixmap));
    EXPECT_EQ(about.windowTitle(), "关于 MV5840VSP");
    bool hasVersion = false;
    for (const QLabel* label : about.findChildren<QLabel*>())
        hasVersion |= label->text() == QStringLiteral("MV5840VSP 1.0 版");
    EXPECT_TRUE(hasVersion);
    EXPECT_FALSE(Control<QLabel>(about, "icon")->pixmap().isNull());
    auto* ok = Control<QPushButton>(about, "1");
    EXPECT_EQ(ok->text(), "确定");
    QTimer::singleShot(0, ok, &QPushButton::click);
    EXPECT_EQ(about.exec(), QDialog::Accepted);
}

TEST(PortListViewTest, NameToolTipAddsTheLineSettingsWhileKnown)
{
    PortListView list;
    list.AppendRow(4, "COM7");
    const int row = 0;
    list.SetNameToolTip(row, "/run/user/0/MV5840VSP/COM7");
    EXPECT_EQ(list.NameToolTip(row), "/run/user/0/MV5840VSP/COM7");
    QString line = "9600 8E1, DTR on, RTS off";
    int askedFor = -1;
    list.SetLineSettingsSource([&](int record) {
        askedFor = record;
        return line;
    });
    EXPECT_EQ(list.NameToolTip(row), "/run/user/0/MV5840VSP/COM7\n9600 8E1, DTR on, RTS off");
    EXPECT_EQ(askedFor, 4);
    line.clear();  // the application closed the port
    EXPECT_EQ(list.NameToolTip(row), "/run/user/0/MV5840VSP/COM7");
}

TEST(UiFontTest, DialogFontDrawsChineseAt9Points)
{
    const QFont font = DialogFont();
    EXPECT_EQ(font.pointSize(), 9);
    const QFontMetrics metrics(font);
    for (const QChar c : QStringLiteral("串口号编码动态登录确定取消"))
        EXPECT_TRUE(metrics.inFont(c)) << font.family().toStdString();
}

// Not a check: with MV_SCREENSHOT_DIR set, saves each dialog as it looks, for a person to
// inspect (scripts/screenshots-dialogs.sh).
TEST(Screenshots, SaveEachDialog)
{
    const QString dir = qEnvironmentVariable("MV_SCREENSHOT_DIR");
    if (dir.isEmpty())
        GTEST_SKIP() << "MV_SCREENSHOT_DIR not set";
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::darkCyan);
    const auto save = [&](QWidget& dialog, const QString& name) {
        dialog.show();
        QApplication::processEvents();
        EXPECT_TRUE(dialog.grab().save(dir + "/" + name + ".png"));
        dialog.hide();
    };

    PortEditDialog add(QStringLiteral("增加"), false);
    save(add, "port-edit-add");
    PortEditDialog edit(QStringLiteral("编辑"), false);
    edit.portNumber = 12;
    edit.code = QStringLiteral("中文ab中");
    edit.loginInterval = 100000;
    edit.protocol = 1;
    edit.hostOrderAddress = 0xC0A80A01;
    save(edit, "port-edit-edit-tcp");
    PortEditDialog shared(QStringLiteral("增加"), true);
    shared.portNumber = 5;
    shared.dynamicLogin = 1;
    save(shared, "port-edit-shared-dynamic");

    ConfigDialog config;
    config.password = QStringLiteral("password");
    config.networkPort = 3700;
    config.sharedPortNumber = 5;
    save(config, "config-per-port");
    config.mode = 1;
    save(config, "config-shared");

    AboutDialog about(nullptr, QIcon(pixmap));
    save(about, "about");

    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    PortMonitorDialog monitor(pair[0], QStringLiteral("COM7"));
    std::vector<uint8_t> trace;
    const std::string address = "192.0.2.7:40001";
    const uint8_t poll[] = {0x01, 0x03, 0x00, 0x00, 0x00, 0x0a, 0xc5, 0xcd};
    const uint8_t answer[] = {0x01, 0x03, 0x02, 'O', 'K', 0x79, 0x84};
    AppendTraceRecord({TraceKind::Login, 3, 7, 1796727636123456, 0, address, nullptr, 0}, trace);
    AppendTraceRecord({TraceKind::Online, 3, 7, 1796727636123460, 0, {}, nullptr, 0}, trace);
    AppendTraceRecord({TraceKind::FromApplication, 3, 7, 1796727636200000, 0, {}, poll, sizeof poll}, trace);
    AppendTraceRecord({TraceKind::FromDtu, 3, 7, 1796727636350000, 0, {}, answer, sizeof answer}, trace);
    ASSERT_EQ(write(pair[1], trace.data(), trace.size()), static_cast<ssize_t>(trace.size()));
    close(pair[1]);
    for (int i = 0; i < 100 && monitor.Reading(); ++i)
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    save(monitor, "monitor");
}

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
