#include "shell/page_address.h"

#include <gtest/gtest.h>

namespace tidemark {
namespace {

TEST(PageAddress, TokenFollowsASingleSlashUnencoded) {
    EXPECT_EQ(playerPageAddress("reports.example", 80, false, "p/12ab?x=1&y=%20"),
              "http://reports.example:80/p/12ab?x=1&y=%20");
}

TEST(PageAddress, PortIsAlwaysWrittenInDecimal) {
    EXPECT_EQ(playerPageAddress("127.0.0.1", 18093, false, "t"), "http://127.0.0.1:18093/t");
    EXPECT_EQ(homePageAddress("127.0.0.1", 80, false), "http://127.0.0.1:80/");
}

TEST(PageAddress, AServerReachedOverHttpsGetsHttpsAddresses) {
    EXPECT_EQ(playerPageAddress("reports.example", 443, true, "t"), "https://reports.example:443/t");
    EXPECT_EQ(homePageAddress("reports.example", 8443, true), "https://reports.example:8443/");
}

}  // namespace
}  // namespace tidemark
