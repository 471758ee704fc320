#pragma once
// The notification area of a Linux desktop, through QSystemTrayIcon (StatusNotifierItem over
// D-Bus, or the X11 tray). The return of the StatusNotifierWatcher on the session bus plays the
// part of the shell's "taskbar created" broadcast.
#include <QDBusServiceWatcher>
#include <QSystemTrayIcon>
#include <QTimer>

#include "tray/TrayShell.h"

class QtTrayShell : public TrayShell {
    Q_OBJECT
public:
    explicit QtTrayShell(QObject* parent = nullptr);

    bool Add(const TrayIconData& data) override;
    bool Delete(const TrayIconData& data) override;
    bool IconShown() const override;

private:
    void OnActivated(QSystemTrayIcon::ActivationReason reason);
    void WatchAvailability(bool on);
    void PollAvailability();

    QSystemTrayIcon icon_;
    QDBusServiceWatcher hostWatcher_;
    // An X11 tray can appear without any D-Bus signal; while an add is owed, look for one.
    QTimer availabilityPoll_;
    TrayIconData added_;
    bool onStatusNotifierHost_ = false;
};
