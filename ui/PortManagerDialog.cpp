#include "ui/PortManagerDialog.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QEventLoop>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <arpa/inet.h>
#include <memory>

#include "res/AppIcon.h"
#include "service/PortMessages.h"
#include "tray/TrayMenu.h"
#include "tray/TrayMessages.h"
#include "ui/AboutDialog.h"
#include "ui/ConfigDialog.h"
#include "ui/PortEditDialog.h"
#include "ui/PortListView.h"
#include "ui/PortMonitorDialog.h"
#include "ui/UiFont.h"
#include "net/SocketAddress.h"
#include "vport/PortHolders.h"

namespace {
const QString AppTitle = QStringLiteral("MV5840VSP");
const QString WindowTitle = QStringLiteral("MV5840 虚拟串口管理");
}  // namespace

PortManagerDialog::PortManagerDialog(PortSource& source, QWidget* parent)
    : QDialog(parent), source_(source), traceSource_([&source](int slot) {
          int trace = -1;
          const Outcome answer = Await([&source, slot, &trace](const PortSource::Done& done) {
              source.OpenTrace(slot, [done, &trace](int fd) {
                  trace = fd;
                  done({}, {});
              });
          });
          return answer.answered ? trace : -1;
      })
{
    setObjectName(QStringLiteral("102"));
    setWindowTitle(WindowTitle);
    setFont(DialogFont());
    // A system menu and a minimise box; no maximise box, not resizable.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                   | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);

    portList_ = new PortListView(this);
    source.Attach(portList_);
    portList_->SetLineSettingsSource([this](int record) {
        const auto line = this->source_.LineSettings(record);
        return line ? QStringLiteral("串口设置：") + QString::fromStdString(PortMessages::Text(*line)) : QString();
    });
    portList_->SetStatusSource([this](int record) { return this->source_.StatusOf(record); });
    // Changes from the bus or a reload show in the list as they happen; the tooltips follow.
    connect(&source, &PortSource::PortsChanged, this, &PortManagerDialog::ShowPortStates);
    connect(&source, &PortSource::PortsChanged, this, &PortManagerDialog::FollowMonitoredPorts);
    connect(&source, &PortSource::CurrentChanged, this, &PortManagerDialog::ShowCurrent);
    connect(portList_, &PortListView::MonitorRequested, this, &PortManagerDialog::MonitorPort);
    InitDialog();
}

// The ports outlive the window; whoever serves them closes them when their run ends.
PortManagerDialog::~PortManagerDialog()
{
    source_.Attach(nullptr);
}

void PortManagerDialog::InitDialog()
{
    auto* label = new QLabel(QStringLiteral("已创建的虚拟串口"), this);
    portList_->setMinimumSize(600, 380);
    absence_ = new QLabel(this);
    absence_->setObjectName(QStringLiteral("absence"));
    absence_->setWordWrap(true);
    absence_->setStyleSheet(QStringLiteral("color: #b00000"));
    absence_->hide();

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
    body->addWidget(portList_);
    body->addLayout(buttons);
    auto* top = new QVBoxLayout(this);
    top->addWidget(label);
    top->addWidget(absence_);
    top->addLayout(body);
    top->setSizeConstraint(QLayout::SetFixedSize);

    // The about entry, where the system menu would hold it.
    auto* about = new QAction(QStringLiteral("关于 MV5840VSP(&A)..."), this);
    connect(about, &QAction::triggered, this, &PortManagerDialog::ShowAbout);
    addAction(about);
    setContextMenuPolicy(Qt::ActionsContextMenu);

    setWindowIcon(AppIcon());

    StartSource();
    ShowCurrent();

    trayIcon_.Open(this, TrayCallbackMessage, WindowTitle, AppIcon(), TrayMenuId, false);
    trayIcon_.SetNotifyTarget(this);
    if (!startNotices_.isEmpty())
        QTimer::singleShot(0, this, &PortManagerDialog::ShowStartNotices);
}

void PortManagerDialog::ShowStartNotices()
{
    // Not modal: the ports serve while the user reads it.
    auto* box = new QMessageBox(QMessageBox::Warning, AppTitle, startNotices_.join(QStringLiteral("\n\n")),
                                QMessageBox::Ok, this);
    box->setObjectName(QStringLiteral("startNotices"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    box->show();
}

void PortManagerDialog::StartSource()
{
    const PortSource::Started started = source_.Start();
    if (started.hostNameFailed)
        ShowMessage(QStringLiteral("错误: gethostname()"), WindowTitle, QMessageBox::Ok, QMessageBox::Warning);
    for (const std::string& notice : started.notices)
        startNotices_ << QString::fromStdString(notice);
}

void PortManagerDialog::ShowCurrent()
{
    const bool current = source_.Current();
    absence_->setText(QString::fromStdString(source_.Absence()));
    absence_->setVisible(!current);
    // Greyed: what it shows is how the ports were when their instance went away.
    portList_->setEnabled(current);
    ShowPortStates();
}

void PortManagerDialog::ShowPortStates()
{
    for (int row = 0; row < portList_->RowCount(); ++row) {
        const auto port = source_.StatusOf(portList_->RecordAtRow(row));
        if (!port)
            continue;
        // The device to open, or why there is none; and why it cannot hear or reach its DTU.
        const QString reason = QString::fromStdString(PortMessages::Text(port->reason));
        const QString device = QString::fromStdString(port->device);
        portList_->SetNameToolTip(row, !port->served || device.isEmpty() ? reason
                                       : reason.isEmpty()                ? device
                                                                         : device + QLatin1Char('\n') + reason);
        portList_->SetStateToolTip(row, reason);
    }
}

void PortManagerDialog::FollowMonitoredPorts()
{
    for (const auto& [slot, shown] : monitors_) {
        if (!shown || !shown->Reading())
            continue;
        if (const auto port = source_.StatusOf(slot))
            shown->SetPortName(QString::fromStdString(port->Name()));
        else
            shown->Finish(QStringLiteral("该端口已删除，监视已结束。"));
    }
}

int PortManagerDialog::ShowMessage(const QString& text, const QString& caption, int buttons, int icon)
{
    QMessageBox box(static_cast<QMessageBox::Icon>(icon), caption, text,
                    static_cast<QMessageBox::StandardButtons>(buttons), this);
    return RunDialog(box);
}

int PortManagerDialog::RunDialog(QDialog& dialog)
{
    // Modal to this window only: the tray icon keeps answering meanwhile (its menu can still
    // bring the window forward or end the program).
    dialog.setWindowModality(Qt::WindowModal);
    return dialog.exec();
}

PortConfig PortManagerDialog::FieldsFromDialog(const PortEditDialog& dialog) const
{
    PortConfig fields;
    fields.PortNumber = dialog.portNumber;
    fields.UseFixedIP = dialog.dynamicLogin ? 0 : 1;
    fields.PeerIP = SocketAddress().SetInAddr(htonl(dialog.hostOrderAddress), 0).ToText();
    fields.Code = dialog.code.toStdString();
    fields.LoginInterval = dialog.loginInterval;
    fields.UseTcp = dialog.protocol;
    fields.NetPort = dialog.netPort;
    fields.NetMode = dialog.netMode ? "raw" : PortConfig::DefaultNetMode;
    return fields;
}

PortManagerDialog::Outcome PortManagerDialog::Await(const std::function<void(PortSource::Done)>& change)
{
    // Shared with the callback, which may come after this returned (the run ended meanwhile).
    struct Waiting {
        Outcome outcome;
        QEventLoop* loop = nullptr;
    };
    auto waiting = std::make_shared<Waiting>();
    change([waiting](const PortError& error, const std::string& text) {
        waiting->outcome = {true, error, QString::fromStdString(text)};
        if (waiting->loop)
            waiting->loop->quit();
    });
    if (!waiting->outcome.answered) {
        // The window, its tray icon and the bus go on meanwhile; a run that ends leaves this
        // loop too, unanswered.
        QEventLoop loop;
        waiting->loop = &loop;
        loop.exec();
        waiting->loop = nullptr;
    }
    return waiting->outcome;
}

void PortManagerDialog::SubmitUntilTaken(PortEditDialog& dialog,
                                         const std::function<void(const PortConfig&, PortSource::Done)>& change)
{
    if (RunDialog(dialog) != QDialog::Accepted)
        return;
    for (;;) {
        const PortConfig fields = FieldsFromDialog(dialog);
        const Outcome answer = Await([&](const PortSource::Done& done) { change(fields, done); });
        if (!answer.answered || !answer.error)
            return;
        ShowRefusal(answer.text);
        // After a refusal by the configuration file nothing was changed, and other values
        // would meet the same file: asking again would only loop.
        if (answer.error.ByTheFile() || RunDialog(dialog) != QDialog::Accepted)
            return;
    }
}

void PortManagerDialog::AddPort()
{
    const bool shared = source_.Settings().OnlyOnePort != 0;
    PortEditDialog dialog(QStringLiteral("增加"), shared, this);
    dialog.portNumber = shared ? source_.Settings().VPortNo : 0;
    SubmitUntilTaken(dialog,
                     [this](const PortConfig& fields, const PortSource::Done& done) { source_.Add(fields, done); });
}

void PortManagerDialog::EditPort()
{
    const int row = portList_->SelectedRow();
    if (row < 0) {
        ShowMessage(QStringLiteral("请先选择要编辑的端口！"), QStringLiteral("HOLBRN"), QMessageBox::Ok,
                    QMessageBox::Warning);
        return;
    }
    const int i = portList_->RecordAtRow(row);
    const auto port = source_.StatusOf(i);
    if (!port)
        return;
    const PortConfig& record = port->config;
    const SocketAddress peer = StoredAddress(record.PeerIP);  // none is 0.0.0.0
    PortEditDialog dialog(QStringLiteral("编辑"), source_.Settings().OnlyOnePort != 0, this);
    dialog.portNumber = record.PortNumber;
    dialog.dynamicLogin = record.UseFixedIP == 0;
    dialog.hostOrderAddress = ntohl(peer.sin_addr.s_addr);
    dialog.code = QString::fromStdString(record.Code);
    dialog.loginInterval = record.LoginInterval;
    dialog.protocol = record.UseTcp ? 1 : 0;
    dialog.netPort = record.NetPort;
    dialog.netMode = record.NetMode == "raw" ? 1 : 0;
    SubmitUntilTaken(dialog, [this, i, frameGap = record.FrameGap](PortConfig fields, const PortSource::Done& done) {
        fields.FrameGap = frameGap;  // not a value of the dialog
        source_.Edit(i, fields, done);
    });
}

void PortManagerDialog::ShowRefusal(const QString& text)
{
    ShowMessage(text, AppTitle, QMessageBox::Ok, QMessageBox::Warning);
}

void PortManagerDialog::DeletePort()
{
    const int row = portList_->SelectedRow();
    if (row < 0)
        return;
    // The window deletes without asking, also a port an application holds.
    const int record = portList_->RecordAtRow(row);
    const Outcome answer = Await([this, record](const PortSource::Done& done) { source_.Remove(record, true, done); });
    if (answer.answered && answer.error)
        ShowRefusal(answer.text);
}

void PortManagerDialog::Configure()
{
    // A copy: a front end's settings may be read again while the dialog shows.
    const GlobalSettings settings = source_.Settings();
    ConfigDialog dialog(this);
    dialog.password = QString::fromStdString(settings.Password);
    dialog.networkPort = settings.SocketPort;
    dialog.mode = settings.OnlyOnePort ? 1 : 0;
    dialog.sharedPortNumber = settings.VPortNo;
    if (RunDialog(dialog) != QDialog::Accepted)
        return;

    GlobalSettings entered;
    entered.SocketPort = static_cast<uint16_t>(dialog.networkPort);
    entered.Password = dialog.password.toStdString();
    entered.OnlyOnePort = dialog.mode;
    entered.VPortNo = dialog.sharedPortNumber;
    const bool changed = entered.OnlyOnePort != settings.OnlyOnePort || entered.VPortNo != settings.VPortNo
                         || entered.Password != settings.Password || entered.SocketPort != settings.SocketPort;

    const Outcome answer = Await(
        [this, &entered](const PortSource::Done& done) { source_.SaveSettings(entered, done); });
    if (!answer.answered)
        return;
    if (answer.error) {
        ShowRefusal(answer.text);
        return;
    }
    if (!changed)
        return;  // the stored values equal the running ones
    ShowMessage(QString::fromStdString(source_.RestartAdvice()), AppTitle, QMessageBox::Ok, QMessageBox::NoIcon);
    // Ends without the in-use question: the message asked the user to close them.
    if (source_.EndsForNewSettings())
        accept();
}

void PortManagerDialog::ShowAbout()
{
    AboutDialog about(this);
    RunDialog(about);
}

void PortManagerDialog::MonitorPort(int slot)
{
    const auto port = source_.StatusOf(slot);
    if (!port)
        return;  // removed while its menu was open
    QPointer<PortMonitorDialog>& shown = monitors_[slot];
    if (shown && shown->Reading()) {
        shown->raise();
        shown->activateWindow();
        return;
    }
    const int fd = traceSource_(slot);
    if (fd < 0) {
        ShowMessage(QStringLiteral("该端口的监视暂不可用。"), AppTitle, QMessageBox::Ok, QMessageBox::Warning);
        return;
    }
    // Not modal: the ports and the window go on while the user watches.
    shown = new PortMonitorDialog(fd, QString::fromStdString(port->Name()), this);
    shown->setAttribute(Qt::WA_DeleteOnClose);
    shown->show();
}

QString PortManagerDialog::HeldPortsText(const std::vector<PortStatus>& held)
{
    QStringList lines{QStringLiteral("仍被打开的虚拟串口：")};
    for (const PortStatus& port : held) {
        QStringList programs;
        for (const PortHolder& holder : PortHolders(port.device))
            programs << QStringLiteral("%1（进程 %2）").arg(QString::fromStdString(holder.program)).arg(holder.pid);
        lines << QString::fromStdString(port.Name()) + QStringLiteral("：")
                     + (programs.isEmpty() ? QStringLiteral("无法得知是哪个程序")
                                           : programs.join(QStringLiteral("、")));
    }
    return lines.join(QLatin1Char('\n'));
}

void PortManagerDialog::RequestClose()
{
    for (std::vector<PortStatus> held; !(held = source_.PortsEndingInUse()).empty();) {
        const QString text = QString::fromStdString(PortMessages::PortInUse) + QStringLiteral("\n\n")
                             + HeldPortsText(held);
        if (ShowMessage(text, AppTitle, QMessageBox::Ok | QMessageBox::Cancel, QMessageBox::NoIcon) != QMessageBox::Ok)
            return;
    }
    trayIcon_.Destroy();
    accept();
}

void PortManagerDialog::EndWithoutQuestion()
{
    // Leaves every event loop, also those of a dialog or message box that is open, and
    // keeps later ones from starting; the modal run then returns and the teardown follows.
    QCoreApplication::exit(0);
}

bool PortManagerDialog::ShowWindow()
{
    // Also brings the window back when it is hidden in the tray.
    trayIcon_.RestoreFromTray(this);
    return true;
}

bool PortManagerDialog::event(QEvent* event)
{
    if (event->type() == TrayCallbackMessage) {
        const auto* message = static_cast<TrayMessageEvent*>(event);
        if (message->mouse == TrayMouse::LeftButtonDoubleClick)
            trayIcon_.RestoreFromTray(this);
        trayIcon_.HandleNotify(message->id, message->mouse);
        return true;
    }
    if (event->type() == CSystemTray::commandMessage) {
        const auto* message = static_cast<TrayMessageEvent*>(event);
        if (message->id == TrayCommandShowWindow)
            trayIcon_.RestoreFromTray(this);
        else if (message->id == TrayCommandExit)
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
        trayIcon_.ShrinkToTray(this);
}

bool PortManagerDialog::SelectSharedTarget(const std::string& code)
{
    return source_.SelectSharedTarget(code);
}

std::string PortManagerDialog::GetSharedTargetCode() const
{
    return source_.GetSharedTargetCode();
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
    case Qt::Key_Escape: event->accept(); return;
    default: QDialog::keyPressEvent(event);
    }
}
