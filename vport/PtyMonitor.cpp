#include "vport/PtyMonitor.h"

#include <cerrno>
#include <sys/epoll.h>
#include <sys/inotify.h>
#include <unistd.h>
#include <vector>

#include "vport/PtyChannel.h"

std::shared_ptr<PtyMonitor> PtyMonitor::Acquire()
{
    static std::mutex mutex;
    static std::weak_ptr<PtyMonitor> current;
    std::lock_guard lock(mutex);
    if (auto running = current.lock())
        return running;
    std::shared_ptr<PtyMonitor> monitor(new PtyMonitor);
    if (!monitor->Start())
        return nullptr;
    current = monitor;
    return monitor;
}

bool PtyMonitor::Start()
{
    epollFd_ = epoll_create1(EPOLL_CLOEXEC);
    inotifyFd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (epollFd_ < 0 || inotifyFd_ < 0)
        return false;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = StopToken;
    if (epoll_ctl(epollFd_, EPOLL_CTL_ADD, stop_.Fd(), &ev) != 0)
        return false;
    ev.data.u64 = InotifyToken;
    return epoll_ctl(epollFd_, EPOLL_CTL_ADD, inotifyFd_, &ev) == 0;
}

bool PtyMonitor::ServeUndriven()
{
    std::lock_guard lock(driveMutex_);
    if (!driven_ && !thread_.IsRunning())
        thread_.Start(&PtyMonitor::Run, this);
    return driven_ || thread_.IsRunning();
}

PtyMonitor::~PtyMonitor()
{
    stop_.Set();
    thread_.Wait();
    if (inotifyFd_ >= 0)
        close(inotifyFd_);
    if (epollFd_ >= 0)
        close(epollFd_);
}

bool PtyMonitor::Add(const std::shared_ptr<PtyChannel>& channel)
{
    uint64_t token;
    {
        std::lock_guard lock(mutex_);
        int watch = inotify_add_watch(inotifyFd_, channel->SlavePath().c_str(),
                                      IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE);
        if (watch < 0)
            return false;
        token = nextToken_++;
        entries_[token] = Entry{channel, watch};
        tokenOfWatch_[watch] = token;
    }
    // Taken after the watch exists, so an open in between is seen by one or the other.
    channel->Attach(epollFd_, token);
    if (ServeUndriven())
        return true;
    Remove(channel);
    return false;
}

void PtyMonitor::Remove(const std::shared_ptr<PtyChannel>& channel)
{
    std::lock_guard lock(mutex_);
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->second.channel == channel) {
            inotify_rm_watch(inotifyFd_, it->second.watch);
            tokenOfWatch_.erase(it->second.watch);
            entries_.erase(it);
            return;
        }
    }
}

uint32_t PtyMonitor::Run(void* self)
{
    static_cast<PtyMonitor*>(self)->Loop();
    return 0;
}

void PtyMonitor::Loop()
{
    while (HandleEvents(-1)) {
    }
}

bool PtyMonitor::HandleEvents(int timeoutMs)
{
    epoll_event events[64];
    const int n = epoll_wait(epollFd_, events, 64, timeoutMs);
    if (n < 0 && errno != EINTR)
        return false;
    for (int i = 0; i < n; ++i) {
        const uint64_t token = events[i].data.u64;
        if (token == StopToken)
            return false;
        if (token == InotifyToken)
            HandleSlaveEvents();
        else if (auto channel = Find(token))
            channel->OnMasterEvent(events[i].events);
    }
    return true;
}

bool PtyMonitor::Drive()
{
    std::lock_guard lock(driveMutex_);
    if (driven_)
        return false;
    // The own thread ends after the events in hand; what comes meanwhile waits in the epoll
    // set (every watch there is level-triggered) for the driving loop.
    stop_.Set();
    thread_.Wait();
    stop_.Reset();
    driven_ = true;
    return true;
}

void PtyMonitor::Dispatch()
{
    HandleEvents(0);
}

void PtyMonitor::Release()
{
    std::lock_guard lock(driveMutex_);
    if (!driven_)
        return;
    driven_ = false;
    bool any;
    {
        std::lock_guard entries(mutex_);
        any = !entries_.empty();
    }
    if (any)
        thread_.Start(&PtyMonitor::Run, this);
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
            std::vector<std::shared_ptr<PtyChannel>> affected;
            {
                std::lock_guard lock(mutex_);
                if (event->mask & IN_Q_OVERFLOW) {
                    // Events were lost: every port looks afresh.
                    for (auto& [token, entry] : entries_)
                        affected.push_back(entry.channel);
                } else if (auto it = tokenOfWatch_.find(event->wd); it != tokenOfWatch_.end()) {
                    affected.push_back(entries_.at(it->second).channel);
                }
            }
            for (auto& channel : affected)
                channel->OnSlaveEvent(event->mask);
        }
    }
}

std::shared_ptr<PtyChannel> PtyMonitor::Find(uint64_t token)
{
    std::lock_guard lock(mutex_);
    auto it = entries_.find(token);
    return it == entries_.end() ? nullptr : it->second.channel;
}
