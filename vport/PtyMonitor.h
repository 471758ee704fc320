#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "net/Event.h"
#include "net/WorkerThread.h"

class PtyChannel;

// The work behind all open ports: epoll over the held masters (input, room for output,
// hang-up) and inotify on the slave nodes (opens and closes by applications). It exists while
// at least one port is open.
//
// The data path's loop takes this work onto its own thread (Drive): the thread that moves the
// ports' bytes onward then also takes them in, and input costs no wake-up of a second thread.
// Only a port opened while no loop drives the monitor (the ports' own tests) starts a thread
// of the monitor's own, which ends when a loop takes over.
class PtyMonitor {
public:
    // The running monitor, started when none runs. Null when it cannot be started.
    static std::shared_ptr<PtyMonitor> Acquire();
    // Stops the thread and waits for it.
    ~PtyMonitor();
    PtyMonitor(const PtyMonitor&) = delete;
    PtyMonitor& operator=(const PtyMonitor&) = delete;

    bool Add(const std::shared_ptr<PtyChannel>& channel);
    // After Remove the monitor makes no further call into the channel that it has not
    // already begun.
    void Remove(const std::shared_ptr<PtyChannel>& channel);

    // Hands the monitor's work to the caller's loop: false when another loop already has it
    // or the own thread cannot stop. From then on the caller watches Fd() (readable while
    // events wait) and calls Dispatch() when it is, until it calls Release().
    bool Drive();
    int Fd() const { return epollFd_; }
    // Handles the events waiting now, without blocking. Only the driving loop calls it.
    void Dispatch();
    // The own thread takes the work back.
    void Release();

private:
    struct Entry {
        std::shared_ptr<PtyChannel> channel;
        int watch;
    };

    PtyMonitor() = default;
    bool Start();
    // Starts the own thread for a port added while no loop drives the monitor; false when
    // nothing would serve the port.
    bool ServeUndriven();
    static uint32_t Run(void* self);
    void Loop();
    // Handles what one epoll_wait with the timeout gives; false when the stop event came.
    bool HandleEvents(int timeoutMs);
    void HandleSlaveEvents();
    std::shared_ptr<PtyChannel> Find(uint64_t token);

    int epollFd_ = -1;
    int inotifyFd_ = -1;
    Event stop_;
    WorkerThread thread_;
    std::mutex driveMutex_;
    bool driven_ = false;

    std::mutex mutex_;
    std::unordered_map<uint64_t, Entry> entries_;
    std::unordered_map<int, uint64_t> tokenOfWatch_;
    uint64_t nextToken_ = FirstChannelToken;

    static constexpr uint64_t StopToken = 0;
    static constexpr uint64_t InotifyToken = 1;
    static constexpr uint64_t FirstChannelToken = 2;
};
