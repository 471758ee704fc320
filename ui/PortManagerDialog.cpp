#include "ui/PortManagerDialog.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <arpa/inet.h>

#include "res/AppIcon.h"
#include "tray/TrayMenu.h"
#include "tray/TrayMessages.h"
#include "ui/AboutDialog.h"
#include "ui/ConfigDialog.h"
#include "ui/PortEditDialog.h"
#include "ui/PortListView.h"
#include "ui/UiFont.h"
#include "vport/VirtualSerialPort.h"

namespace {
const QString AppTitle = QStringLiteral("MV5840VSP");
const QString WindowTitle = QStringLiteral("MV5840 虚拟串口管理");
}  // namespace

PortManagerDialog::PortManagerDialog(QWidget* parent, const char* serverAddress) : QDialog(parent)
{
    setObjectName(QStringLiteral("102"));
    setWindowTitle(WindowTitle);
    setFont(DialogFont());
    // A system menu and a minimise box; no maximise box, not resizable.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                   | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);

    portList = new PortListView(this);
    table = std::make_unique<PortTable>(settings, sites, *portList, serverAddress);
    portList->SetLineSettingsSource([this](int record) {
        const VirtualSerialPort* port
            = record >= 0 && record < PortTable::MaxPorts ? table->PortOf(table->ports[record]) : nullptr;
        const auto line = port ? port->LineSettings() : std::nullopt;
        return line ? QString::fromStdString(line->Text()) : QString();
    });
    portList->SetLiveStateSource([this](int record) {
        return record >= 0 && record < PortTable::MaxPorts ? table->LiveState(record) : PortLiveState{};
    });
    InitDialog();
}

// The window teardown (every link, then the network) is the port table's destruction.
PortManagerDialog::~PortManagerDialog() = default;

void PortManagerDialog::InitDialog()
{
    auto* label = new QLabel(QStringLiteral("已创建的虚拟串口"), this);
    portList->setMinimumSize(600, 380);

    struct Command {
        const char* id;
        QString text;
        void (PortManagerDialog::*slot)();
    };
    const Command commands[] = {
        {"1002", QStringLiteral("增加(&A)..."), &PortManagerDialog::AddPort},
        {"1003", QStringLiteral("删除(&D)"), &PortManagerDialog::DeletePort},
        {"1004", QStringLiteral("编辑(&E)..."), &PortManagerDialog::EditPort},
        {"1005", QStringLiteral("配置(&C)..."), &PortManagerDialog::Configure},
        {"1006", QStringLiteral("退出(&X)"), &PortManagerDialog::RequestClose},
    };
    auto* buttons = new QVBoxLayout;
    for (const Command& command : commands) {
        auto* button = new QPushButton(command.text, this);
        button->setObjectName(QString::fromLatin1(command.id));
        // Enter must not press a button: the manager is not closed or changed by it.
        button->setAutoDefault(false);
        connect(button, &QPushButton::clicked, this, command.slot);
        buttons->addWidget(button);
        if (command.id == std::string("1005"))
            buttons->addStretch();
    }

    auto* body = new QHBoxLayout;
    body->addWidget(portList);
    body->addLayout(buttons);
    auto* top = new QVBoxLayout(this);
    top->addWidget(label);
    top->addLayout(body);
    top->setSizeConstraint(QLayout::SetFixedSize);

    // The about entry, where the system menu would hold it.
    auto* about = new QAction(QStringLiteral("关于 MV5840VSP(&A)..."), this);
    connect(about, &QAction::triggered, this, &PortManagerDialog::ShowAbout);
    addAction(about);
    setContextMenuPolicy(Qt::ActionsContextMenu);

    setWindowIcon(AppIcon());

    const StoredConfig stored = store.Load();
    settings = stored.settings;
    if (!store.LastFailure().empty())
        startNotices << QString::fromStdString(store.LastFailure());
    StartNetwork();
    if (settings.OnlyOnePort)
        table->BindSharedControl();
    LoadPortTable(stored);

    trayIcon.Open(this, TrayCallbackMessage, WindowTitle, AppIcon(), TrayMenuId, false);
    trayIcon.SetNotifyTarget(this);
    if (!startNotices.isEmpty())
        QTimer::singleShot(0, this, &PortManagerDialog::ShowStartNotices);
}

void PortManagerDialog::ShowStartNotices()
{
    // Not modal: the ports serve while the user reads it.
    auto* box = new QMessageBox(QMessageBox::Warning, AppTitle, startNotices.join(QStringLiteral("\n\n")),
                                QMessageBox::Ok, this);
    box->setObjectName(QStringLiteral("startNotices"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    box->show();
}

void PortManagerDialog::StartNetwork()
{
    switch (table->StartNetwork()) {
    case PortTable::NetworkResult::HostNameFailed:
        ShowMessage(QStringLiteral("错误: gethostname()"), WindowTitle, QMessageBox::Ok, QMessageBox::Warning);
        break;
    case PortTable::NetworkResult::PortTaken:
        startNotices << QString::fromStdString(table->networkFailure);
        break;
    case PortTable::NetworkResult::Started:
        break;
    }
}

void PortManagerDialog::LoadPortTable(const StoredConfig& stored)
{
    for (int i = 0; i < PortTable::MaxPorts; ++i) {
        table->ResetRecord(i);
        if (!settings.OnlyOnePort)
            table->BindRecordControl(i);
        if (stored.ports[i]) {
            table->LoadRecord(i, *stored.ports[i]);
            table->ActivatePort(i);
            ShowPortState(i);
        }
    }
}

void PortManagerDialog::ShowPortState(int i)
{
    // This thread is the only writer of the reason.
    const VirtualPortEntry& e = table->ports[i];
    const QString reason = QString::fromStdString(e.notServedReason);
    portList->SetNameToolTip(e.listRow, reason.isEmpty() ? QString::fromStdString(table->PortDevicePath(i)) : reason);
    portList->SetStateToolTip(e.listRow, reason);
}

int PortManagerDialog::ShowMessage(const QString& text, const QString& caption, int buttons, int icon)
{
    QMessageBox box(static_cast<QMessageBox::Icon>(icon), caption, text,
                    static_cast<QMessageBox::StandardButtons>(buttons), this);
    return box.exec();
}

PortFields PortManagerDialog::FieldsFromDialog(const PortEditDialog& dialog) const
{
    PortFields fields;
    fields.PortNumber = dialog.PortNumber;
    fields.UseFixedIP = dialog.dynamicLogin ? 0 : 1;
    fields.peerAddress.SetInAddr(htonl(dialog.hostOrderAddress), settings.SocketPort);
    fields.Code = dialog.Code.toStdString();
    fields.LoginInterval = dialog.LoginInterval;
    fields.UseTcp = dialog.protocol;
    return fields;
}

void PortManagerDialog::AddPort()
{
    const bool shared = settings.OnlyOnePort != 0;
    PortEditDialog dialog(QStringLiteral("增加"), shared, this);
    dialog.PortNumber = shared ? settings.VPortNo : 0;
    if (dialog.exec() != QDialog::Accepted)
        return;

    int i;
    for (;;) {
        if (!shared && table->FindPortByNumber(dialog.PortNumber) != -1) {
            ShowMessage(QStringLiteral("该端口号已被使用"), AppTitle, QMessageBox::Ok, QMessageBox::Warning);
            if (dialog.exec() != QDialog::Accepted)
                return;
            continue;
        }
        i = table->FindFreeSlot();
        if (i == -1) {
            ShowMessage(QStringLiteral("端口数量太多，无法创建新的端口"), AppTitle, QMessageBox::Ok,
                        QMessageBox::Warning);
            if (dialog.exec() != QDialog::Accepted)
                return;
            continue;
        }
        break;
    }

    table->FillRecord(i, FieldsFromDialog(dialog));
    table->ActivatePort(i);
    ShowPortState(i);
    SavePortConfig(i);
}

void PortManagerDialog::EditPort()
{
    const int row = portList->SelectedRow();
    if (row < 0) {
        ShowMessage(QStringLiteral("请先选择要编辑的端口！"), QStringLiteral("HOLBRN"), QMessageBox::Ok,
                    QMessageBox::Warning);
        return;
    }
    const int i = portList->RecordAtRow(row);
    const bool shared = settings.OnlyOnePort != 0;
    PortEditDialog dialog(QStringLiteral("编辑"), shared, this);
    const PortFields record = table->RecordFields(i);
    dialog.PortNumber = record.PortNumber;
    dialog.dynamicLogin = record.UseFixedIP == 0;
    dialog.hostOrderAddress = ntohl(record.peerAddress.sin_addr.s_addr);
    dialog.Code = QString::fromStdString(record.Code);
    dialog.LoginInterval = record.LoginInterval;
    dialog.protocol = record.UseTcp ? 1 : 0;
    if (dialog.exec() != QDialog::Accepted)
        return;
    for (;;) {
        const int found = shared ? -1 : table->FindPortByNumber(dialog.PortNumber);
        if (found == -1 || found == i)
            break;
        ShowMessage(QStringLiteral("该端口号已被使用"), AppTitle, QMessageBox::Ok, QMessageBox::Warning);
        if (dialog.exec() != QDialog::Accepted)
            return;
    }

    PortFields fields = FieldsFromDialog(dialog);
    fields.FrameGap = record.FrameGap;  // not a value of the dialog
    table->ApplyEdit(i, fields);
    ShowPortState(i);
    SavePortConfig(i);
}

void PortManagerDialog::SavePortConfig(int i)
{
    if (!store.SavePortConfig(i, table->StoredRecord(i)))
        ShowSaveFailure();
}

void PortManagerDialog::ShowSaveFailure()
{
    ShowMessage(QString::fromStdString(store.LastFailure()), AppTitle, QMessageBox::Ok, QMessageBox::Warning);
}

void PortManagerDialog::DeletePort()
{
    const int row = portList->SelectedRow();
    if (row < 0)
        return;
    const int i = portList->RecordAtRow(row);
    table->RemovePort(i);
    if (!store.DeletePortConfig(i))
        ShowSaveFailure();
}

void PortManagerDialog::Configure()
{
    ConfigDialog dialog(this);
    dialog.password = QString::fromStdString(settings.Password);
    dialog.networkPort = settings.SocketPort;
    dialog.mode = settings.OnlyOnePort ? 1 : 0;
    dialog.sharedPortNumber = settings.VPortNo;
    if (dialog.exec() != QDialog::Accepted)
        return;

    GlobalSettings entered;
    entered.SocketPort = static_cast<uint16_t>(dialog.networkPort);
    entered.Password = dialog.password.toStdString();
    entered.OnlyOnePort = dialog.mode;
    entered.VPortNo = dialog.sharedPortNumber;
    const bool changed = entered.OnlyOnePort != settings.OnlyOnePort || entered.VPortNo != settings.VPortNo
                         || entered.Password != settings.Password || entered.SocketPort != settings.SocketPort;

    if (!store.SaveSettings(entered)) {
        ShowSaveFailure();
        return;
    }
    if (!changed)
        return;  // the stored values equal the running ones
    ShowMessage(QStringLiteral("系统配置已被改变，必须退出本程序重新运行。\r\n请确认先关闭正在使用虚拟串口的程序。"),
                AppTitle, QMessageBox::Ok, QMessageBox::NoIcon);
    // Ends without the in-use question: the message asked the user to close them.
    accept();
}

void PortManagerDialog::ShowAbout()
{
    AboutDialog about(this);
    about.exec();
}

void PortManagerDialog::RequestClose()
{
    while (table->AnyPortInUse()) {
        if (ShowMessage(QStringLiteral("请确认先关闭正在使用虚拟串口的程序。"), AppTitle,
                        QMessageBox::Ok | QMessageBox::Cancel, QMessageBox::NoIcon)
            != QMessageBox::Ok)
            return;
    }
    trayIcon.Destroy();
    accept();
}

void PortManagerDialog::EndWithoutQuestion()
{
    // Leaves every event loop, also those of a dialog or message box that is open, and
    // keeps later ones from starting; the modal run then returns and the teardown follows.
    QCoreApplication::exit(0);
}

void PortManagerDialog::ShowWindow()
{
    // Also brings the window back when it is hidden in the tray.
    trayIcon.RestoreFromTray(this);
}

bool PortManagerDialog::event(QEvent* event)
{
    if (event->type() == TrayCallbackMessage) {
        const auto* message = static_cast<TrayMessageEvent*>(event);
        if (message->lParam == TrayMouse::LeftButtonDoubleClick)
            trayIcon.RestoreFromTray(this);
        trayIcon.HandleNotify(message->wParam, message->lParam);
        return true;
    }
    if (event->type() == CSystemTray::commandMessage) {
        const auto* message = static_cast<TrayMessageEvent*>(event);
        if (message->wParam == TrayCommandShowWindow)
            trayIcon.RestoreFromTray(this);
        else if (message->wParam == TrayCommandExit)
            RequestClose();
        return true;
    }
    // The tray's notifyMessage (a double-click's default command) needs nothing here.
    return QDialog::event(event);
}

void PortManagerDialog::changeEvent(QEvent* event)
{
    QDialog::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && isMinimized())
        trayIcon.ShrinkToTray(this);
}

bool PortManagerDialog::SelectSharedTarget(const std::string& code)
{
    return table->SelectSharedTarget(code);
}

std::string PortManagerDialog::GetSharedTargetCode() const
{
    return table->GetSharedTargetCode();
}

void PortManagerDialog::closeEvent(QCloseEvent* event)
{
    event->ignore();
    RequestClose();
}

void PortManagerDialog::reject()
{
    // Esc never closes the main window.
}

void PortManagerDialog::keyPressEvent(QKeyEvent* event)
{
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Escape:
        event->accept();
        return;
    default:
        QDialog::keyPressEvent(event);
    }
}
