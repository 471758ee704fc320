#pragma once

#include <string>
#include <vector>

#include "link/PortStatus.h"

// How many ports are configured (in service), served and online, for the service's status.
struct PortCounts {
    int configured = 0;
    int served = 0;
    int online = 0;

    static PortCounts Of(const std::vector<PortStatus>& ports);
    // "200 ports, 143 online, 1 not served" (the last part only when some are not).
    std::string StatusLine() const;
};
