#include "store/sqlite_report_store.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <iterator>

#include "base/random_ids.h"
#include "base/utf8_search_text.h"
#include "store/sqlite_migrations.h"

namespace tidemark {
namespace {

constexpr size_t kMaxBatch = 512;

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
      !migrateSqlite(db, error))
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

  for (int i = 0; i < kReaders; ++i) {
    auto reader = std::make_unique<ReadConnection>();
    reader->connection = openConnection(path, SQLITE_OPEN_READONLY, error);
    if (!reader->connection) return nullptr;
    // A read that runs past the wait bound is cut: a page thread is never
    // held longer than a report's write may take.
    sqlite3_progress_handler(
        reader->connection.get(), 1000,
        [](void* connection) {
          return std::chrono::steady_clock::now() > static_cast<ReadConnection*>(connection)->deadline ? 1 : 0;
        },
        reader.get());
    store->idleReaders_.push_back(reader.get());
    store->readers_.push_back(std::move(reader));
  }

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
    sqlite3_bind_int64(find.get(), 5, sqliteLineHash(f.line));
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
  sqlite3_bind_int64(s, 15, sqliteLineHash(f.line));
  if (sqlite3_step(s) != SQLITE_DONE) return std::nullopt;
  stored.reportId = sqlite3_last_insert_rowid(writer_.get());
  return stored;
}

SqliteReportStore::Reader SqliteReportStore::borrowReader() {
  std::unique_lock lock(readersMutex_);
  readerReturned_.wait(lock, [&] { return !idleReaders_.empty(); });
  ReadConnection* connection = idleReaders_.back();
  idleReaders_.pop_back();
  return Reader(*this, connection);
}

SqliteReportStore::Reader::Reader(SqliteReportStore& store, ReadConnection* connection)
    : store_(store), connection_(connection) {
  connection_->deadline = std::chrono::steady_clock::now() + kDatabaseWait;
}

SqliteReportStore::Reader::~Reader() {
  {
    std::lock_guard lock(store_.readersMutex_);
    store_.idleReaders_.push_back(connection_);
  }
  store_.readerReturned_.notify_one();
}

TokenLookup SqliteReportStore::tokenOf(std::string_view playerId) {
  const Reader reader = borrowReader();
  std::string error;
  TokenLookup lookup;
  auto query = prepare(reader.get(), "SELECT token FROM players WHERE aid = ?1", error);
  if (!query) {
    lookup.failed = true;
    return lookup;
  }
  bindText(query.get(), 1, playerId);
  const int rc = sqlite3_step(query.get());
  if (rc == SQLITE_ROW) lookup.token = columnText(query.get(), 0);
  else if (rc != SQLITE_DONE) lookup.failed = true;
  return lookup;
}

std::optional<PlayerReports> SqliteReportStore::listReports(std::string_view token, int64_t offset, int64_t limit,
                                                            const ReportFilter& filter, const PageKey& key) {
  const Reader reader = borrowReader();
  std::string error;
  sqlite3* db = reader.get();
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
  // A search the trigram index can answer starts from the index's
  // candidates, newest first, and compares their bytes; any other reads the
  // player's newest kMaxScannedLines lines only.
  const bool indexed = !filter.text.empty() && indexableSearch(filter.text);
  const std::string id = indexed ? "t.rowid" : "r.id";
  std::string where = indexed ? " FROM report_text t CROSS JOIN reports r ON r.id = t.rowid"
                                " WHERE t.report_text MATCH :phrase AND r.player = :player"
                              : " FROM reports r WHERE r.player = :player";
  if (filter.patternId) where += " AND r.lang = :lang AND r.pid = :pid";
  if (!filter.text.empty()) where += " AND instr(substr(r.log, 1, :listed), CAST(:text AS BLOB)) > 0";
  if (!filter.text.empty() && !indexed)
    where += " AND r.id >= (SELECT coalesce(min(id), 0) FROM (SELECT id FROM reports WHERE player = :player"
             " ORDER BY id DESC LIMIT :scanned))";
  const auto bindFilter = [&](sqlite3_stmt* statement) {
    const auto index = [statement](const char* name) { return sqlite3_bind_parameter_index(statement, name); };
    sqlite3_bind_int64(statement, index(":player"), playerRow);
    sqlite3_bind_int64(statement, index(":listed"), static_cast<int64_t>(kListedLineBytes));
    if (filter.patternId) {
      bindText(statement, index(":lang"), filter.language);
      sqlite3_bind_int(statement, index(":pid"), *filter.patternId);
    }
    bindText(statement, index(":text"), filter.text);
    sqlite3_bind_int64(statement, index(":scanned"), kMaxScannedLines);
    // One phrase: FTS5 takes everything between the quotes literally but
    // a doubled quote.
    std::string phrase = "\"";
    for (const char c : filter.text) phrase += c == '"' ? std::string("\"\"") : std::string(1, c);
    bindText(statement, index(":phrase"), phrase + "\"");
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
      ("SELECT r.id, r.received_at_ms, r.lang, r.pid, r.code, r.ltime, r.present, substr(r.log, 1, :listed)" +
       where + (key.olderThan ? " AND " + id + " < :older" : "") + (key.newerThan ? " AND " + id + " > :newer" : "") +
       // The lines just newer are the first ones counting upwards.
       " ORDER BY " + id + (key.newerThan ? " ASC" : " DESC") + " LIMIT :limit OFFSET :offset").c_str(),
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
  const Reader reader = borrowReader();
  std::string error;
  auto query = prepare(reader.get(), "SELECT 1 FROM players WHERE aid = ?1", error);
  if (!query) return std::nullopt;
  bindText(query.get(), 1, playerId);
  const int rc = sqlite3_step(query.get());
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  return std::nullopt;
}

int64_t SqliteReportStore::count(const char* sql) {
  const Reader reader = borrowReader();
  std::string error;
  auto query = prepare(reader.get(), sql, error);
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

}  // namespace tidemark
