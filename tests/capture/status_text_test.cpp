#include "capture/status_text.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

namespace tidemark {
namespace {

TEST(StatusText, FillsEachFieldInOrderWithSignedDecimals) {
    EXPECT_EQ(formatStatusText(u"Loading your logs (%d/%d)", {998, 1000}), u"Loading your logs (998/1000)");
    EXPECT_EQ(formatStatusText(u"ログを監視しています(%d)", {0}), u"ログを監視しています(0)");
    EXPECT_EQ(formatStatusText(u"%d", {std::numeric_limits<std::int32_t>::min()}), u"-2147483648");
    EXPECT_EQ(formatStatusText(u"100%% (%d)", {5}), u"100% (5)");
    EXPECT_EQ(formatStatusText(u"no fields %", {5}), u"no fields %");
}

TEST(StatusText, HoldsAtMost255Units) {
    const std::u16string longFormat = std::u16string(250, u'x') + u" (%d/%d)";
    const std::u16string text = formatStatusText(longFormat, {123456, 7890123});
    EXPECT_EQ(text.size(), kStatusTextCapacity);
    EXPECT_EQ(text, (std::u16string(250, u'x') + u" (123456/7890123)").substr(0, 255));
}

}  // namespace
}  // namespace tidemark
