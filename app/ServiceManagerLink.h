#pragma once

#include <QObject>
#include <QTimer>
#include <cstdint>
#include <string>

#include "app/SystemdNotify.h"

class PortService;

// What the service manager (systemd, Type=notify) is told about a service run: ready once
// every configured port is served or has its reason, a short status line whenever it changes
// (looked at once a second), reloading and stopping, and watchdog pings. A ping is sent only
// when the data path's loop answered the poke of the ping before, so a stuck data path gets
// no pings and the manager restarts the service. Without NOTIFY_SOCKET it does nothing.
class ServiceManagerLink : public QObject {
    Q_OBJECT
public:
    explicit ServiceManagerLink(PortService& service, QObject* parent = nullptr);

    void Ready();
    void Reloading();
    void Stopping();

private:
    std::string Status() const;
    void UpdateStatus();
    void Watchdog();
    // True when the loop's heartbeat moved since the last look; pokes it for the next.
    bool DataPathAlive();

    PortService& service_;
    SystemdNotify notify_;
    QTimer statusTimer_;
    QTimer watchdogTimer_;
    std::string lastStatus_;
    uint64_t lastHeartbeat_ = 0;
};
