#include <gtest/gtest.h>
#include <stdexcept>

#include "VportTestSupport.h"
#include "vport/VirtualPortSites.h"

TEST(VirtualPortSites, OneInstancePerRecordIndex)
{
    TempRuntimeDir runtime;
    VirtualPortSites sites;
    EXPECT_EQ(VirtualPortSites::SiteCount, 200);
    EXPECT_EQ(&sites.Site(0), &sites.Site(0));
    EXPECT_NE(&sites.Site(0), &sites.Site(1));
    EXPECT_NE(&sites.Site(0), &sites.Site(199));
    EXPECT_THROW(sites.Site(-1), std::out_of_range);
    EXPECT_THROW(sites.Site(200), std::out_of_range);

    PortLoop loop;
    ASSERT_TRUE(loop.Call([&] { return sites.Site(0).Open("COM5", loop.Monitor()); }));
    EXPECT_FALSE(loop.Call([&] { return sites.Site(83).Open("COM5", loop.Monitor()); }));
    // Closed on the loop before it ends, as the port table closes every port.
    loop.Call([&] { sites.Site(0).Close(); });
}
