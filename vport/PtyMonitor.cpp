#include "vport/PtyMonitor.h"

#include <cerrno>
#include <sys/epoll.h>
#include <sys/inotify.h>
#include <unistd.h>
#include <vector>

#include "vport/PtyChannel.h"

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

bool PtyMonitor::Add(const std::shared_ptr<PtyChannel>& channel)
{
    if (error_ != 0) {
        errno = error_;
        return false;
    }
    int watch = inotify_add_watch(inotifyFd_, channel->SlavePath().c_str(),
                                  IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE);
    if (watch < 0)
        return false;
    channelOfWatch_[watch] = channel;
    // Taken after the watch exists, so an open in between is seen by one or the other.
    channel->Attach();
    return true;
}

void PtyMonitor::Remove(const std::shared_ptr<PtyChannel>& channel)
{
    for (auto it = channelOfWatch_.begin(); it != channelOfWatch_.end(); ++it) {
        if (it->second == channel) {
            inotify_rm_watch(inotifyFd_, it->first);
            channelOfWatch_.erase(it);
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
            // A channel's handlers may remove channels: each is held while it is called.
            std::vector<std::shared_ptr<PtyChannel>> affected;
            if (event->mask & IN_Q_OVERFLOW) {
                // Events were lost: every port looks afresh.
                for (auto& [watch, channel] : channelOfWatch_)
                    affected.push_back(channel);
            } else if (auto it = channelOfWatch_.find(event->wd); it != channelOfWatch_.end()) {
                affected.push_back(it->second);
            }
            for (auto& channel : affected)
                channel->OnSlaveEvent(event->mask);
        }
    }
}
