#include "service/PortSnapshot.h"

std::string PortSnapshot::State() const
{
    if (!served)
        return "not-served";
    return online ? "online" : "offline";
}

std::string PortSnapshot::FixedAddress() const
{
    return config.UseFixedIP ? config.peerAddress.ToText() : std::string();
}

bool PortSnapshot::SameStateAs(const PortSnapshot& other) const
{
    const PortFields& a = config;
    const PortFields& b = other.config;
    return slot == other.slot && a.PortNumber == b.PortNumber && a.UseFixedIP == b.UseFixedIP
           && a.peerAddress.Equals(b.peerAddress) && a.Code == b.Code && a.LoginInterval == b.LoginInterval
           && a.UseTcp == b.UseTcp && a.FrameGap == b.FrameGap && peer == other.peer && online == other.online
           && device == other.device && served == other.served && reason == other.reason && inUse == other.inUse
           && linkFailure == other.linkFailure;
}

PortCounts PortCounts::Of(const std::vector<PortSnapshot>& ports)
{
    PortCounts counts;
    for (const PortSnapshot& port : ports) {
        ++counts.configured;
        counts.served += port.served ? 1 : 0;
        counts.online += port.served && port.online ? 1 : 0;
    }
    return counts;
}

std::string PortCounts::StatusLine() const
{
    std::string line = std::to_string(configured) + (configured == 1 ? " port, " : " ports, ")
                       + std::to_string(online) + " online";
    if (served < configured)
        line += ", " + std::to_string(configured - served) + " not served";
    return line;
}
