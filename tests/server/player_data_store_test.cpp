// The player's data in every store: day totals, the download's batches,
// erasure and retention, run against SQLite and PostgreSQL alike.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>

#include "store/report_store.h"
#include "test_database.h"

namespace tidemark {
namespace {

using testing::StoreKind;

constexpr int64_t kDay = 86400;
constexpr int64_t kSomeDay = 20'000;  // 2024-10-04

ReportFields line(std::string aid, int64_t time, int32_t pid = 2, std::string bytes = "\x1F" "Alice\x1Fwaves") {
  ReportFields f;
  f.language = "en";
  f.aid = std::move(aid);
  f.patternId = pid;
  f.code = pid == 4 ? 2122 : 29;
  f.lineTime = time;
  f.present = true;
  f.line = std::move(bytes);
  return f;
}

class PlayerDataStoreTest : public ::testing::TestWithParam<StoreKind> {
 protected:
  void SetUp() override {
    if (!database.available()) GTEST_SKIP() << "no throwaway PostgreSQL runs (tools/throwaway-postgresql.sh)";
    std::string error;
    store = ReportStore::open(database.address(), error);
    ASSERT_TRUE(store) << error;
  }

  // A new player with `count` lines, one a second from `start`, in two
  // patterns; its player id and page token.
  std::pair<std::string, std::string> player(int count, int64_t start = kSomeDay * kDay) {
    const auto first = store->store(line({}, start));
    EXPECT_TRUE(first);
    if (!first) return {};
    // Written through the queue, so that many land in one transaction.
    std::vector<std::future<std::optional<StoredReport>>> answers;
    for (int i = 1; i < count; ++i) {
      auto done = std::make_shared<std::promise<std::optional<StoredReport>>>();
      answers.push_back(done->get_future());
      store->storeAsync(line(first->playerId, start + i, i % 3 ? 2 : 4, "line " + std::to_string(i)),
                        [done](std::optional<StoredReport> stored) { done->set_value(std::move(stored)); });
    }
    for (auto& answer : answers) EXPECT_TRUE(answer.get());
    return {first->playerId, *store->tokenOf(first->playerId)};
  }

  testing::TestDatabase database{GetParam()};
  std::unique_ptr<ReportStore> store;
};

INSTANTIATE_TEST_SUITE_P(Stores, PlayerDataStoreTest, ::testing::Values(StoreKind::Sqlite, StoreKind::Postgresql),
                         [](const auto& info) { return testing::storeKindName(info.param); });

std::vector<std::tuple<int64_t, std::string, int32_t, int64_t>> flat(const std::optional<std::vector<DayTotal>>& days) {
  std::vector<std::tuple<int64_t, std::string, int32_t, int64_t>> out;
  if (days)
    for (const auto& d : *days) out.emplace_back(d.day, d.language, d.patternId, d.count);
  return out;
}

TEST_P(PlayerDataStoreTest, DayTotals_CountEachUtcDayAndPattern_AlsoRowsFromBeforeTheMigration) {
  const auto [aid, token] = player(1, kSomeDay * kDay + kDay - 1);  // the day's last second
  for (const auto& f : {line(aid, kSomeDay * kDay + kDay), line(aid, kSomeDay * kDay + 5, 4),
                        line(aid, -1), line(aid, (kSomeDay - 5) * kDay)})
    ASSERT_TRUE(store->store(f));
  const decltype(flat({})) expected = {
      {kSomeDay, "en", 2, 1}, {kSomeDay, "en", 4, 1}, {kSomeDay + 1, "en", 2, 1}};
  EXPECT_EQ(flat(store->dayTotalsOf(token, kSomeDay)), expected);
  EXPECT_EQ(flat(store->dayTotalsOf(token, -1)).front(), std::make_tuple(int64_t{-1}, std::string("en"), 2, int64_t{1}));
  EXPECT_FALSE(store->dayTotalsOf("0123456789abcdef0123456789abcdef", 0));
  EXPECT_EQ(dayOfTime(-1), -1);

  // A database from before the day totals gets them counted from its rows.
  const bool sqlite = GetParam() == StoreKind::Sqlite;
  store.reset();
  ASSERT_TRUE(database.execute(
      std::string(sqlite ? "DROP TRIGGER reports_count_day; DROP TRIGGER reports_uncount; PRAGMA user_version = 6; "
                         : "DROP TRIGGER reports_uncount ON reports; DROP FUNCTION uncount_report();"
                           " DELETE FROM schema_migrations WHERE version >= 8; ") +
      "DROP TABLE day_totals; DROP TABLE server_secrets"));
  std::string error;
  store = ReportStore::open(database.address(), error);
  ASSERT_TRUE(store) << error;
  EXPECT_EQ(flat(store->dayTotalsOf(token, kSomeDay)), expected);
  EXPECT_TRUE(store->pageSecret());
}

TEST_P(PlayerDataStoreTest, ExportBatches_GiveEveryLineOnceOldestFirstWithAllItsBytes) {
  const auto [aid, token] = player(7);
  std::string everyByte;
  for (int b = 0; b < 256; ++b) everyByte.push_back(static_cast<char>(b));
  ASSERT_TRUE(store->store(line(aid, 5, 4, everyByte)));
  player(3);  // someone else's lines stay out
  std::vector<ExportedReport> all;
  int64_t after = 0;
  for (int batches = 0; batches < 10; ++batches) {
    const auto batch = store->exportBatch(token, after, 3);
    ASSERT_TRUE(batch);
    if (batch->empty()) break;
    EXPECT_LE(batch->size(), 3u);
    all.insert(all.end(), batch->begin(), batch->end());
    after = batch->back().reportId;
  }
  ASSERT_EQ(all.size(), 8u);
  for (size_t i = 1; i < all.size(); ++i) EXPECT_LT(all[i - 1].reportId, all[i].reportId);
  // PostgreSQL's writers may give the queued lines their ids in another order.
  const auto second = std::find_if(all.begin(), all.end(), [](const auto& r) { return r.line == "line 1"; });
  ASSERT_NE(second, all.end());
  EXPECT_EQ(second->lineTime, kSomeDay * kDay + 1);
  EXPECT_EQ(all.back().line, everyByte);
  EXPECT_EQ(all.back().patternId, 4);
  EXPECT_EQ(all.back().code, 2122);
  EXPECT_TRUE(all.back().present);
  EXPECT_GT(all.back().receivedAtMs, 1'700'000'000'000);
  EXPECT_FALSE(store->exportBatch("0123456789abcdef0123456789abcdef", 0, 3));
}

TEST_P(PlayerDataStoreTest, ErasedPlayer_LeavesNoRowBehind_TheIdRegistersANewPlayer) {
  // More lines than one removal batch, in two patterns and over two days.
  const auto [aid, token] = player(static_cast<int>(kRemovalBatch) + 120, kSomeDay * kDay + kDay - 60);
  const auto [otherAid, otherToken] = player(4);
  const auto otherBefore = store->reportsOf(otherToken, 0, 50);
  const auto otherDays = flat(store->dayTotalsOf(otherToken, 0));
  ASSERT_TRUE(otherBefore);

  const EraseOutcome erased = store->erasePlayer(token);
  EXPECT_TRUE(erased.found);
  EXPECT_FALSE(erased.failed);
  EXPECT_EQ(erased.lines, kRemovalBatch + 120);
  // Every table holds the other player's rows only: reports (with their
  // sessions), both totals, players (ids and tokens).
  EXPECT_EQ(database.count("reports"), 4);
  EXPECT_EQ(database.count("pattern_totals"), 2);
  EXPECT_EQ(database.count("day_totals"), static_cast<long long>(otherDays.size()));
  EXPECT_EQ(database.count("players"), 1);
  EXPECT_FALSE(store->reportsOf(token, 0, 50));
  EXPECT_FALSE(store->tokenOf(aid));
  EXPECT_EQ(store->reportsOf(otherToken, 0, 50)->totals.size(), otherBefore->totals.size());
  EXPECT_EQ(flat(store->dayTotalsOf(otherToken, 0)), otherDays);
  EXPECT_FALSE(store->erasePlayer(token).found);

  const auto again = store->store(line(aid, 1));
  ASSERT_TRUE(again);
  EXPECT_TRUE(again->newPlayer);
  EXPECT_NE(again->playerId, aid);
}

TEST_P(PlayerDataStoreTest, ErasureCutShort_IsFinishedByTheNextSweep) {
  const auto [aid, token] = player(3);
  // What a stop between the mark and the removal leaves.
  ASSERT_TRUE(database.execute("UPDATE players SET aid = 'erased-1', token = 'erased-2'"));
  EXPECT_EQ(store->removeErasedPlayers(), 3);
  for (const char* table : {"reports", "pattern_totals", "day_totals", "players"})
    EXPECT_EQ(database.count(table), 0) << table;
}

TEST_P(PlayerDataStoreTest, Retention_RemovesOnlyLinesReceivedBefore_AndTheTotalsFollow) {
  const auto [oldAid, oldToken] = player(static_cast<int>(kRemovalBatch) + 30);
  const auto [aid, token] = player(5);
  const auto keptDays = flat(store->dayTotalsOf(token, 0));
  ASSERT_TRUE(database.execute("UPDATE reports SET received_at_ms = 1000 WHERE player = "
                               "(SELECT player FROM reports ORDER BY id LIMIT 1)"));
  int64_t removed = 0, batches = 0;
  for (int64_t batch; batches < 10 && (batch = store->removeLinesReceivedBefore(2000)) > 0; ++batches) {
    EXPECT_LE(batch, kRemovalBatch);
    removed += batch;
  }
  EXPECT_EQ(removed, kRemovalBatch + 30);
  EXPECT_EQ(batches, 2);
  EXPECT_EQ(database.count("reports"), 5);
  const auto kept = store->reportsOf(token, 0, 50);
  ASSERT_TRUE(kept);
  EXPECT_EQ(kept->total, 5);
  EXPECT_EQ(flat(store->dayTotalsOf(token, 0)), keptDays);
  // The old player keeps the page, with no line and no total left.
  const auto emptied = store->reportsOf(oldToken, 0, 50);
  ASSERT_TRUE(emptied);
  EXPECT_EQ(emptied->total, 0);
  EXPECT_TRUE(emptied->totals.empty());
  EXPECT_TRUE(flat(store->dayTotalsOf(oldToken, 0)).empty());
  EXPECT_EQ(store->removeLinesReceivedBefore(2000), 0);
}

TEST_P(PlayerDataStoreTest, Retention_ReachesOldLinesAboveAFullBatchOfNewerIds) {
  const auto [aid, token] = player(static_cast<int>(kRemovalBatch) + 1);
  const auto [oldAid, oldToken] = player(3);
  // Lines stored with a clock that was set back, or by another instance.
  ASSERT_TRUE(database.execute("UPDATE reports SET received_at_ms = 1000 WHERE player = "
                               "(SELECT player FROM reports ORDER BY id DESC LIMIT 1)"));
  EXPECT_EQ(store->removeLinesReceivedBefore(2000), 3);
  EXPECT_EQ(store->removeLinesReceivedBefore(2000), 0);
  EXPECT_EQ(store->reportsOf(oldToken, 0, 50)->total, 0);
  EXPECT_EQ(store->reportsOf(token, 0, 50)->total, kRemovalBatch + 1);
}

}  // namespace
}  // namespace tidemark
