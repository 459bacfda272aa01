#include "shell/page_address.h"

#include <gtest/gtest.h>

namespace tidemark {
namespace {

TEST(PageAddress, TokenFollowsASingleSlashUnencoded) {
    EXPECT_EQ(playerPageAddress("reports.example", 80, "p/12ab?x=1&y=%20"),
              "http://reports.example:80/p/12ab?x=1&y=%20");
}

TEST(PageAddress, PortIsAlwaysWrittenInDecimal) {
    EXPECT_EQ(playerPageAddress("127.0.0.1", 18093, "t"), "http://127.0.0.1:18093/t");
    EXPECT_EQ(homePageAddress("127.0.0.1", 80), "http://127.0.0.1:80/");
}

}  // namespace
}  // namespace tidemark
