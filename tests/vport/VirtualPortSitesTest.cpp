#include <gtest/gtest.h>
#include <stdexcept>

#include "VportTestSupport.h"
#include "vport/VirtualPortSites.h"

TEST(VirtualPortSites, OneInstancePerSiteId)
{
    TempRuntimeDir runtime;
    VirtualPortSites sites;
    EXPECT_EQ(sites.Site(1017).SiteId(), 1017);
    EXPECT_EQ(sites.Site(1260).SiteId(), 1260);
    EXPECT_EQ(VirtualPortSites::FirstSiteId + VirtualPortSites::SiteCount - 1, 1260);
    EXPECT_NE(&sites.Site(1017), &sites.Site(1018));
    EXPECT_THROW(sites.Site(1016), std::out_of_range);
    EXPECT_THROW(sites.Site(1261), std::out_of_range);

    EXPECT_TRUE(sites.Site(1017).Initialize());
    EXPECT_TRUE(sites.Site(1017).EnableReceive(true));
    EXPECT_TRUE(sites.Site(1017).EnableTransmit(true));
    ASSERT_TRUE(sites.Site(1017).Open("COM5"));
    EXPECT_FALSE(sites.Site(1100).Open("COM5"));
    // Destroying the sites closes their ports.
}
