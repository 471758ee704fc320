#include "app/ServiceManagerLink.h"

#include <algorithm>

#include "service/PortService.h"

ServiceManagerLink::ServiceManagerLink(PortService& service, QObject* parent) : QObject(parent), service(service)
{
    if (!notify.Enabled())
        return;
    statusTimer.setInterval(1000);
    connect(&statusTimer, &QTimer::timeout, this, &ServiceManagerLink::UpdateStatus);
    if (const uint64_t usec = notify.WatchdogUsec()) {
        // Half the interval, as the manager advises; the loop then has that long to answer.
        // A coarse timer may come a twentieth late: this one keeps to the half.
        watchdogTimer.setTimerType(Qt::PreciseTimer);
        watchdogTimer.setInterval(static_cast<int>(std::clamp<uint64_t>(usec / 2000, 1, 24u * 3600 * 1000)));
        connect(&watchdogTimer, &QTimer::timeout, this, &ServiceManagerLink::Watchdog);
    }
    lastHeartbeat = service.DataPathHeartbeat();
    service.PokeDataPath();
}

void ServiceManagerLink::Ready()
{
    if (!notify.Enabled())
        return;
    lastStatus = Status();
    notify.Send("READY=1\nSTATUS=" + lastStatus);
    statusTimer.start();
    if (notify.WatchdogUsec()) {
        Watchdog();
        watchdogTimer.start();
    }
}

void ServiceManagerLink::Reloading()
{
    notify.Send("RELOADING=1\nMONOTONIC_USEC=" + std::to_string(SystemdNotify::MonotonicUsec())
                + "\nSTATUS=reading the configuration file again");
    lastStatus.clear();
}

void ServiceManagerLink::Stopping()
{
    statusTimer.stop();
    notify.Send("STOPPING=1\nSTATUS=closing the ports");
}

// The ports' counts, and what keeps every DTU out while it lasts.
std::string ServiceManagerLink::Status() const
{
    std::string status = PortCounts::Of(service.Snapshot()).StatusLine();
    const std::string held = service.HeldUdpPort();
    if (!held.empty())
        status += "; UDP port " + held + " is held by another program";
    return status;
}

void ServiceManagerLink::UpdateStatus()
{
    std::string status = Status();
    if (status == lastStatus)
        return;
    lastStatus = std::move(status);
    notify.Send("STATUS=" + lastStatus);
}

void ServiceManagerLink::Watchdog()
{
    if (DataPathAlive())
        notify.Send("WATCHDOG=1");
}

bool ServiceManagerLink::DataPathAlive()
{
    const uint64_t heartbeat = service.DataPathHeartbeat();
    const bool alive = heartbeat != lastHeartbeat;
    lastHeartbeat = heartbeat;
    service.PokeDataPath();
    return alive;
}
