#include "link/RecordMatch.h"

#include "link/PortRecords.h"

uint64_t RecordMatch::Key(const SocketAddress& address)
{
    return (static_cast<uint64_t>(address.sin_addr.s_addr) << 16) | address.sin_port;
}

int RecordMatch::Find(const SocketAddress& source, std::string_view code)
{
    for (;;) {
        if (stale_)
            Build();
        const auto byAddress = firstByAddress_.find(Key(source));
        const auto byCode = firstByCode_.find(code);
        const int fixed = byAddress == firstByAddress_.end() ? -1 : byAddress->second;
        const int dynamic = byCode == firstByCode_.end() ? -1 : byCode->second;
        // A change the table was not told of is caught where it matters: the records the
        // answer rests on are checked, and on a difference the hashes are built again.
        if ((fixed >= 0 && !(Holds(fixed, true) && records_[fixed].peerAddress.Equals(source)))
            || (dynamic >= 0 && !(Holds(dynamic, false) && records_[dynamic].config.Code == code))) {
            stale_ = true;
            continue;
        }
        if (fixed >= 0 && (dynamic < 0 || fixed < dynamic))
            return records_[fixed].config.Code == code ? fixed : -1;
        return dynamic;
    }
}

bool RecordMatch::Holds(int i, bool fixed) const
{
    const VirtualPortEntry& e = records_[i];
    return e.portHeld && !e.notServedReason && (e.config.UseFixedIP != 0) == fixed;
}

void RecordMatch::Build()
{
    firstByAddress_.clear();
    firstByCode_.clear();
    for (int i = 0; i < PortRecords::Count; ++i) {
        const VirtualPortEntry& e = records_[i];
        if (!e.portHeld || e.notServedReason)
            continue;
        // emplace keeps the first record in slot order.
        if (e.config.UseFixedIP)
            firstByAddress_.emplace(Key(e.peerAddress), i);
        else
            firstByCode_.emplace(std::string_view(e.config.Code), i);
    }
    stale_ = false;
}
