#pragma once

#include <chrono>
#include <cstdint>

#include "link/FrameRule.h"
#include "net/Clock.h"

class PortTrace;
class SocketAddress;
class TcpConnection;
class VirtualSerialPort;
struct VirtualPortEntry;

// The pump of one record: moves what applications write into a virtual port out to the
// record's DTU, by UDP data datagram or over its TCP link. Its passes run on the PumpLoop,
// which sleeps between them as each pass asks.
//
// Framing follows FrameRule with the record's FrameGap (10 ms by default).
//
// Between passes the pump sleeps: while a chunk is still growing, until one whole gap after the
// loop took its last bytes in; after a chunk left with more waiting, one gap (a backlog leaves one chunk a
// gap); otherwise until its port has input, it is stopped, or it is woken (its TCP link
// connected or has room again, it became the shared target). A wake-up during a timed sleep
// does not cut it short, so the stable-count test always spans a whole gap. A TCP chunk the
// link refuses (its queue is full) is kept and offered again when the link has room, so a DTU
// that stops reading stalls only its own port. In shared-port mode a held chunk stays with the
// record it was read for and goes to that DTU even after another became the target; it is lost
// only when the record's pump ends (the port is deleted or stopped). A UDP chunk that cannot be
// sent is lost and not counted.
class LinkPump {
public:
    // What a pump needs of the data path around it: where its record's chunks go, the clock
    // and the trace. The record itself (its settings, counts and buffer) is the pump's entry.
    class Host {
    public:
        virtual Clock& Time() const = 0;
        virtual PortTrace& Trace() = 0;
        // Shared-port mode: the shared port's bytes are for this record now.
        virtual bool IsSharedTarget(const VirtualPortEntry& entry) const = 0;
        // One datagram to a DTU; false when it could not leave.
        virtual bool SendDatagram(const SocketAddress& to, const uint8_t* data, int size) = 0;
        // The record's TCP link, null while it has none.
        virtual TcpConnection* TcpLink(const VirtualPortEntry& entry) = 0;
        // The record's counts or latest error changed.
        virtual void Changed() = 0;

    protected:
        ~Host() = default;
    };

    // Chunks one pass sends at most when the gap is 0 and a backlog waits; a TCP link queues
    // them all (TcpConnection::QueueLimit).
    static constexpr int ChunksPerPass = 64;
    // Tick: one gap (bytes waiting).
    enum class Sleep { Tick, UntilInput, UntilWoken };

    // port: the virtual port the pump reads, its own or (shared) the one of every record.
    LinkPump(Host& host, VirtualPortEntry& entry, VirtualSerialPort* port, bool shared);
    Sleep Pass();
    // When the Tick the last pass asked for ends, and how long a Tick is.
    Clock::time_point Due() const;
    Clock::duration Period() const;
    // The port it reads; null for a record without one.
    VirtualSerialPort* Port() const { return port_; }

private:
    Sleep Pump();
    // Hands the held chunk to the network and counts it; false while the TCP link refuses it.
    // more: the pass hands over another chunk right after this one.
    bool Deliver(bool more);
    // Tick while bytes are waiting, else until more come; sent: a chunk left in this pass.
    Sleep AfterPass(bool sent);

    Host& host_;
    VirtualPortEntry& entry_;
    const bool shared_;
    VirtualSerialPort* const port_;
    FrameRule rule_;
    int gapMs_ = 0;               // the record's FrameGap as the last pass saw it
    Clock::time_point tickFrom_;  // a Tick ends one gap after it
    int heldOffset_ = 0;          // held chunk: transferBuffer[heldOffset_, heldLength_)
    int heldLength_ = 0;
};
