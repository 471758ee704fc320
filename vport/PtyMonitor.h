#pragma once

#include <set>
#include <string>
#include <unordered_map>

#include "net/EventLoop.h"
#include "vport/PortDirectoryWatch.h"

class VirtualSerialPort;

// Opens and closes of the ports' slave nodes by applications, for every port of one loop:
// one inotify descriptor, watched by the loop like any other. The masters are the ports' own
// watches on the same loop. The program runs its ports on one loop, so the monitor also
// knows which names its ports serve. Loop thread only; made and ended while the loop's thread does
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

    // Watches the port's slave node, then the port its master. False (with errno) when
    // the node cannot be watched.
    bool Add(VirtualSerialPort& port);
    // No further call into the port follows.
    void Remove(VirtualSerialPort& port);
    // A name is served by one port at a time: false when another port holds it.
    bool ClaimName(const std::string& name) { return servedNames_.insert(name).second; }
    void ReleaseName(const std::string& name) { servedNames_.erase(name); }
    // The ports' links, kept in the port directory on the same loop.
    PortDirectoryWatch& Links() { return links_; }

private:
    void HandleSlaveEvents();

    EventLoop& loop_;
    EventLoop::Watch watch_;
    int inotifyFd_ = -1;
    int error_ = 0;
    std::unordered_map<int, VirtualSerialPort*> portOfWatch_;
    std::set<std::string> servedNames_;
    PortDirectoryWatch links_;
};
