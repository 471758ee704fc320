#pragma once

#include <cstdint>
#include <string_view>
#include <unordered_map>

#include "net/SocketAddress.h"

class PortRecords;

// Which record a DTU's datagram belongs to. The rule is a scan of the records in slot order:
// the first record in service and served that either has a fixed address equal to the source
// (the address decides: with another code the datagram belongs to no port) or has no fixed
// address and the datagram's code. The scan is answered from two hashes, the first such
// record per fixed address and per code, so a datagram costs two lookups and no string
// compares with every record; they are built again at the first match after the records'
// service, codes or fixed addresses changed (Stale). Loop thread only.
class RecordMatch {
public:
    explicit RecordMatch(const PortRecords& records) : records_(records) {}
    RecordMatch(const RecordMatch&) = delete;
    RecordMatch& operator=(const RecordMatch&) = delete;

    // The records changed: their service, codes or addresses may differ now.
    void Stale() { stale_ = true; }
    // The record a datagram from source with this code belongs to, or -1.
    int Find(const SocketAddress& source, std::string_view code);

private:
    static uint64_t Key(const SocketAddress& address);
    void Build();
    // Record i still is what the hashes say of it.
    bool Holds(int i, bool fixed) const;

    const PortRecords& records_;
    bool stale_ = true;
    std::unordered_map<uint64_t, int> firstByAddress_;       // records with a fixed address
    std::unordered_map<std::string_view, int> firstByCode_;  // the others; views of their codes
};
