#include "tray/CSystemTray.h"

#include <QCoreApplication>
#include <QCursor>
#include <QMenu>
#include <QWidget>
#include <QWindow>

#include "tray/QtTrayShell.h"
#include "tray/TrayMenu.h"
#include "tray/TrayMessages.h"

const QEvent::Type CSystemTray::notifyMessage = static_cast<QEvent::Type>(QEvent::registerEventType());
const QEvent::Type CSystemTray::commandMessage = static_cast<QEvent::Type>(QEvent::registerEventType());

namespace {
// At most TipBytes bytes of UTF-8, cut before a character that would not fit whole.
QByteArray CutTip(const QString& tooltip)
{
    QByteArray tip = tooltip.toUtf8();
    if (const qsizetype nul = tip.indexOf('\0'); nul >= 0)
        tip.truncate(nul);
    if (tip.size() <= TrayIconData::TipBytes)
        return tip;
    qsizetype cut = TrayIconData::TipBytes;
    while (cut > 0 && (static_cast<unsigned char>(tip[cut]) & 0xC0) == 0x80)
        --cut;
    tip.truncate(cut);
    return tip;
}
}  // namespace

CSystemTray::CSystemTray(std::unique_ptr<TrayShell> trayShell, QObject* parent)
    : QObject(parent), shell_(trayShell ? std::move(trayShell) : std::make_unique<QtTrayShell>())
{
    connect(shell_.get(), &TrayShell::HostReturned, this, &CSystemTray::ReAddIcon);
    connect(shell_.get(), &TrayShell::HostLost, this, &CSystemTray::BringBackShrunkWindow);
}

CSystemTray::~CSystemTray() = default;

bool CSystemTray::Open(QWidget* parent, QEvent::Type callbackMessage, const QString& tooltip, const QIcon& icon,
                       unsigned iconId, bool hide)
{
    if (callbackMessage == QEvent::None)
        callbackMessage = notifyMessage;
    owner_ = parent;
    notifyData_.window = parent ? static_cast<QObject*>(parent) : this;
    notifyData_.id = iconId;
    notifyData_.icon = icon;
    notifyData_.flags = TrayIconData::Message | TrayIconData::Icon;
    notifyData_.callbackMessage = callbackMessage;
    notifyData_.tip = CutTip(tooltip);
    if (!notifyData_.tip.isEmpty())
        notifyData_.flags |= TrayIconData::Tip;

    hidden_ = hide;
    bool added = true;
    if (!hide) {
        added = shell_->Add(notifyData_);
        hidden_ = removed_ = addPending_ = !added;
    }
    popupMenu_ = LoadTrayMenu(iconId);
    return added;
}

bool CSystemTray::DeleteIcon()
{
    addPending_ = false;
    if (removed_)
        return true;
    if (shell_->Delete(notifyData_))
        hidden_ = removed_ = true;
    return removed_;
}

void CSystemTray::ReAddIcon()
{
    if (!addPending_ && hidden_)
        return;  // hidden on purpose, and no add is owed
    if (shell_->Add(notifyData_)) {
        addPending_ = removed_ = hidden_ = false;
    } else {
        addPending_ = true;
    }
}

qintptr CSystemTray::HandleNotify(unsigned iconId, unsigned mouse)
{
    if (iconId != notifyData_.id)
        return 0;
    QPointer<QWidget> to = NotifyTarget();
    if (!to)
        return 0;

    if (mouse == TrayMouse::RightButtonUp) {
        QMenu* popup = Popup();
        if (!popup)
            return 0;
        popup->setDefaultAction(popup->actions().value(defaultItem));
        const QPoint at = QCursor::pos();
        to->activateWindow();
        const unsigned command = TrayMenuCommand(popup->exec(at));
        // Posted, as a menu's command arrives after the menu has closed.
        if (command != 0 && to)
            QCoreApplication::postEvent(to, new TrayMessageEvent(commandMessage, command, 0));
        return 1;
    }
    if (mouse == TrayMouse::LeftButtonDoubleClick) {
        to->activateWindow();
        QMenu* popup = Popup();
        if (!popup)
            return 0;
        TrayMessageEvent message(notifyMessage, TrayMenuCommand(popup->actions().value(defaultItem)), 0);
        QCoreApplication::sendEvent(to, &message);
        return 1;
    }
    return 1;
}

bool CSystemTray::SetNotifyTarget(QWidget* window)
{
    target_ = window;
    return true;
}

QWidget* CSystemTray::NotifyTarget() const
{
    return target_ ? target_.data() : owner_.data();
}

void CSystemTray::Destroy()
{
    DeleteIcon();
    // Later: Destroy may run while the popup is still open in HandleNotify.
    if (popupMenu_)
        popupMenu_.release()->deleteLater();
}

bool CSystemTray::ShrinkToTray(QWidget* window)
{
    if (hidden_ || addPending_ || !shell_->IconShown())
        return false;
    QWindow* handle = window->windowHandle();
    if (!handle)
        return false;
    // The native window only: QWidget::hide would end a modal dialog's run.
    handle->hide();
    shrunkWindow_ = window;
    return true;
}

void CSystemTray::RestoreFromTray(QWidget* window)
{
    window->setWindowState(window->windowState() & ~Qt::WindowMinimized);
    if (QWindow* handle = window->windowHandle()) {
        handle->show();
    } else {
        window->show();
    }
    window->raise();
    window->activateWindow();
    if (shrunkWindow_ == window)
        shrunkWindow_ = nullptr;
}

bool CSystemTray::event(QEvent* e)
{
    if (e->type() == notifyData_.callbackMessage && notifyData_.window == this) {
        const auto* message = static_cast<TrayMessageEvent*>(e);
        HandleNotify(message->id, message->mouse);
        return true;
    }
    return QObject::event(e);
}

// With the tray host gone the icon is nowhere: give the hidden window back, minimised.
void CSystemTray::BringBackShrunkWindow()
{
    if (!shrunkWindow_)
        return;
    if (QWindow* handle = shrunkWindow_->windowHandle())
        handle->showMinimized();
    shrunkWindow_ = nullptr;
}
