#pragma once

#include <array>
#include <memory>

#include "vport/VirtualSerialPort.h"

// The 244 virtual serial port instances that stand for the main window's control sites.
// Record i uses site FirstSiteId + i in per-port mode; site FirstSiteId serves the shared port.
// An instance holds no descriptor until its port is first opened.
class VirtualPortSites {
public:
    static constexpr int FirstSiteId = 1017;
    static constexpr int SiteCount = 244;

    VirtualPortSites();
    VirtualPortSites(const VirtualPortSites&) = delete;
    VirtualPortSites& operator=(const VirtualPortSites&) = delete;

    // id must be in FirstSiteId .. FirstSiteId + SiteCount - 1.
    VirtualSerialPort& Site(int id);

private:
    std::array<std::unique_ptr<VirtualSerialPort>, SiteCount> sites_;
};
