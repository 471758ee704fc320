#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "net/Event.h"
#include "net/WorkerThread.h"

class PtyChannel;

// The one service thread behind all open ports: epoll over the held masters (input,
// room for output, hang-up) and inotify on the slave nodes (opens and closes by
// applications). It exists while at least one port is open.
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

private:
    struct Entry {
        std::shared_ptr<PtyChannel> channel;
        int watch;
    };

    PtyMonitor() = default;
    bool Start();
    static uint32_t Run(void* self);
    void Loop();
    void HandleSlaveEvents();
    std::shared_ptr<PtyChannel> Find(uint64_t token);

    int epollFd_ = -1;
    int inotifyFd_ = -1;
    Event stop_;
    WorkerThread thread_;

    std::mutex mutex_;
    std::unordered_map<uint64_t, Entry> entries_;
    std::unordered_map<int, uint64_t> tokenOfWatch_;
    uint64_t nextToken_ = FirstChannelToken;

    static constexpr uint64_t StopToken = 0;
    static constexpr uint64_t InotifyToken = 1;
    static constexpr uint64_t FirstChannelToken = 2;
};
