#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "store/sqlite_report_store.h"
#include "store/sqlite_statements.h"

// The SQLite store's side of the player's data: the chart's day totals, the
// download, erasure and retention.
namespace tidemark {

using namespace sqlite;

namespace {

// A pause between removal batches, so that the writer thread (waiting on
// the gate) or another process (polling for the lock) takes it before the
// next batch does.
constexpr auto kRemovalPause = std::chrono::milliseconds(5);

// The player's row, or 0 for no player; nothing on a failure.
std::optional<int64_t> playerRowOf(sqlite3* db, std::string_view token) {
  std::string error;
  auto query = prepare(db, "SELECT id FROM players WHERE token = ?1", error);
  if (!query) return std::nullopt;
  bindText(query.get(), 1, token);
  const int rc = sqlite3_step(query.get());
  if (rc == SQLITE_ROW) return sqlite3_column_int64(query.get(), 0);
  if (rc == SQLITE_DONE) return 0;
  return std::nullopt;
}

struct ReadTransaction {
  sqlite3* db;
  bool begun;
  explicit ReadTransaction(sqlite3* connection) : db(connection) {
    begun = sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK;
  }
  ~ReadTransaction() {
    if (begun) sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  }
};

// Runs a removal in a write transaction of its own; the rows it changed
// directly, -1 when it failed (rolled back).
int64_t removeInTransaction(std::mutex& gate, sqlite3* db, const char* sql, int64_t value) {
  std::lock_guard lock(gate);
  std::string error;
  if (!exec(db, "BEGIN IMMEDIATE", error)) return -1;
  auto statement = prepare(db, sql, error);
  int64_t removed = -1;
  if (statement) {
    sqlite3_bind_int64(statement.get(), 1, value);
    sqlite3_bind_int64(statement.get(), 2, kRemovalBatch);
    if (sqlite3_step(statement.get()) == SQLITE_DONE) removed = sqlite3_changes(db);
  }
  statement.reset();
  if (removed >= 0 && exec(db, "COMMIT", error)) return removed;
  exec(db, "ROLLBACK", error);
  return -1;
}

}  // namespace

std::optional<std::vector<DayTotal>> SqliteReportStore::dayTotalsOf(std::string_view token, int64_t fromDay,
                                                                   int64_t toDay) {
  const Reader reader = borrowReader();
  sqlite3* db = reader.get();
  const ReadTransaction read(db);
  const auto player = playerRowOf(db, token);
  if (!player || *player == 0) return std::nullopt;
  std::string error;
  // The top patterns' rows, and each day's total of all: one pass over the
  // days' rows each, and what comes back is bounded by the days.
  auto top = prepare(db,
      "SELECT day, lang, pid, count FROM day_totals WHERE player = ?1 AND day BETWEEN ?2 AND ?3"
      " AND (lang, pid) IN (SELECT lang, pid FROM pattern_totals WHERE player = ?1"
      " ORDER BY count DESC, lang, pid LIMIT ?4) ORDER BY day, lang, pid",
      error);
  auto all = prepare(db,
      "SELECT day, sum(count) FROM day_totals WHERE player = ?1 AND day BETWEEN ?2 AND ?3 GROUP BY day", error);
  if (!top || !all) return std::nullopt;
  for (sqlite3_stmt* statement : {top.get(), all.get()}) {
    sqlite3_bind_int64(statement, 1, *player);
    sqlite3_bind_int64(statement, 2, fromDay);
    sqlite3_bind_int64(statement, 3, toDay);
  }
  sqlite3_bind_int64(top.get(), 4, kChartPatterns);
  std::vector<DayTotal> rows;
  int rc;
  while ((rc = sqlite3_step(top.get())) == SQLITE_ROW)
    rows.push_back({sqlite3_column_int64(top.get(), 0), columnText(top.get(), 1), sqlite3_column_int(top.get(), 2),
                    sqlite3_column_int64(top.get(), 3)});
  if (rc != SQLITE_DONE) return std::nullopt;
  std::vector<std::pair<int64_t, int64_t>> days;
  while ((rc = sqlite3_step(all.get())) == SQLITE_ROW)
    days.emplace_back(sqlite3_column_int64(all.get(), 0), sqlite3_column_int64(all.get(), 1));
  if (rc != SQLITE_DONE) return std::nullopt;
  return withOthers(std::move(rows), days);
}

std::optional<std::vector<ExportedReport>> SqliteReportStore::exportBatch(std::string_view token, int64_t afterId,
                                                                         int64_t limit) {
  // A short read transaction per batch: in WAL mode it holds up no writer,
  // and none is kept open while a slow client reads the download.
  const Reader reader = borrowReader();
  sqlite3* db = reader.get();
  const ReadTransaction read(db);
  const auto player = playerRowOf(db, token);
  if (!player || *player == 0) return std::nullopt;
  std::string error;
  auto query = prepare(db,
      "SELECT id, received_at_ms, lang, pid, code, line, ltime, present, log FROM reports"
      " WHERE player = ?1 AND id > ?2 ORDER BY id LIMIT ?3",
      error);
  if (!query) return std::nullopt;
  sqlite3_bind_int64(query.get(), 1, *player);
  sqlite3_bind_int64(query.get(), 2, afterId);
  sqlite3_bind_int64(query.get(), 3, limit);
  std::vector<ExportedReport> batch;
  int64_t bytes = 0;
  int rc = SQLITE_DONE;
  // Rows are read as they are stepped: the batch ends at its byte bound.
  while (bytes < kExportBatchBytes && (rc = sqlite3_step(query.get())) == SQLITE_ROW) {
    sqlite3_stmt* q = query.get();
    batch.push_back({sqlite3_column_int64(q, 0), sqlite3_column_int64(q, 1), columnText(q, 2),
                     sqlite3_column_int(q, 3), sqlite3_column_int(q, 4), sqlite3_column_int(q, 5),
                     sqlite3_column_int64(q, 6), sqlite3_column_int(q, 7) != 0, columnBlob(q, 8)});
    bytes += static_cast<int64_t>(batch.back().line.size());
  }
  if (rc != SQLITE_DONE && rc != SQLITE_ROW) return std::nullopt;
  return batch;
}

EraseOutcome SqliteReportStore::forgetPlayer(std::string_view token) {
  std::lock_guard lock(maintainMutex_);
  sqlite3* db = maintainer_.get();
  EraseOutcome outcome;
  std::string error;
  // First the player's id and token are replaced, in one short transaction:
  // from its commit the page is gone and the id unknown, however long the
  // removal of the lines then takes.
  auto mark = prepare(db,
      "UPDATE players SET aid = 'erased-' || lower(hex(randomblob(16))),"
      " token = 'erased-' || lower(hex(randomblob(16))) WHERE token = ?1",
      error);
  if (!mark) {
    outcome.failed = true;
    return outcome;
  }
  bindText(mark.get(), 1, token);
  {
    std::lock_guard gate(writeGate_);
    if (sqlite3_step(mark.get()) != SQLITE_DONE) {
      outcome.failed = true;
      return outcome;
    }
    outcome.found = sqlite3_changes(db) > 0;
  }
  mark.reset();
  return outcome;
}

int64_t SqliteReportStore::removeErasedPlayers() {
  std::lock_guard lock(maintainMutex_);
  return removeErasedPlayersLocked();
}

int64_t SqliteReportStore::removeErasedPlayersLocked() {
  sqlite3* db = maintainer_.get();
  std::string error;
  std::vector<int64_t> players;
  {
    // A range rather than LIKE, so that the unique index on aid finds them.
    auto query = prepare(db, "SELECT id FROM players WHERE aid >= 'erased-' AND aid < 'erased.'", error);
    if (!query) return -1;
    while (sqlite3_step(query.get()) == SQLITE_ROW) players.push_back(sqlite3_column_int64(query.get(), 0));
  }
  int64_t removed = 0;
  for (const int64_t player : players) {
    for (;;) {
      const int64_t batch = removeInTransaction(
          writeGate_, db, "DELETE FROM reports WHERE id IN (SELECT id FROM reports WHERE player = ?1 ORDER BY id LIMIT ?2)",
          player);
      if (batch < 0) return -1;
      removed += batch;
      if (batch < kRemovalBatch) break;
      std::this_thread::sleep_for(kRemovalPause);
    }
    // The triggers have counted the totals down to nothing; rows left by
    // an older count go too.
    std::lock_guard gate(writeGate_);
    if (!exec(db, "BEGIN IMMEDIATE", error)) return -1;
    bool done = true;
    for (const char* sql : {"DELETE FROM day_totals WHERE player = ?1", "DELETE FROM pattern_totals WHERE player = ?1",
                            "DELETE FROM players WHERE id = ?1"}) {
      auto statement = done ? prepare(db, sql, error) : nullptr;
      if (!statement) {
        done = false;
        break;
      }
      sqlite3_bind_int64(statement.get(), 1, player);
      done = sqlite3_step(statement.get()) == SQLITE_DONE;
    }
    if (!done || !exec(db, "COMMIT", error)) {
      exec(db, "ROLLBACK", error);
      return -1;
    }
  }
  return removed;
}

int64_t SqliteReportStore::removeLinesReceivedBefore(int64_t beforeMs) {
  std::lock_guard lock(maintainMutex_);
  // By the time received, through its index: ids are not in that order
  // (a line stored by another instance, or a clock set back), and old lines
  // above newer ids must go too.
  return removeInTransaction(writeGate_, maintainer_.get(),
                             "DELETE FROM reports WHERE id IN (SELECT id FROM reports WHERE received_at_ms < ?1"
                             " ORDER BY received_at_ms LIMIT ?2)",
                             beforeMs);
}

std::optional<std::string> SqliteReportStore::pageSecret() {
  const Reader reader = borrowReader();
  std::string error;
  auto query = prepare(reader.get(), "SELECT value FROM server_secrets WHERE name = 'page'", error);
  if (!query || sqlite3_step(query.get()) != SQLITE_ROW) return std::nullopt;
  return columnText(query.get(), 0);
}

}  // namespace tidemark
