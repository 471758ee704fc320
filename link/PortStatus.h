#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "config/PortConfig.h"
#include "link/PortStatistics.h"
#include "net/Reason.h"
#include "net/SocketAddress.h"
#include "vport/LineState.h"

// One port as the data path publishes it: its configuration and how it runs at one moment.
// Front ends (the window, the bus manager, the tool) read these and nothing else of a port.
struct PortStatus {
    // The slot as users see it everywhere (log, tool, bus): the port's group number in the
    // configuration file, which is the record index plus one.
    static int SlotNumber(int index) { return index + 1; }
    static int SlotIndex(int number) { return number - 1; }

    int slot = -1;  // record index
    // As stored and edited; PeerIP of a dynamic UDP port is where its DTU last logged in from.
    PortConfig config;
    std::string peer;          // the DTU's current address "A.B.C.D:port", "" when none is known
    std::string loginAddress;  // dynamic UDP: "A.B.C.D" its DTU last logged in from, "" before
    bool online = false;       // UDP: logged in and not expired; TCP: connected
    std::string device;        // the link path applications open, "" when not served
    int64_t lastHeardMs = -1;  // Unix time in ms of the DTU's last datagram, -1 never
    bool served = false;
    // Why the port is not served, or why it cannot hear or reach its DTU now (an earlier port
    // takes its datagrams, it has no usable address, its TCP link fails); none when nothing
    // stands in its way.
    Reason reason;
    bool inUse = false;       // an application holds the port open
    std::string linkFailure;  // TCP: why the last connection attempt failed, "" once connected
    std::string netClient;    // the network client using the port "A.B.C.D:port", "" for none
    Reason netFailure;        // why the port's network server is not listening, none while it is
    // The line settings the network client set (RFC 2217), taken on the loop as it published.
    std::optional<LineState> netLine;
    // Everything the port counts, the bytes each way among them, and its latest error; like
    // the byte counts, no change of state.
    PortStatistics statistics;
    Reason lastError;  // the latest error as data, for a front end's own language

    static std::string PortName(int number) { return "COM" + std::to_string(number); }
    std::string Name() const { return PortName(config.PortNumber); }
    // "online", "offline" or "not-served".
    std::string State() const;
    // The fixed address "A.B.C.D" of a fixed-address port (0.0.0.0 for none), else "".
    std::string FixedAddress() const;
    // Everything but what moves with the traffic: the byte counts (dropped ones too) and the
    // time the DTU was last heard.
    bool SameStateAs(const PortStatus& other) const;
};

// Equal as stored, PeerIP compared as the address it stands for.
bool SameConfig(const PortConfig& a, const PortConfig& b);
// The address a PeerIP text stands for, its port 0 where the text names none; 0.0.0.0 for a
// text that is no address.
SocketAddress StoredAddress(const std::string& peerIp);
