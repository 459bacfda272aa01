// The player's data through a running server: the downloads, the erase
// flow, retention in the background and --forget-player, on both stores.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <future>
#include <set>
#include <thread>

#include "base/line_rendering.h"
#include "server_fixture.h"
#include "test_database.h"

namespace tidemark {
namespace {

using testing::StoreKind;

constexpr int64_t kFirstTime = 1796000000;  // 2026-11-30T00:53:20Z

std::string unbase64(std::string_view text) {
  std::string out;
  uint32_t bits = 0;
  int count = 0;
  for (char c : text) {
    const char* digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const char* at = std::strchr(digits, c);
    if (c == '=' || !at) break;
    bits = bits << 6 | static_cast<uint32_t>(at - digits);
    if ((count += 6) >= 8) out.push_back(static_cast<char>(bits >> (count -= 8)));
  }
  return out;
}

// RFC 4180 records: quoted fields may hold commas, quotes and line breaks.
std::vector<std::vector<std::string>> parseCsv(std::string_view text) {
  std::vector<std::vector<std::string>> rows(1, std::vector<std::string>(1));
  bool quoted = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted) {
      if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') rows.back().back() += text[++i];
      else if (c == '"') quoted = false;
      else rows.back().back() += c;
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      rows.back().emplace_back();
    } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      rows.emplace_back(1);
      ++i;
    } else {
      rows.back().back() += c;
    }
  }
  if (rows.back() == std::vector<std::string>(1)) rows.pop_back();
  return rows;
}

class PlayerDataServed : public ::testing::TestWithParam<StoreKind> {
 protected:
  void SetUp() override {
    if (!database.available()) GTEST_SKIP() << "no throwaway PostgreSQL runs (tools/throwaway-postgresql.sh)";
    server = std::make_unique<testing::LocalServer>(database.address(), limits());
  }
  virtual ServiceLimits limits() { return {}; }

  // Registers a player with one report; its id and page token.
  std::pair<std::string, std::string> registerPlayer() {
    rapidjson::Document answer;
    answer.Parse(server->report(testing::ReportForm{}).c_str());
    if (!answer.IsObject() || !answer.HasMember("aid")) return {};
    const std::string aid = answer["aid"].GetString();
    return {aid, *server->store().tokenOf(aid)};
  }

  // The player's lines straight into the store (faster than one request
  // each), numbered ("line") from 1; their bytes in that order. PostgreSQL's
  // writers may store them in another order.
  std::vector<std::string> addLines(const std::string& aid, int count) {
    std::vector<std::string> lines;
    std::vector<std::future<bool>> stored;
    for (int i = 0; i < count; ++i) {
      ReportFields f;
      f.language = i % 2 ? "en" : "ja";
      f.aid = aid;
      f.patternId = 2;
      f.code = 29;
      f.ordinal = i + 1;
      f.lineTime = kFirstTime + i * 37;
      f.present = true;
      // Commas, quotes, line breaks, bytes that are not UTF-8, a formula.
      f.line = i % 5 == 0 ? "\x1F\x1F=SUM(A1),\"x\"\n\xFF " + std::to_string(i) : "\x1F" "Bob\x1Fline " + std::to_string(i);
      lines.push_back(f.line);
      auto done = std::make_shared<std::promise<bool>>();
      stored.push_back(done->get_future());
      server->store().storeAsync(f, [done](std::optional<StoredReport> r) { done->set_value(r.has_value()); });
    }
    for (auto& s : stored) EXPECT_TRUE(s.get());
    return lines;
  }

  testing::TestDatabase database{GetParam()};
  std::unique_ptr<testing::LocalServer> server;
};

INSTANTIATE_TEST_SUITE_P(Stores, PlayerDataServed, ::testing::Values(StoreKind::Sqlite, StoreKind::Postgresql),
                         [](const auto& info) { return testing::storeKindName(info.param); });

TEST_P(PlayerDataServed, Downloads_ParseBackToTheStoredLines_InUtcAndThePagesZone) {
  const auto [aid, token] = registerPlayer();
  ASSERT_FALSE(token.empty());
  std::vector<std::string> lines = {testing::ReportForm{}.log};
  const auto added = addLines(aid, 2999);
  lines.insert(lines.end(), added.begin(), added.end());

  const auto csv = server->client().Get("/" + token + "/lines.csv?tz=%2B09%3A00");
  ASSERT_TRUE(csv);
  ASSERT_EQ(csv->status, 200);
  EXPECT_EQ(csv->get_header_value("Transfer-Encoding"), "chunked");
  EXPECT_EQ(csv->get_header_value("Content-Disposition"), "attachment; filename=\"tidemark-lines.csv\"");
  EXPECT_EQ(csv->get_header_value("Content-Security-Policy"), server->client().Get("/" + token)->get_header_value("Content-Security-Policy"));
  ASSERT_EQ(csv->body.rfind("\xEF\xBB\xBFid,received_utc,time_utc,time_local,", 0), 0u);
  const auto rows = parseCsv(std::string_view(csv->body).substr(3));
  ASSERT_EQ(rows.size(), lines.size() + 1);
  std::set<size_t> seen;
  for (size_t i = 1; i < rows.size(); ++i) {
    ASSERT_EQ(rows[i].size(), 12u) << i;
    const size_t number = std::stoul(rows[i][8]);
    ASSERT_LT(number, lines.size());
    EXPECT_TRUE(seen.insert(number).second) << number;
    EXPECT_EQ(unbase64(rows[i][11]), lines[number]) << i;
    if (i > 1) {
      EXPECT_LT(std::stoll(rows[i - 1][0]), std::stoll(rows[i][0]));
    }
    // A line's time in UTC and in the zone; a text that would be a formula
    // is kept from being one.
    if (number != 1) continue;
    EXPECT_EQ(rows[i][2], "2026-11-30T00:53:20Z");
    EXPECT_EQ(rows[i][3], "2026-11-30T09:53:20+09:00");
    EXPECT_EQ(rows[i][10], "'=SUM(A1),\"x\" \xEF\xBF\xBD 0");
  }

  const auto json = server->client().Get("/" + token + "/lines.json");
  ASSERT_TRUE(json);
  ASSERT_EQ(json->status, 200);
  rapidjson::Document document;
  document.Parse(json->body.c_str());
  ASSERT_TRUE(document.IsObject()) << json->body.substr(0, 200);
  const auto& listed = document["lines"];
  ASSERT_EQ(listed.Size(), lines.size());
  for (rapidjson::SizeType i = 0; i < listed.Size(); ++i) {
    const auto number = static_cast<size_t>(listed[i]["line_number"].GetInt());
    ASSERT_LT(number, lines.size());
    EXPECT_EQ(unbase64(listed[i]["bytes_base64"].GetString()), lines[number]) << i;
    EXPECT_EQ(listed[i]["text"].GetString(), renderLine(lines[number])) << i;
    if (i > 0) {
      EXPECT_GT(listed[i]["id"].GetInt64(), listed[i - 1]["id"].GetInt64());
    }
    if (number != 1) continue;
    EXPECT_STREQ(listed[i]["time_local"].GetString(), "2026-11-30T00:53:20Z");
    EXPECT_STREQ(listed[i]["language"].GetString(), "ja");
  }

  EXPECT_EQ(server->client().Get("/0123456789abcdef0123456789abcdef/lines.csv")->status, 404);
  EXPECT_EQ(server->client().Get("/" + token + "/lines.json?tz=%2B15%3A00")->status, 400);
}

TEST_P(PlayerDataServed, Erase_AsksFirst_RefusesOtherSites_ThenForgetsThePageAndThePlayer) {
  const auto [aid, token] = registerPlayer();
  const auto [otherAid, otherToken] = registerPlayer();
  ASSERT_FALSE(otherToken.empty());
  addLines(aid, 30);
  auto client = server->client();
  const auto asked = client.Get("/" + token + "/erase");
  ASSERT_TRUE(asked);
  ASSERT_EQ(asked->status, 200);
  EXPECT_NE(asked->body.find("Delete all 31 of your lines?"), std::string::npos) << asked->body;
  const std::string marker = "name=\"confirm\" value=\"";
  const size_t at = asked->body.find(marker);
  ASSERT_NE(at, std::string::npos);
  const std::string confirm = asked->body.substr(at + marker.size(), 64);
  const std::string otherConfirm = [&] {
    const std::string page = client.Get("/" + otherToken + "/erase")->body;
    return page.substr(page.find(marker) + marker.size(), 64);
  }();
  ASSERT_NE(confirm, otherConfirm);

  const std::string self = "http://127.0.0.1:" + std::to_string(server->port());
  const struct {
    const char* what;
    httplib::Headers headers;
    std::string body;
  } refused[] = {
      {"another site's origin", {{"Origin", "https://evil.example"}}, "confirm=" + confirm},
      {"a page without a referrer", {{"Origin", "null"}}, "confirm=" + confirm},
      {"another site's referer", {{"Referer", "https://evil.example/" + token}}, "confirm=" + confirm},
      {"a cross-site fetch", {{"Sec-Fetch-Site", "cross-site"}}, "confirm=" + confirm},
      {"another page's token", {{"Origin", self}}, "confirm=" + otherConfirm},
      {"no token", {{"Origin", self}}, "confirm="},
  };
  for (const auto& attempt : refused) {
    const auto answer = client.Post("/" + token + "/erase", attempt.headers, attempt.body,
                                    "application/x-www-form-urlencoded");
    ASSERT_TRUE(answer) << attempt.what;
    EXPECT_EQ(answer->status, 403) << attempt.what;
  }
  EXPECT_EQ(client.Get("/" + token)->status, 200) << "nothing erased yet";

  const auto erased = client.Post("/" + token + "/erase",
                                  {{"Origin", self}, {"Referer", self + "/" + token + "/erase"},
                                   {"Sec-Fetch-Site", "same-origin"}},
                                  "confirm=" + confirm, "application/x-www-form-urlencoded");
  ASSERT_TRUE(erased);
  EXPECT_EQ(erased->status, 200);
  EXPECT_NE(erased->body.find("Your 31 lines are being deleted now"), std::string::npos) << erased->body;
  EXPECT_EQ(client.Get("/" + token)->status, 404);
  EXPECT_EQ(client.Get("/" + token + "/lines.json")->status, 404);
  EXPECT_EQ(client.Get(testing::getTarget({{"get", "token"}, {"wader", aid}}))->status, 404);
  // The lines go right after the answer.
  for (int i = 0; i < 100 && database.count("players") != 1; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(database.count("players"), 1);
  EXPECT_EQ(database.count("reports"), 1);

  // The old id is no one's: the next report registers a new player.
  testing::ReportForm form;
  form.aid = aid;
  rapidjson::Document answer;
  answer.Parse(server->report(form).c_str());
  ASSERT_TRUE(answer.IsObject() && answer.HasMember("aid"));
  EXPECT_NE(answer["aid"].GetString(), aid);
  EXPECT_EQ(client.Get("/" + otherToken)->status, 200);
}

class RetentionServed : public PlayerDataServed {
 protected:
  ServiceLimits limits() override {
    ServiceLimits limits;
    limits.keepDays = 1;
    limits.retentionSweep = std::chrono::milliseconds(100);
    return limits;
  }
};

INSTANTIATE_TEST_SUITE_P(Stores, RetentionServed, ::testing::Values(StoreKind::Sqlite, StoreKind::Postgresql),
                         [](const auto& info) { return testing::storeKindName(info.param); });

TEST_P(RetentionServed, LinesReceivedBeforeTheWindow_GoInTheBackground_ReportsCarryOn) {
  const auto [aid, token] = registerPlayer();
  addLines(aid, 1200);
  const auto [newAid, newToken] = registerPlayer();
  ASSERT_TRUE(database.execute("UPDATE reports SET received_at_ms = 1000 WHERE player = "
                               "(SELECT player FROM reports ORDER BY id LIMIT 1)"));
  const auto oldLines = [&] { return server->store().reportsOf(token, 0, 0)->total; };
  for (int i = 0; i < 200 && oldLines() != 0; ++i) {
    // Reports are answered meanwhile.
    testing::ReportForm form;
    form.aid = newAid;
    form.line = std::to_string(i);
    server->report(form);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  const auto kept = server->store().reportsOf(newToken, 0, 50);
  ASSERT_TRUE(kept);
  EXPECT_EQ(database.count("reports"), kept->total) << "only the new player's lines are left";
  const auto emptied = server->store().reportsOf(token, 0, 50);
  ASSERT_TRUE(emptied);
  EXPECT_EQ(emptied->total, 0);
  EXPECT_EQ(database.count("day_totals"), static_cast<long long>(server->store().dayTotalsOf(newToken, 0)->size()));
}

TEST_P(PlayerDataServed, ForgetPlayerCommand_ErasesAndExits_UnknownPageFails) {
  const auto [aid, token] = registerPlayer();
  addLines(aid, 10);
  server.reset();
  const auto run = [&](const std::string& page) {
    const std::string command = std::string("timeout 60 ") + TIDEMARK_SERVER_EXECUTABLE + " --database '" +
                                database.address() + "' --forget-player " + page + " > /dev/null 2>&1";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  EXPECT_EQ(run(token), 0);
  for (const char* table : {"reports", "pattern_totals", "day_totals", "players"})
    EXPECT_EQ(database.count(table), 0) << table;
  EXPECT_EQ(run(token), 1);
}

}  // namespace
}  // namespace tidemark
