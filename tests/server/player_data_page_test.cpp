// The player's data on the page, apart from a server: the chart, and what
// tells the erase form's own requests from other sites'.
#include <gtest/gtest.h>

#include "base/page_binding.h"
#include "page/erase_confirmation.h"
#include "page/player_chart.h"
#include "server_fixture.h"

namespace tidemark {
namespace {

size_t occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

TEST(DayChart, StacksTheWindowsDaysByPattern_WithTheFiguresAsATable) {
  const int64_t today = 20'400;  // 2025-11-08
  const std::vector<DayTotal> days = {
      {today - kChartDays, "en", 2, 50},  // a day before the window
      {today - 89, "en", 4, 3},
      {today - 10, "en", 2, 4},
      {today - 10, "en", 4, 6},
      {today, "en", 4, 1},
  };
  const std::string html = renderDayChart(days, today, testing::bundledCatalog(), false);
  EXPECT_EQ(occurrences(html, "<rect "), 4u);
  // The busiest day tops the axis and fills the plot: 4 and 6 stacked.
  EXPECT_NE(html.find("14 lines in the last 90 days; the most on 2025-10-29 (10)."), std::string::npos) << html;
  EXPECT_NE(html.find("<text x=\"38\" y=\"16\" text-anchor=\"end\">10</text>"), std::string::npos);
  EXPECT_NE(html.find("<title>2025-10-29 Dice roll: 6</title>"), std::string::npos);
  EXPECT_NE(html.find("y=\"12\" width=\"8\" height=\"56\""), std::string::npos) << "4 of 10 on top of the 6";
  EXPECT_NE(html.find("<tr><td>2025-10-29</td><td>10</td><td>Standard emote 4, Dice roll 6</td></tr>"),
            std::string::npos);
  EXPECT_EQ(html.find("2025-08-10"), std::string::npos) << "the day before the window is left out";
  EXPECT_EQ(html.find("<script"), std::string::npos);

  const std::string japanese = renderDayChart(days, today, testing::bundledCatalog(), true);
  EXPECT_NE(japanese.find("1日ごとのログ数（過去90日、UTC）"), std::string::npos);
  EXPECT_NE(renderDayChart({}, today, testing::bundledCatalog(), false).find("No lines in the last 90 days."),
            std::string::npos);
}

TEST(EraseForm, TokenIsBoundToThePageAndTheSecret) {
  const std::string token = pageBoundToken("secret", kErasePurpose, "page-a");
  EXPECT_EQ(token.size(), 64u);
  EXPECT_TRUE(isPageBoundToken("secret", kErasePurpose, "page-a", token));
  EXPECT_FALSE(isPageBoundToken("secret", kErasePurpose, "page-b", token));
  EXPECT_FALSE(isPageBoundToken("other", kErasePurpose, "page-a", token));
  EXPECT_FALSE(isPageBoundToken("secret", "erasepage-", "a", token));
  EXPECT_FALSE(isPageBoundToken("secret", kErasePurpose, "page-a", token.substr(1)));
}

// A Tidemark still running registers the player again at once: the page
// that confirms the erasure says so, and how to stop it, in both languages.
TEST(ErasedPage, SaysARunningTidemarkRegistersAgainAndHowToStopIt) {
  const EraseOutcome erased{true, false, 0};
  const std::string english = erasedPage(erased, false, 12).body;
  EXPECT_NE(english.find("Your 12 lines are being deleted"), std::string::npos) << english;
  EXPECT_NE(english.find("registers you again with its next report"), std::string::npos) << english;
  EXPECT_NE(english.find("choose \"exit\" in the menu of Tidemark's icon"), std::string::npos) << english;
  const std::string japanese = erasedPage(erased, true, 12).body;
  EXPECT_NE(japanese.find("新しいプレイヤーとして登録し直し"), std::string::npos) << japanese;
  EXPECT_NE(japanese.find("「終了する」を選んで"), std::string::npos) << japanese;
  EXPECT_EQ(erasedPage({true, true, 0}, false, 12).body.find("registers you again"), std::string::npos)
      << "nothing was erased";
}

struct SiteCase {
  const char* what;
  SiteHeaders site;
  bool own;
};

class FromThisSite : public ::testing::TestWithParam<SiteCase> {};

TEST_P(FromThisSite, TellsTheServersOwnPagesFromOtherSites) {
  EXPECT_EQ(fromThisSite(GetParam().site), GetParam().own) << GetParam().what;
}

INSTANTIATE_TEST_SUITE_P(
    Headers, FromThisSite,
    ::testing::Values(SiteCase{"no headers at all", {"h:1", {}, {}, {}}, true},
                      SiteCase{"own origin and referer", {"h:1", "https://h:1", "http://h:1/t/erase", "same-origin"}, true},
                      SiteCase{"another host", {"h:1", "http://evil", {}, {}}, false},
                      SiteCase{"another port", {"h:1", "http://h:2", {}, {}}, false},
                      SiteCase{"a host that starts like ours", {"h:1", "http://h:1.evil", {}, {}}, false},
                      SiteCase{"origin null", {"h:1", "null", {}, {}}, false},
                      SiteCase{"another site's referer", {"h:1", {}, "http://evil/h:1", {}}, false},
                      SiteCase{"a cross-site fetch", {"h:1", {}, {}, "cross-site"}, false},
                      SiteCase{"a same-site fetch", {"h:1", {}, {}, "same-site"}, false},
                      SiteCase{"no host to compare with", {"", "http://h:1", {}, {}}, false}),
    [](const auto& info) { return "Case" + std::to_string(info.index); });

}  // namespace
}  // namespace tidemark
