#pragma once

#include <string>

#include "config/PortConfig.h"
#include "link/PortStatus.h"
#include "link/VirtualPortEntry.h"
#include "net/Clock.h"
#include "net/SocketAddress.h"

class VirtualSerialPort;

// The 200 port records and the rules that read them: which slot holds a number or a code, a
// record's configuration and its status. Loop thread only.
class PortRecords {
public:
    static constexpr int Count = 200;

    PortRecords();
    PortRecords(const PortRecords&) = delete;
    PortRecords& operator=(const PortRecords&) = delete;

    VirtualPortEntry& operator[](int i) { return records_[i]; }
    const VirtualPortEntry& operator[](int i) const { return records_[i]; }
    VirtualPortEntry* begin() { return records_; }
    VirtualPortEntry* end() { return records_ + Count; }
    const VirtualPortEntry* begin() const { return records_; }
    const VirtualPortEntry* end() const { return records_ + Count; }

    // Defaults of record i, its virtual port kept.
    void Reset(int i);
    // Record i takes the configuration; configured is its PeerIP as an address. A dynamic UDP
    // port that stays one keeps the address its DTU logged in from.
    void Fill(int i, const PortConfig& config, const SocketAddress& configured);

    // Slots in service, first in slot order; -1 for none.
    int FindFree() const;
    int FindByNumber(int number) const;
    int FindByCode(const std::string& code) const;              // exact
    int FindByCodeIgnoringCase(const std::string& code) const;  // the case of A to Z ignored
    int FindOtherThan(int slot) const;

    // Marks each record in service that never hears its DTU because an earlier one takes its
    // datagrams (the scan gives a datagram to the first record that matches it), with that
    // record; clears the mark of the others. For when the configuration changed.
    void MarkShadowed();

    // The record's configuration as the store keeps it (PeerIP of a dynamic UDP port: where
    // its DTU last was heard from).
    static PortConfig ConfigOf(const VirtualPortEntry& entry);
    // The record as front ends see it at now; port: the virtual port its bytes pass through.
    static PortStatus StatusOf(const VirtualPortEntry& entry, const VirtualSerialPort* port, Clock::time_point now);

    // What a record's status is made of, without building its texts: equal for two moments
    // when the status would be the same.
    struct StatusSource {
        int portHeld = 0;
        PortConfig config;
        int online = 0;
        int tcpConnected = 0;
        int tcpFailure = 0;
        SocketAddress peerAddress;
        SocketAddress loginAddress;
        Clock::time_point lastHeard;
        PortStatistics statistics;
        Reason lastError;
        Reason notServedReason;
        Reason shadowedBy;
        SocketAddress netClient;
        uint32_t netLineChanges = 0;
        Reason netFailure;
        bool inUse = false;

        // The entry is as it was when this was taken from it; inUse: an application holds its
        // port now.
        bool Matches(const VirtualPortEntry& entry, bool inUse) const;
    };
    static StatusSource SourceOf(const VirtualPortEntry& entry, const VirtualSerialPort* port);

private:
    VirtualPortEntry records_[Count];
};
