#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "link/LinkPump.h"
#include "net/EventLoop.h"

class PtyMonitor;
class VirtualSerialPort;
struct VirtualPortEntry;

// The data path's loop and the passes of every record's pump on it. The loop sleeps in one
// epoll over the ports' masters and the port monitor's inotify descriptor, with the earliest
// due pass as its timeout, so a chunk costs one wake-up for its bytes and one for its gap,
// whatever the number of ports: the port takes its input in and starts the pass in the same
// turn.
// A pass never blocks (writes to the network and the ports do not wait); a refused chunk is
// offered again at its own time and holds up no other port.
//
// Timed passes are aimed timers (see EventLoop): the loop wakes for one early by its measured
// lateness and waits the rest out, so a chunk leaves about when its gap ends rather than the
// timer's lateness after it, and never before. The gap counts from when the loop took the
// application's last bytes in.
class PumpLoop {
public:
    // Who turns the loop: a thread of its own (the program), or its owner step by step
    // (tests, mostly on a ManualClock).
    enum class Turning { OwnThread, ByOwner };

    // The loop reads the time from clock; with Turning::OwnThread its thread starts here.
    explicit PumpLoop(Clock& clock, Turning turning = Turning::OwnThread);
    // Ends the thread and every pump still added.
    ~PumpLoop();
    PumpLoop(const PumpLoop&) = delete;
    PumpLoop& operator=(const PumpLoop&) = delete;

    // Starts the record's pump reading port: its first pass runs at once. False when the loop
    // could not take it. These four on the loop thread only.
    bool Add(LinkPump::Host& host, VirtualPortEntry& entry, VirtualSerialPort* port, bool shared);
    // Ends the record's pump: no pass of it is still to come, and the chunk it held is gone.
    void Remove(VirtualPortEntry& entry);
    bool Runs(const VirtualPortEntry& entry) const;
    // A pass of the record's pump at the loop's next look at its timers, unless it sleeps a
    // gap (its TCP link connected or has room again, it became the shared target).
    void Wake(const VirtualPortEntry& entry);

    // The loop the pumps run on, for the other handles of the data path.
    EventLoop& Loop() { return loop_; }
    // Watches the ports opened with it (their masters and slave nodes) on this loop.
    PtyMonitor& Ports() { return *monitor_; }
    // Counts the loop's wake-ups. A watchdog pokes the loop and later sees from the count
    // whether the loop got round to it: then the data path is alive. Any thread.
    uint64_t Heartbeat() const { return loop_.Heartbeat(); }
    void Poke() { loop_.Poke(); }

private:
    struct Slot;

    void RunPass(Slot& slot);
    // A port has input: a pass of every pump reading it (readers) that sleeps until it has.
    void OnInput(const std::vector<Slot*>& readers);

    EventLoop loop_;
    std::unique_ptr<PtyMonitor> monitor_;
    std::unordered_map<const VirtualPortEntry*, std::unique_ptr<Slot>> slots_;  // loop thread only
    // The pumps of each port: one, or in shared-port mode every record's. A port's input
    // handler holds its list, which stays in place while the port has readers.
    std::unordered_map<VirtualSerialPort*, std::vector<Slot*>> readers_;  // loop thread only
};
