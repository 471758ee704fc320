#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

#include "net/EventLoop.h"

class PortDirectoryLock;
class PortLink;

// Keeps the ports' links where applications look for them. The port directory is watched on
// the data path's loop: when a link is removed by hand, or the whole directory (rm -rf), the
// missing links are made again once the removal is over, the directory too, with the lock that
// keeps a second instance out, and the log says so. Loop thread only.
class PortDirectoryWatch {
public:
    // How long a removal must have stopped before the links are made again: rm -rf takes its
    // names one by one and the directory last.
    static constexpr std::chrono::milliseconds Settle{100};

    explicit PortDirectoryWatch(EventLoop& loop);
    ~PortDirectoryWatch();
    PortDirectoryWatch(const PortDirectoryWatch&) = delete;
    PortDirectoryWatch& operator=(const PortDirectoryWatch&) = delete;

    // A port's link, kept from now on; removed from the watch before the link goes.
    void Add(PortLink& link);
    void Remove(PortLink& link);
    // Makes every missing link again now, with the directory when it is gone.
    void Restore();

private:
    void OnEvents();
    void WatchDirectory();

    EventLoop& loop_;
    EventLoop::Watch watch_;
    EventLoop::Timer settle_;
    int inotifyFd_ = -1;
    int directoryWatch_ = -1;
    dev_t watchedDevice_ = 0;  // the directory directoryWatch_ watches
    ino_t watchedInode_ = 0;
    std::vector<PortLink*> links_;
    // Taken again when the directory (and its lock file) had to be made again.
    std::unique_ptr<PortDirectoryLock> lock_;
};
