#pragma once

#include <memory>
#include <unordered_map>

#include "net/EventLoop.h"
#include "vport/PortDirectoryWatch.h"

class PtyChannel;

// Opens and closes of the ports' slave nodes by applications, for every port of one loop:
// one inotify descriptor, watched by the loop like any other. The masters are the channels'
// own watches on the same loop. Loop thread only; made and ended while the loop's thread does
// not run, or on it.
class PtyMonitor {
public:
    explicit PtyMonitor(EventLoop& loop);
    ~PtyMonitor();
    PtyMonitor(const PtyMonitor&) = delete;
    PtyMonitor& operator=(const PtyMonitor&) = delete;

    // The errno when the inotify descriptor could not be made or watched; 0 when it works.
    int Error() const { return error_; }
    EventLoop& Loop() const { return loop_; }

    // Watches the channel's slave node, then the channel its master. False (with errno) when
    // the node cannot be watched.
    bool Add(const std::shared_ptr<PtyChannel>& channel);
    // No further call into the channel follows.
    void Remove(const std::shared_ptr<PtyChannel>& channel);
    // The ports' links, kept in the port directory on the same loop.
    PortDirectoryWatch& Links() { return links_; }

private:
    void HandleSlaveEvents();

    EventLoop& loop_;
    EventLoop::Watch watch_;
    int inotifyFd_ = -1;
    int error_ = 0;
    std::unordered_map<int, std::shared_ptr<PtyChannel>> channelOfWatch_;
    PortDirectoryWatch links_;
};
