#include "link/PortStatus.h"

SocketAddress StoredAddress(const std::string& peerIp)
{
    SocketAddress address;
    address.ParseStored(peerIp, 0);  // no address stays 0.0.0.0
    return address;
}

bool SameConfig(const PortConfig& a, const PortConfig& b)
{
    return a.PortNumber == b.PortNumber && a.UseFixedIP == b.UseFixedIP && a.UseTcp == b.UseTcp
           && a.LoginInterval == b.LoginInterval && a.Code == b.Code && a.FrameGap == b.FrameGap
           && a.NetPort == b.NetPort && a.NetMode == b.NetMode
           && StoredAddress(a.PeerIP).Equals(StoredAddress(b.PeerIP));
}

std::string PortStatus::State() const
{
    if (!served)
        return "not-served";
    return online ? "online" : "offline";
}

std::string PortStatus::FixedAddress() const
{
    return config.UseFixedIP ? StoredAddress(config.PeerIP).ToText() : std::string();
}

bool PortStatus::SameStateAs(const PortStatus& other) const
{
    return slot == other.slot && SameConfig(config, other.config) && peer == other.peer
           && loginAddress == other.loginAddress && online == other.online && device == other.device
           && served == other.served && reason == other.reason && inUse == other.inUse
           && linkFailure == other.linkFailure && netClient == other.netClient && netFailure == other.netFailure;
}
