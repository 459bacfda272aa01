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
#include "store/repeated_report.h"
#include "store/sqlite_migrations.h"
#include "store/sqlite_statements.h"

namespace tidemark {

using namespace sqlite;

namespace {

constexpr size_t kMaxBatch = 512;
// How long the first report of a batch waits for others before the commit.
// Each commit costs a sync and its pages' writes, whatever it holds: on a
// quiet machine reports arriving a few hundred microseconds apart would
// each pay their own, a multiple of what a busy one pays per report. At
// 2,000 reports/s 4 ms (batches of about 8) cost about 10 % less CPU per
// report than 2 ms, for 2 ms more wait.
constexpr std::chrono::microseconds kGatherReports{4000};

int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
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
  // From here the writer waits for the lock by its reports' own deadlines.
  store->lockWaitDeadline_ = std::chrono::steady_clock::now();
  sqlite3_busy_handler(db, &SqliteReportStore::waitForLock, store.get());
  store->findPlayer_ = prepare(db, "SELECT id FROM players WHERE aid = ?1", error);
  store->insertPlayer_ = prepare(
      db, "INSERT INTO players(aid, token, registered_at_ms) VALUES(?1, ?2, ?3)", error);
  store->insertReport_ = prepare(db,
      "INSERT INTO reports(player, received_at_ms, session, lang, sid, fid, aid, pid, code, log,"
      " line, ltime, present, report_id, line_hash)"
      " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15)",
      error);
  // A registration is found under the id it registered too: a client
  // that has its id by now sends that with the retry.
  store->findReportId_ = prepare(db,
      "SELECT r.id, r.session, r.lang, r.pid, r.code, r.line, r.ltime, r.present, r.log, p.aid, r.aid"
      " FROM reports r JOIN players p ON p.id = r.player WHERE r.aid = ?1 AND r.report_id = ?2"
      " UNION ALL"
      " SELECT r.id, r.session, r.lang, r.pid, r.code, r.line, r.ltime, r.present, r.log, p.aid, r.aid"
      " FROM reports r JOIN players p ON p.id = r.player WHERE r.aid = '' AND r.report_id = ?2 AND p.aid = ?1"
      " LIMIT 1",
      error);
  store->findSameLine_ = prepare(db,
      "SELECT id FROM reports WHERE player = ?1 AND ltime = ?2 AND code = ?3 AND line_hash = ?5 AND log = ?4"
      " ORDER BY id LIMIT 1",
      error);
  // The statements of every batch, parsed once: a quiet server writes
  // batches of a report or two, and parsing these each time was a
  // noticeable part of a report's cost.
  store->begin_ = prepare(db, "BEGIN IMMEDIATE", error);
  store->commit_ = prepare(db, "COMMIT", error);
  store->rollback_ = prepare(db, "ROLLBACK", error);
  store->savepoint_ = prepare(db, "SAVEPOINT report", error);
  store->release_ = prepare(db, "RELEASE report", error);
  store->rollbackToSavepoint_ = prepare(db, "ROLLBACK TO report", error);
  if (!store->findPlayer_ || !store->insertPlayer_ || !store->insertReport_ || !store->findSameLine_ ||
      !store->findReportId_ || !store->begin_ || !store->commit_ || !store->rollback_ || !store->savepoint_ ||
      !store->release_ || !store->rollbackToSavepoint_ || !store->prepareIndexTurns(error))
    return nullptr;

  for (int i = 0; i < kReaders; ++i) {
    auto reader = std::make_unique<ReadConnection>();
    reader->connection = openConnection(path, SQLITE_OPEN_READONLY, error);
    if (!reader->connection || !registerSqliteFunctions(reader->connection.get(), error)) return nullptr;
    // A read that runs past the wait bound is cut: a page thread is never
    // held longer than a report's write may take.
    sqlite3_progress_handler(
        reader->connection.get(), 1000,
        [](void* context) {
          const auto& read = *static_cast<ReadConnection*>(context);
          return *read.interrupted || std::chrono::steady_clock::now() > read.deadline ? 1 : 0;
        },
        reader.get());
    reader->interrupted = &store->readsInterrupted_;
    store->idleReaders_.push_back(reader.get());
    store->readers_.push_back(std::move(reader));
  }
  // Erasures and retention write beside the writer thread, in batches small
  // enough that a report waits for the lock a few milliseconds at most; the
  // triggers they fire call the store's functions.
  store->maintainer_ = openConnection(path, SQLITE_OPEN_READWRITE, error);
  if (!store->maintainer_ || !exec(store->maintainer_.get(), "PRAGMA foreign_keys=ON;", error) ||
      !registerSqliteFunctions(store->maintainer_.get(), error))
    return nullptr;

  store->writerThread_ = std::thread([s = store.get()] { s->writeLoop(); });
  return store;
}

int SqliteReportStore::waitForLock(void* context, int attempt) {
  const auto& store = *static_cast<const SqliteReportStore*>(context);
  const auto now = std::chrono::steady_clock::now();
  if (store.writesInterrupted_ || now >= store.lockWaitDeadline_) return 0;
  // Short sleeps: the lock is taken within milliseconds of its release, and
  // an interruption is seen as soon.
  static constexpr std::chrono::milliseconds kSleeps[] = {std::chrono::milliseconds(1), std::chrono::milliseconds(2),
                                                          std::chrono::milliseconds(5)};
  const auto sleep = attempt < 3 ? kSleeps[attempt] : std::chrono::milliseconds(10);
  std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(sleep, store.lockWaitDeadline_ - now));
  return 1;
}

SqliteReportStore::~SqliteReportStore() {
  // Whatever is still queued is written if it can be, never waited for.
  writesInterrupted_ = true;
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
  while (pending_.take(batch, kMaxBatch, kGatherReports, idleWork())) {
    if (batch.empty()) {
      indexWhileIdle();
      continue;
    }
    writeBatch(batch);
    batch.clear();
  }
}

bool SqliteReportStore::run(const SqliteStatement& statement) {
  const int rc = sqlite3_step(statement.get());
  sqlite3_reset(statement.get());
  return rc == SQLITE_DONE || rc == SQLITE_ROW;
}

void SqliteReportStore::writeBatch(std::vector<PendingReport>& batch) {
  sqlite3* db = writer_.get();
  std::vector<std::optional<StoredReport>> results;
  results.reserve(batch.size());
  bool lockedOut = false;
  // A report queued behind a batch that waited is not made to wait a whole
  // bound again: the batch waits until its oldest report's deadline only.
  lockWaitDeadline_ = std::min_element(batch.begin(), batch.end(), [](const PendingReport& a, const PendingReport& b) {
                        return a.deadline < b.deadline;
                      })->deadline;
  // Removals in this process wait here rather than in SQLite's busy
  // handler, whose sleeps grow to 100 ms: the writer goes on the moment a
  // removal batch commits.
  std::lock_guard gate(writeGate_);
  if (run(begin_)) {
    for (auto& pending : batch) {
      // A savepoint per report keeps one refused report from taking the
      // others of its batch with it.
      run(savepoint_);
      results.push_back(writeOne(pending));
      if (results.back()) {
        run(release_);
      } else {
        const bool wasBusy = busy(db);
        if (!wasBusy) noteWriteFailure(sqlite3_errmsg(db));
        run(rollbackToSavepoint_);
        run(release_);
        if (wasBusy) results.back() = busyOutcome();
      }
    }
    // The search index's turn, and its segments merged a few pages at a
    // time while no report waits, run in this transaction: a commit of
    // their own would cost a second sync, most of a quiet server's work
    // per report.
    const auto now = std::chrono::steady_clock::now();
    const bool indexTurn = indexTurnDue(now);
    const int64_t indexed = indexTurn ? indexLines() : 0;
    const bool mergeMore = mergeDue_ && pending_.size() == 0 ? mergeIndexStep() : mergeDue_;
    if (!run(commit_)) {
      lockedOut = busy(db);
      if (!lockedOut) noteWriteFailure(sqlite3_errmsg(db));
      run(rollback_);
      for (auto& result : results) result.reset();
    } else {
      mergeDue_ = mergeMore;
      if (indexTurn) noteIndexTurn(now, indexed);
    }
  } else {
    lockedOut = busy(db);
    if (!lockedOut) noteWriteFailure(sqlite3_errmsg(db));
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
  // it is answered as the first was, from the first's row. Ids are the
  // sender's own: another player's id is a new report.
  if (!f.reportId.empty()) {
    StatementUse find(findReportId_.get());
    sqlite3_stmt* q = find.get();
    bindText(q, 1, f.aid);
    bindText(q, 2, f.reportId);
    const int rc = sqlite3_step(q);
    if (rc == SQLITE_ROW) {
      FirstReport first;
      first.reportId = sqlite3_column_int64(q, 0);
      first.sessionId = columnText(q, 1);
      first.language = columnText(q, 2);
      first.patternId = sqlite3_column_int(q, 3);
      first.code = sqlite3_column_int(q, 4);
      first.ordinal = sqlite3_column_int(q, 5);
      first.lineTime = sqlite3_column_int64(q, 6);
      first.present = sqlite3_column_int(q, 7) != 0;
      first.line = columnBlob(q, 8);
      first.playerId = columnText(q, 9);
      first.sentAid = columnText(q, 10);
      return repeatOutcome(first, f);
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
  ++unindexedLines_;
  return stored;
}

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
