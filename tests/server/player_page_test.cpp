#include "player_page.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "server_fixture.h"

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
  reports.reports.push_back(script);
  ListedReport japanese = script;
  japanese.language = "ja";
  japanese.patternId = 4;
  japanese.line = kJapaneseLine;
  reports.reports.push_back(japanese);
  return reports;
}

TEST(RenderPlayerPage, ShowsTimeCodePatternAndEscapedText) {
  const std::string html = renderPlayerPage(sampleReports(2), testing::bundledCatalog(),
                                            "0123456789abcdef0123456789abcdef", 1);
  EXPECT_NE(html.find("2026-11-30 00:53:20"), std::string::npos);
  EXPECT_NE(html.find("<td class=\"code\">29</td>"), std::string::npos);
  EXPECT_NE(html.find("Standard emote"), std::string::npos);
  EXPECT_NE(html.find("\xE3\x83\x80\xE3\x82\xA4\xE3\x82\xB9"), std::string::npos);  // ダイス
  EXPECT_NE(html.find("Mallory: &lt;script&gt;document.title=&#39;pwned&#39;&lt;/script&gt;"),
            std::string::npos);
  EXPECT_EQ(html.find("<script"), std::string::npos);
  EXPECT_EQ(html.find("rel=\"next\""), std::string::npos);
}

TEST(RenderPlayerPage, MiddlePage_LinksToNewerAndOlder) {
  const std::string html = renderPlayerPage(sampleReports(3 * kReportsPerPage + 1),
                                            testing::bundledCatalog(), "0123456789abcdef0123456789abcdef", 2);
  EXPECT_NE(html.find("Page 2 of 4"), std::string::npos);
  EXPECT_NE(html.find("href=\"/0123456789abcdef0123456789abcdef?page=1\""), std::string::npos);
  EXPECT_NE(html.find("href=\"/0123456789abcdef0123456789abcdef?page=3\""), std::string::npos);
}

class PlayerPageServed : public ::testing::Test {
 protected:
  PlayerPageServed() : server(dir.path() / "reports.sqlite3") {}

  struct Line {
    std::string language;
    std::string line;
    std::string pid = "2";
    std::string code = "29";
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

TEST_F(PlayerPageServed, PagesBeyondTheFirst_ListOlderLines) {
  std::vector<Line> lines;
  for (int i = 0; i < kReportsPerPage + 5; ++i) lines.push_back({"en", "\x1F" "Bob\x1Fline " + std::to_string(i)});
  const std::string token = reportAsOnePlayer(lines);
  const auto second = server.client().Get("/" + token + "?page=2");
  ASSERT_TRUE(second);
  EXPECT_EQ(second->status, 200);
  EXPECT_NE(second->body.find("Bob: line 4<"), std::string::npos);
  EXPECT_EQ(second->body.find("Bob: line 5<"), std::string::npos);
  EXPECT_EQ(server.client().Get("/" + token + "?page=0")->status, 400);
  EXPECT_EQ(server.client().Get("/" + token + "?page=x")->status, 400);
  EXPECT_EQ(server.client().Get("/0123456789abcdef0123456789abcdef")->status, 404);
  EXPECT_EQ(server.client().Get("/not-a-token")->status, 404);
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
      {"en", "\x1F\x1FWelcome to Eorzea!", "1", "57"},
      {"en", "\x1F\x1FYou wave to Alice Bell."},
      {"en", "\x1F" "Alice Bell\x1F" "Random! You roll a 73.", "4", "2122"},
      {"en", std::string("\x1F\x1FYou obtain ") + "\x02\x48\x04\xF0\x08\x11\x03" + "a hi-potion" +
                 "\x02\x48\x02\x01\x03.", "5", "2110"},
      {"ja", "\x1F\x1F\xE3\x82\xA8\xE3\x82\xAA\xE3\x83\xAB\xE3\x82\xBC\xE3\x82\xA2\xE3\x81\xB8\xE3\x82\x88\xE3\x81\x86\xE3\x81\x93\xE3\x81\x9D\xEF\xBC\x81", "1", "57"},
      {"ja", kJapaneseLine, "3", "28"},
      {"en", kScriptLine},
  };
  const std::string token = reportAsOnePlayer(lines);
  const auto png = std::filesystem::path(TIDEMARK_TEST_OUTPUT_DIR) / "player_page.png";
  std::filesystem::remove(png);
  chromium("--hide-scrollbars --window-size=1000,520 --screenshot=" + png.string(),
           server.baseUrl() + "/" + token);
  ASSERT_TRUE(std::filesystem::exists(png));
  std::ifstream in(png, std::ios::binary);
  char signature[8] = {};
  in.read(signature, 8);
  EXPECT_EQ(std::string(signature, 8), "\x89PNG\r\n\x1A\n");
  EXPECT_GT(std::filesystem::file_size(png), 10'000u);
  std::cout << "screenshot: " << png.string() << "\n";
}

}  // namespace
}  // namespace tidemark
