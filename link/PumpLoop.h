#pragma once

#include <atomic>
#include <chrono>
#include <ctime>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

#include "net/Event.h"
#include "net/TimerLateness.h"
#include "net/WorkerThread.h"

class LinkPump;
class PortTable;
class PtyMonitor;
struct VirtualPortEntry;

// The one thread that runs the passes of every record's pump. It sleeps in one epoll over the
// records' wake events and their ports' input, with the earliest due pass as its timeout, so a
// chunk costs one wake-up for its bytes and one for its gap, whatever the number of ports.
// It also does the port monitor's work (taking in what applications write, noticing opens and
// closes), so the bytes' wake-up is this thread's own.
// A pass never blocks (writes to the network and the ports do not wait); a refused chunk is
// offered again at its own time and holds up no other port.
//
// Timed passes run when due by the loop's timer lateness: the loop aims its waits earlier by
// what it has measured from the end of a wait's time to the end of the first pass it woke for
// (the timer's lateness and the wake-up up to the send), so a chunk leaves about when its gap
// ends rather than that long after it. A pass never runs earlier than a twentieth of its sleep
// before its time.
class PumpLoop {
public:
    PumpLoop();
    // Ends the thread and every pump still added.
    ~PumpLoop();
    PumpLoop(const PumpLoop&) = delete;
    PumpLoop& operator=(const PumpLoop&) = delete;

    // Starts the record's pump: its first pass runs at once. The record's pumpStopEvent must
    // exist until Remove. False when the loop could not take it.
    bool Add(PortTable& table, VirtualPortEntry& entry, bool shared);
    // Ends the record's pump: when it returns no pass of it runs or is still to come, and the
    // chunk it held is gone. Must not be called with pumpLock held.
    void Remove(VirtualPortEntry& entry);
    bool Runs(const VirtualPortEntry& entry) const;

    // Counts the loop's wake-ups. A watchdog pokes the loop and later sees from the count
    // whether the loop got round to it: then the data path is alive. Any thread.
    uint64_t Heartbeat() const { return heartbeat_.load(std::memory_order_relaxed); }
    void Poke() { poke_.Set(); }

private:
    using Clock = std::chrono::steady_clock;
    struct Slot;

    static uint32_t Run(void* self);
    void Loop();
    // The time until the earliest pass falls due; false when none is to come.
    bool NextTimeout(timespec& timeout);
    void OnWake(Slot& slot);
    void RunPass(Slot& slot);
    // Runs the passes due by now; when the first of them was done, or no time when none ran.
    Clock::time_point RunDuePasses();
    void Schedule(Slot& slot, Clock::time_point dueAt, Clock::duration early);
    void Unschedule(Slot& slot);

    int epollFd_ = -1;
    std::shared_ptr<PtyMonitor> monitor_;  // driven by this loop while set
    TimerLateness lateness_;  // the loop's own thread only
    Event stop_;
    Event poke_;
    std::atomic<uint64_t> heartbeat_{0};
    WorkerThread thread_;
    // Held by the loop while it runs passes and by Add and Remove, so removing a record waits
    // for a pass in progress and none starts after it.
    mutable std::mutex mutex_;
    std::unordered_map<uint64_t, std::unique_ptr<Slot>> slots_;  // by slot number
    // The timed passes by when they run, so a wake-up looks only at those due.
    std::set<std::pair<Clock::time_point, uint64_t>> timers_;
    std::vector<uint64_t> ready_;  // RunDuePasses' own, kept to save allocations
    uint64_t nextId_ = 1;  // 0 is the stop token's
};
