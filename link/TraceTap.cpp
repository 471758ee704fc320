#include "link/TraceTap.h"

#include <algorithm>
#include <fcntl.h>
#include <unistd.h>

TraceTap::~TraceTap()
{
    for (const Watcher& watcher : watchers_)
        close(watcher.fd);
}

bool TraceTap::Watcher::Wants(uint16_t slot) const
{
    return slot == 0 || watched.empty() || std::find(watched.begin(), watched.end(), slot) != watched.end();
}

void TraceTap::Count(const Watcher& watcher, int step)
{
    if (watcher.watched.empty()) {
        allPorts_ += step;
        return;
    }
    for (uint16_t slot : watcher.watched)
        if (slot < perSlot_.size())
            perSlot_[slot] = static_cast<uint16_t>(perSlot_[slot] + step);
}

void TraceTap::Add(int fd, const std::vector<uint16_t>& watched, size_t capacity)
{
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0)
        fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    std::vector<uint16_t> unique = watched;
    std::sort(unique.begin(), unique.end());
    unique.erase(std::unique(unique.begin(), unique.end()), unique.end());
    watchers_.push_back({fd, std::move(unique), std::make_unique<TraceBuffer>(capacity)});
    Count(watchers_.back(), 1);
}

void TraceTap::Remove(int fd)
{
    const auto found = std::find_if(watchers_.begin(), watchers_.end(), [fd](const Watcher& w) { return w.fd == fd; });
    if (found == watchers_.end())
        return;
    Count(*found, -1);
    if (onRemove_)
        onRemove_(fd);
    close(found->fd);
    watchers_.erase(found);
}

void TraceTap::Emit(const TraceEvent& event)
{
    for (Watcher& watcher : watchers_)
        if (watcher.Wants(event.slot))
            watcher.buffer->Push(event);
}

int TraceTap::WriteAll()
{
    std::vector<int> gone;
    for (Watcher& watcher : watchers_)
        if (watcher.buffer->Waiting() > 0 && watcher.buffer->WriteTo(watcher.fd) != 0)
            gone.push_back(watcher.fd);
    for (int fd : gone)
        Remove(fd);
    return static_cast<int>(gone.size());
}

std::vector<int> TraceTap::Blocked() const
{
    std::vector<int> fds;
    for (const Watcher& watcher : watchers_)
        if (watcher.buffer->Waiting() > 0)
            fds.push_back(watcher.fd);
    return fds;
}

uint64_t TraceTap::Lost(int fd) const
{
    for (const Watcher& watcher : watchers_)
        if (watcher.fd == fd)
            return watcher.buffer->LostTotal();
    return 0;
}
