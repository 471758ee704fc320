// The service's status line, as systemd shows it, from the ports' snapshots.
#include <gtest/gtest.h>

#include "service/PortCounts.h"

namespace {

PortStatus Port(bool served, bool online)
{
    PortStatus port;
    port.served = served;
    port.online = online;
    return port;
}

}  // namespace

TEST(PortCounts, StatusLineCountsConfiguredOnlineAndNotServed)
{
    EXPECT_EQ(PortCounts::Of({}).StatusLine(), "0 ports, 0 online");
    EXPECT_EQ(PortCounts::Of({Port(true, true)}).StatusLine(), "1 port, 1 online");
    std::vector<PortStatus> all(200, Port(true, false));
    for (int i = 0; i < 143; ++i)
        all[i].online = true;
    // A port that is not served counts as configured, never as online.
    all[199] = Port(false, true);
    const PortCounts counts = PortCounts::Of(all);
    EXPECT_EQ(counts.configured, 200);
    EXPECT_EQ(counts.served, 199);
    EXPECT_EQ(counts.online, 143);
    EXPECT_EQ(counts.StatusLine(), "200 ports, 143 online, 1 not served");
}
