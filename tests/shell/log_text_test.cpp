#include "shell/log_text.h"

#include <gtest/gtest.h>

namespace tidemark {
namespace {

TEST(LogText, EveryMessageEndsWithCrLfOldestFirst) {
    EXPECT_EQ(renderLogText({u"* Launching the game.", u"ログ", u""}), u"* Launching the game.\r\nログ\r\n\r\n");
}

TEST(LogText, EmptyLogIsEmptyText) { EXPECT_EQ(renderLogText({}), u""); }

}  // namespace
}  // namespace tidemark
