#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include "net/Clock.h"

// Whether an IPv4 address is one of this machine's, without a system call per question: the
// loopback network always, the interfaces' addresses as last read, read again when asked about
// an address not among them, at most once a RefreshPeriod (so a sender that varies its source
// address costs one read a period, and an address added since the last read is known within
// a period). Addresses in network byte order. One thread.
class LocalAddresses {
public:
    static constexpr std::chrono::seconds RefreshPeriod{1};

    bool Has(uint32_t address, Clock::time_point now);

private:
    bool Listed(uint32_t address) const;
    void Read();

    std::vector<uint32_t> addresses_;
    Clock::time_point readAt_;
    bool read_ = false;
};
