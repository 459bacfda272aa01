#include "store/sqlite_report_store.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <thread>

#include "base/random_ids.h"

namespace tidemark {
namespace {

constexpr size_t kMaxBatch = 512;

// Schema versions in order; the file's user_version says how many are
// applied. The first is the schema from before versioning, hence IF NOT EXISTS.
constexpr const char* kMigrations[] = {R"sql(
CREATE TABLE IF NOT EXISTS players (
  id INTEGER PRIMARY KEY,
  aid TEXT NOT NULL UNIQUE,
  token TEXT NOT NULL UNIQUE,
  registered_at_ms INTEGER NOT NULL
);
CREATE TABLE IF NOT EXISTS reports (
  id INTEGER PRIMARY KEY,
  player INTEGER NOT NULL REFERENCES players(id),
  received_at_ms INTEGER NOT NULL,
  session TEXT NOT NULL,
  lang TEXT NOT NULL,
  sid TEXT NOT NULL,
  fid TEXT NOT NULL,
  aid TEXT NOT NULL,
  pid INTEGER NOT NULL,
  code INTEGER NOT NULL,
  log BLOB NOT NULL,
  line INTEGER NOT NULL,
  ltime INTEGER NOT NULL,
  present INTEGER NOT NULL
);
CREATE INDEX IF NOT EXISTS reports_by_player ON reports(player, id);
CREATE INDEX IF NOT EXISTS reports_by_line_time ON reports(player, ltime);
)sql",
// The page's totals by pattern and its pattern filter read this index
// alone instead of every row of the player.
R"sql(
CREATE INDEX reports_by_pattern ON reports(player, lang, pid, id);
)sql",
// The client's report id: a report sent again after its answer was lost is
// found by it. Reports from before, and from clients without ids, keep NULL,
// which the unique index lets repeat.
R"sql(
ALTER TABLE reports ADD COLUMN report_id TEXT;
CREATE UNIQUE INDEX reports_by_report_id ON reports(report_id);
)sql",
// The duplicate check of history lines finds its row through this index,
// whatever the number of the player's rows with the same line time; the
// hash stands in for the line, whose bytes are compared only on the rows
// it narrows to. Rows from before get their hash here.
R"sql(
ALTER TABLE reports ADD COLUMN line_hash INTEGER;
UPDATE reports SET line_hash = tidemark_line_hash(log);
CREATE INDEX reports_by_line ON reports(player, ltime, code, line_hash);
DROP INDEX reports_by_line_time;
)sql",
// The page's totals by pattern, kept with every insert by a trigger (in the
// inserting transaction, whichever statement inserts), rather than counted
// from the player's rows at every view.
R"sql(
CREATE TABLE pattern_totals (
  player INTEGER NOT NULL REFERENCES players(id),
  lang TEXT NOT NULL,
  pid INTEGER NOT NULL,
  count INTEGER NOT NULL,
  PRIMARY KEY (player, lang, pid)
) WITHOUT ROWID;
INSERT INTO pattern_totals SELECT player, lang, pid, count(*) FROM reports GROUP BY player, lang, pid;
CREATE TRIGGER reports_count_pattern AFTER INSERT ON reports BEGIN
  INSERT INTO pattern_totals VALUES (NEW.player, NEW.lang, NEW.pid, 1)
    ON CONFLICT (player, lang, pid) DO UPDATE SET count = count + 1;
END;
)sql",
// The player's lines per day (UTC, by the line's own time) and pattern for
// the page's chart, kept like pattern_totals; both are counted down when
// lines are removed (erasure, retention) and a total that reaches zero goes.
// The secret that binds a page's erase form to that page.
R"sql(
CREATE TABLE day_totals (
  player INTEGER NOT NULL REFERENCES players(id),
  lang TEXT NOT NULL,
  pid INTEGER NOT NULL,
  day INTEGER NOT NULL,
  count INTEGER NOT NULL,
  PRIMARY KEY (player, day, lang, pid)
) WITHOUT ROWID;
INSERT INTO day_totals
  SELECT player, lang, pid, (ltime - ((ltime % 86400) + 86400) % 86400) / 86400 AS day, count(*)
  FROM reports GROUP BY player, lang, pid, day;
CREATE TRIGGER reports_count_day AFTER INSERT ON reports BEGIN
  INSERT INTO day_totals VALUES (NEW.player, NEW.lang, NEW.pid,
                                 (NEW.ltime - ((NEW.ltime % 86400) + 86400) % 86400) / 86400, 1)
    ON CONFLICT (player, day, lang, pid) DO UPDATE SET count = count + 1;
END;
CREATE TRIGGER reports_uncount AFTER DELETE ON reports BEGIN
  UPDATE pattern_totals SET count = count - 1 WHERE player = OLD.player AND lang = OLD.lang AND pid = OLD.pid;
  DELETE FROM pattern_totals WHERE player = OLD.player AND lang = OLD.lang AND pid = OLD.pid AND count <= 0;
  UPDATE day_totals SET count = count - 1
    WHERE player = OLD.player AND day = (OLD.ltime - ((OLD.ltime % 86400) + 86400) % 86400) / 86400
      AND lang = OLD.lang AND pid = OLD.pid;
  DELETE FROM day_totals
    WHERE player = OLD.player AND day = (OLD.ltime - ((OLD.ltime % 86400) + 86400) % 86400) / 86400
      AND lang = OLD.lang AND pid = OLD.pid AND count <= 0;
END;
CREATE TABLE server_secrets (name TEXT PRIMARY KEY, value TEXT NOT NULL);
INSERT INTO server_secrets VALUES ('page', lower(hex(randomblob(32))));
)sql"};

// FNV-1a, 64 bits: stable across builds and machines, as a stored value must be.
int64_t lineHash(std::string_view line) {
  uint64_t hash = 14695981039346656037ull;
  for (const unsigned char byte : line) {
    hash ^= byte;
    hash *= 1099511628211ull;
  }
  return static_cast<int64_t>(hash);
}

void lineHashFunction(sqlite3_context* context, int, sqlite3_value** values) {
  const void* bytes = sqlite3_value_blob(values[0]);
  const int size = sqlite3_value_bytes(values[0]);
  sqlite3_result_int64(context, lineHash(std::string_view(static_cast<const char*>(bytes), bytes ? size : 0)));
}

int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

bool exec(sqlite3* db, const char* sql, std::string& error) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
  error = message ? message : sqlite3_errmsg(db);
  sqlite3_free(message);
  return false;
}

SqliteStatement prepare(sqlite3* db, const char* sql, std::string& error) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr) != SQLITE_OK) {
    error = sqlite3_errmsg(db);
    return nullptr;
  }
  return SqliteStatement(statement);
}

bool migrate(sqlite3* db, std::string& error) {
  if (sqlite3_create_function(db, "tidemark_line_hash", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
                              lineHashFunction, nullptr, nullptr) != SQLITE_OK) {
    error = sqlite3_errmsg(db);
    return false;
  }
  if (!exec(db, "BEGIN IMMEDIATE", error)) return false;
  int version = 0;
  {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &raw, nullptr) == SQLITE_OK &&
        sqlite3_step(raw) == SQLITE_ROW)
      version = sqlite3_column_int(raw, 0);
    sqlite3_finalize(raw);
  }
  const int known = static_cast<int>(std::size(kMigrations));
  if (version > known) {
    exec(db, "ROLLBACK", error);
    error = "the database has schema version " + std::to_string(version) +
            ", newer than this server knows (" + std::to_string(known) + ")";
    return false;
  }
  for (int v = version; v < known; ++v) {
    if (!exec(db, kMigrations[v], error) ||
        !exec(db, ("PRAGMA user_version = " + std::to_string(v + 1)).c_str(), error)) {
      std::string ignored;
      exec(db, "ROLLBACK", ignored);
      return false;
    }
  }
  return exec(db, "COMMIT", error);
}

SqliteConnection openConnection(const std::string& path, int flags, std::string& error) {
  sqlite3* raw = nullptr;
  const int rc = sqlite3_open_v2(path.c_str(), &raw, flags | SQLITE_OPEN_NOMUTEX, nullptr);
  SqliteConnection db(raw);
  if (rc != SQLITE_OK) {
    error = raw ? sqlite3_errmsg(raw) : "out of memory";
    return nullptr;
  }
  // Past this another writer's lock turns into a "busy" answer, rather than
  // an answer the client has stopped waiting for.
  sqlite3_busy_timeout(raw, static_cast<int>(kDatabaseWait.count()));
  return db;
}

void bindText(sqlite3_stmt* statement, int index, std::string_view text) {
  sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

std::string columnText(sqlite3_stmt* statement, int index) {
  const auto* text = sqlite3_column_text(statement, index);
  return text ? std::string(reinterpret_cast<const char*>(text),
                            static_cast<size_t>(sqlite3_column_bytes(statement, index)))
              : std::string();
}

std::string columnBlob(sqlite3_stmt* statement, int index) {
  const void* blob = sqlite3_column_blob(statement, index);
  return blob ? std::string(static_cast<const char*>(blob),
                            static_cast<size_t>(sqlite3_column_bytes(statement, index)))
              : std::string();
}

bool busy(sqlite3* db) {
  const int code = sqlite3_errcode(db);
  return code == SQLITE_BUSY || code == SQLITE_LOCKED;
}

StoredReport busyOutcome() {
  StoredReport outcome;
  outcome.databaseBusy = true;
  return outcome;
}

}  // namespace

std::unique_ptr<SqliteReportStore> SqliteReportStore::open(const std::string& path, std::string& error) {
  std::unique_ptr<SqliteReportStore> store(new SqliteReportStore());
  store->path_ = path;
  store->writer_ = openConnection(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, error);
  if (!store->writer_) return nullptr;
  sqlite3* db = store->writer_.get();
  // WAL lets the page and token reads run beside the writer. synchronous FULL
  // syncs the log at every commit: NORMAL would survive a crash of this
  // process but could lose answered reports to a power cut.
  if (!exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL; PRAGMA foreign_keys=ON;", error) ||
      !migrate(db, error))
    return nullptr;
  store->findPlayer_ = prepare(db, "SELECT id FROM players WHERE aid = ?1", error);
  store->insertPlayer_ = prepare(
      db, "INSERT INTO players(aid, token, registered_at_ms) VALUES(?1, ?2, ?3)", error);
  store->insertReport_ = prepare(db,
      "INSERT INTO reports(player, received_at_ms, session, lang, sid, fid, aid, pid, code, log,"
      " line, ltime, present, report_id, line_hash)"
      " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15)",
      error);
  store->findReportId_ = prepare(db,
      "SELECT r.id, r.session, r.lang, r.aid, r.log, p.aid FROM reports r JOIN players p ON p.id = r.player"
      " WHERE r.report_id = ?1",
      error);
  store->findSameLine_ = prepare(db,
      "SELECT id FROM reports WHERE player = ?1 AND ltime = ?2 AND code = ?3 AND line_hash = ?5 AND log = ?4"
      " ORDER BY id LIMIT 1",
      error);
  if (!store->findPlayer_ || !store->insertPlayer_ || !store->insertReport_ || !store->findSameLine_ ||
      !store->findReportId_)
    return nullptr;

  store->reader_ = openConnection(path, SQLITE_OPEN_READONLY, error);
  if (!store->reader_) return nullptr;
  // Erasures and retention write beside the writer thread, in batches small
  // enough that a report waits for the lock a few milliseconds at most.
  store->maintainer_ = openConnection(path, SQLITE_OPEN_READWRITE, error);
  if (!store->maintainer_ || !exec(store->maintainer_.get(), "PRAGMA foreign_keys=ON;", error)) return nullptr;

  store->writerThread_ = std::thread([s = store.get()] { s->writeLoop(); });
  return store;
}

SqliteReportStore::~SqliteReportStore() {
  pending_.close();
  if (writerThread_.joinable()) writerThread_.join();
}

void SqliteReportStore::storeAsync(ReportFields fields, StoreDone done) {
  PendingReport pending;
  pending.sessionId = fields.sid.empty() ? newIssuedId() : fields.sid;
  pending.fields = std::move(fields);
  pending.done = std::move(done);
  if (!pending_.push(pending)) pending.done(std::nullopt);
}

size_t SqliteReportStore::queueDepth() const { return pending_.size(); }

void SqliteReportStore::writeLoop() {
  std::vector<PendingReport> batch;
  while (pending_.take(batch, kMaxBatch)) {
    writeBatch(batch);
    batch.clear();
  }
}

void SqliteReportStore::writeBatch(std::vector<PendingReport>& batch) {
  sqlite3* db = writer_.get();
  std::string error;
  std::vector<std::optional<StoredReport>> results;
  results.reserve(batch.size());
  bool lockedOut = false;
  // Removals in this process wait here rather than in SQLite's busy
  // handler, whose sleeps grow to 100 ms: the writer goes on the moment a
  // removal batch commits.
  std::lock_guard gate(writeGate_);
  if (exec(db, "BEGIN IMMEDIATE", error)) {
    for (auto& pending : batch) {
      // A savepoint per report keeps one refused report from taking the
      // others of its batch with it.
      exec(db, "SAVEPOINT report", error);
      results.push_back(writeOne(pending));
      if (results.back()) {
        exec(db, "RELEASE report", error);
      } else {
        const bool wasBusy = busy(db);
        exec(db, "ROLLBACK TO report; RELEASE report", error);
        if (wasBusy) results.back() = busyOutcome();
      }
    }
    if (!exec(db, "COMMIT", error)) {
      lockedOut = busy(db);
      exec(db, "ROLLBACK", error);
      for (auto& result : results) result.reset();
    }
  } else {
    lockedOut = busy(db);
  }
  // Nothing of a batch that was not committed is written later: the
  // reports are answered, and a client sends them again.
  results.resize(batch.size());
  for (size_t i = 0; i < batch.size(); ++i) {
    if (!results[i] && lockedOut) results[i] = busyOutcome();
    batch[i].done(std::move(results[i]));
  }
}

std::optional<StoredReport> SqliteReportStore::writeOne(PendingReport& pending) {
  const ReportFields& f = pending.fields;
  StoredReport stored;
  stored.sessionId = pending.sessionId;
  const int64_t now = nowMs();

  // The same report again (its answer was lost, or two attempts crossed):
  // it is answered as the first was, from the first's row.
  if (!f.reportId.empty()) {
    StatementUse find(findReportId_.get());
    bindText(find.get(), 1, f.reportId);
    const int rc = sqlite3_step(find.get());
    if (rc == SQLITE_ROW) {
      const std::string sentAid = columnText(find.get(), 3);
      stored.repeated = true;
      stored.reportId = sqlite3_column_int64(find.get(), 0);
      stored.sessionId = columnText(find.get(), 1);
      stored.language = columnText(find.get(), 2);
      stored.line = columnBlob(find.get(), 4);
      stored.playerId = columnText(find.get(), 5);
      // A report that registered its player was sent without that id.
      stored.newPlayer = sentAid != stored.playerId;
      stored.replacedUnknownPlayer = stored.newPlayer && !sentAid.empty();
      return stored;
    }
    if (rc != SQLITE_DONE) return std::nullopt;
  }

  int64_t player = 0;
  if (!f.aid.empty()) {
    StatementUse find(findPlayer_.get());
    bindText(find.get(), 1, f.aid);
    const int rc = sqlite3_step(find.get());
    if (rc == SQLITE_ROW)
      player = sqlite3_column_int64(find.get(), 0);
    else if (rc != SQLITE_DONE)
      return std::nullopt;
  }
  if (player == 0 && !f.mayRegister) {
    stored.registrationRefused = true;
    return stored;
  }
  if (player == 0) {
    stored.playerId = newIssuedId();
    stored.newPlayer = true;
    stored.replacedUnknownPlayer = !f.aid.empty();
    StatementUse insert(insertPlayer_.get());
    bindText(insert.get(), 1, stored.playerId);
    bindText(insert.get(), 2, newIssuedId());
    sqlite3_bind_int64(insert.get(), 3, now);
    if (sqlite3_step(insert.get()) != SQLITE_DONE) return std::nullopt;
    player = sqlite3_last_insert_rowid(writer_.get());
  } else {
    stored.playerId = f.aid;
  }

  // The client reads the lines already in the game's log again after every
  // restart of its capture and reports those that match a tracing pattern,
  // marked not present. A line this player has reported before is that same
  // line: it keeps its first report.
  if (!stored.newPlayer && !f.present) {
    StatementUse find(findSameLine_.get());
    sqlite3_bind_int64(find.get(), 1, player);
    sqlite3_bind_int64(find.get(), 2, f.lineTime);
    sqlite3_bind_int(find.get(), 3, f.code);
    sqlite3_bind_blob(find.get(), 4, f.line.empty() ? "" : f.line.data(), static_cast<int>(f.line.size()),
                      SQLITE_TRANSIENT);
    sqlite3_bind_int64(find.get(), 5, lineHash(f.line));
    const int rc = sqlite3_step(find.get());
    if (rc == SQLITE_ROW) {
      stored.reportId = sqlite3_column_int64(find.get(), 0);
      stored.alreadyStored = true;
      return stored;
    }
    if (rc != SQLITE_DONE) return std::nullopt;
  }

  StatementUse insert(insertReport_.get());
  sqlite3_stmt* s = insert.get();
  sqlite3_bind_int64(s, 1, player);
  sqlite3_bind_int64(s, 2, now);
  bindText(s, 3, stored.sessionId);
  bindText(s, 4, f.language);
  bindText(s, 5, f.sid);
  bindText(s, 6, f.fid);
  bindText(s, 7, f.aid);
  sqlite3_bind_int(s, 8, f.patternId);
  sqlite3_bind_int(s, 9, f.code);
  // A zero-length blob must still be a blob, not NULL.
  sqlite3_bind_blob(s, 10, f.line.empty() ? "" : f.line.data(), static_cast<int>(f.line.size()),
                    SQLITE_TRANSIENT);
  sqlite3_bind_int(s, 11, f.ordinal);
  sqlite3_bind_int64(s, 12, f.lineTime);
  sqlite3_bind_int(s, 13, f.present ? 1 : 0);
  if (!f.reportId.empty()) bindText(s, 14, f.reportId);  // else NULL
  sqlite3_bind_int64(s, 15, lineHash(f.line));
  if (sqlite3_step(s) != SQLITE_DONE) return std::nullopt;
  stored.reportId = sqlite3_last_insert_rowid(writer_.get());
  return stored;
}

std::optional<std::string> SqliteReportStore::tokenOf(std::string_view playerId) {
  std::lock_guard lock(readMutex_);
  std::string error;
  auto query = prepare(reader_.get(), "SELECT token FROM players WHERE aid = ?1", error);
  if (!query) return std::nullopt;
  bindText(query.get(), 1, playerId);
  if (sqlite3_step(query.get()) != SQLITE_ROW) return std::nullopt;
  return columnText(query.get(), 0);
}

std::optional<PlayerReports> SqliteReportStore::listReports(std::string_view token, int64_t offset, int64_t limit,
                                                            const ReportFilter& filter, const PageKey& key) {
  std::lock_guard lock(readMutex_);
  std::string error;
  sqlite3* db = reader_.get();
  // One read transaction, so that the count, the totals and the rows agree.
  if (!exec(db, "BEGIN", error)) return std::nullopt;
  struct EndRead {
    sqlite3* db;
    ~EndRead() { sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr); }
  } endRead{db};

  auto player = prepare(db, "SELECT id FROM players WHERE token = ?1", error);
  if (!player) return std::nullopt;
  bindText(player.get(), 1, token);
  if (sqlite3_step(player.get()) != SQLITE_ROW) return std::nullopt;
  const int64_t playerRow = sqlite3_column_int64(player.get(), 0);

  PlayerReports result;
  auto totals = prepare(db,
      "SELECT lang, pid, count FROM pattern_totals WHERE player = ?1 ORDER BY count DESC, lang, pid LIMIT ?2",
      error);
  if (!totals) return std::nullopt;
  sqlite3_bind_int64(totals.get(), 1, playerRow);
  sqlite3_bind_int64(totals.get(), 2, kMaxListedTotals);
  while (sqlite3_step(totals.get()) == SQLITE_ROW)
    result.totals.push_back({columnText(totals.get(), 0), sqlite3_column_int(totals.get(), 1),
                             sqlite3_column_int64(totals.get(), 2)});

  // Only the terms in use are written, so that a pattern filter can use
  // reports_by_pattern. Their values are bound, never spliced; instr() on
  // blobs compares bytes, so no character of the search text is special.
  std::string where = " FROM reports WHERE player = :player";
  if (filter.patternId) where += " AND lang = :lang AND pid = :pid";
  if (!filter.text.empty()) where += " AND instr(substr(log, 1, :listed), CAST(:text AS BLOB)) > 0";
  const auto bindFilter = [&](sqlite3_stmt* statement) {
    const auto index = [statement](const char* name) { return sqlite3_bind_parameter_index(statement, name); };
    sqlite3_bind_int64(statement, index(":player"), playerRow);
    sqlite3_bind_int64(statement, index(":listed"), static_cast<int64_t>(kListedLineBytes));
    if (filter.patternId) {
      bindText(statement, index(":lang"), filter.language);
      sqlite3_bind_int(statement, index(":pid"), *filter.patternId);
    }
    bindText(statement, index(":text"), filter.text);
  };

  // Without a search the kept totals answer; a search counts its matches.
  auto count = prepare(db,
      filter.text.empty()
          ? (std::string("SELECT coalesce(sum(count), 0) FROM pattern_totals WHERE player = :player") +
             (filter.patternId ? " AND lang = :lang AND pid = :pid" : "")).c_str()
          : ("SELECT count(*)" + where).c_str(),
      error);
  if (!count) return std::nullopt;
  bindFilter(count.get());
  if (sqlite3_step(count.get()) != SQLITE_ROW) return std::nullopt;
  result.total = sqlite3_column_int64(count.get(), 0);

  auto rows = prepare(db,
      ("SELECT id, received_at_ms, lang, pid, code, ltime, present, substr(log, 1, :listed)" + where +
       (key.olderThan ? " AND id < :older" : "") + (key.newerThan ? " AND id > :newer" : "") +
       // The lines just newer are the first ones counting upwards.
       (key.newerThan ? " ORDER BY id ASC" : " ORDER BY id DESC") + " LIMIT :limit OFFSET :offset").c_str(),
      error);
  if (!rows) return std::nullopt;
  bindFilter(rows.get());
  if (key.olderThan) sqlite3_bind_int64(rows.get(), sqlite3_bind_parameter_index(rows.get(), ":older"), *key.olderThan);
  if (key.newerThan) sqlite3_bind_int64(rows.get(), sqlite3_bind_parameter_index(rows.get(), ":newer"), *key.newerThan);
  sqlite3_bind_int64(rows.get(), sqlite3_bind_parameter_index(rows.get(), ":limit"), limit);
  sqlite3_bind_int64(rows.get(), sqlite3_bind_parameter_index(rows.get(), ":offset"), offset);
  while (sqlite3_step(rows.get()) == SQLITE_ROW) {
    ListedReport r;
    r.reportId = sqlite3_column_int64(rows.get(), 0);
    r.receivedAtMs = sqlite3_column_int64(rows.get(), 1);
    r.language = columnText(rows.get(), 2);
    r.patternId = sqlite3_column_int(rows.get(), 3);
    r.code = sqlite3_column_int(rows.get(), 4);
    r.lineTime = sqlite3_column_int64(rows.get(), 5);
    r.present = sqlite3_column_int(rows.get(), 6) != 0;
    r.line = columnBlob(rows.get(), 7);
    result.reports.push_back(std::move(r));
  }
  if (key.newerThan) std::reverse(result.reports.begin(), result.reports.end());
  return result;
}

std::optional<bool> SqliteReportStore::playerExists(std::string_view playerId) {
  std::lock_guard lock(readMutex_);
  std::string error;
  auto query = prepare(reader_.get(), "SELECT 1 FROM players WHERE aid = ?1", error);
  if (!query) return std::nullopt;
  bindText(query.get(), 1, playerId);
  const int rc = sqlite3_step(query.get());
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  return std::nullopt;
}

int64_t SqliteReportStore::count(const char* sql) {
  std::lock_guard lock(readMutex_);
  std::string error;
  auto query = prepare(reader_.get(), sql, error);
  if (!query || sqlite3_step(query.get()) != SQLITE_ROW) return -1;
  return sqlite3_column_int64(query.get(), 0);
}

int64_t SqliteReportStore::reportCount() { return count("SELECT count(*) FROM reports"); }
int64_t SqliteReportStore::playerCount() { return count("SELECT count(*) FROM players"); }
bool SqliteReportStore::healthy() { return count("SELECT 1") == 1; }

bool backupSqliteDatabase(const std::string& from, const std::string& to, std::string& error) {
  std::error_code exists;
  if (std::filesystem::exists(to, exists)) {
    error = to + " exists already";
    return false;
  }
  if (!std::filesystem::exists(from, exists)) {
    error = from + " does not exist";
    return false;
  }
  // Written beside the target and given its name only once checked, so
  // that a copy under the target's name is always a whole one.
  const std::string partial = to + ".partial";
  if (std::filesystem::exists(partial, exists)) {
    error = partial + " exists already (an earlier backup that did not finish?)";
    return false;
  }
  struct RemovePartial {
    const std::string& path;
    ~RemovePartial() {
      std::error_code ignored;
      std::filesystem::remove(path, ignored);
    }
  } removePartial{partial};
  {
    SqliteConnection source = openConnection(from, SQLITE_OPEN_READONLY, error);
    if (!source) return false;
    // One statement in one read transaction: in WAL mode writers carry on
    // beside it, and, unlike the page-step backup, which starts over after
    // every write from another connection, it finishes under any load.
    SqliteStatement copy = prepare(source.get(), "VACUUM INTO ?1", error);
    if (!copy) return false;
    bindText(copy.get(), 1, partial);
    if (sqlite3_step(copy.get()) != SQLITE_DONE) {
      error = sqlite3_errmsg(source.get());
      return false;
    }
  }
  {
    SqliteConnection target = openConnection(partial, SQLITE_OPEN_READWRITE, error);
    if (!target) return false;
    SqliteStatement check = prepare(target.get(), "PRAGMA integrity_check", error);
    if (!check) return false;
    if (sqlite3_step(check.get()) != SQLITE_ROW || columnText(check.get(), 0) != "ok") {
      error = "the copy fails its integrity check: " + columnText(check.get(), 0);
      return false;
    }
    check.reset();
    // A backup is one self-contained file, not a WAL pair.
    if (!exec(target.get(), "PRAGMA journal_mode=DELETE", error)) return false;
  }
  // link() never replaces: a target made meanwhile is left alone.
  if (::link(partial.c_str(), to.c_str()) != 0) {
    error = to + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

// The player's data: the chart's day totals, the download, erasure and
// retention.

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

std::optional<std::vector<DayTotal>> SqliteReportStore::dayTotalsOf(std::string_view token, int64_t fromDay) {
  std::lock_guard lock(readMutex_);
  sqlite3* db = reader_.get();
  const ReadTransaction read(db);
  const auto player = playerRowOf(db, token);
  if (!player || *player == 0) return std::nullopt;
  std::string error;
  auto query = prepare(db,
      "SELECT day, lang, pid, count FROM day_totals WHERE player = ?1 AND day >= ?2 ORDER BY day, lang, pid", error);
  if (!query) return std::nullopt;
  sqlite3_bind_int64(query.get(), 1, *player);
  sqlite3_bind_int64(query.get(), 2, fromDay);
  std::vector<DayTotal> days;
  int rc;
  while ((rc = sqlite3_step(query.get())) == SQLITE_ROW)
    days.push_back({sqlite3_column_int64(query.get(), 0), columnText(query.get(), 1),
                    sqlite3_column_int(query.get(), 2), sqlite3_column_int64(query.get(), 3)});
  if (rc != SQLITE_DONE) return std::nullopt;
  return days;
}

std::optional<std::vector<ExportedReport>> SqliteReportStore::exportBatch(std::string_view token, int64_t afterId,
                                                                         int64_t limit) {
  // A short read transaction per batch: in WAL mode it holds up no writer,
  // and none is kept open while a slow client reads the download.
  std::lock_guard lock(readMutex_);
  sqlite3* db = reader_.get();
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
  int rc;
  while ((rc = sqlite3_step(query.get())) == SQLITE_ROW) {
    sqlite3_stmt* q = query.get();
    batch.push_back({sqlite3_column_int64(q, 0), sqlite3_column_int64(q, 1), columnText(q, 2),
                     sqlite3_column_int(q, 3), sqlite3_column_int(q, 4), sqlite3_column_int(q, 5),
                     sqlite3_column_int64(q, 6), sqlite3_column_int(q, 7) != 0, columnBlob(q, 8)});
  }
  if (rc != SQLITE_DONE) return std::nullopt;
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
  // The oldest lines by id are the oldest received: no index on the time is
  // needed, and a pass ends at the first batch with nothing old.
  return removeInTransaction(writeGate_, maintainer_.get(),
                             "DELETE FROM reports WHERE id IN (SELECT id FROM reports ORDER BY id LIMIT ?2)"
                             " AND received_at_ms < ?1",
                             beforeMs);
}

std::optional<std::string> SqliteReportStore::pageSecret() {
  std::lock_guard lock(readMutex_);
  std::string error;
  auto query = prepare(reader_.get(), "SELECT value FROM server_secrets WHERE name = 'page'", error);
  if (!query || sqlite3_step(query.get()) != SQLITE_ROW) return std::nullopt;
  return columnText(query.get(), 0);
}

}  // namespace tidemark
