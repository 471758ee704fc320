#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "net/Clock.h"
#include "net/SocketAddress.h"

// Whether a login gets its reply: at most one per destination address (whatever its port) and
// port record within SpacingMs. Every login still counts (the DTU comes online, its address is
// learnt); only the replies of a flood are thinned, to one per sending host and code every few
// milliseconds however many source ports it uses, so a flood of logins costs the server little
// more than a flood of any other datagram. A DTU logs in every few minutes and waits far longer
// than that for its reply.
//
// The replies sent are remembered in a small table indexed by a hash of address and record; a
// collision forgets the older entry and at worst lets one more reply through.
class LoginReplyRule {
public:
    static constexpr std::chrono::milliseconds Spacing{5};
    static constexpr size_t Slots = 1024;

    // True when a reply to destination for record is due at now; a due reply is remembered as
    // sent.
    bool Due(const SocketAddress& destination, int record, Clock::time_point now)
    {
        const uint32_t address = destination.sin_addr.s_addr;
        Entry& entry = entries_[Index(address, record)];
        if (entry.record == record && entry.address == address && now - entry.sentAt < Spacing)
            return false;
        entry = {address, record, now};
        return true;
    }

private:
    struct Entry {
        uint32_t address = 0;
        int record = -1;  // none
        Clock::time_point sentAt;
    };

    static size_t Index(uint32_t address, int record)
    {
        uint64_t key = (static_cast<uint64_t>(address) << 32) ^ static_cast<uint64_t>(static_cast<uint32_t>(record));
        key *= 0x9E3779B97F4A7C15ull;  // Fibonacci hashing: the top bits mix every input bit
        return static_cast<size_t>(key >> 54) % Slots;
    }

    std::array<Entry, Slots> entries_{};
};
