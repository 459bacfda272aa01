// The SQLite store's search index takes new lines in bulk, a turn at a time:
// lines not yet taken are still found, and removing lines on either side of
// its mark leaves it holding exactly the lines up to the mark.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "store/report_store.h"
#include "store/sqlite_migrations.h"
#include "test_database.h"

namespace tidemark {
namespace {

using testing::StoreKind;

ReportFields line(const std::string& aid, const std::string& text, int64_t lineTime) {
  ReportFields f;
  f.language = "en";
  f.aid = aid;
  f.patternId = 2;
  f.code = 29;
  f.lineTime = lineTime;
  f.present = true;
  f.line = "\x1F" "Alice\x1F" + text;
  return f;
}

std::vector<std::string> linesOf(const std::optional<PlayerReports>& page) {
  std::vector<std::string> lines;
  if (page)
    for (const auto& report : page->reports) lines.push_back(report.line.substr(7));  // past "\x1F" "Alice\x1F"
  return lines;
}

class SqliteSearchIndexTest : public ::testing::Test {
 protected:
  std::unique_ptr<ReportStore> open() {
    std::string error;
    auto store = ReportStore::open(database.address(), error);
    EXPECT_TRUE(store) << error;
    return store;
  }

  // Integers read with a connection of its own that knows the index's
  // tokenizer and has its terms as the table report_text_terms (term, doc,
  // ...); -1 for NULL or a failure.
  std::vector<int64_t> integers(const std::string& sql) const {
    std::vector<int64_t> values;
    sqlite3* db = nullptr;
    std::string error;
    if (sqlite3_open_v2(database.address().c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK &&
        sqlite3_busy_timeout(db, 5000) == SQLITE_OK && registerSqliteFunctions(db, error) &&
        sqlite3_exec(db, "CREATE VIRTUAL TABLE temp.report_text_terms USING fts5vocab(main, report_text, 'instance')",
                     nullptr, nullptr, nullptr) == SQLITE_OK) {
      sqlite3_stmt* statement = nullptr;
      if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK) {
        int rc;
        while ((rc = sqlite3_step(statement)) == SQLITE_ROW)
          values.push_back(sqlite3_column_type(statement, 0) == SQLITE_NULL ? -1 : sqlite3_column_int64(statement, 0));
        if (rc != SQLITE_DONE) values.push_back(-1);
      } else {
        values.push_back(-1);
      }
      sqlite3_finalize(statement);
    } else {
      values.push_back(-1);
    }
    sqlite3_close(db);
    return values;
  }
  int64_t integer(const std::string& sql) const {
    const auto values = integers(sql);
    return values.size() == 1 ? values[0] : -1;
  }
  int64_t mark() const { return integer("SELECT up_to FROM report_text_indexed"); }

  // Waits (boundedly) for the writer's quiet-time turn to index every line.
  bool waitUntilIndexed() const {
    for (int i = 0; i < 200; ++i) {
      if (mark() == integer("SELECT max(id) FROM reports")) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return false;
  }

  // Lines added by another connection, as another program would: above the
  // mark, and not counted by the writer, which leaves them to its next turn.
  bool addLines(const std::string& aid, const std::vector<std::string>& texts, int64_t firstTime,
                int64_t receivedAtMs) const {
    std::string sql = "BEGIN;";
    int64_t time = firstTime;
    for (const auto& text : texts)
      sql += "INSERT INTO reports(player, received_at_ms, session, lang, sid, fid, aid, pid, code, log, line, ltime,"
             " present, line_hash) SELECT id, " + std::to_string(receivedAtMs) + ", 's', 'en', '', '', aid, 2, 29,"
             " CAST(x'1f' || 'Alice' || x'1f' || '" + text + "' AS BLOB), 0, " + std::to_string(time++) +
             ", 1, 0 FROM players WHERE aid = '" + aid + "';";
    return database.execute(sql + "COMMIT;");
  }

  // The index holds exactly the lines at or below its mark: the rows its
  // terms name, and its own count of rows (FTS5's "averages" record, whose
  // first varint a 'delete' of a row it never held counts down too).
  void expectIndexSound() const {
    const std::string upTo = "(SELECT up_to FROM report_text_indexed)";
    const auto indexed = integers("SELECT id FROM reports WHERE id <= " + upTo + " ORDER BY id");
    EXPECT_EQ(integers("SELECT DISTINCT doc FROM report_text_terms ORDER BY doc"), indexed);
    // Under 128 rows the varint is its first byte.
    ASSERT_LT(indexed.size(), 128u);
    EXPECT_EQ(integer("SELECT instr('0123456789ABCDEF', substr(hex(block), 1, 1)) * 16 - 17 +"
                      " instr('0123456789ABCDEF', substr(hex(block), 2, 1)) FROM report_text_data WHERE id = 1"),
              static_cast<int64_t>(indexed.size()));
  }

  testing::TestDatabase database{StoreKind::Sqlite};
};

const ReportFilter kTide{{}, std::nullopt, "tide"};

TEST_F(SqliteSearchIndexTest, LinesNotYetIndexed_AreFound_AndStillFoundOnceIndexed) {
  auto store = open();
  ASSERT_TRUE(store);
  const auto alice = store->store(line({}, "first tide", 1000));
  const auto other = store->store(line({}, "tide of another", 1000));
  ASSERT_TRUE(alice && other);
  const std::string token = *store->tokenOf(alice->playerId);
  ASSERT_TRUE(waitUntilIndexed());
  const int64_t upTo = mark();

  // Nothing comes through the store meanwhile: no turn takes these.
  ASSERT_TRUE(addLines(alice->playerId, {"fresh tide 1", "fresh tide 2", "fresh ebb", "fresh tide 3"}, 2000, 1));
  ASSERT_TRUE(addLines(other->playerId, {"fresh tide of another"}, 2000, 1));
  const std::vector<std::string> expected = {"fresh tide 3", "fresh tide 2", "fresh tide 1", "first tide"};
  auto found = store->reportsOf(token, 0, 50, kTide);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->total, 4);
  EXPECT_FALSE(found->totalIsLowerBound);
  EXPECT_EQ(linesOf(found), expected);
  // Pages by key reach them too, on both sides of the mark.
  const auto first = store->reportsOf(token, 0, 2, kTide);
  ASSERT_TRUE(first);
  ASSERT_EQ(linesOf(first), std::vector<std::string>(expected.begin(), expected.begin() + 2));
  const auto older = store->reportsOf(token, 0, 2, kTide, PageKey{first->reports.back().reportId, {}});
  EXPECT_EQ(linesOf(older), std::vector<std::string>(expected.begin() + 2, expected.end()));
  ASSERT_TRUE(older && !older->reports.empty());
  const auto newer = store->reportsOf(token, 0, 2, kTide, PageKey{{}, older->reports.front().reportId});
  EXPECT_EQ(linesOf(newer), std::vector<std::string>(expected.begin(), expected.begin() + 2));
  // They were searched before their turn (the mark only grows).
  EXPECT_EQ(mark(), upTo);
  EXPECT_EQ(linesOf(store->reportsOf(*store->tokenOf(other->playerId), 0, 50, kTide)),
            (std::vector<std::string>{"fresh tide of another", "tide of another"}));

  // A restart indexes what was left.
  store.reset();
  store = open();
  ASSERT_TRUE(store);
  ASSERT_TRUE(waitUntilIndexed());
  EXPECT_GT(mark(), upTo);
  found = store->reportsOf(token, 0, 50, kTide);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->total, 4);
  EXPECT_EQ(linesOf(found), expected);
  expectIndexSound();
}

TEST_F(SqliteSearchIndexTest, RemovingLinesOnBothSidesOfTheMark_LeavesTheIndexSound) {
  auto store = open();
  ASSERT_TRUE(store);
  const auto alice = store->store(line({}, "kept tide", 5000));
  const auto erased = store->store(line({}, "erased tide 1", 5000));
  ASSERT_TRUE(alice && erased);
  const std::string token = *store->tokenOf(alice->playerId);
  const std::string erasedToken = *store->tokenOf(erased->playerId);
  ASSERT_TRUE(addLines(alice->playerId, {"old tide 1", "old tide 2"}, 100, 0));
  store.reset();
  store = open();  // indexes the added lines at its first quiet moment
  ASSERT_TRUE(store);
  ASSERT_TRUE(waitUntilIndexed());
  const int64_t upTo = mark();
  ASSERT_TRUE(addLines(alice->playerId, {"old tide 3", "old tide 4"}, 200, 0));
  ASSERT_TRUE(addLines(erased->playerId, {"erased tide 2", "erased tide 3"}, 200, 1));
  expectIndexSound();

  // Retention takes "old tide" 1 to 4, erasure the erased player's lines:
  // each time some indexed and some not.
  EXPECT_EQ(store->removeLinesReceivedBefore(1), 4);
  ASSERT_TRUE(store->forgetPlayer(erasedToken).found);
  EXPECT_EQ(store->removeErasedPlayers(), 3);
  EXPECT_EQ(mark(), upTo);
  expectIndexSound();
  const auto found = store->reportsOf(token, 0, 50, kTide);
  ASSERT_TRUE(found);
  EXPECT_EQ(linesOf(found), std::vector<std::string>{"kept tide"});

  // Every line above the first is gone, so the next takes an id at or
  // below the mark again: it is indexed as it is stored.
  const auto again = store->store(line(alice->playerId, "tide again", 6000));
  ASSERT_TRUE(again);
  ASSERT_LE(again->reportId, upTo);
  EXPECT_EQ(linesOf(store->reportsOf(token, 0, 50, kTide)), (std::vector<std::string>{"tide again", "kept tide"}));
  expectIndexSound();
}

}  // namespace
}  // namespace tidemark
