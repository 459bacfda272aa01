#include "report_store.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <set>
#include <thread>

#include "field_values.h"
#include "server_fixture.h"

namespace tidemark {
namespace {

using testing::TempDir;

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

class ReportStoreTest : public ::testing::Test {
 protected:
  std::unique_ptr<ReportStore> open() {
    std::string error;
    auto store = ReportStore::open(database().string(), error);
    EXPECT_TRUE(store) << error;
    return store;
  }
  std::filesystem::path database() const { return dir.path() / "reports.sqlite3"; }
  long long countRowsOf(const std::string& table) const { return testing::countRows(database(), table); }

  TempDir dir;
};

TEST_F(ReportStoreTest, ReportWithoutPlayer_RegistersOneWithFreshIds) {
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

TEST_F(ReportStoreTest, KnownPlayerAndSession_AreKept) {
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

TEST_F(ReportStoreTest, UnknownPlayerId_IsReplacedByANewPlayer) {
  auto store = open();
  const auto stored = store->store(fields("0123456789abcdef0123456789abcdef"));
  ASSERT_TRUE(stored);
  EXPECT_TRUE(stored->newPlayer);
  EXPECT_TRUE(stored->replacedUnknownPlayer);
  EXPECT_NE(stored->playerId, "0123456789abcdef0123456789abcdef");
  EXPECT_FALSE(store->tokenOf("0123456789abcdef0123456789abcdef"));
}

TEST_F(ReportStoreTest, EveryFieldAndTheRawBytes_AreStoredAsSent) {
  auto store = open();
  std::string line;
  for (int b = 0; b < 256; ++b) line.push_back(static_cast<char>(b));
  auto report = fields({}, line);
  report.fid = "41";
  report.patternId = -7;
  report.code = 2122;
  report.ordinal = 12;
  report.lineTime = -1;
  report.present = false;
  const auto stored = store->store(report);
  ASSERT_TRUE(stored);

  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open_v2(database().c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  sqlite3_stmt* row = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db,
                "SELECT lang, sid, fid, aid, pid, code, log, line, ltime, present, session,"
                " received_at_ms FROM reports WHERE id = ?1", -1, &row, nullptr), SQLITE_OK);
  sqlite3_bind_int64(row, 1, stored->reportId);
  ASSERT_EQ(sqlite3_step(row), SQLITE_ROW);
  const auto text = [&](int i) { return std::string(reinterpret_cast<const char*>(sqlite3_column_text(row, i))); };
  EXPECT_EQ(text(0), "en");
  EXPECT_EQ(text(1), "");
  EXPECT_EQ(text(2), "41");
  EXPECT_EQ(text(3), "");
  EXPECT_EQ(sqlite3_column_int(row, 4), -7);
  EXPECT_EQ(sqlite3_column_int(row, 5), 2122);
  EXPECT_EQ(sqlite3_column_type(row, 6), SQLITE_BLOB);
  EXPECT_EQ(std::string(static_cast<const char*>(sqlite3_column_blob(row, 6)),
                        static_cast<size_t>(sqlite3_column_bytes(row, 6))), line);
  EXPECT_EQ(sqlite3_column_int(row, 7), 12);
  EXPECT_EQ(sqlite3_column_int64(row, 8), -1);
  EXPECT_EQ(sqlite3_column_int(row, 9), 0);
  EXPECT_EQ(text(10), stored->sessionId);
  EXPECT_GT(sqlite3_column_int64(row, 11), 1'700'000'000'000);
  sqlite3_finalize(row);
  sqlite3_close(db);
}

TEST_F(ReportStoreTest, HistoryLineReportedAgain_KeepsItsFirstReport) {
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

TEST_F(ReportStoreTest, PresentLinesAndOtherPlayersLines_AreAlwaysStored) {
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

TEST_F(ReportStoreTest, EmptyLine_IsStoredAsAnEmptyBlob) {
  auto store = open();
  const auto stored = store->store(fields({}, ""));
  ASSERT_TRUE(stored);
  const auto page = store->reportsOf(*store->tokenOf(stored->playerId), 0, 10);
  ASSERT_TRUE(page);
  ASSERT_EQ(page->reports.size(), 1u);
  EXPECT_EQ(page->reports[0].line, "");
}

TEST_F(ReportStoreTest, PlayerReports_ComeNewestFirstInPagesOfThatPlayerOnly) {
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
  EXPECT_FALSE(store->reportsOf("0123456789abcdef0123456789abcdef", 0, 50));
}

TEST_F(ReportStoreTest, ConcurrentReports_AreAllStoredWithDistinctIds) {
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

TEST_F(ReportStoreTest, ReportsAndPlayers_AreThereAfterReopening) {
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

TEST_F(ReportStoreTest, UnwritableDatabase_IsRefusedWithAReason) {
  std::string error;
  EXPECT_FALSE(ReportStore::open((dir.path() / "missing" / "reports.sqlite3").string(), error));
  EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace tidemark
