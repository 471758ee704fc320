#include "tray/QtTrayShell.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>

#include "tray/TrayMessages.h"

namespace {
constexpr int AvailabilityPollMs = 3000;
}

QtTrayShell::QtTrayShell(QObject* parent)
    : TrayShell(parent),
      hostWatcher_(QStringLiteral("org.kde.StatusNotifierWatcher"), QDBusConnection::sessionBus(),
                   QDBusServiceWatcher::WatchForRegistration | QDBusServiceWatcher::WatchForUnregistration)
{
    connect(&icon_, &QSystemTrayIcon::activated, this, &QtTrayShell::OnActivated);
    connect(&hostWatcher_, &QDBusServiceWatcher::serviceRegistered, this, &TrayShell::HostReturned);
    connect(&hostWatcher_, &QDBusServiceWatcher::serviceUnregistered, this, &TrayShell::HostLost);
    availabilityPoll_.setInterval(AvailabilityPollMs);
    connect(&availabilityPoll_, &QTimer::timeout, this, &QtTrayShell::PollAvailability);
}

bool QtTrayShell::Add(const TrayIconData& data)
{
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        WatchAvailability(true);
        return false;
    }
    WatchAvailability(false);
    added_ = data;
    // Qt serves the icon through a StatusNotifierItem whenever a watcher is on the bus.
    QDBusConnectionInterface* bus = QDBusConnection::sessionBus().interface();
    onStatusNotifierHost_ = bus && bus->isServiceRegistered(hostWatcher_.watchedServices().value(0)).value();
    if (data.flags & TrayIconData::Icon)
        icon_.setIcon(data.icon);
    icon_.setToolTip((data.flags & TrayIconData::Tip) ? QString::fromUtf8(data.tip) : QString());
    // A visible icon is already re-registered by Qt itself when the host returns.
    icon_.show();
    return true;
}

bool QtTrayShell::Delete(const TrayIconData&)
{
    WatchAvailability(false);
    icon_.hide();
    return true;
}

bool QtTrayShell::IconShown() const
{
    return icon_.isVisible() && QSystemTrayIcon::isSystemTrayAvailable();
}

void QtTrayShell::OnActivated(QSystemTrayIcon::ActivationReason reason)
{
    switch (reason) {
    case QSystemTrayIcon::Context: Notify(added_, TrayMouse::RightButtonUp); break;
    case QSystemTrayIcon::DoubleClick: Notify(added_, TrayMouse::LeftButtonDoubleClick); break;
    // A StatusNotifierItem host reports a click as activation and never as a double-click:
    // it asks for what a double-click does. An X11 tray reports both.
    case QSystemTrayIcon::Trigger:
        Notify(added_, onStatusNotifierHost_ ? TrayMouse::LeftButtonDoubleClick : TrayMouse::LeftButtonUp);
        break;
    case QSystemTrayIcon::MiddleClick: Notify(added_, TrayMouse::MiddleButtonUp); break;
    case QSystemTrayIcon::Unknown: break;
    }
}

void QtTrayShell::WatchAvailability(bool on)
{
    if (on && !availabilityPoll_.isActive())
        availabilityPoll_.start();
    if (!on)
        availabilityPoll_.stop();
}

void QtTrayShell::PollAvailability()
{
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        availabilityPoll_.stop();
        emit HostReturned();
    }
}
