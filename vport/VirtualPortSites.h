#pragma once

#include <array>
#include <memory>

#include "vport/VirtualSerialPort.h"

// One virtual serial port instance per port record: record i uses site i in per-port mode;
// site 0 serves the shared port. An instance holds no descriptor until its port is first
// opened.
class VirtualPortSites {
public:
    static constexpr int SiteCount = 200;

    VirtualPortSites();
    VirtualPortSites(const VirtualPortSites&) = delete;
    VirtualPortSites& operator=(const VirtualPortSites&) = delete;

    // index must be in 0 .. SiteCount - 1.
    VirtualSerialPort& Site(int index);

private:
    std::array<std::unique_ptr<VirtualSerialPort>, SiteCount> sites_;
};
