#pragma once

#include <cstdint>
#include <string_view>
#include <sys/socket.h>
#include <sys/un.h>

// The sd_notify protocol, spoken directly: each message ("READY=1", "STATUS=…", lines joined
// by newlines) is one datagram to the AF_UNIX socket named in NOTIFY_SOCKET, an abstract one
// when the name starts with '@'. Without NOTIFY_SOCKET (not run by systemd as Type=notify)
// nothing is sent and nothing fails.
class SystemdNotify {
public:
    SystemdNotify();
    ~SystemdNotify();
    SystemdNotify(const SystemdNotify&) = delete;
    SystemdNotify& operator=(const SystemdNotify&) = delete;

    bool Enabled() const { return fd_ >= 0; }
    void Send(std::string_view message) const;
    // The watchdog's interval in microseconds (WATCHDOG_USEC), 0 when there is none for
    // this process (WATCHDOG_PID names another one).
    uint64_t WatchdogUsec() const { return watchdogUsec_; }

    // CLOCK_MONOTONIC in microseconds, as RELOADING=1 wants it beside (MONOTONIC_USEC=).
    static uint64_t MonotonicUsec();

private:
    int fd_ = -1;
    sockaddr_un address_{};
    socklen_t addressLength_ = 0;
    uint64_t watchdogUsec_ = 0;
};
