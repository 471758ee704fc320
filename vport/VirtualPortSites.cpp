#include "vport/VirtualPortSites.h"

#include <stdexcept>

VirtualPortSites::VirtualPortSites()
{
    for (auto& site : sites_)
        site = std::make_unique<VirtualSerialPort>();
}

VirtualSerialPort& VirtualPortSites::Site(int index)
{
    if (index < 0 || index >= SiteCount)
        throw std::out_of_range("no port site with this index");
    return *sites_[index];
}
