#pragma once

#include <cstdint>

class PortTable;
class VirtualSerialPort;
struct VirtualPortEntry;

// The loop of one pump thread: moves what applications write into a virtual port out to the
// record's DTU, by UDP data datagram or over its TCP link.
//
// Framing: a chunk leaves once the waiting count stayed the same over one 10 ms pass, or at
// once as a full 1000-byte chunk while more keeps arriving (per-port: at least 1000 waiting,
// shared: more than 1000).
//
// Between passes the pump sleeps: 10 ms while bytes are waiting or a refused chunk is held;
// otherwise until its port has input, it is stopped, or it is woken (its TCP link connected,
// it became the shared target). A refused TCP chunk is kept and offered again every 10 ms
// without holding pumpLock across the waits, so a DTU that stops reading stalls only its own
// port. In shared-port mode a held chunk stays with the record it was read for and goes to
// that DTU even after another became the target; it is lost only when the record's pump ends
// (the port is deleted or stopped). A UDP chunk that cannot be sent is lost and not counted.
class LinkPump {
public:
    LinkPump(PortTable& table, VirtualPortEntry& entry, bool shared);
    void Run();

private:
    enum class Sleep { Tick, UntilInput, UntilWoken };

    Sleep Pass();
    Sleep Pump();
    // Hands the held chunk to the network and counts it; false while the TCP link refuses it.
    bool Deliver();
    Sleep AfterRefusal() const;
    // False when the pump is to end.
    bool Wait(Sleep sleep);
    bool Stopping();

    PortTable& table_;
    VirtualPortEntry& entry_;
    const bool shared_;
    VirtualSerialPort* const port_;
    int last_ = 0;
    int heldOffset_ = 0;  // held chunk: transferBuffer[heldOffset_, heldLength_)
    int heldLength_ = 0;
};
