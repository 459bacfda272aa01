// The contract every store keeps, run against SQLite and PostgreSQL alike.
#include "store/report_store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <iterator>
#include <set>
#include <thread>
#include <vector>

#include "base/field_values.h"
#include "server_fixture.h"
#include "test_database.h"

namespace tidemark {
namespace {

using testing::StoreKind;

ReportFields fields(std::string aid = {}, std::string line = "\x1F" "Alice\x1Fwaves") {
  ReportFields f;
  f.language = "en";
  f.aid = std::move(aid);
  f.patternId = 2;
  f.code = 29;
  f.ordinal = 0;
  f.lineTime = 1796000000;
  f.present = true;
  f.line = std::move(line);
  return f;
}

class ReportStoreTest : public ::testing::TestWithParam<StoreKind> {
 protected:
  void SetUp() override {
    if (!database.available()) GTEST_SKIP() << "no throwaway PostgreSQL runs (tools/throwaway-postgresql.sh)";
  }
  std::unique_ptr<ReportStore> open() {
    std::string error;
    auto store = ReportStore::open(database.address(), error);
    EXPECT_TRUE(store) << error;
    return store;
  }
  long long countRowsOf(const std::string& table) const { return database.count(table); }

  testing::TestDatabase database{GetParam()};
};

INSTANTIATE_TEST_SUITE_P(Stores, ReportStoreTest, ::testing::Values(StoreKind::Sqlite, StoreKind::Postgresql),
                         [](const auto& info) { return testing::storeKindName(info.param); });

TEST_P(ReportStoreTest, ReportWithoutPlayer_RegistersOneWithFreshIds) {
  auto store = open();
  const auto first = store->store(fields());
  ASSERT_TRUE(first);
  EXPECT_TRUE(first->newPlayer);
  EXPECT_FALSE(first->replacedUnknownPlayer);
  EXPECT_TRUE(isIssuedId(first->playerId));
  EXPECT_TRUE(isIssuedId(first->sessionId));
  const auto token = store->tokenOf(first->playerId);
  ASSERT_TRUE(token);
  EXPECT_TRUE(isIssuedId(*token));
  EXPECT_NE(*token, first->playerId);

  const auto other = store->store(fields());
  ASSERT_TRUE(other);
  EXPECT_NE(other->playerId, first->playerId);
  EXPECT_NE(other->sessionId, first->sessionId);
  EXPECT_NE(*store->tokenOf(other->playerId), *token);
}

TEST_P(ReportStoreTest, KnownPlayerAndSession_AreKept) {
  auto store = open();
  const auto first = store->store(fields());
  ASSERT_TRUE(first);
  auto next = fields(first->playerId);
  next.sid = first->sessionId;
  const auto second = store->store(next);
  ASSERT_TRUE(second);
  EXPECT_FALSE(second->newPlayer);
  EXPECT_EQ(second->playerId, first->playerId);
  EXPECT_EQ(second->sessionId, first->sessionId);
  EXPECT_GT(second->reportId, first->reportId);
  EXPECT_EQ(countRowsOf("players"), 1);
}

TEST_P(ReportStoreTest, UnknownPlayerId_IsReplacedByANewPlayer) {
  auto store = open();
  const auto stored = store->store(fields("0123456789abcdef0123456789abcdef"));
  ASSERT_TRUE(stored);
  EXPECT_TRUE(stored->newPlayer);
  EXPECT_TRUE(stored->replacedUnknownPlayer);
  EXPECT_NE(stored->playerId, "0123456789abcdef0123456789abcdef");
  EXPECT_FALSE(store->tokenOf("0123456789abcdef0123456789abcdef"));
}

TEST_P(ReportStoreTest, EveryFieldAndTheRawBytes_AreStoredAsSent) {
  auto store = open();
  std::string line;
  for (int b = 0; b < 256; ++b) line.push_back(static_cast<char>(b));
  // fid and aid are kept as the bytes sent, NUL and bytes that are not UTF-8 included.
  const std::string fid("4\0" "1\xFF", 4), aid("\xC3(\0z", 4);
  auto report = fields(aid, line);
  report.reportId = "000000000000000000000000000000aa";
  report.fid = fid;
  report.patternId = -7;
  report.code = 2122;
  report.ordinal = 12;
  report.lineTime = -1;
  report.present = false;
  const auto stored = store->store(report);
  ASSERT_TRUE(stored);

  const auto row = database.row(stored->reportId);
  ASSERT_TRUE(row);
  EXPECT_EQ(row->lang, "en");
  EXPECT_EQ(row->sid, "");
  EXPECT_EQ(row->fid, fid);
  EXPECT_EQ(row->aid, aid);
  EXPECT_EQ(row->pid, "-7");
  EXPECT_EQ(row->code, "2122");
  EXPECT_EQ(row->log, line);
  EXPECT_EQ(row->line, "12");
  EXPECT_EQ(row->ltime, "-1");
  EXPECT_EQ(row->present, "0");
  EXPECT_EQ(row->session, stored->sessionId);
  const auto again = store->store(report);
  ASSERT_TRUE(again);
  EXPECT_TRUE(again->repeated);
  EXPECT_TRUE(again->replacedUnknownPlayer);
}

TEST_P(ReportStoreTest, HistoryLineReportedAgain_KeepsItsFirstReport) {
  auto store = open();
  const auto first = store->store(fields());
  ASSERT_TRUE(first);
  auto again = fields(first->playerId);
  again.present = false;
  again.ordinal = 5;
  const auto repeated = store->store(again);
  ASSERT_TRUE(repeated);
  EXPECT_TRUE(repeated->alreadyStored);
  EXPECT_EQ(repeated->reportId, first->reportId);
  EXPECT_EQ(store->reportCount(), 1);

  // Any difference in time, code or bytes makes it another line.
  auto otherTime = again;
  otherTime.lineTime += 1;
  auto otherBytes = again;
  otherBytes.line += "!";
  EXPECT_FALSE(store->store(otherTime)->alreadyStored);
  EXPECT_FALSE(store->store(otherBytes)->alreadyStored);
  EXPECT_EQ(store->reportCount(), 3);
}

TEST_P(ReportStoreTest, PresentLinesAndOtherPlayersLines_AreAlwaysStored) {
  auto store = open();
  const auto first = store->store(fields());
  ASSERT_TRUE(first);
  const auto twice = store->store(fields(first->playerId));  // the same text said twice
  ASSERT_TRUE(twice);
  EXPECT_FALSE(twice->alreadyStored);
  auto history = fields();  // another player's history
  history.present = false;
  EXPECT_FALSE(store->store(history)->alreadyStored);
  EXPECT_EQ(store->reportCount(), 3);
}

TEST_P(ReportStoreTest, EmptyLine_IsStoredAsAnEmptyBlob) {
  auto store = open();
  const auto stored = store->store(fields({}, ""));
  ASSERT_TRUE(stored);
  const auto page = store->reportsOf(*store->tokenOf(stored->playerId), 0, 10);
  ASSERT_TRUE(page);
  ASSERT_EQ(page->reports.size(), 1u);
  EXPECT_EQ(page->reports[0].line, "");
}

TEST_P(ReportStoreTest, PlayerReports_ComeNewestFirstInPagesOfThatPlayerOnly) {
  auto store = open();
  const auto first = store->store(fields({}, "line 0"));
  ASSERT_TRUE(first);
  ASSERT_TRUE(store->store(fields({}, "someone else's line")));
  for (int i = 1; i < 120; ++i) ASSERT_TRUE(store->store(fields(first->playerId, "line " + std::to_string(i))));
  const std::string token = *store->tokenOf(first->playerId);

  const auto second = store->reportsOf(token, 50, 50);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->total, 120);
  ASSERT_EQ(second->reports.size(), 50u);
  EXPECT_EQ(second->reports.front().line, "line 69");
  EXPECT_EQ(second->reports.back().line, "line 20");
  const auto last = store->reportsOf(token, 100, 50);
  ASSERT_EQ(last->reports.size(), 20u);
  EXPECT_EQ(last->reports.back().line, "line 0");
  // By the lines beside a page instead of an offset: the same pages.
  const auto lines = [](const std::optional<PlayerReports>& page) {
    std::vector<std::string> listed;
    if (page)
      for (const auto& report : page->reports) listed.push_back(report.line);
    return listed;
  };
  const auto newest = store->reportsOf(token, 0, 50);
  ASSERT_TRUE(newest);
  EXPECT_EQ(lines(store->reportsOf(token, 999, 50, {}, PageKey{newest->reports.back().reportId, {}})), lines(second));
  EXPECT_EQ(lines(store->reportsOf(token, 999, 50, {}, PageKey{{}, second->reports.front().reportId})), lines(newest));
  EXPECT_EQ(lines(store->reportsOf(token, 0, 50, {}, PageKey{second->reports.back().reportId, {}})), lines(last));
  EXPECT_FALSE(store->reportsOf("0123456789abcdef0123456789abcdef", 0, 50));
}

// History lines arrive after newer ones: the page lists by the line's own
// time, ties by arrival, the same on every path a listing takes (plain,
// the search index's, the bounded scan, a pattern) and from either key.
TEST_P(ReportStoreTest, PlayerReports_AreListedByTheLinesTime_OnEveryPathAndFromEitherKey) {
  auto store = open();
  std::string aid;
  std::vector<std::pair<int64_t, std::string>> byTime;  // (time, line), in arrival order
  for (int i = 0; i < 11; ++i) {
    auto f = fields(aid, "line " + std::to_string(i));
    // Times out of arrival order; the last line ties with the fourth.
    f.lineTime = 1796000000 + (i == 10 ? 1 : (i * 7) % 10) * 10;
    const auto stored = store->store(f);
    ASSERT_TRUE(stored);
    aid = stored->playerId;
    byTime.emplace_back(f.lineTime, f.line);
  }
  std::vector<std::string> expected;
  for (int i = 10; i >= 0; --i) expected.push_back(byTime[static_cast<size_t>(i)].second);
  std::stable_sort(expected.begin(), expected.end(), [&](const std::string& a, const std::string& b) {
    const auto time = [&](const std::string& line) {
      for (const auto& [t, l] : byTime)
        if (l == line) return t;
      return int64_t{0};
    };
    return time(a) > time(b);
  });
  const std::string token = *store->tokenOf(aid);
  ReportFilter pattern;
  pattern.language = "en";
  pattern.patternId = 2;
  for (const ReportFilter& filter : {ReportFilter{}, ReportFilter{"", {}, "line"}, ReportFilter{"", {}, "e "}, pattern}) {
    SCOPED_TRACE("search \"" + filter.text + "\"" + (filter.patternId ? " by pattern" : ""));
    const auto page = [&](int64_t offset, PageKey key = {}) {
      std::vector<std::string> listed;
      const auto reports = store->reportsOf(token, offset, 4, filter, key);
      EXPECT_TRUE(reports);
      if (reports)
        for (const auto& report : reports->reports) listed.push_back(report.line);
      return std::pair{listed, reports ? reports->reports : std::vector<ListedReport>{}};
    };
    const auto [first, firstRows] = page(0);
    const auto [second, secondRows] = page(4);
    EXPECT_EQ(first, std::vector<std::string>(expected.begin(), expected.begin() + 4));
    EXPECT_EQ(second, std::vector<std::string>(expected.begin() + 4, expected.begin() + 8));
    ASSERT_EQ(firstRows.size(), 4u);
    ASSERT_EQ(secondRows.size(), 4u);
    EXPECT_EQ(page(999, PageKey{firstRows.back().reportId, {}}).first, second);
    EXPECT_EQ(page(999, PageKey{{}, secondRows.front().reportId}).first, first);
  }
}

TEST_P(ReportStoreTest, LookUpPage_TellsAMissingPageFromADatabaseThatCannotBeRead) {
  auto store = open();
  const auto stored = store->store(fields());
  ASSERT_TRUE(stored);
  const std::string token = *store->tokenOf(stored->playerId);
  EXPECT_TRUE(store->lookUpPage(token).found);
  EXPECT_EQ(store->lookUpPage(token).problem, "");
  EXPECT_FALSE(store->lookUpPage("0123456789abcdef0123456789abcdef").found);
  EXPECT_EQ(store->lookUpPage("0123456789abcdef0123456789abcdef").problem, "");
  ASSERT_TRUE(database.execute("ALTER TABLE players RENAME TO players_elsewhere"));
  const PageLookup failed = store->lookUpPage(token);
  EXPECT_FALSE(failed.found);
  EXPECT_NE(failed.problem.find("players"), std::string::npos) << failed.problem;
}

TEST_P(ReportStoreTest, ConcurrentReports_AreAllStoredWithDistinctIds) {
  auto store = open();
  constexpr int kThreads = 8, kEach = 50;
  std::vector<std::vector<int64_t>> ids(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i)
        if (const auto stored = store->store(fields())) ids[t].push_back(stored->reportId);
    });
  for (auto& thread : threads) thread.join();
  std::set<int64_t> distinct;
  for (const auto& each : ids) distinct.insert(each.begin(), each.end());
  EXPECT_EQ(distinct.size(), static_cast<size_t>(kThreads * kEach));
  EXPECT_EQ(store->reportCount(), kThreads * kEach);
}

TEST_P(ReportStoreTest, ReportsAndPlayers_AreThereAfterReopening) {
  std::string playerId;
  {
    auto store = open();
    for (int i = 0; i < 10; ++i) {
      const auto stored = store->store(fields(playerId));
      ASSERT_TRUE(stored);
      playerId = stored->playerId;
    }
  }
  auto store = open();
  EXPECT_EQ(store->reportCount(), 10);
  const auto again = store->store(fields(playerId));
  ASSERT_TRUE(again);
  EXPECT_FALSE(again->newPlayer);
}

TEST_P(ReportStoreTest, UnreachableDatabase_IsRefusedWithAReason) {
  std::string error;
  const std::string address = GetParam() == StoreKind::Sqlite
                                  ? database.address() + ".missing/reports.sqlite3"
                                  : "postgresql://nobody@127.0.0.1:1/none?connect_timeout=2";
  EXPECT_FALSE(ReportStore::open(address, error));
  EXPECT_FALSE(error.empty());
}

TEST_P(ReportStoreTest, PageListing_ReadsAtMost4KiBOfALine) {
  auto store = open();
  const auto stored = store->store(fields({}, std::string(10000, 'x')));
  ASSERT_TRUE(stored);
  const auto page = store->reportsOf(*store->tokenOf(stored->playerId), 0, 10);
  ASSERT_TRUE(page);
  ASSERT_EQ(page->reports.size(), 1u);
  EXPECT_EQ(page->reports[0].line, std::string(kListedLineBytes, 'x'));
  EXPECT_EQ(database.row(stored->reportId)->log.size(), 10000u);
}

TEST_P(ReportStoreTest, Filter_NarrowsByPatternAndLiteralBytes_TotalsCountEveryPattern) {
  auto store = open();
  const auto first = store->store(fields({}, "\x1F" "Alice\x1Fwaves 100%"));
  ASSERT_TRUE(first);
  const auto as = [&](std::string language, int32_t patternId, std::string line) {
    auto report = fields(first->playerId, std::move(line));
    report.language = std::move(language);
    report.patternId = patternId;
    ASSERT_TRUE(store->store(report));
  };
  as("en", 2, "\x1F" "Alice\x1Fwaves");
  as("ja", 4, std::string("\x1F" "Bob\x1F\xFF\x00raw", 10));
  as("en", 3, "\x1F" "Carol\x1Fsays_hi");
  as("en", 2, std::string(kListedLineBytes, 'x') + "needle");
  // A stray continuation byte after a character, UTF-8 after it, and the
  // characters FTS5 and LIKE would read as syntax.
  as("en", 3, "ab\xC3\x80\x80 \xE3\x81\x82\xE3\x81\x84\xE3\x81\x86 \"q\" 50%_\\x");
  ASSERT_TRUE(store->store(fields({}, "someone else waves 100%")));
  const std::string token = *store->tokenOf(first->playerId);

  const auto lines = [&](const ReportFilter& filter, int64_t offset = 0, int64_t limit = 50) {
    const auto page = store->reportsOf(token, offset, limit, filter);
    std::vector<std::string> listed;
    if (!page) return std::make_pair(int64_t{-1}, listed);
    for (const auto& report : page->reports) listed.push_back(report.line.substr(0, 20));
    return std::make_pair(page->total, listed);
  };
  using Lines = std::vector<std::string>;
  const auto pattern = [](std::string language, int32_t id, std::string text = {}) {
    return ReportFilter{std::move(language), id, std::move(text)};
  };
  const auto search = [](std::string text) { return ReportFilter{{}, std::nullopt, std::move(text)}; };

  // Totals cover all of this player's reports, whatever the filter; most first.
  const auto page = store->reportsOf(token, 0, 50, search("nothing has this"));
  ASSERT_TRUE(page);
  EXPECT_EQ(page->total, 0);
  ASSERT_EQ(page->totals.size(), 3u);
  EXPECT_EQ(page->totals[0].language, "en");
  EXPECT_EQ(page->totals[0].patternId, 2);
  EXPECT_EQ(page->totals[0].count, 3);
  EXPECT_EQ(page->totals[1].patternId, 3);
  EXPECT_EQ(page->totals[1].count, 2);
  EXPECT_EQ(page->totals[2].language, "ja");
  EXPECT_EQ(page->totals[2].count, 1);

  EXPECT_EQ(lines(pattern("en", 2)),
            std::make_pair(int64_t{3}, Lines{std::string(20, 'x'), "\x1F" "Alice\x1Fwaves", "\x1F" "Alice\x1Fwaves 100%"}));
  EXPECT_EQ(lines(pattern("en", 2), 1, 1), std::make_pair(int64_t{3}, Lines{"\x1F" "Alice\x1Fwaves"}));
  EXPECT_EQ(lines(pattern("en", 2, "100")), std::make_pair(int64_t{1}, Lines{"\x1F" "Alice\x1Fwaves 100%"}));
  // LIKE's wildcards, bytes that are not UTF-8 and NUL are matched as themselves.
  EXPECT_EQ(lines(search("%")).first, 2);
  EXPECT_EQ(lines(search("_")).second.back(), "\x1F" "Carol\x1Fsays_hi");
  EXPECT_EQ(lines(search("_")).first, 2);
  EXPECT_EQ(lines(search(std::string("\xFF\x00r", 3))).first, 1);
  // Three characters and more are looked up in the trigram index, with the
  // same literal, case-sensitive answers.
  for (const char* text : {"ab\xC3\x80", "\xE3\x81\x82\xE3\x81\x84\xE3\x81\x86", "\"q\"", "50%_\\x", "0%_", "waves 1"})
    EXPECT_EQ(lines(search(text)).first, 1) << text;
  EXPECT_EQ(lines(search("waves")).first, 2);
  // A search's pages, by offset and by the key of the line beside them.
  const auto both = store->reportsOf(token, 0, 50, search("waves"));
  ASSERT_TRUE(both);
  ASSERT_EQ(both->reports.size(), 2u);
  EXPECT_EQ(lines(search("waves"), 1, 1), std::make_pair(int64_t{2}, Lines{"\x1F" "Alice\x1Fwaves 100%"}));
  const auto older = store->reportsOf(token, 0, 1, search("waves"), PageKey{both->reports[0].reportId, {}});
  const auto newer = store->reportsOf(token, 0, 1, search("waves"), PageKey{{}, both->reports[1].reportId});
  ASSERT_TRUE(older && newer);
  EXPECT_EQ(older->reports.at(0).reportId, both->reports[1].reportId);
  EXPECT_EQ(newer->reports.at(0).reportId, both->reports[0].reportId);
  EXPECT_EQ(lines(search("ALICE")).first, 0);
  // Only the listed part of a line is searched: the page could not show the rest.
  EXPECT_EQ(lines(search("needle")).first, 0);
  // No such pattern, or a language of bytes no stored language has: no lines, not an error.
  EXPECT_EQ(lines(pattern("ja", 2)).first, 0);
  EXPECT_EQ(lines(pattern("\xFF\x00", 2)).first, 0);
  EXPECT_FALSE(store->reportsOf(token, 0, 50, search(std::string(kMaxSearchBytes + 1, 'a'))));
  EXPECT_EQ(lines(search(std::string(kMaxSearchBytes, 'a'))).first, 0);
}

TEST_P(ReportStoreTest, RegistrationNotAllowed_WritesNothing) {
  auto store = open();
  auto report = fields("0123456789abcdef0123456789abcdef");
  report.mayRegister = false;
  const auto refused = store->store(report);
  ASSERT_TRUE(refused);
  EXPECT_TRUE(refused->registrationRefused);
  EXPECT_EQ(countRowsOf("players"), 0);
  EXPECT_EQ(countRowsOf("reports"), 0);
  // A known player needs no registration.
  const auto known = store->store(fields());
  ASSERT_TRUE(known);
  report.aid = known->playerId;
  EXPECT_FALSE(store->store(report)->registrationRefused);
  EXPECT_EQ(countRowsOf("reports"), 2);
}

TEST_P(ReportStoreTest, ReportIdStoredBefore_GetsTheFirstOutcomeWithoutASecondRowOrPlayer) {
  auto store = open();
  const auto known = store->store(fields());
  ASSERT_TRUE(known);
  const auto withId = [](ReportFields f, const char* id) {
    f.reportId = id;
    return f;
  };
  auto history = fields(known->playerId, "an old line");
  history.present = false;
  // One of each road a report takes: registering, replacing an unknown id,
  // a known player's line (PostgreSQL's one-round-trip insert), a history line.
  const ReportFields firsts[] = {withId(fields({}, "first of a run"), "00000000000000000000000000000001"),
                                 withId(fields("0123456789abcdef0123456789abcdef"), "00000000000000000000000000000002"),
                                 withId(fields(known->playerId, "a new line"), "00000000000000000000000000000003"),
                                 withId(history, "00000000000000000000000000000004")};
  for (const auto& first : firsts) {
    SCOPED_TRACE(first.reportId);
    const auto original = store->store(first);
    ASSERT_TRUE(original);
    const long long reports = countRowsOf("reports"), players = countRowsOf("players");
    std::vector<ReportFields> retries{first};
    retries[0].sid.clear();  // a retry in a new run, too
    // A client that learned the id this report registered sends it along.
    if (first.aid.empty()) {
      retries.push_back(first);
      retries.back().aid = original->playerId;
    }
    for (const auto& again : retries) {
      SCOPED_TRACE(again.aid);
      const auto repeated = store->store(again);
      ASSERT_TRUE(repeated);
      EXPECT_TRUE(repeated->repeated);
      EXPECT_EQ(repeated->reportId, original->reportId);
      EXPECT_EQ(repeated->sessionId, original->sessionId);
      EXPECT_EQ(repeated->playerId, original->playerId);
      EXPECT_EQ(repeated->newPlayer, original->newPlayer);
      EXPECT_EQ(repeated->replacedUnknownPlayer, original->replacedUnknownPlayer);
      EXPECT_EQ(repeated->line, first.line);
      EXPECT_EQ(repeated->language, first.language);
      EXPECT_EQ(countRowsOf("reports"), reports);
      EXPECT_EQ(countRowsOf("players"), players);
    }
  }
}

TEST_P(ReportStoreTest, ReportIdOfAnotherPlayerOrWithAnotherLine_IsNeverTheFirstAnswer) {
  auto store = open();
  const std::string id = "000000000000000000000000000000aa";
  auto first = fields({}, "the first line");
  first.reportId = id;
  const auto registered = store->store(first);
  ASSERT_TRUE(registered);
  const auto other = store->store(fields());
  ASSERT_TRUE(other);

  // Another player's line under that id is that player's new report.
  auto foreign = fields(other->playerId, "someone else's line");
  foreign.reportId = id;
  const auto stored = store->store(foreign);
  ASSERT_TRUE(stored);
  EXPECT_FALSE(stored->repeated);
  EXPECT_FALSE(stored->reportIdConflict);
  EXPECT_EQ(stored->playerId, other->playerId);
  EXPECT_NE(stored->reportId, registered->reportId);

  // The same sender and id with any field of the line changed: refused.
  const long long rows = countRowsOf("reports"), players = countRowsOf("players");
  const std::function<void(ReportFields&)> changes[] = {
      [](ReportFields& f) { f.language = "ja"; },  [](ReportFields& f) { f.patternId = 3; },
      [](ReportFields& f) { f.code = 28; },        [](ReportFields& f) { f.line += "!"; },
      [](ReportFields& f) { f.ordinal = 7; },      [](ReportFields& f) { f.lineTime += 1; },
      [](ReportFields& f) { f.present = false; }};
  for (size_t i = 0; i < std::size(changes); ++i) {
    SCOPED_TRACE(i);
    for (const auto& sender : {first, foreign}) {
      auto changed = sender;
      changes[i](changed);
      const auto refused = store->store(changed);
      ASSERT_TRUE(refused);
      EXPECT_TRUE(refused->reportIdConflict);
      EXPECT_FALSE(refused->repeated);
      EXPECT_TRUE(refused->playerId.empty());
      EXPECT_EQ(refused->reportId, 0);
    }
  }
  EXPECT_EQ(countRowsOf("reports"), rows);
  EXPECT_EQ(countRowsOf("players"), players);
  EXPECT_EQ(store->store(first)->playerId, registered->playerId);
}

TEST_P(ReportStoreTest, GlobalReportIdsFromBefore_AreMigratedToPerSender) {
  const std::string id = "000000000000000000000000000000bb";
  std::string playerId;
  int64_t firstReport = 0;
  {
    auto store = open();
    auto report = fields({}, "stored before");
    report.reportId = id;
    const auto stored = store->store(report);
    ASSERT_TRUE(stored);
    playerId = stored->playerId;
    firstReport = stored->reportId;
  }
  const bool sqlite = GetParam() == StoreKind::Sqlite;
  ASSERT_TRUE(database.execute(
      std::string("DROP INDEX reports_by_received; DROP INDEX reports_by_sender_report_id;"
                  " CREATE UNIQUE INDEX reports_by_report_id ON reports(report_id); ") +
      (sqlite ? "PRAGMA user_version = 7" : "DELETE FROM schema_migrations WHERE version > 8")));
  auto store = open();
  ASSERT_TRUE(store);
  auto again = fields({}, "stored before");
  again.reportId = id;
  const auto repeated = store->store(again);
  ASSERT_TRUE(repeated);
  EXPECT_TRUE(repeated->repeated);
  EXPECT_EQ(repeated->reportId, firstReport);
  const auto other = store->store(fields());
  ASSERT_TRUE(other);
  auto foreign = fields(other->playerId, "a line of its own");
  foreign.reportId = id;
  const auto stored = store->store(foreign);
  ASSERT_TRUE(stored);
  EXPECT_FALSE(stored->repeated);
  EXPECT_EQ(store->reportCount(), 3);
  // The player that id registered cannot use it for another line.
  auto reused = fields(playerId, "a line of its own");
  reused.reportId = id;
  EXPECT_TRUE(store->store(reused)->reportIdConflict);
}

// One player's lines added in SQL, many at once: `count` lines "line <n>"
// with ascending ids.
bool addLinesInSql(const testing::TestDatabase& database, const std::string& aid, int count) {
  const std::string player = "(SELECT id FROM players WHERE aid = '" + aid + "')";
  if (database.kind() == StoreKind::Sqlite)
    return database.execute(
        "WITH RECURSIVE g(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM g WHERE n < " + std::to_string(count) +
        ") INSERT INTO reports(player, received_at_ms, session, lang, sid, fid, aid, pid, code, log, line, ltime,"
        " present, line_hash) SELECT " + player + ", 0, 's', 'en', '', '', '" + aid +
        "', 2, 29, CAST('line ' || n AS BLOB), 0, 1796000000 + n, 1, 0 FROM g");
  // Row by row the totals' trigger updates one row thousands of times in
  // one transaction, minutes for 20,000 lines: it is set aside and the total
  // counted up once.
  return database.execute(
      "BEGIN; ALTER TABLE reports DISABLE TRIGGER USER;"
      " INSERT INTO reports(player, received_at_ms, session, lang, sid, fid, aid, pid, code, log, line, ltime, present)"
      " SELECT " + player + ", 0, 's', 'en', '', ''::bytea, convert_to('" + aid +
      "', 'UTF8'), 2, 29, convert_to('line ' || n, 'UTF8'), 0, 1796000000 + n, true FROM generate_series(1, " +
      std::to_string(count) + ") n; ALTER TABLE reports ENABLE TRIGGER USER;"
      " UPDATE pattern_totals SET count = count + " + std::to_string(count) + " WHERE player = " + player +
      " AND lang = 'en' AND pid = 2; COMMIT");
}

TEST_P(ReportStoreTest, SearchThatEveryLineHolds_CountsToItsBound_OlderMatchesByKey) {
  auto store = open();
  // A one-line page whose line is older than every line of the large one:
  // its search must still find it, among its own lines only.
  const auto small = store->store(fields({}, "line for a small page"));
  ASSERT_TRUE(small);
  const auto first = store->store(fields({}, "line 0"));
  ASSERT_TRUE(first);
  const int added = static_cast<int>(kMaxCountedMatches) + 30;
  ASSERT_TRUE(addLinesInSql(database, first->playerId, added));
  const std::string token = *store->tokenOf(first->playerId);
  const ReportFilter every{{}, std::nullopt, "line "};

  const auto newest = store->reportsOf(token, 0, 50, every);
  ASSERT_TRUE(newest);
  EXPECT_EQ(newest->total, kMaxCountedMatches);
  EXPECT_TRUE(newest->totalIsLowerBound);
  ASSERT_EQ(newest->reports.size(), 50u);
  EXPECT_EQ(newest->reports.front().line, "line " + std::to_string(added));

  const auto lastCounted = store->reportsOf(token, kMaxCountedMatches - 50, 50, every);
  ASSERT_TRUE(lastCounted);
  ASSERT_EQ(lastCounted->reports.size(), 50u);
  EXPECT_FALSE(lastCounted->beyondReach);
  const auto pastCount = store->reportsOf(token, kMaxCountedMatches, 50, every);
  ASSERT_TRUE(pastCount);
  EXPECT_TRUE(pastCount->beyondReach);
  EXPECT_TRUE(pastCount->reports.empty());

  // The rest, older than the last counted match, one page by key.
  const auto older = store->reportsOf(token, 0, 50, every, PageKey{lastCounted->reports.back().reportId, {}});
  ASSERT_TRUE(older);
  ASSERT_EQ(older->reports.size(), 31u);  // line 30 down to line 0
  EXPECT_EQ(older->reports.front().line, "line 30");
  EXPECT_EQ(older->reports.back().line, "line 0");
  // And back up by key.
  const auto newer = store->reportsOf(token, 0, 50, every, PageKey{{}, older->reports.front().reportId});
  ASSERT_TRUE(newer);
  ASSERT_EQ(newer->reports.size(), 50u);
  EXPECT_EQ(newer->reports.back().line, "line 31");

  const auto found = store->reportsOf(*store->tokenOf(small->playerId), 0, 50, every);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->total, 1);
  EXPECT_FALSE(found->totalIsLowerBound);
}

TEST_P(ReportStoreTest, PagesByOffset_ReadFromTheNearerEnd_TheMiddleOfALongListByKeyOnly) {
  auto store = open();
  const auto first = store->store(fields({}, "line 0"));
  ASSERT_TRUE(first);
  const int64_t total = 2 * kMaxSkippedLines + 120;
  ASSERT_TRUE(addLinesInSql(database, first->playerId, static_cast<int>(total - 1)));
  const std::string token = *store->tokenOf(first->playerId);

  // The last page: the oldest lines, newest first, as counted from the top.
  const int64_t lastOffset = (total - 1) / 50 * 50;
  const auto last = store->reportsOf(token, lastOffset, 50);
  ASSERT_TRUE(last);
  EXPECT_EQ(last->total, total);
  EXPECT_FALSE(last->beyondReach);
  ASSERT_EQ(static_cast<int64_t>(last->reports.size()), total - lastOffset);
  EXPECT_EQ(last->reports.front().line, "line " + std::to_string(total - lastOffset - 1));
  EXPECT_EQ(last->reports.back().line, "line 0");
  // A page near the end, a full one.
  const auto nearEnd = store->reportsOf(token, lastOffset - 50, 50);
  ASSERT_TRUE(nearEnd);
  ASSERT_EQ(nearEnd->reports.size(), 50u);
  EXPECT_EQ(nearEnd->reports.back().line, "line " + std::to_string(total - lastOffset));

  const auto middle = store->reportsOf(token, total / 2, 50);
  ASSERT_TRUE(middle);
  EXPECT_TRUE(middle->beyondReach);
  EXPECT_TRUE(middle->reports.empty());
  const auto deepestFromTheTop = store->reportsOf(token, kMaxSkippedLines, 50);
  ASSERT_TRUE(deepestFromTheTop);
  ASSERT_EQ(deepestFromTheTop->reports.size(), 50u);
  EXPECT_EQ(deepestFromTheTop->reports.front().line, "line " + std::to_string(total - 1 - kMaxSkippedLines));
}

TEST_P(ReportStoreTest, SchemaFromBeforeReportIds_IsMigratedAndKeepsItsRows) {
  std::string playerId;
  {
    auto store = open();
    const auto stored = store->store(fields());
    ASSERT_TRUE(stored);
    playerId = stored->playerId;
  }
  const bool sqlite = GetParam() == StoreKind::Sqlite;
  ASSERT_TRUE(database.execute(
      std::string(sqlite ? "DROP TRIGGER reports_count_day; DROP TRIGGER reports_uncount; "
                         : "DROP TRIGGER reports_uncount ON reports; DROP FUNCTION uncount_report(); ") +
      "DROP TABLE day_totals; DROP TABLE server_secrets; " +
      std::string(sqlite ? "DROP TRIGGER reports_index_text; DROP TRIGGER reports_unindex_text; DROP TABLE report_text; "
                         : "DROP INDEX reports_by_text; ") +
      (sqlite ? "DROP TRIGGER reports_count_pattern; "
                         : "DROP TRIGGER reports_count_pattern ON reports; DROP FUNCTION count_pattern_total(); ") +
      "DROP TABLE pattern_totals; DROP INDEX reports_by_line;"
      " CREATE INDEX reports_by_line_time ON reports(player, ltime); " +
      (sqlite ? "ALTER TABLE reports DROP COLUMN line_hash; "
              : "ALTER TABLE reports ALTER COLUMN fid TYPE TEXT USING convert_from(fid, 'UTF8'),"
                " ALTER COLUMN aid TYPE TEXT USING convert_from(aid, 'UTF8'); ") +
      "DROP INDEX reports_by_received; DROP INDEX reports_by_sender_report_id;"
      " ALTER TABLE reports DROP COLUMN report_id; " +
      (sqlite ? "PRAGMA user_version = 2" : "DELETE FROM schema_migrations WHERE version > 2")));
  auto store = open();
  ASSERT_TRUE(store);
  EXPECT_EQ(store->reportCount(), 1);
  auto report = fields(playerId, "a line after the migration");
  report.reportId = "00000000000000000000000000000009";
  ASSERT_TRUE(store->store(report));
  EXPECT_TRUE(store->store(report)->repeated);
  // The line stored before the migration is still found by its index.
  auto history = fields(playerId);
  history.present = false;
  EXPECT_TRUE(store->store(history)->alreadyStored);
  EXPECT_EQ(store->reportCount(), 2);
  // The kept totals count the rows from before too.
  const auto page = store->reportsOf(*store->tokenOf(playerId), 0, 50);
  ASSERT_TRUE(page);
  ASSERT_EQ(page->totals.size(), 1u);
  EXPECT_EQ(page->totals[0].count, 2);
  EXPECT_EQ(page->total, 2);
  // The search index holds the lines from before.
  const auto found = store->reportsOf(*store->tokenOf(playerId), 0, 50, ReportFilter{{}, std::nullopt, "Alice"});
  ASSERT_TRUE(found);
  EXPECT_EQ(found->total, 1);
}

TEST_P(ReportStoreTest, PageTotals_AreBounded_APatternPastThemStillFilters) {
  auto store = open();
  const auto first = store->store(fields());
  ASSERT_TRUE(first);
  const int32_t last = static_cast<int32_t>(kMaxListedTotals) + 5;
  for (int32_t pid = 1; pid <= last; ++pid) {
    auto report = fields(first->playerId);
    report.patternId = pid;
    ASSERT_TRUE(store->store(report));
  }
  const std::string token = *store->tokenOf(first->playerId);
  const auto page = store->reportsOf(token, 0, 50, ReportFilter{"en", last, {}});
  ASSERT_TRUE(page);
  EXPECT_EQ(page->totals.size(), static_cast<size_t>(kMaxListedTotals));
  EXPECT_EQ(page->total, 1);
}

TEST_P(ReportStoreTest, ReopeningAppliesNoMigrationTwiceAndHealthHolds) {
  { EXPECT_TRUE(open()->healthy()); }
  auto store = open();
  ASSERT_TRUE(store);
  EXPECT_TRUE(store->healthy());
  EXPECT_EQ(store->reportCount(), 0);
  EXPECT_EQ(store->playerCount(), 0);
}

}  // namespace
}  // namespace tidemark
