#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "link/TraceTap.h"
#include "net/EventLoop.h"
#include "net/SocketAddress.h"

// The data path's trace on its loop: the watchers (TraceTap), each stream watched by the loop
// for room and for its reader going away, and the records the loop's handlers emit. Handlers
// ask Watching first, so while nobody watches nothing is built and no clock read. Records are
// written FlushDelay after the first one waiting, or at once when FlushBytes wait, so a busy
// port costs its watchers one write for many records rather than one each; a stream is never
// waited for, and one that took less is written again when it has room. Loop thread only.
class PortTrace {
public:
    static constexpr std::chrono::milliseconds FlushDelay{5};
    static constexpr size_t FlushBytes = 64 * 1024;

    explicit PortTrace(EventLoop& loop);
    ~PortTrace();
    PortTrace(const PortTrace&) = delete;
    PortTrace& operator=(const PortTrace&) = delete;

    // A watcher: fd (taken; closed when the reader has gone or the trace ends) of the ports in
    // these records (none: every port).
    void Add(int fd, const std::vector<int>& records);

    // Someone watches the record's port; Any: someone watches (what belongs to no port).
    bool Watching(int record) const { return tap_.Watching(SlotOf(record)); }
    bool Any() const { return tap_.Any(); }

    // A record of the port in record (its COM number), at the time of the call.
    void Emit(int record, int number, TraceKind kind, std::string_view text = {}, uint64_t count = 0,
              const uint8_t* bytes = nullptr, size_t length = 0);
    // A datagram whose code no port has.
    void EmitUnknownCode(const SocketAddress& source, std::string_view code, size_t length);

    // "a.b.c.d:port", as the trace and the statuses name a DTU.
    static std::string AddressText(const SocketAddress& address);
    // Now as the trace stamps it: microseconds since the Unix epoch.
    static int64_t UnixMicroseconds();

private:
    static uint16_t SlotOf(int record) { return static_cast<uint16_t>(record + 1); }
    void Push(TraceEvent event);
    // Writes what waits; watches the streams that took less for room.
    void Flush();
    void OnStreamEvents(int fd, uint32_t events);

    EventLoop& loop_;
    TraceTap tap_;
    EventLoop::Timer flush_;
    size_t unwritten_ = 0;                                      // bytes of the records emitted since the last write
    std::map<int, std::unique_ptr<EventLoop::Watch>> streams_;  // by descriptor
};
