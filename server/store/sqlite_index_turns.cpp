#include <algorithm>
#include <chrono>
#include <mutex>

#include "store/sqlite_report_store.h"
#include "store/sqlite_statements.h"

// The search index's turns on the SQLite writer. Indexing each batch's lines
// in its own commit wrote an FTS5 segment per commit, and merging those
// segments cost more than the rest of a report: the lines are taken in bulk
// instead, one segment per turn, and the lines not yet taken are searched by
// their bytes (see listReports).
namespace tidemark {

using namespace sqlite;

namespace {

// While reports come the index takes the lines stored since its last turn
// this often, or sooner once this many wait; a turn takes kIndexTurnLines
// at most. The reports of the batch a turn runs in, and those queued
// behind it, wait for it: 2,000 lines a second took 40 to 150 ms a turn on
// the 2-core machine (p99 160 ms at 2,000 reports/s), 500 a quarter second
// 17 ms (p99 52 ms), for the same CPU; more often still cost more segments
// to merge.
constexpr auto kIndexEvery = std::chrono::milliseconds(250);
constexpr int64_t kIndexAtLines = 500;
constexpr int64_t kIndexTurnLines = 2000;
// ... and this many bytes of lines (past its first line): wide lines take
// the tokenizer longer, and a turn of 2,000 lines of kilobytes each would
// hold the reports behind it for seconds.
constexpr int64_t kIndexTurnBytes = 256 * 1024;
// With lines left to index or segments to merge, a writer that has had no
// report for this long does it in transactions of its own.
constexpr auto kIndexWhenIdle = std::chrono::milliseconds(200);

}  // namespace

bool SqliteReportStore::prepareIndexTurns(std::string& error) {
  sqlite3* db = writer_.get();
  indexedUpTo_ = prepare(db, "SELECT up_to FROM report_text_indexed", error);
  // The turn's last line, its count, and how many it could have taken by
  // count alone: ids are read in order through the table itself, and
  // length() of a blob is read from its row's header.
  nextIndexedUpTo_ = prepare(db,
      "SELECT coalesce(max(CASE WHEN before < ?3 THEN id END), ?1), coalesce(sum(before < ?3), 0), count(*)"
      " FROM (SELECT id, sum(length(log)) OVER (ORDER BY id ROWS UNBOUNDED PRECEDING) - length(log) AS before"
      " FROM reports WHERE id > ?1 ORDER BY id LIMIT ?2)",
      error);
  indexLines_ = prepare(db,
      "INSERT INTO report_text(rowid, text)"
      " SELECT id, tidemark_player_search_text(player, log) FROM reports WHERE id > ?1 AND id <= ?2",
      error);
  setIndexedUpTo_ = prepare(db, "UPDATE report_text_indexed SET up_to = ?1", error);
  mergeIndex_ = prepare(db, "INSERT INTO report_text(report_text, rank) VALUES ('merge', 16)", error);
  if (!indexedUpTo_ || !nextIndexedUpTo_ || !indexLines_ || !setIndexedUpTo_ || !mergeIndex_) return false;
  // Lines left unindexed when the server last stopped are taken at the
  // first quiet moment.
  auto left = prepare(db, "SELECT count(*) FROM reports WHERE id > (SELECT up_to FROM report_text_indexed)", error);
  if (!left || sqlite3_step(left.get()) != SQLITE_ROW) return false;
  unindexedLines_ = sqlite3_column_int64(left.get(), 0);
  lastIndexTurn_ = std::chrono::steady_clock::now();
  return true;
}

bool SqliteReportStore::indexTurnDue(std::chrono::steady_clock::time_point now) const {
  // Lines written by another connection are found by the next turn.
  return unindexedLines_ >= kIndexAtLines || now - lastIndexTurn_ >= kIndexEvery;
}

std::optional<std::chrono::milliseconds> SqliteReportStore::idleWork() const {
  if (unindexedLines_ > 0 || mergeDue_) return kIndexWhenIdle;
  return std::nullopt;
}

int64_t SqliteReportStore::indexLines() {
  // A savepoint, so that a failed turn leaves the reports of its
  // transaction to commit without it.
  run(savepoint_);
  int64_t from = 0;
  int64_t to = 0;
  int64_t lines = 0;
  bool done = false;
  {
    StatementUse mark(indexedUpTo_.get());
    if (sqlite3_step(mark.get()) == SQLITE_ROW) {
      from = sqlite3_column_int64(mark.get(), 0);
      done = true;
    }
  }
  if (done) {
    StatementUse next(nextIndexedUpTo_.get());
    sqlite3_bind_int64(next.get(), 1, from);
    sqlite3_bind_int64(next.get(), 2, kIndexTurnLines);
    sqlite3_bind_int64(next.get(), 3, kIndexTurnBytes);
    done = sqlite3_step(next.get()) == SQLITE_ROW;
    if (done) {
      to = sqlite3_column_int64(next.get(), 0);
      lines = sqlite3_column_int64(next.get(), 1);
      const int64_t candidates = sqlite3_column_int64(next.get(), 2);
      turnLeftLines_ = lines < candidates || candidates == kIndexTurnLines;
    }
  }
  if (done && lines > 0) {
    StatementUse index(indexLines_.get());
    sqlite3_bind_int64(index.get(), 1, from);
    sqlite3_bind_int64(index.get(), 2, to);
    done = sqlite3_step(index.get()) == SQLITE_DONE;
  }
  if (done && lines > 0) {
    StatementUse set(setIndexedUpTo_.get());
    sqlite3_bind_int64(set.get(), 1, to);
    done = sqlite3_step(set.get()) == SQLITE_DONE;
  }
  if (!done) {
    if (!busy(writer_.get())) noteWriteFailure(sqlite3_errmsg(writer_.get()));
    run(rollbackToSavepoint_);
  }
  run(release_);
  return done ? lines : -1;
}

bool SqliteReportStore::mergeIndexStep() {
  // FTS5 tells a step that found nothing to merge by the changes it made.
  sqlite3* db = writer_.get();
  const sqlite3_int64 before = sqlite3_total_changes64(db);
  if (!run(mergeIndex_)) return false;
  return sqlite3_total_changes64(db) - before >= 2;
}

void SqliteReportStore::noteIndexTurn(std::chrono::steady_clock::time_point at, int64_t indexed) {
  lastIndexTurn_ = at;
  // A failed turn is tried again at the next.
  if (indexed < 0) return;
  if (indexed > 0) mergeDue_ = true;
  unindexedLines_ = turnLeftLines_ ? std::max<int64_t>(1, unindexedLines_ - indexed) : 0;
}

void SqliteReportStore::indexWhileIdle() {
  // Turn by turn, each its own commit, which no report waits on, until
  // nothing is left or a report comes.
  while ((unindexedLines_ > 0 || mergeDue_) && pending_.size() == 0 && !writesInterrupted_) {
    std::lock_guard gate(writeGate_);
    const auto now = std::chrono::steady_clock::now();
    // Another program's lock is not waited for: tried at the next report.
    lockWaitDeadline_ = now;
    bool committed = false;
    int64_t indexed = 0;
    bool mergeMore = false;
    if (run(begin_)) {
      indexed = unindexedLines_ > 0 ? indexLines() : 0;
      mergeMore = mergeIndexStep();
      committed = run(commit_);
      if (!committed) run(rollback_);
    }
    if (!committed) {
      if (!busy(writer_.get())) noteWriteFailure(sqlite3_errmsg(writer_.get()));
      unindexedLines_ = 0;
      mergeDue_ = false;
      lastIndexTurn_ = now;
      return;
    }
    mergeDue_ = mergeMore;
    if (indexed < 0) {
      unindexedLines_ = 0;  // tried again by the next report's batch
      return;
    }
    if (unindexedLines_ > 0) noteIndexTurn(now, indexed);
  }
}

}  // namespace tidemark
