#include "vport/VirtualPortSites.h"

#include <stdexcept>

VirtualPortSites::VirtualPortSites()
{
    for (int i = 0; i < SiteCount; ++i)
        sites_[i] = std::make_unique<VirtualSerialPort>(FirstSiteId + i);
}

VirtualSerialPort& VirtualPortSites::Site(int id)
{
    if (id < FirstSiteId || id >= FirstSiteId + SiteCount)
        throw std::out_of_range("no control site with this id");
    return *sites_[id - FirstSiteId];
}
