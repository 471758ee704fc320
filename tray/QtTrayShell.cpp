#include "tray/QtTrayShell.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>

#include "tray/TrayMessages.h"

namespace {
constexpr int AvailabilityPollMs = 3000;
}

QtTrayShell::QtTrayShell(QObject* parent)
    : TrayShell(parent),
      hostWatcher(QStringLiteral("org.kde.StatusNotifierWatcher"), QDBusConnection::sessionBus(),
                  QDBusServiceWatcher::WatchForRegistration | QDBusServiceWatcher::WatchForUnregistration) {
  connect(&icon, &QSystemTrayIcon::activated, this, &QtTrayShell::OnActivated);
  connect(&hostWatcher, &QDBusServiceWatcher::serviceRegistered, this, &TrayShell::HostReturned);
  connect(&hostWatcher, &QDBusServiceWatcher::serviceUnregistered, this, &TrayShell::HostLost);
  availabilityPoll.setInterval(AvailabilityPollMs);
  connect(&availabilityPoll, &QTimer::timeout, this, &QtTrayShell::PollAvailability);
}

bool QtTrayShell::Add(const TrayIconData& data) {
  if (!QSystemTrayIcon::isSystemTrayAvailable()) {
    WatchAvailability(true);
    return false;
  }
  WatchAvailability(false);
  added = data;
  // Qt serves the icon through a StatusNotifierItem whenever a watcher is on the bus.
  QDBusConnectionInterface* bus = QDBusConnection::sessionBus().interface();
  onStatusNotifierHost = bus && bus->isServiceRegistered(hostWatcher.watchedServices().value(0)).value();
  if (data.flags & TrayIconData::Icon) icon.setIcon(data.icon);
  icon.setToolTip((data.flags & TrayIconData::Tip) ? QString::fromUtf8(data.tip) : QString());
  // A visible icon is already re-registered by Qt itself when the host returns.
  icon.show();
  return true;
}

bool QtTrayShell::Delete(const TrayIconData&) {
  WatchAvailability(false);
  icon.hide();
  return true;
}

bool QtTrayShell::IconShown() const {
  return icon.isVisible() && QSystemTrayIcon::isSystemTrayAvailable();
}

void QtTrayShell::OnActivated(QSystemTrayIcon::ActivationReason reason) {
  switch (reason) {
    case QSystemTrayIcon::Context: Notify(added, TrayMouse::RightButtonUp); break;
    case QSystemTrayIcon::DoubleClick: Notify(added, TrayMouse::LeftButtonDoubleClick); break;
    // A StatusNotifierItem host reports a click as activation and never as a double-click:
    // it asks for what a double-click does. An X11 tray reports both.
    case QSystemTrayIcon::Trigger:
      Notify(added, onStatusNotifierHost ? TrayMouse::LeftButtonDoubleClick : TrayMouse::LeftButtonUp);
      break;
    case QSystemTrayIcon::MiddleClick: Notify(added, TrayMouse::MiddleButtonUp); break;
    case QSystemTrayIcon::Unknown: break;
  }
}

void QtTrayShell::WatchAvailability(bool on) {
  if (on && !availabilityPoll.isActive()) availabilityPoll.start();
  if (!on) availabilityPoll.stop();
}

void QtTrayShell::PollAvailability() {
  if (QSystemTrayIcon::isSystemTrayAvailable()) {
    availabilityPoll.stop();
    emit HostReturned();
  }
}
