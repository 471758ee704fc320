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
QByteArray CutTip(const QString& tooltip) {
  QByteArray tip = tooltip.toUtf8();
  if (const qsizetype nul = tip.indexOf('\0'); nul >= 0) tip.truncate(nul);
  if (tip.size() <= TrayIconData::TipBytes) return tip;
  qsizetype cut = TrayIconData::TipBytes;
  while (cut > 0 && (static_cast<unsigned char>(tip[cut]) & 0xC0) == 0x80) --cut;
  tip.truncate(cut);
  return tip;
}
}  // namespace

CSystemTray::CSystemTray(std::unique_ptr<TrayShell> trayShell, QObject* parent)
    : QObject(parent), shell(trayShell ? std::move(trayShell) : std::make_unique<QtTrayShell>()) {
  connect(shell.get(), &TrayShell::HostReturned, this, &CSystemTray::ReAddIcon);
  connect(shell.get(), &TrayShell::HostLost, this, &CSystemTray::BringBackShrunkWindow);
}

CSystemTray::~CSystemTray() = default;

bool CSystemTray::Open(QWidget* parent, QEvent::Type callbackMessage, const QString& tooltip,
                       const QIcon& icon, unsigned iconId, bool hide) {
  if (callbackMessage == QEvent::None) callbackMessage = notifyMessage;
  owner = parent;
  notifyData.window = parent ? static_cast<QObject*>(parent) : this;
  notifyData.id = iconId;
  notifyData.icon = icon;
  notifyData.flags = TrayIconData::Message | TrayIconData::Icon;
  notifyData.callbackMessage = callbackMessage;
  notifyData.tip = CutTip(tooltip);
  if (!notifyData.tip.isEmpty()) notifyData.flags |= TrayIconData::Tip;

  hidden = hide;
  bool added = true;
  if (!hide) {
    added = shell->Add(notifyData);
    hidden = removed = addPending = !added;
  }
  popupMenu = LoadTrayMenu(iconId);
  return added;
}

bool CSystemTray::DeleteIcon() {
  addPending = false;
  if (removed) return true;
  if (shell->Delete(notifyData)) hidden = removed = true;
  return removed;
}

void CSystemTray::ReAddIcon() {
  if (!addPending && hidden) return;  // hidden on purpose, and no add is owed
  if (shell->Add(notifyData)) {
    addPending = removed = hidden = false;
  } else {
    addPending = true;
  }
}

qintptr CSystemTray::HandleNotify(unsigned wParam, unsigned lParam) {
  if (wParam != notifyData.id) return 0;
  QPointer<QWidget> to = NotifyTarget();
  if (!to) return 0;

  if (lParam == TrayMouse::RightButtonUp) {
    QMenu* popup = Popup();
    if (!popup) return 0;
    popup->setDefaultAction(popup->actions().value(defaultItem));
    const QPoint at = QCursor::pos();
    to->activateWindow();
    const unsigned command = TrayMenuCommand(popup->exec(at));
    // Posted, as a menu's command arrives after the menu has closed.
    if (command != 0 && to) QCoreApplication::postEvent(to, new TrayMessageEvent(commandMessage, command, 0));
    return 1;
  }
  if (lParam == TrayMouse::LeftButtonDoubleClick) {
    to->activateWindow();
    QMenu* popup = Popup();
    if (!popup) return 0;
    TrayMessageEvent message(notifyMessage, TrayMenuCommand(popup->actions().value(defaultItem)), 0);
    QCoreApplication::sendEvent(to, &message);
    return 1;
  }
  return 1;
}

bool CSystemTray::SetNotifyTarget(QWidget* window) {
  target = window;
  return true;
}

QWidget* CSystemTray::NotifyTarget() const {
  return target ? target.data() : owner.data();
}

void CSystemTray::Destroy() {
  DeleteIcon();
  // Later: Destroy may run while the popup is still open in HandleNotify.
  if (popupMenu) popupMenu.release()->deleteLater();
}

bool CSystemTray::ShrinkToTray(QWidget* window) {
  if (hidden || addPending || !shell->IconShown()) return false;
  QWindow* handle = window->windowHandle();
  if (!handle) return false;
  // The native window only: QWidget::hide would end a modal dialog's run.
  handle->hide();
  shrunkWindow = window;
  return true;
}

void CSystemTray::RestoreFromTray(QWidget* window) {
  window->setWindowState(window->windowState() & ~Qt::WindowMinimized);
  if (QWindow* handle = window->windowHandle()) {
    handle->show();
  } else {
    window->show();
  }
  window->raise();
  window->activateWindow();
  if (shrunkWindow == window) shrunkWindow = nullptr;
}

bool CSystemTray::event(QEvent* e) {
  if (e->type() == notifyData.callbackMessage && notifyData.window == this) {
    const auto* message = static_cast<TrayMessageEvent*>(e);
    HandleNotify(message->wParam, message->lParam);
    return true;
  }
  return QObject::event(e);
}

// With the tray host gone the icon is nowhere: give the hidden window back, minimised.
void CSystemTray::BringBackShrunkWindow() {
  if (!shrunkWindow) return;
  if (QWindow* handle = shrunkWindow->windowHandle()) handle->showMinimized();
  shrunkWindow = nullptr;
}
