#include "service/PortCounts.h"

PortCounts PortCounts::Of(const std::vector<PortStatus>& ports)
{
    PortCounts counts;
    for (const PortStatus& port : ports) {
        ++counts.configured;
        counts.served += port.served ? 1 : 0;
        counts.online += port.served && port.online ? 1 : 0;
    }
    return counts;
}

std::string PortCounts::StatusLine() const
{
    std::string line = std::to_string(configured) + (configured == 1 ? " port, " : " ports, ") + std::to_string(online)
                       + " online";
    if (served < configured)
        line += ", " + std::to_string(configured - served) + " not served";
    return line;
}
