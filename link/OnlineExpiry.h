#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include "net/Clock.h"
#include "net/EventLoop.h"

class PortRecords;
class PortTrace;

// The online mark of UDP ports whose DTU fell silent: a timer of the loop, due at the earliest
// moment such a port must be shown offline, and run again at once when a port comes online or
// its interval changed. Loop thread only.
class OnlineExpiry {
public:
    // changed: after ports were shown offline.
    OnlineExpiry(EventLoop& loop, PortRecords& records, PortTrace& trace, std::function<void()> changed);
    ~OnlineExpiry();
    OnlineExpiry(const OnlineExpiry&) = delete;
    OnlineExpiry& operator=(const OnlineExpiry&) = delete;

    // While the network runs.
    void Start();
    void Stop();
    // A port came online or its interval changed: the ports are looked at again at once.
    void Wake();

private:
    static constexpr Clock::time_point NoneDue = Clock::time_point::max();

    void OnTimer();
    // Returns when the next check is due, NoneDue when no port is online.
    Clock::time_point ExpireSilentPorts();

    EventLoop& loop_;
    PortRecords& records_;
    PortTrace& trace_;
    std::function<void()> changed_;
    std::unique_ptr<EventLoop::Timer> timer_;  // while started
};
