#pragma once

#include <cstdint>
#include <string>

#include "link/PortTable.h"

// One port's configuration and live state at one moment, as front ends show it.
struct PortSnapshot {
    int slot = -1;
    PortFields config;
    std::string peer;          // the DTU's current address "A.B.C.D:port", "" when none is known
    bool online = false;       // UDP: logged in and not expired; TCP: connected
    int64_t rx = 0;            // bytes from the DTU into the port
    int64_t tx = 0;            // bytes from the port to the DTU
    std::string device;        // the link path applications open, "" when not served
    int64_t lastHeardMs = -1;  // Unix time in ms of the DTU's last datagram, -1 never
    bool served = false;
    Reason reason;             // why the port is not served, none when it is
    bool inUse = false;        // an application holds the port open

    std::string Name() const { return PortTable::PortName(config.PortNumber); }
    // "online", "offline" or "not-served".
    std::string State() const;
    // The fixed address "A.B.C.D" of a fixed-address port, else "".
    std::string FixedAddress() const;
    // Everything but what moves with the traffic: the byte counts and the time the DTU was
    // last heard.
    bool SameStateAs(const PortSnapshot& other) const;
};
