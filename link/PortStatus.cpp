#include "link/PortStatus.h"

#include <arpa/inet.h>

namespace {

// The address a PeerIP text stands for; "" and what is no address stand for none.
uint32_t AddressOf(const std::string& text)
{
    in_addr parsed{};
    return inet_pton(AF_INET, text.c_str(), &parsed) == 1 ? parsed.s_addr : 0;
}

}  // namespace

bool SameConfig(const PortConfig& a, const PortConfig& b)
{
    return a.PortNumber == b.PortNumber && a.UseFixedIP == b.UseFixedIP && a.UseTcp == b.UseTcp
           && a.LoginInterval == b.LoginInterval && a.Code == b.Code && a.FrameGap == b.FrameGap
           && a.NetPort == b.NetPort && a.NetMode == b.NetMode && AddressOf(a.PeerIP) == AddressOf(b.PeerIP);
}

std::string PortStatus::State() const
{
    if (!served)
        return "not-served";
    return online ? "online" : "offline";
}

std::string PortStatus::FixedAddress() const
{
    return config.UseFixedIP ? config.PeerIP : std::string();
}

bool PortStatus::SameStateAs(const PortStatus& other) const
{
    return slot == other.slot && SameConfig(config, other.config) && peer == other.peer
           && loginAddress == other.loginAddress && online == other.online && device == other.device
           && served == other.served && reason == other.reason && inUse == other.inUse
           && linkFailure == other.linkFailure && netClient == other.netClient && netFailure == other.netFailure;
}
