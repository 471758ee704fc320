#include "net/LocalAddresses.h"

#include <algorithm>
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

bool LocalAddresses::Has(uint32_t address, Clock::time_point now)
{
    if ((ntohl(address) >> 24) == IN_LOOPBACKNET)
        return true;
    if (Listed(address))
        return true;
    if (read_ && now - readAt_ < RefreshPeriod)
        return false;
    Read();
    readAt_ = now;
    read_ = true;
    return Listed(address);
}

bool LocalAddresses::Listed(uint32_t address) const
{
    return std::find(addresses_.begin(), addresses_.end(), address) != addresses_.end();
}

void LocalAddresses::Read()
{
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return;  // what was known stays
    addresses_.clear();
    for (const ifaddrs* a = list; a; a = a->ifa_next)
        if (a->ifa_addr && a->ifa_addr->sa_family == AF_INET)
            addresses_.push_back(reinterpret_cast<const sockaddr_in*>(a->ifa_addr)->sin_addr.s_addr);
    freeifaddrs(list);
}
