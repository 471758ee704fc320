#pragma once

#include <cstdint>
#include <string>

#include "config/PortConfig.h"
#include "link/PortStatistics.h"
#include "net/Clock.h"
#include "net/Reason.h"
#include "net/SocketAddress.h"

class VirtualSerialPort;

// One of the 200 port records: its stored configuration and what the data path keeps about it.
// The data path's loop thread alone reads and writes it; nothing outside link/ sees it.
struct VirtualPortEntry {
    int index = 0;  // record index: slot, stored group index + 1, port site

    int portHeld = 0;
    int linkRunning = 0;
    // As configured (FrameGap within range); PeerIP kept as written while peerAddress is still
    // the address it names.
    PortConfig config;
    SocketAddress peerAddress;
    // Where a dynamic UDP port's DTU last logged in from (data may come from elsewhere).
    SocketAddress loginAddress;
    int online = 0;
    // The network client using the port now; none (0.0.0.0:0) while none does.
    SocketAddress netClient;
    // Moves whenever the network client sets the line (baud, parity …), so the status follows.
    uint32_t netLineChanges = 0;
    // Why the port's network server is not listening (none while it is, or has no NetPort).
    Reason netFailure;
    int tcpConnected = 0;
    // Why the TCP link's last connection attempt failed (an errno), 0 once it connected.
    int tcpFailure = 0;
    VirtualSerialPort* control = nullptr;
    uint8_t transferBuffer[2000] = {};
    // When the DTU last logged in or sent data; none (the epoch) before it did.
    Clock::time_point lastHeard;
    // What the port counts, from when it was put in the slot; its lastError is published from
    // lastError below, in English.
    PortStatistics statistics;
    Reason lastError;
    // Why the record is in service but its port is not served (none while it is): the virtual
    // port could not be opened, or an earlier slot serves the same PortNumber. A record with a
    // reason matches no datagram.
    Reason notServedReason;
    // The earlier record that takes every datagram meant for this one, and why; none while
    // this one can hear its DTU. Found when the configuration changes, never per datagram.
    Reason shadowedBy;

    // The port's latest error, with the time it came.
    void NoteError(Reason error);
};
