#include "vport/PtyMonitor.h"

#include <cerrno>
#include <sys/epoll.h>
#include <sys/inotify.h>
#include <unistd.h>
#include <vector>

#include "vport/VirtualSerialPort.h"

PtyMonitor::PtyMonitor(EventLoop& loop)
    : loop_(loop), watch_(loop, [this](uint32_t) { HandleSlaveEvents(); }), links_(loop)
{
    // Whether an application holds a port is known before the bytes for it are written.
    watch_.GoFirst();
    inotifyFd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotifyFd_ < 0)
        error_ = errno;
    else
        error_ = watch_.Add(inotifyFd_, EPOLLIN);
}

PtyMonitor::~PtyMonitor()
{
    watch_.Remove();
    if (inotifyFd_ >= 0)
        close(inotifyFd_);
}

bool PtyMonitor::Add(VirtualSerialPort& port)
{
    if (error_ != 0) {
        errno = error_;
        return false;
    }
    int watch = inotify_add_watch(inotifyFd_, port.SlavePath().c_str(), IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE);
    if (watch < 0)
        return false;
    portOfWatch_[watch] = &port;
    // Taken after the watch exists, so an open in between is seen by one or the other.
    port.Attach();
    return true;
}

void PtyMonitor::Remove(VirtualSerialPort& port)
{
    for (auto it = portOfWatch_.begin(); it != portOfWatch_.end(); ++it) {
        if (it->second == &port) {
            inotify_rm_watch(inotifyFd_, it->first);
            portOfWatch_.erase(it);
            return;
        }
    }
}

void PtyMonitor::HandleSlaveEvents()
{
    alignas(inotify_event) char buffer[8192];
    for (;;) {
        ssize_t n = read(inotifyFd_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            // A port's handlers may close ports: each is looked up again when its turn comes.
            if (!(event->mask & IN_Q_OVERFLOW)) {
                if (auto it = portOfWatch_.find(event->wd); it != portOfWatch_.end())
                    it->second->OnSlaveEvent(event->mask);
                continue;
            }
            // Events were lost: every port looks afresh.
            std::vector<int> affected;
            for (auto& [watch, port] : portOfWatch_)
                affected.push_back(watch);
            for (int watch : affected) {
                if (auto it = portOfWatch_.find(watch); it != portOfWatch_.end())
                    it->second->OnSlaveEvent(event->mask);
            }
        }
    }
}
