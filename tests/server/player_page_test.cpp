#include "page/player_page.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>

#include "server_fixture.h"
#include "test_database.h"

namespace tidemark {
namespace {

using testing::ReportForm;

const std::string kJapaneseLine = "\x1F\xE3\x82\xA8\xE3\x83\xAA\xE3\x82\xB9\x1F\xE3\x81\x93\xE3\x82\x93\xE3\x81\xAB\xE3\x81\xA1\xE3\x81\xAF\xE3\x80\x82";  // エリス: こんにちは。
const std::string kScriptLine = "\x1FMallory\x1F<script>document.title='pwned'</script>";
const std::string kImageLine = "\x1FMallory\x1F<img src=x onerror=\"document.title='img'\">";

TEST(EscapeHtml, EscapesEverythingThatOpensMarkupOrLeavesAnAttribute) {
  EXPECT_EQ(escapeHtml("<a href=\"x\" title='y'>&amp;</a>"),
            "&lt;a href=&quot;x&quot; title=&#39;y&#39;&gt;&amp;amp;&lt;/a&gt;");
}

PlayerReports sampleReports(int64_t total) {
  PlayerReports reports;
  reports.total = total;
  ListedReport script;
  script.language = "en";
  script.patternId = 2;
  script.code = 29;
  script.lineTime = 1796000000;
  script.present = true;
  script.line = kScriptLine;
  script.reportId = 20;
  reports.reports.push_back(script);
  ListedReport japanese = script;
  japanese.language = "ja";
  japanese.patternId = 4;
  japanese.line = kJapaneseLine;
  japanese.reportId = 10;
  reports.reports.push_back(japanese);
  return reports;
}

PageRequest requestFor(int64_t page, int zoneMinutes = 0) {
  PageRequest request;
  request.token = "0123456789abcdef0123456789abcdef";
  request.page = page;
  request.zoneMinutes = zoneMinutes;
  return request;
}

TEST(RenderPlayerPage, ShowsTimeInTheZonePatternNamesAndEscapedText) {
  PlayerReports reports = sampleReports(2);
  reports.totals = {{"en", 2, 5}, {"ja", 4, 1}};
  const std::string html = renderPlayerPage(reports, testing::bundledCatalog(), requestFor(1, 9 * 60));
  // UTC for machines, the zone asked for to read, and the zone named.
  EXPECT_NE(html.find("<time datetime=\"2026-11-30T00:53:20Z\">2026-11-30 09:53:20</time>"), std::string::npos);
  EXPECT_NE(html.find("(UTC+09:00)</th>"), std::string::npos);
  EXPECT_NE(html.find("<option value=\"+09:00\" selected>"), std::string::npos);
  // The pattern's name, its code in the tooltip; totals per pattern link to the filter.
  EXPECT_NE(html.find("<td class=\"pattern\" title=\"code 29, pattern 2\">Standard emote</td>"), std::string::npos);
  EXPECT_NE(html.find("href=\"/0123456789abcdef0123456789abcdef?tz=%2B09%3A00&amp;pattern=en-2\">Standard emote</a>"
                      " <span class=\"count\">5</span>"),
            std::string::npos);
  EXPECT_NE(html.find("\xE3\x83\x80\xE3\x82\xA4\xE3\x82\xB9"), std::string::npos);  // ダイス
  EXPECT_NE(html.find("class=\"legend\""), std::string::npos);
  EXPECT_NE(html.find("Mallory: &lt;script&gt;document.title=&#39;pwned&#39;&lt;/script&gt;"),
            std::string::npos);
  EXPECT_EQ(html.find("<script"), std::string::npos);
  EXPECT_EQ(html.find("rel=\"next\""), std::string::npos);
  EXPECT_NE(html.find("<html lang=\"en\">"), std::string::npos);
}

TEST(RenderPlayerPage, SearchTextIsEscapedInTheFormAndEncodedInLinks) {
  PageRequest request = requestFor(2);
  request.filter.text = "\"><script>x</script>&";
  const std::string html = renderPlayerPage(sampleReports(3 * kReportsPerPage), testing::bundledCatalog(), request);
  EXPECT_NE(html.find("value=\"&quot;&gt;&lt;script&gt;x&lt;/script&gt;&amp;\""), std::string::npos);
  EXPECT_NE(html.find("href=\"/0123456789abcdef0123456789abcdef?page=3&amp;q=%22%3E%3Cscript%3Ex%3C%2Fscript%3E%26"
                      "&amp;before=10\""),
            std::string::npos)
      << "the older page starts below this page's last line";
  EXPECT_NE(html.find("href=\"/0123456789abcdef0123456789abcdef?q=%22%3E%3Cscript%3Ex%3C%2Fscript%3E%26\""),
            std::string::npos)
      << "the newer page (page 1) keeps the search";
  EXPECT_NE(html.find("Page 2 of 3"), std::string::npos);
  EXPECT_EQ(html.find("<script"), std::string::npos);
}

TEST(RenderPlayerPage, MostlyJapaneseReports_JapaneseTexts) {
  PlayerReports reports = sampleReports(2);
  reports.totals = {{"ja", 4, 3}, {"en", 2, 1}};
  const std::string html = renderPlayerPage(reports, testing::bundledCatalog(), requestFor(1));
  EXPECT_NE(html.find("<html lang=\"ja\">"), std::string::npos);
  EXPECT_NE(html.find("\xE5\xA0\xB1\xE5\x91\x8A\xE3\x81\x97\xE3\x81\x9F\xE3\x83\xAD\xE3\x82\xB0</h1>"),
            std::string::npos);  // 報告したログ
  EXPECT_NE(html.find("2 \xE4\xBB\xB6"), std::string::npos);  // 2 件
}

// The downloads and the erasure sit apart from the lines and from each
// other, with how long lines stay and who keeps them, in the page's language.
struct YourLinesCase {
  const char* name;
  const char* language;
  PageNotes notes;
  std::vector<std::string> shown, absent;
};

class YourLines : public ::testing::TestWithParam<YourLinesCase> {};

TEST_P(YourLines, StandApartWithTheKeptDaysAndTheOperator) {
  PlayerReports reports = sampleReports(2);
  reports.totals = {{GetParam().language, 2, 3}};
  const std::string html = renderPlayerPage(reports, testing::bundledCatalog(), requestFor(1), {}, GetParam().notes);
  for (const auto& text : GetParam().shown) EXPECT_NE(html.find(text), std::string::npos) << text;
  for (const auto& text : GetParam().absent) EXPECT_EQ(html.find(text), std::string::npos) << text;
  const size_t section = html.find("<section class=\"your-data\">");
  const size_t erase = html.find("<a class=\"erase\"");
  ASSERT_NE(section, std::string::npos);
  EXPECT_GT(section, html.find("</table>")) << "below the lines";
  EXPECT_GT(erase, section);
  // Not in the downloads' sentence: that paragraph ends before the link.
  EXPECT_LT(html.find("</p>", html.find("<p class=\"links\">")), erase);
}

INSTANTIATE_TEST_SUITE_P(
    Pages, YourLines,
    ::testing::Values(
        YourLinesCase{"EnglishKeptDaysAndOperator", "en", {30, "Guild <a@b.example>"},
                      {"Download all your lines: <a href=", ">Delete all my lines</a>",
                       "Lines are kept for 30 days after they reach the server, then deleted.",
                       "This server is run by Guild &lt;a@b.example&gt;</p>", "newest first by the line's time"},
                      {"<a@b", "kept until"}},
        YourLinesCase{"EnglishKeptForever", "en", {0, ""},
                      {"Lines are kept until you delete them."}, {"class=\"operator\"", "run by"}},
        YourLinesCase{"JapaneseKeptDaysAndOperator", "ja", {7, "Linkshell"},
                      {"ログはサーバーに届いてから 7 日間保存され", "このサーバーの運営者: Linkshell",
                       ">自分のログをすべて削除</a>", "ゲーム内の時刻が新しい順"},
                      {"Lines are kept"}}),
    [](const ::testing::TestParamInfo<YourLinesCase>& info) { return std::string(info.param.name); });

TEST(ParseZoneOffset, TakesSignedHoursAndMinutesWithinFourteenHours) {
  EXPECT_EQ(parseZoneOffset("+09:00"), 540);
  EXPECT_EQ(parseZoneOffset("-03:30"), -210);
  EXPECT_EQ(parseZoneOffset("+14:00"), 840);
  for (const char* bad : {"+14:01", "09:00", "+9:00", "+09:60", "+09-00", "UTC", ""})
    EXPECT_EQ(parseZoneOffset(bad), std::nullopt) << bad;
}

class PlayerPageServed : public ::testing::Test {
 protected:
  PlayerPageServed() : server(dir.path() / "reports.sqlite3") {}

  struct Line {
    std::string language;
    std::string line;
    std::string pid = "2";
    std::string code = "29";
    std::string present = "1";
  };

  // Reports the lines as one player, oldest first, and returns the page token.
  std::string reportAsOnePlayer(const std::vector<Line>& lines) {
    std::string aid;
    int ordinal = 0;
    for (const auto& line : lines) {
      ReportForm form;
      form.lang = line.language;
      form.aid = aid;
      form.log = line.line;
      form.pid = line.pid;
      form.code = line.code;
      form.present = line.present;
      form.line = std::to_string(ordinal++);
      form.ltime = std::to_string(1796000000 + ordinal * 7);
      rapidjson::Document answer;
      answer.Parse(server.report(form).c_str());
      if (aid.empty() && answer.IsObject() && answer.HasMember("aid")) aid = answer["aid"].GetString();
    }
    rapidjson::Document answer;
    answer.Parse(server.client().Get(testing::getTarget({{"get", "token"}, {"wader", aid}}))->body.c_str());
    return answer.IsObject() && answer.HasMember("token") ? answer["token"].GetString() : "";
  }

  testing::TempDir dir;
  testing::LocalServer server;
};

TEST_F(PlayerPageServed, PagesBeyondTheFirst_ListOlderLines_AndPastTheEndGoToTheLast) {
  std::vector<Line> lines;
  for (int i = 0; i < kReportsPerPage + 5; ++i) lines.push_back({"en", "\x1F" "Bob\x1Fline " + std::to_string(i)});
  const std::string token = reportAsOnePlayer(lines);
  const auto second = server.client().Get("/" + token + "?page=2");
  ASSERT_TRUE(second);
  EXPECT_EQ(second->status, 200);
  EXPECT_NE(second->body.find("Bob: line 4<"), std::string::npos);
  EXPECT_EQ(second->body.find("Bob: line 5<"), std::string::npos);
  const auto beyond = server.client().Get("/" + token + "?page=5&tz=%2B02%3A00");
  ASSERT_TRUE(beyond);
  EXPECT_EQ(beyond->status, 303);
  // The test's HTTP client hands out the Location percent-decoded.
  EXPECT_EQ(beyond->get_header_value("Location"), "/" + token + "?page=2&tz=+02:00");
  const auto filtered = server.client().Get("/" + token + "?page=2&q=line%2054");
  ASSERT_TRUE(filtered);
  EXPECT_EQ(filtered->status, 303) << "one matching line makes one page";
  EXPECT_EQ(filtered->get_header_value("Location"), "/" + token + "?q=line 54");
  // The page's own links go by the lines at its ends, to the same lines.
  const auto link = [](const std::string& html, const char* rel) {
    const std::string start = std::string("rel=\"") + rel + "\" href=\"";
    const size_t at = html.find(start);
    if (at == std::string::npos) return std::string();
    std::string href = html.substr(at + start.size(), html.find('"', at + start.size()) - at - start.size());
    for (size_t amp; (amp = href.find("&amp;")) != std::string::npos;) href.replace(amp, 5, "&");
    return href;
  };
  const std::string older = link(server.client().Get("/" + token)->body, "next");
  ASSERT_NE(older.find("before="), std::string::npos) << older;
  const auto keyed = server.client().Get(older);
  ASSERT_TRUE(keyed);
  EXPECT_EQ(keyed->status, 200);
  for (const char* listed : {"Bob: line 4<", "Bob: line 0<", "Page 2 of 2"})
    EXPECT_NE(keyed->body.find(listed), std::string::npos) << listed;
  EXPECT_EQ(keyed->body.find("Bob: line 5<"), std::string::npos);
  EXPECT_EQ(server.client().Get("/" + token + "?page=2&before=1&after=2")->status, 400);
  EXPECT_EQ(server.client().Get("/" + token + "?page=0")->status, 400);
  EXPECT_EQ(server.client().Get("/" + token + "?page=x")->status, 400);
  EXPECT_EQ(server.client().Get("/" + token + "?tz=%2B15%3A00")->status, 400);
  EXPECT_EQ(server.client().Get("/" + token + "?pattern=en")->status, 400);
  EXPECT_EQ(server.client().Get("/" + token + "?q=" + std::string(kMaxSearchBytes + 1, 'a'))->status, 400);
  EXPECT_EQ(server.client().Get("/0123456789abcdef0123456789abcdef")->status, 404);
  EXPECT_EQ(server.client().Get("/not-a-token")->status, 404);
}

// The zone follows the page's language until the player picks one, which a
// cookie keeps for this page only.
TEST_F(PlayerPageServed, TheZoneFollowsThePagesLanguage_AndAChosenOneIsRemembered) {
  const std::string japanese = reportAsOnePlayer({{"ja", kJapaneseLine}});
  const std::string english = reportAsOnePlayer({{"en", kScriptLine}});
  const auto view = [&](const std::string& target, const std::string& cookie = {}) {
    httplib::Headers headers;
    if (!cookie.empty()) headers.emplace("Cookie", cookie);
    auto answer = server.client().Get(target, headers);
    EXPECT_TRUE(answer && answer->status == 200) << target;
    return answer;
  };
  EXPECT_NE(view("/" + japanese)->body.find("(UTC+09:00)</th>"), std::string::npos);
  EXPECT_NE(view("/" + english)->body.find("(UTC+00:00)</th>"), std::string::npos);
  EXPECT_FALSE(view("/" + english)->has_header("Set-Cookie"));
  const auto chosen = view("/" + japanese + "?tz=-05%3A00");
  EXPECT_EQ(chosen->get_header_value("Set-Cookie"),
            "tz=-05:00; Path=/" + japanese + "; Max-Age=31536000; SameSite=Strict; HttpOnly");
  EXPECT_NE(chosen->body.find("(UTC-05:00)</th>"), std::string::npos);
  // The browser sends it back: the zone without a link carrying it.
  EXPECT_NE(view("/" + japanese, "other=1; tz=-05:00")->body.find("(UTC-05:00)</th>"), std::string::npos);
  EXPECT_NE(view("/" + japanese, "tz=nonsense")->body.find("(UTC+09:00)</th>"), std::string::npos);
  // A zone in the link wins over the cookie.
  EXPECT_NE(view("/" + english + "?tz=%2B01%3A00", "tz=-05:00")->body.find("(UTC+01:00)</th>"), std::string::npos);
}

// Pages too deep to count down to go to the deepest page opened by number,
// whose links go on by key.
TEST_F(PlayerPageServed, DeepPagesByNumber_GoToTheDeepestCountedPage) {
  const std::string token = reportAsOnePlayer({{"en", "\x1F\x1Fline 0"}});
  ASSERT_FALSE(token.empty());
  const int64_t added = 2 * kMaxSkippedLines + 1000;
  ASSERT_TRUE(testing::TestDatabase::executeOn(
      (dir.path() / "reports.sqlite3").string(),
      "WITH RECURSIVE g(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM g WHERE n < " + std::to_string(added) +
          ") INSERT INTO reports(player, received_at_ms, session, lang, sid, fid, aid, pid, code, log, line, ltime,"
          " present, line_hash) SELECT player, 0, session, lang, sid, fid, aid, pid, code, CAST('line ' || n AS BLOB),"
          " 0, ltime, 1, 0 FROM reports, g"));
  const auto middle = server.client().Get("/" + token + "?page=" + std::to_string(added / 2 / kReportsPerPage + 1));
  ASSERT_TRUE(middle);
  EXPECT_EQ(middle->status, 303);
  EXPECT_EQ(middle->get_header_value("Location"),
            "/" + token + "?page=" + std::to_string(kMaxSkippedLines / kReportsPerPage));
  const auto nearLast = server.client().Get("/" + token + "?page=" + std::to_string(added / kReportsPerPage));
  ASSERT_TRUE(nearLast);
  EXPECT_EQ(nearLast->status, 200);
  EXPECT_NE(nearLast->body.find(">line 1<"), std::string::npos);

  const auto search = server.client().Get("/" + token + "?q=line");
  ASSERT_TRUE(search);
  EXPECT_NE(search->body.find("at least " + std::to_string(kMaxCountedMatches) + " lines"), std::string::npos);
  const auto pastCount = server.client().Get("/" + token + "?q=line&page=" + std::to_string(kMaxCountedMatches));
  ASSERT_TRUE(pastCount);
  EXPECT_EQ(pastCount->status, 303);
  EXPECT_EQ(pastCount->get_header_value("Location"),
            "/" + token + "?page=" + std::to_string(kMaxCountedMatches / kReportsPerPage) + "&q=line");
}

TEST_F(PlayerPageServed, FilterByPatternAndSearch_OnTheServer) {
  const std::string token = reportAsOnePlayer({{"en", "\x1F\x1FYou wave to Alice.", "2", "29"},
                                               {"en", "\x1F\x1FRandom! You roll a 73.", "4", "2122"},
                                               {"en", "\x1F\x1FYou wave to 100%_ of them.", "2", "29"},
                                               {"en", "\x1F\x1FRandom! You roll a 5.", "4", "2122"}});
  const auto byPattern = server.client().Get("/" + token + "?pattern=en-4");
  ASSERT_TRUE(byPattern);
  EXPECT_NE(byPattern->body.find("You roll a 73"), std::string::npos);
  EXPECT_EQ(byPattern->body.find("You wave"), std::string::npos);
  EXPECT_NE(byPattern->body.find("2 lines"), std::string::npos);
  // Totals count every line of the player, whatever the filter.
  EXPECT_NE(byPattern->body.find(">Standard emote</a> <span class=\"count\">2</span>"), std::string::npos);
  // The search text is literal: % and _ match only themselves.
  const auto literal = server.client().Get("/" + token + "?q=100%25_");
  ASSERT_TRUE(literal);
  EXPECT_NE(literal->body.find("You wave to 100%_ of them."), std::string::npos);
  EXPECT_NE(literal->body.find("1 line,"), std::string::npos);
  const auto both = server.client().Get("/" + token + "?pattern=en-4&q=a%205");
  ASSERT_TRUE(both);
  EXPECT_NE(both->body.find("You roll a 5."), std::string::npos);
  EXPECT_EQ(both->body.find("You roll a 73"), std::string::npos);
  const auto none = server.client().Get("/" + token + "?q=%27%20OR%201%3D1%20--");
  ASSERT_TRUE(none);
  EXPECT_EQ(none->status, 200);
  EXPECT_NE(none->body.find("No lines match."), std::string::npos);
}

// Headless Chromium, as Debian ships it.
class BrowserTest : public PlayerPageServed {
 protected:
  void SetUp() override {
    if (access("/usr/bin/chromium", X_OK) != 0) GTEST_SKIP() << "chromium is not installed";
  }

  // Runs chromium on the address with the extra flags; returns its stdout.
  std::string chromium(const std::string& flags, const std::string& url) {
    testing::TempDir profile;
    const auto output = profile.path() / "stdout.txt";
    const std::string command =
        "timeout 120 /usr/bin/chromium --headless --no-sandbox --disable-gpu --disable-quic"
        " --no-first-run --disable-background-networking --disable-component-update --disable-sync"
        " --user-data-dir=" + (profile.path() / "profile").string() + " " + flags + " '" + url +
        "' > " + output.string() + " 2> " + (profile.path() / "stderr.txt").string();
    const int status = std::system(command.c_str());
    EXPECT_EQ(status, 0) << command;
    std::ifstream in(output);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
};

TEST_F(BrowserTest, PageShowsJapaneseAndScriptLinesAsTextAndRunsNothing) {
  const std::string token =
      reportAsOnePlayer({{"en", kScriptLine}, {"en", kImageLine}, {"ja", kJapaneseLine}});
  ASSERT_FALSE(token.empty());
  const std::string dom = chromium("--dump-dom", server.baseUrl() + "/" + token);
  ASSERT_FALSE(dom.empty());
  EXPECT_NE(dom.find("<title>Tidemark - your reported lines</title>"), std::string::npos) << dom;
  EXPECT_NE(dom.find("\xE3\x82\xA8\xE3\x83\xAA\xE3\x82\xB9: \xE3\x81\x93\xE3\x82\x93\xE3\x81\xAB\xE3\x81\xA1\xE3\x81\xAF\xE3\x80\x82"),
            std::string::npos);
  // The serialised DOM shows the lines as text: their markup never became
  // elements.
  EXPECT_NE(dom.find("Mallory: &lt;script&gt;document.title='pwned'&lt;/script&gt;"), std::string::npos);
  EXPECT_NE(dom.find("Mallory: &lt;img src=x onerror=\"document.title='img'\"&gt;"), std::string::npos);
  EXPECT_EQ(dom.find("<script"), std::string::npos);
  EXPECT_EQ(dom.find("<img"), std::string::npos);
  // Newest first.
  EXPECT_LT(dom.find("\xE3\x82\xA8\xE3\x83\xAA\xE3\x82\xB9"), dom.find("Mallory"));
}

TEST_F(BrowserTest, ScreenshotOfAPlayersPage_IsWrittenForAPersonToLookAt) {
  const std::vector<Line> lines = {
      {"en", "\x1F\x1FWelcome to Eorzea!", "1", "57", "0"},
      {"en", "\x1F\x1FYou wave to Alice Bell.", "2", "29", "0"},
      {"en", "\x1F" "Alice Bell\x1F" "Random! You roll a 73.", "4", "2122"},
      {"en", std::string("\x1F\x1FYou obtain ") + "\x02\x48\x04\xF0\x08\x11\x03" + "a hi-potion" +
                 "\x02\x48\x02\x01\x03.", "5", "2110"},
      {"ja", "\x1F\x1F\xE3\x82\xA8\xE3\x82\xAA\xE3\x83\xAB\xE3\x82\xBC\xE3\x82\xA2\xE3\x81\xB8\xE3\x82\x88\xE3\x81\x86\xE3\x81\x93\xE3\x81\x9D\xEF\xBC\x81", "1", "57"},
      {"ja", kJapaneseLine, "3", "28"},
      {"en", kScriptLine},
  };
  const std::string token = reportAsOnePlayer(lines);
  std::vector<Line> japaneseLines;
  for (const auto& line : lines) japaneseLines.push_back({"ja", line.line, line.pid, line.code, line.present});
  const std::string japaneseToken = reportAsOnePlayer(japaneseLines);
  const struct {
    const char* name;
    std::string address;
  } shots[] = {
      {"player_page_en.png", "/" + token + "?tz=%2B09%3A00"},
      {"player_page_en_filtered.png", "/" + token + "?pattern=en-4&q=roll"},
      {"player_page_ja.png", "/" + japaneseToken + "?tz=%2B09%3A00"},
      {"player_page_ja_filtered.png", "/" + japaneseToken + "?pattern=ja-1"},
  };
  for (const auto& shot : shots) {
    const auto png = std::filesystem::path(TIDEMARK_TEST_OUTPUT_DIR) / shot.name;
    std::filesystem::remove(png);
    chromium("--hide-scrollbars --window-size=1000,620 --screenshot=" + png.string(), server.baseUrl() + shot.address);
    ASSERT_TRUE(std::filesystem::exists(png)) << shot.name;
    std::ifstream in(png, std::ios::binary);
    char signature[8] = {};
    in.read(signature, 8);
    EXPECT_EQ(std::string(signature, 8), "\x89PNG\r\n\x1A\n");
    EXPECT_GT(std::filesystem::file_size(png), 10'000u);
    std::cout << "screenshot: " << png.string() << "\n";
  }
}

TEST_F(BrowserTest, LinksAndFormsKeepTheZoneAndTheFilter) {
  std::vector<Line> lines;
  for (int i = 0; i < kReportsPerPage + 1; ++i) lines.push_back({"en", "\x1F" "Bob\x1Froll " + std::to_string(i), "4", "2122"});
  const std::string token = reportAsOnePlayer(lines);
  const std::string dom = chromium("--dump-dom", server.baseUrl() + "/" + token + "?tz=-05%3A00&q=roll");
  ASSERT_FALSE(dom.empty());
  EXPECT_NE(dom.find("href=\"/" + token + "?page=2&amp;tz=-05%3A00&amp;q=roll&amp;before="), std::string::npos) << dom;
  EXPECT_NE(dom.find("<input type=\"hidden\" name=\"tz\" value=\"-05:00\">"), std::string::npos);
  EXPECT_NE(dom.find("<input type=\"hidden\" name=\"q\" value=\"roll\">"), std::string::npos);
  EXPECT_NE(dom.find("(UTC-05:00)"), std::string::npos);
}

TEST_F(BrowserTest, ScreenshotsOfTheChartAndTheEraseConfirmation_InEnglishAndJapanese) {
  // Lines over the last 90 days in four patterns, more on some days.
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  std::vector<std::string> tokens;
  for (const char* language : {"en", "ja"}) {
    const std::string first = server.report([&] {
      ReportForm form;
      form.lang = language;
      return form;
    }());
    rapidjson::Document answer;
    answer.Parse(first.c_str());
    ASSERT_TRUE(answer.IsObject() && answer.HasMember("aid"));
    const std::string aid = answer["aid"].GetString();
    for (int day = 0; day < 90; day += 1 + day % 3) {
      for (int i = 0; i < (day * 7) % 13 + 1; ++i) {
        ReportFields f;
        f.language = language;
        f.aid = aid;
        f.patternId = i % 4 + 2;
        f.code = f.patternId == 2 ? 29 : f.patternId == 4 ? 2122 : f.patternId == 5 ? 2110 : 28;
        f.lineTime = now - day * 86400 - i;
        f.present = true;
        f.line = "\x1F\x1Fline " + std::to_string(i);
        ASSERT_TRUE(server.store().store(f));
      }
    }
    tokens.push_back(*server.store().tokenOf(aid));
  }
  const std::string dom = chromium("--dump-dom", server.baseUrl() + "/" + tokens[0]);
  EXPECT_NE(dom.find("<svg class=\"days\""), std::string::npos) << dom.substr(0, 500);
  EXPECT_GT(dom.find("<rect "), dom.find("<svg"));
  EXPECT_EQ(dom.find("<script"), std::string::npos);
  const struct {
    const char* name;
    std::string address;
    const char* size;
  } shots[] = {
      {"player_chart_en.png", "/" + tokens[0] + "?tz=%2B09%3A00", "1000,900"},
      {"player_chart_ja.png", "/" + tokens[1] + "?tz=%2B09%3A00", "1000,900"},
      {"erase_confirmation_en.png", "/" + tokens[0] + "/erase", "1000,400"},
      {"erase_confirmation_ja.png", "/" + tokens[1] + "/erase", "1000,400"},
  };
  for (const auto& shot : shots) {
    const auto png = std::filesystem::path(TIDEMARK_TEST_OUTPUT_DIR) / shot.name;
    std::filesystem::remove(png);
    chromium(std::string("--hide-scrollbars --window-size=") + shot.size + " --screenshot=" + png.string(),
             server.baseUrl() + shot.address);
    ASSERT_TRUE(std::filesystem::exists(png)) << shot.name;
    EXPECT_GT(std::filesystem::file_size(png), 10'000u) << shot.name;
    std::cout << "screenshot: " << png.string() << "\n";
  }
}

}  // namespace
}  // namespace tidemark
