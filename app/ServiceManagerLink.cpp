#include "app/ServiceManagerLink.h"

#include <algorithm>

#include "service/PortService.h"

ServiceManagerLink::ServiceManagerLink(PortService& service, QObject* parent) : QObject(parent), service_(service)
{
    if (!notify_.Enabled())
        return;
    statusTimer_.setInterval(1000);
    connect(&statusTimer_, &QTimer::timeout, this, &ServiceManagerLink::UpdateStatus);
    if (const uint64_t usec = notify_.WatchdogUsec()) {
        // Half the interval, as the manager advises; the loop then has that long to answer.
        // A coarse timer may come a twentieth late: this one keeps to the half.
        watchdogTimer_.setTimerType(Qt::PreciseTimer);
        watchdogTimer_.setInterval(static_cast<int>(std::clamp<uint64_t>(usec / 2000, 1, 24u * 3600 * 1000)));
        connect(&watchdogTimer_, &QTimer::timeout, this, &ServiceManagerLink::Watchdog);
    }
    lastHeartbeat_ = service_.DataPathHeartbeat();
    service_.PokeDataPath();
}

void ServiceManagerLink::Ready()
{
    if (!notify_.Enabled())
        return;
    lastStatus_ = Status();
    notify_.Send("READY=1\nSTATUS=" + lastStatus_);
    statusTimer_.start();
    if (notify_.WatchdogUsec()) {
        Watchdog();
        watchdogTimer_.start();
    }
}

void ServiceManagerLink::Reloading()
{
    notify_.Send("RELOADING=1\nMONOTONIC_USEC=" + std::to_string(SystemdNotify::MonotonicUsec())
                 + "\nSTATUS=reading the configuration file again");
    lastStatus_.clear();
}

void ServiceManagerLink::Stopping()
{
    statusTimer_.stop();
    notify_.Send("STOPPING=1\nSTATUS=closing the ports");
}

// The ports' counts, and what keeps every DTU out while it lasts.
std::string ServiceManagerLink::Status() const
{
    std::string status = PortCounts::Of(service_.Snapshot()).StatusLine();
    const std::string held = service_.HeldUdpPort();
    if (!held.empty())
        status += "; UDP port " + held + " is held by another program";
    return status;
}

void ServiceManagerLink::UpdateStatus()
{
    std::string status = Status();
    if (status == lastStatus_)
        return;
    lastStatus_ = std::move(status);
    notify_.Send("STATUS=" + lastStatus_);
}

void ServiceManagerLink::Watchdog()
{
    if (DataPathAlive())
        notify_.Send("WATCHDOG=1");
}

bool ServiceManagerLink::DataPathAlive()
{
    const uint64_t heartbeat = service_.DataPathHeartbeat();
    const bool alive = heartbeat != lastHeartbeat_;
    lastHeartbeat_ = heartbeat;
    service_.PokeDataPath();
    return alive;
}
