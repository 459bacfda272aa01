// The protocol from the server's side, over loopback HTTP, with requests
// built byte for byte as the client builds them.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <thread>

#include "base/field_values.h"
#include "base/line_rendering.h"
#include "base/page_binding.h"
#include "page/erase_confirmation.h"
#include "server_fixture.h"
#include "test_database.h"

namespace tidemark {
namespace {

using testing::getTarget;
using testing::ReportForm;

rapidjson::Document parse(const std::string& text) {
  rapidjson::Document doc;
  doc.Parse(text.c_str(), text.size());
  return doc;
}

std::string member(const rapidjson::Document& doc, const char* name) {
  if (!doc.IsObject() || !doc.HasMember(name) || !doc[name].IsString()) return "<absent>";
  return std::string(doc[name].GetString(), doc[name].GetStringLength());
}

// Against each store: SQLite, and the throwaway PostgreSQL of the test run.
class ProtocolTest : public ::testing::TestWithParam<testing::StoreKind> {
 protected:
  void SetUp() override {
    if (!database.available()) GTEST_SKIP() << "no throwaway PostgreSQL runs (tools/throwaway-postgresql.sh)";
    server = std::make_unique<testing::LocalServer>(database.address());
  }

  httplib::Result get(const std::string& target) { return server->client().Get(target); }
  httplib::Result post(const std::string& body) {
    return server->client().Post("/rep/post.php", body, "application/x-www-form-urlencoded");
  }
  httplib::Result post(const std::string& body, const std::string& reportId) {
    return server->client().Post("/rep/post.php", {{"Tidemark-Report-Id", reportId}}, body,
                                 "application/x-www-form-urlencoded");
  }
  long long reports() const { return database.count("reports"); }
  long long players() const { return database.count("players"); }

  testing::TestDatabase database{GetParam()};
  std::unique_ptr<testing::LocalServer> server;
};

const auto kStores = ::testing::Values(testing::StoreKind::Sqlite, testing::StoreKind::Postgresql);
const auto kStoreName = [](const auto& info) { return testing::storeKindName(info.param); };
INSTANTIATE_TEST_SUITE_P(Stores, ProtocolTest, kStores, kStoreName);

TEST_P(ProtocolTest, LanguageList_AnswersTheClientsExactTargetWithTheCatalogue) {
  const auto answer = get("/rep/get.php?%67%65%74=%6C%61%6E%67&%6C%61%6E%67=");
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, 200);
  EXPECT_EQ(answer->get_header_value("Content-Type"), "application/json; charset=utf-8");
  EXPECT_EQ(answer->body,
            "[{\"code\":\"en\",\"name2\":\"English\"},{\"code\":\"ja\",\"name2\":\"\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\"}]");
}

TEST_P(ProtocolTest, PatternSet_ForJapanese_IsAnObjectWithTheMarkerFirst) {
  const auto answer = get("/rep/get.php?%67%65%74=%70%61%74%74%65%72%6E&%6C%61%6E%67=%6A%61");
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, 200);
  EXPECT_LE(answer->body.size(), 4095u);
  const auto doc = parse(answer->body);
  ASSERT_TRUE(doc.IsObject());
  EXPECT_EQ(std::string(doc["1"]["keyword"][0].GetString()),
            testing::bundledCatalog().find("ja")->marker);
  EXPECT_EQ(answer->body, testing::bundledCatalog().find("ja")->patternAnswer);
}

TEST_P(ProtocolTest, FirstReport_RegistersThePlayerAndLaterReportsKeepIt) {
  ReportForm form;
  const auto first = parse(server->report(form));
  ASSERT_TRUE(first.IsObject());
  EXPECT_EQ(member(first, "log"), "Alice: Alice waves.");
  const std::string aid = member(first, "aid"), sid = member(first, "sid"), fid = member(first, "fid");
  EXPECT_TRUE(isIssuedId(aid));
  EXPECT_TRUE(isIssuedId(sid));
  EXPECT_TRUE(parseInt64(fid));
  EXPECT_NE(member(first, "msg").find("registered"), std::string::npos);

  form.aid = aid;
  form.sid = sid;
  form.fid = fid;
  form.line = "1";
  const auto second = parse(server->report(form));
  EXPECT_EQ(member(second, "aid"), "<absent>");
  EXPECT_EQ(member(second, "msg"), "<absent>");
  EXPECT_EQ(member(second, "sid"), sid);
  EXPECT_GT(*parseInt64(member(second, "fid")), *parseInt64(fid));
  EXPECT_EQ(players(), 1);
  EXPECT_EQ(reports(), 2);
}

TEST_P(ProtocolTest, JapaneseReport_GetsAJapaneseMessageAndText) {
  ReportForm form;
  form.lang = "ja";
  form.log = "\x1F\xE3\x82\xA8\xE3\x83\xAA\xE3\x82\xB9\x1F\xE3\x81\xAF\xE3\x81\x84";
  const auto answer = parse(server->report(form));
  EXPECT_EQ(member(answer, "log"), "\xE3\x82\xA8\xE3\x83\xAA\xE3\x82\xB9: \xE3\x81\xAF\xE3\x81\x84");
  EXPECT_NE(member(answer, "msg").find("\xE7\x99\xBB\xE9\x8C\xB2"), std::string::npos);  // 登録
}

TEST_P(ProtocolTest, UnknownPlayerId_GetsANewOneAndIsTold) {
  ReportForm form;
  form.aid = "an id from some other server";
  const auto answer = parse(server->report(form));
  EXPECT_TRUE(isIssuedId(member(answer, "aid")));
  EXPECT_NE(member(answer, "msg").find("did not know"), std::string::npos);
}

TEST_P(ProtocolTest, LineBytes_AreStoredExactlyAndRenderedSafely) {
  ReportForm form;
  static const char kLine[] = "\x1F\x1FWelcome to Eorzea!\0\x02\x48\x02\x01\x03\xFF";
  form.log = std::string(kLine, sizeof kLine - 1);
  const auto answer = parse(server->report(form));
  EXPECT_EQ(member(answer, "log"), "Welcome to Eorzea!\xEF\xBF\xBD\xEF\xBF\xBD");
  const auto token = parse(get(getTarget({{"get", "token"}, {"wader", member(answer, "aid")}}))->body);
  const auto page = server->store().reportsOf(member(token, "token"), 0, 10);
  ASSERT_TRUE(page);
  ASSERT_EQ(page->reports.size(), 1u);
  EXPECT_EQ(page->reports[0].line, form.log);
}

TEST_P(ProtocolTest, LongLineFullOfQuotes_StillGetsACompleteAnswer) {
  ReportForm form;
  form.log = std::string(64 * 1024, '"');  // the longest line the client posts
  const auto answer = post(form.body());
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, 200) << answer->body;
  EXPECT_LE(answer->body.size(), 4095u);
  EXPECT_TRUE(parse(answer->body).IsObject());
}

TEST_P(ProtocolTest, LongestLineOfEveryByte_IsStoredWholeAndAnsweredWithinWhatTheClientReads) {
  ReportForm form;
  form.log.clear();
  for (int i = 0; i < 64 * 1024; ++i) form.log.push_back(static_cast<char>(i % 256));
  const auto answer = post(form.body());
  ASSERT_TRUE(answer);
  ASSERT_EQ(answer->status, 200) << answer->body;
  // The answer fits what the client reads, so that it parses there and a
  // new player's id arrives; the text is the rendering's beginning.
  EXPECT_LE(answer->body.size(), 4095u);
  const auto doc = parse(answer->body);
  EXPECT_NE(member(doc, "aid"), "<absent>") << answer->body.substr(0, 200);
  const std::string shown = member(doc, "log"), ellipsis = "\xE2\x80\xA6";
  ASSERT_GT(shown.size(), 1000u);
  EXPECT_EQ(shown.substr(shown.size() - ellipsis.size()), ellipsis);
  EXPECT_EQ(renderLine(form.log).rfind(shown.substr(0, shown.size() - ellipsis.size()), 0), 0u);
  const auto row = database.row(*parseInt64(member(doc, "fid")));
  ASSERT_TRUE(row);
  EXPECT_TRUE(row->log == form.log) << "stored " << row->log.size() << " bytes";
}

TEST_P(ProtocolTest, OneReportOnTwoConnectionsAtOnce_IsStoredOnceAndBothGetItsAnswer) {
  constexpr int kReports = 8;  // two registrations each, within the address's burst
  std::vector<std::string> answers(2 * kReports);
  std::vector<std::thread> senders;
  for (int side = 0; side < 2; ++side)
    senders.emplace_back([&, side] {
      auto client = server->client();
      for (int i = 0; i < kReports; ++i) {
        ReportForm form;
        form.log = "line " + std::to_string(i);
        char id[33];  // one side spells it in capitals: the same id
        std::snprintf(id, sizeof id, side == 0 ? "%032x" : "%032X", 0xabc0 + i);
        const auto answer = client.Post("/rep/post.php", {{"Tidemark-Report-Id", id}}, form.body(),
                                        "application/x-www-form-urlencoded");
        answers[side * kReports + i] = answer && answer->status == 200 ? answer->body : "no answer";
      }
    });
  for (auto& sender : senders) sender.join();
  for (int i = 0; i < kReports; ++i) {
    EXPECT_NE(member(parse(answers[i]), "aid"), "<absent>") << answers[i];
    EXPECT_EQ(answers[i], answers[kReports + i]);
  }
  EXPECT_EQ(reports(), kReports);
  EXPECT_EQ(players(), kReports);
}

// A report id is the sender's own: another player's id gets nothing of
// that player, and one id with another line is refused, storing nothing.
TEST_P(ProtocolTest, ReportIds_ArePerPlayerAndARepeatMustCarryTheSameLine) {
  const std::string victimsId = "0123456789abcdef0123456789abcdef";
  ReportForm victims;
  victims.log = "\x1F" "Victim\x1F" "a private line";
  const auto registered = post(victims.body(), victimsId);
  ASSERT_TRUE(registered);
  ASSERT_EQ(registered->status, 200);
  const std::string victimsAid = member(parse(registered->body), "aid");
  ASSERT_TRUE(isIssuedId(victimsAid));

  ReportForm attackers;
  attackers.log = "\x1F" "Mallory\x1F" "my own line";
  attackers.aid = member(parse(server->report(attackers)), "aid");
  // A known player with the victim's id: stored as that player's own line.
  const long long rowsBefore = reports();
  const auto own = post(attackers.body(), victimsId);
  ASSERT_TRUE(own);
  EXPECT_EQ(own->status, 200);
  EXPECT_EQ(member(parse(own->body), "log"), "Mallory: my own line");
  EXPECT_EQ(own->body.find(victimsAid), std::string::npos);
  EXPECT_EQ(reports(), rowsBefore + 1);

  // The victim's registration id with another line: refused, nothing told.
  ReportForm registration = attackers;
  registration.aid.clear();
  const long long playersBefore = players();
  const auto refused = post(registration.body(), victimsId);
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 409);
  EXPECT_LT(refused->body.size(), 100u);
  EXPECT_EQ(refused->body.find(victimsAid), std::string::npos);
  EXPECT_EQ(players(), playersBefore);
  EXPECT_EQ(reports(), rowsBefore + 1);

  // The victim's own retry is still the first answer.
  const auto retried = post(victims.body(), victimsId);
  ASSERT_TRUE(retried);
  EXPECT_EQ(retried->body, registered->body);

  // A known player's id once more with another line: 409 (every field is
  // checked in the store's contract test).
  ReportForm line;
  line.aid = victimsAid;
  const std::string lineId = "fedcba9876543210fedcba9876543210";
  const auto first = post(line.body(), lineId);
  ASSERT_TRUE(first);
  ASSERT_EQ(first->status, 200);
  const long long rowsBeforeChange = reports();
  ReportForm changed = line;
  changed.ltime = "1796000001";
  const auto answer = post(changed.body(), lineId);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, 409);
  EXPECT_EQ(reports(), rowsBeforeChange);
  const auto same = post(line.body(), lineId);
  ASSERT_TRUE(same);
  EXPECT_EQ(same->body, first->body);
}

// A history line's retries that cross on several writers (PostgreSQL) are
// one report: one row, one session and one answer for all of them.
TEST_P(ProtocolTest, OneHistoryLineRetriedOnSeveralConnectionsAtOnce_GetsOneAnswer) {
  const std::string aid = member(parse(server->report(ReportForm{})), "aid");
  constexpr int kRounds = 12, kAttempts = 6;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE(round);
    ReportForm form;
    form.aid = aid;
    form.present = "0";
    form.log = "an old line " + std::to_string(round);
    char id[33];
    std::snprintf(id, sizeof id, "%032x", 0x5000 + round);
    std::vector<std::string> answers(kAttempts);
    std::vector<std::thread> attempts;
    for (int i = 0; i < kAttempts; ++i)
      attempts.emplace_back([&, i] {
        const auto answer = server->client().Post("/rep/post.php", {{"Tidemark-Report-Id", id}}, form.body(),
                                                  "application/x-www-form-urlencoded");
        answers[i] = answer && answer->status == 200 ? answer->body : "no answer";
      });
    for (auto& attempt : attempts) attempt.join();
    EXPECT_TRUE(isIssuedId(member(parse(answers[0]), "sid"))) << answers[0];
    for (const auto& answer : answers) EXPECT_EQ(answer, answers[0]);
  }
  EXPECT_EQ(reports(), 1 + kRounds);
}

TEST_P(ProtocolTest, ReportWhileAnotherProgramHoldsTheDatabase_IsAnsweredBusyInTimeAndNeverStored) {
  {
    const auto lock = database.lockForWriting();
    ASSERT_TRUE(lock);
    auto client = server->client();
    client.set_read_timeout(std::chrono::seconds(9));  // under the client's own 10 s
    const auto answer =
        client.Post("/rep/post.php", ReportForm{}.body(), "application/x-www-form-urlencoded");
    ASSERT_TRUE(answer) << "no answer within the client's timeout";
    EXPECT_EQ(answer->status, 503);
    EXPECT_NE(answer->body.find("busy"), std::string::npos) << answer->body;
    EXPECT_TRUE(answer->has_header("Retry-After"));
  }
  // Once the lock is gone the next report is stored, and it alone.
  ReportForm next;
  next.log = "the next line";
  server->report(next);
  EXPECT_EQ(reports(), 1);
  EXPECT_EQ(players(), 1);
}

TEST_P(ProtocolTest, Token_ForAKnownPlayerOpensTheirPage) {
  const auto registered = parse(server->report(ReportForm{}));
  const auto answer = get("/rep/get.php?%67%65%74=%74%6F%6B%65%6E&%77%61%64%65%72=" +
                          percentEncode(member(registered, "aid")));
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, 200);
  const std::string token = member(parse(answer->body), "token");
  ASSERT_TRUE(isIssuedId(token));
  const auto page = get("/" + token);
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_NE(page->body.find("Alice: Alice waves."), std::string::npos);
}

TEST_P(ProtocolTest, Token_ForAnUnknownPlayerIsAPlainTextTheClientShows) {
  for (const std::string wader : {"0123456789abcdef0123456789abcdef", "12ab", ""}) {
    const auto answer = get(getTarget({{"get", "token"}, {"wader", wader}}));
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 404);
    EXPECT_EQ(answer->body, "This player id is not known to the server.");
    EXPECT_TRUE(parse(answer->body).HasParseError());
  }
}

TEST_P(ProtocolTest, Token_WhenTheDatabaseCannotBeRead_IsA503NotAnUnknownPlayer) {
  const std::string aid = member(parse(server->report(ReportForm{})), "aid");
  ASSERT_TRUE(database.execute("ALTER TABLE players RENAME TO players_elsewhere"));
  const auto answer = get(getTarget({{"get", "token"}, {"wader", aid}}));
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, 503);
  EXPECT_NE(answer->body.find("try again"), std::string::npos) << answer->body;
  EXPECT_TRUE(answer->has_header("Retry-After"));
}

// A player must never take a database fault for an erased page: every page
// of theirs answers 503 "try again" while the log says what failed.
TEST_P(ProtocolTest, PagesWhenTheDatabaseCannotBeRead_Answer503NeverNoSuchPage_AndTheLogSaysWhy) {
  const std::string aid = member(parse(server->report(ReportForm{})), "aid");
  const std::string token = member(parse(get(getTarget({{"get", "token"}, {"wader", aid}}))->body), "token");
  ASSERT_TRUE(isIssuedId(token));
  const auto secret = server->store().pageSecret();
  ASSERT_TRUE(secret);
  const std::string confirm = "confirm=" + pageBoundToken(*secret, kErasePurpose, token);
  ASSERT_TRUE(database.execute("ALTER TABLE players RENAME TO players_elsewhere"));
  for (const std::string path : {"", "?q=wave", "/lines.csv", "/lines.json", "/erase", "/erase (post)"}) {
    const auto answer = path == "/erase (post)"
                            ? server->client().Post("/" + token + "/erase", confirm, "application/x-www-form-urlencoded")
                            : get("/" + token + path);
    ASSERT_TRUE(answer) << path;
    EXPECT_EQ(answer->status, 503) << path;
    EXPECT_NE(answer->body.find("Your lines cannot be shown just now; try again in a minute"), std::string::npos)
        << path << ": " << answer->body;
    EXPECT_EQ(answer->get_header_value("Retry-After"), "60") << path;
  }
  EXPECT_GE(post(ReportForm{}.body())->status, 500);
  const std::string log = server->logText();
  for (const char* route : {"route=page", "route=export", "route=erase", "route=post"}) {
    const size_t line = log.find(std::string("event=store_error ") + route);
    ASSERT_NE(line, std::string::npos) << route << " in\n" << log;
    // The database's own words name the table it could not read.
    const std::string text = log.substr(line, log.find('\n', line) - line);
    EXPECT_NE(text.find("reason="), std::string::npos) << text;
    EXPECT_NE(text.find("players"), std::string::npos) << text;
  }
}

// Each kind of bad input gets a 400 with a short reason and leaves the
// database as it was.
class BadInputTest : public ProtocolTest {
 protected:
  void SetUp() override {
    ProtocolTest::SetUp();
    if (IsSkipped()) return;
    const auto registered = parse(server->report(ReportForm{}));
    aid = member(registered, "aid");
    reportsBefore = reports();
    playersBefore = players();
  }
  void expectRefused(const httplib::Result& answer, const std::string& reason) {
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 400);
    EXPECT_EQ(answer->get_header_value("Content-Type"), "text/plain; charset=utf-8");
    EXPECT_NE(answer->body.find(reason), std::string::npos) << answer->body;
    EXPECT_LT(answer->body.size(), 100u);
    EXPECT_EQ(reports(), reportsBefore);
    EXPECT_EQ(players(), playersBefore);
  }

  std::string aid;
  long long reportsBefore = 0, playersBefore = 0;
};
INSTANTIATE_TEST_SUITE_P(Stores, BadInputTest, kStores, kStoreName);

TEST_P(BadInputTest, MissingReportFields) {
  const std::string names[] = {"lang", "sid", "fid", "aid", "pid", "code", "log", "line", "ltime", "present"};
  const std::string body = ReportForm{}.body();
  for (const auto& name : names) {
    SCOPED_TRACE(name);
    // Drop the pair of this name from the client's body.
    const std::string pair = percentEncode(name) + "=";
    const size_t at = body.find(pair);
    ASSERT_NE(at, std::string::npos);
    size_t end = body.find('&', at);
    std::string without = body;
    if (end == std::string::npos)
      without.erase(at - 1);
    else
      without.erase(at, end - at + 1);
    expectRefused(post(without), "missing field " + name);
  }
}

TEST_P(BadInputTest, RepeatedReportFields) {
  const std::string body = ReportForm{}.body();
  expectRefused(post(body + "&" + percentEncode("lang") + "=" + percentEncode("en")), "repeated field lang");
  expectRefused(post(body + "&" + percentEncode("log") + "=" + percentEncode("again")), "repeated field log");
}

TEST_P(BadInputTest, MalformedPercentEncoding) {
  const std::string body = ReportForm{}.body();
  expectRefused(post(body + "%4"), "malformed percent-encoding");
  expectRefused(post("%6C%6G=%65%6E&" + body), "malformed percent-encoding");
  expectRefused(post(body + "&&"), "malformed");
  expectRefused(get("/rep/get.php?%67%65%74=%6C%61%6E%6"), "malformed percent-encoding");
}

TEST_P(BadInputTest, NumbersThatAreNotNumbers) {
  const std::pair<std::string ReportForm::*, std::string> cases[] = {
      {&ReportForm::pid, "pid"}, {&ReportForm::code, "code"}, {&ReportForm::line, "line"},
      {&ReportForm::ltime, "ltime"}};
  for (const auto& [field, name] : cases) {
    for (const std::string bad : {"", "12a", "1.5", "99999999999999999999"}) {
      SCOPED_TRACE(name + "=" + bad);
      ReportForm form;
      form.*field = bad;
      expectRefused(post(form.body()), "field " + name + " is not a number");
    }
  }
  ReportForm form;
  form.pid = "2147483648";  // past a signed 32-bit value
  expectRefused(post(form.body()), "field pid is not a number");
  form = ReportForm{};
  form.present = "2";
  expectRefused(post(form.body()), "field present");
}

// One contract for every store: a number none of them can keep is refused
// up front, and the widest ones kept are stored exactly, on each.
TEST_P(BadInputTest, NumbersAStoreCannotKeepAreRefused_TheWidestKeptAreStoredExactly) {
  for (const std::string time : {"-9223372036854775808", "-9223372036854700000", "-1000000000001", "1000000000001",
                                 "9223372036854775807"}) {
    SCOPED_TRACE(time);
    ReportForm form;
    form.aid = aid;
    form.ltime = time;
    expectRefused(post(form.body()), "field ltime is out of range");
  }
  const std::pair<std::string ReportForm::*, std::string> widest[] = {
      {&ReportForm::ltime, "-1000000000000"}, {&ReportForm::ltime, "1000000000000"},
      {&ReportForm::code, "-2147483648"},     {&ReportForm::code, "2147483647"},
      {&ReportForm::line, "-2147483648"},     {&ReportForm::line, "2147483647"}};
  for (const auto& [field, value] : widest) {
    SCOPED_TRACE(value);
    ReportForm form;
    form.aid = aid;
    form.pid = "6";  // takes every code
    form.code = "0";
    form.*field = value;
    const auto fid = parseInt64(member(parse(server->report(form)), "fid"));
    ASSERT_TRUE(fid);
    const auto row = database.row(*fid);
    ASSERT_TRUE(row);
    EXPECT_EQ(row->ltime, form.ltime);
    EXPECT_EQ(row->code, form.code);
    EXPECT_EQ(row->line, form.line);
  }
}

TEST_P(BadInputTest, UnknownLanguage) {
  ReportForm form;
  form.lang = "xx";
  expectRefused(post(form.body()), "unknown language");
  form.lang = "";
  expectRefused(post(form.body()), "unknown language");
  expectRefused(get(getTarget({{"get", "pattern"}, {"lang", "xx"}})), "unknown language");
}

TEST_P(BadInputTest, PatternOrCodeThatNoPatternOfTheLanguageHas) {
  // English has patterns 1 to 6; pattern 2 takes code 29, pattern 6 any code.
  for (const auto& [pid, code] : {std::pair{"7", "29"}, {"0", "29"}, {"-2", "29"}, {"2", "28"}, {"2", "0"}}) {
    SCOPED_TRACE(std::string(pid) + "/" + code);
    ReportForm form;
    form.aid = aid;
    form.pid = pid;
    form.code = code;
    expectRefused(post(form.body()), "pid and code match no pattern");
  }
  ReportForm anyCode;
  anyCode.aid = aid;
  anyCode.pid = "6";
  anyCode.code = "-12345";
  EXPECT_EQ(post(anyCode.body())->status, 200);
}

TEST_P(BadInputTest, BodyOverTheLimit) {
  ReportForm form;
  form.aid = aid;
  form.log = std::string(90000, 'a');  // 270,000 characters encoded
  expectRefused(post(form.body()), "too large");
  // Other paths keep the small limit.
  expectRefused(server->client().Post("/rep/get.php", std::string(9000, 'a'), "application/x-www-form-urlencoded"),
                "too large");
}

TEST_P(BadInputTest, ReportIdThatIsNot32HexDigits) {
  const std::string body = ReportForm{}.body();
  for (const std::string id : {"", "0123456789abcdef0123456789abcde", "0123456789abcdef0123456789abcdef0",
                               "0123456789abcdef0123456789abcdeg"})
    expectRefused(post(body, id), "Tidemark-Report-Id");
  expectRefused(server->client().Post("/rep/post.php",
                                      {{"Tidemark-Report-Id", "0123456789abcdef0123456789abcdef"},
                                       {"Tidemark-Report-Id", "0123456789abcdef0123456789abcdee"}},
                                      body, "application/x-www-form-urlencoded"),
                "Tidemark-Report-Id");
}

TEST_P(BadInputTest, GetRequestsWithoutWhatTheyNeed) {
  expectRefused(get("/rep/get.php"), "missing field get");
  expectRefused(get(getTarget({{"get", "lang"}, {"get", "lang"}})), "repeated field get");
  expectRefused(get(getTarget({{"get", "pattern"}})), "missing field lang");
  expectRefused(get(getTarget({{"get", "token"}})), "missing field wader");
  expectRefused(get(getTarget({{"get", "everything"}, {"lang", ""}})), "unknown request");
}

}  // namespace
}  // namespace tidemark
