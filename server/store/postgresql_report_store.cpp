#include "store/postgresql_report_store.h"

#include <algorithm>
#include <chrono>
#include <iterator>
#include <thread>
#include <tuple>

#include "base/field_values.h"
#include "base/random_ids.h"
#include "store/database_address.h"
#include "store/repeated_report.h"
#include "store/postgresql_migrations.h"
#include "store/postgresql_statements.h"

namespace tidemark {

using namespace pg;

// Why a write failed: a statement cancelled by the session's limits means a
// locked or overloaded database, answered "busy".
struct WriteFailure {
  bool busy = false;
  std::string message;  // the first failed statement's, for the log
  void note(const PGresult* result) {
    const char* text = result ? PQresultErrorMessage(result) : nullptr;
    if (message.empty() && text && *text) message = std::string(text).substr(0, std::string(text).find('\n'));
    const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    if (!state) return;
    const std::string_view code(state);
    // query_canceled (statement_timeout), lock_not_available (lock_timeout)
    if (code == "57014" || code == "55P03") busy = true;
  }
};

namespace {

constexpr size_t kMaxBatch = 256;
const std::pair<const char*, const char*> kWriterStatements[] = {
    {"find_player", "SELECT id FROM players WHERE aid = $1"},
    {"insert_player", "INSERT INTO players(aid, token, registered_at_ms) VALUES($1, $2, $3) RETURNING id"},
    {"find_same_line",
     "SELECT id, report_id FROM reports WHERE player = $1 AND ltime = $2 AND code = $3"
     " AND md5(log) = md5($4::bytea) AND log = $4 ORDER BY id LIMIT 1"},
    {"find_report_id",
     "(SELECT r.id, r.session, r.lang, r.pid, r.code, r.line, r.ltime, r.present, r.log, p.aid, r.aid"
     " FROM reports r JOIN players p ON p.id = r.player WHERE r.aid = $1 AND r.report_id = $2"
     " AND r.report_id IS NOT NULL)"
     " UNION ALL"
     " (SELECT r.id, r.session, r.lang, r.pid, r.code, r.line, r.ltime, r.present, r.log, p.aid, r.aid"
     " FROM reports r JOIN players p ON p.id = r.player WHERE r.aid = ''::bytea AND r.report_id = $2"
     " AND r.report_id IS NOT NULL AND convert_to(p.aid, 'UTF8') = $1)"
     " LIMIT 1"},
    // The common case in one round trip: a known player's new line. A
    // report id stored before (or being stored by another writer, which it
    // waits for) inserts nothing, like an unknown player: writeOne sorts
    // both out.
    {"insert_known_player_report",
     "INSERT INTO reports(player, received_at_ms, session, lang, sid, fid, aid, pid, code, log, line, ltime,"
     " present, report_id) SELECT id, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13, $14 FROM players"
     " WHERE aid = $1 AND NOT EXISTS (SELECT 1 FROM reports r WHERE r.aid = ''::bytea AND r.report_id = $14"
     " AND r.player = players.id) ON CONFLICT (aid, report_id) WHERE report_id IS NOT NULL DO NOTHING RETURNING id"},
    {"insert_report",
     "INSERT INTO reports(player, received_at_ms, session, lang, sid, fid, aid, pid, code, log, line, ltime,"
     " present, report_id) VALUES($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13, $14) RETURNING id"},
};

int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// The fourteen values of a report row; `playerParam` adds the first (the
// player's row id, or its "aid" for the statement that looks it up).
template <typename PlayerParam>
Params newReportParams(const ReportFields& f, const std::string& sessionId, int64_t now, PlayerParam playerParam) {
  Params params;
  playerParam(params);
  params.number(now)
      .text(sessionId)
      .text(f.language)
      .text(f.sid)
      .bytes(f.fid)
      .bytes(f.aid)
      .number(f.patternId)
      .number(f.code)
      .bytes(f.line)
      .number(f.ordinal)
      .number(f.lineTime)
      .text(f.present ? "true" : "false")
      .textOrNull(f.reportId);
  return params;
}

StoredReport busyOutcome() {
  StoredReport outcome;
  outcome.databaseBusy = true;
  return outcome;
}

bool prepareWriter(PGconn* connection, std::string& error) {
  for (const auto& [name, sql] : kWriterStatements) {
    PgResult result(PQprepare(connection, name, sql, 0, nullptr));
    if (!ok(result)) {
      error = PQerrorMessage(connection);
      return false;
    }
  }
  return true;
}

// A writer made again after PostgreSQL dropped it needs its statements again.
bool writerUsable(PGconn* connection) {
  if (PQstatus(connection) == CONNECTION_OK) return true;
  std::string ignored;
  return usable(connection) && prepareWriter(connection, ignored);
}

}  // namespace

std::unique_ptr<PostgresqlReportStore> PostgresqlReportStore::open(const std::string& address, std::string& error) {
  std::unique_ptr<PostgresqlReportStore> store(new PostgresqlReportStore());
  store->address_ = address;
  // The log names the store: the address with every password (user:…@
  // or a password= parameter) shown as ***.
  store->description_ = withoutPassword(address);
  {
    const PgConnection first = connect(address, error);
    if (!first || !migratePostgresql(first.get(), error)) return nullptr;
  }
  for (int i = 0; i < kWriters; ++i) {
    auto connection = connect(address, error);
    if (!connection || !limitSession(connection.get(), error) || !prepareWriter(connection.get(), error))
      return nullptr;
    store->writers_.push_back(std::move(connection));
  }
  for (int i = 0; i < kReaders; ++i) {
    auto connection = connect(address, error);
    if (!connection || !limitSession(connection.get(), error)) return nullptr;
    store->idleReaders_.push_back(connection.get());
    store->readers_.push_back(std::move(connection));
  }
  // Erasures and retention, on a connection of their own.
  store->maintainer_ = connect(address, error);
  if (!store->maintainer_ || !limitSession(store->maintainer_.get(), error)) return nullptr;
  for (auto& writer : store->writers_)
    store->writerThreads_.emplace_back([s = store.get(), c = writer.get()] { s->writeLoop(c); });
  return store;
}

PostgresqlReportStore::~PostgresqlReportStore() {
  pending_.close();
  for (auto& thread : writerThreads_) thread.join();
}

void PostgresqlReportStore::storeAsync(ReportFields fields, StoreDone done) {
  PendingReport pending;
  pending.sessionId = fields.sid.empty() ? newIssuedId() : fields.sid;
  pending.fields = std::move(fields);
  pending.done = std::move(done);
  if (!pending_.push(pending)) pending.done(std::nullopt);
}

void PostgresqlReportStore::writeLoop(PGconn* connection) {
  std::vector<PendingReport> batch;
  while (pending_.take(batch, kMaxBatch)) {
    writeBatch(connection, batch);
    batch.clear();
  }
}

bool PostgresqlReportStore::beginWithKnownPlayersLines(PGconn* connection, std::vector<PendingReport>& batch,
                                                       std::vector<std::optional<StoredReport>>& results,
                                                       WriteFailure& failure) {
  // Pipelined: BEGIN and every known player's new line go out at once and
  // their answers are read together, one round trip for the lot.
  if (!PQenterPipelineMode(connection)) return false;
  const int64_t now = nowMs();
  bool sent = PQsendQueryParams(connection, "BEGIN", 0, nullptr, nullptr, nullptr, nullptr, 0) == 1;
  std::vector<size_t> sentIndexes;
  for (size_t i = 0; sent && i < batch.size(); ++i) {
    const ReportFields& f = batch[i].fields;
    if (!isIssuedId(f.aid) || !f.present) continue;
    const Params params = newReportParams(f, batch[i].sessionId, now, [&](Params& p) { p.text(f.aid); });
    sent = PQsendQueryPrepared(connection, "insert_known_player_report", params.count(), params.values(),
                               params.lengths(), params.formats(), 0) == 1;
    sentIndexes.push_back(i);
  }
  sent = sent && PQpipelineSync(connection) == 1;
  bool good = sent;
  if (sent) {
    for (size_t k = 0; k <= sentIndexes.size(); ++k) {
      const PgResult result(PQgetResult(connection));
      const PgResult end(PQgetResult(connection));  // each query's results end with a null
      if (!ok(result) || end) {
        failure.note(result.get());
        good = false;
        continue;
      }
      // BEGIN, or nothing inserted: a player this database does not know, or
      // a report id it has, both left to writeOne.
      if (k == 0 || PQntuples(result.get()) != 1) continue;
      const size_t i = sentIndexes[k - 1];
      StoredReport stored;
      stored.sessionId = batch[i].sessionId;
      stored.playerId = batch[i].fields.aid;
      stored.reportId = number(result, 0, 0);
      results[i] = std::move(stored);
    }
    const PgResult sync(PQgetResult(connection));
    good = good && sync && PQresultStatus(sync.get()) == PGRES_PIPELINE_SYNC;
  }
  if (PQexitPipelineMode(connection) != 1) {
    // Answers left unread: start the connection afresh.
    PQreset(connection);
    std::string ignored;
    limitSession(connection, ignored);
    prepareWriter(connection, ignored);
    return false;
  }
  return good;
}

void PostgresqlReportStore::writeBatch(PGconn* connection, std::vector<PendingReport>& batch) {
  // A batch that would run past the wait bound is given up: its reports are
  // answered "busy" instead of late.
  const auto deadline = std::chrono::steady_clock::now() + kDatabaseWait;
  const auto late = [&] { return std::chrono::steady_clock::now() > deadline; };
  // Each insert locks its player's pattern total until the commit: batches
  // of several writers that take the same totals in one order wait for each
  // other, where in two orders they would deadlock. Stable, so that one
  // player's reports keep the order they came in.
  std::stable_sort(batch.begin(), batch.end(), [](const PendingReport& a, const PendingReport& b) {
    return std::tie(a.fields.aid, a.fields.language, a.fields.patternId) <
           std::tie(b.fields.aid, b.fields.language, b.fields.patternId);
  });
  WriteFailure failure;
  std::vector<std::optional<StoredReport>> results(batch.size());
  bool written = writerUsable(connection) && beginWithKnownPlayersLines(connection, batch, results, failure);
  for (size_t i = 0; written && i < batch.size(); ++i) {
    if (!results[i]) results[i] = late() ? std::nullopt : writeOne(connection, batch[i], failure);
    written = results[i].has_value();
  }
  if (written) {
    const PgResult committed = exec(connection, "COMMIT");
    if (ok(committed)) {
      for (size_t i = 0; i < batch.size(); ++i) batch[i].done(std::move(results[i]));
      return;
    }
    failure.note(committed.get());
  }
  exec(connection, "ROLLBACK");
  results.clear();
  // One report the database refused must not take the others with it: each
  // gets a transaction of its own (where a report id another writer stored
  // meanwhile is found). A locked database would make each wait again, so
  // then they are all answered "busy".
  for (auto& pending : batch) {
    std::optional<StoredReport> stored;
    if (!failure.busy && !late() && writerUsable(connection) && ok(exec(connection, "BEGIN"))) {
      stored = writeOne(connection, pending, failure);
      const PgResult committed = stored ? exec(connection, "COMMIT") : nullptr;
      if (!stored || !ok(committed)) {
        failure.note(committed.get());
        exec(connection, "ROLLBACK");
        stored.reset();
      }
    }
    if (!stored && (failure.busy || late())) stored = busyOutcome();
    // A failed statement's words, else the connection's (the database is down).
    if (!stored) noteWriteFailure(failure.message.empty() ? lastError(connection) : failure.message);
    pending.done(std::move(stored));
  }
}

std::optional<std::optional<StoredReport>> PostgresqlReportStore::findRepeat(PGconn* connection,
                                                                            const ReportFields& f,
                                                                            WriteFailure& failure) {
  if (f.reportId.empty()) return std::optional<StoredReport>();
  const PgResult found = prepared(connection, "find_report_id", Params().bytes(f.aid).text(f.reportId));
  if (!ok(found)) {
    failure.note(found.get());
    return std::nullopt;
  }
  if (PQntuples(found.get()) == 0) return std::optional<StoredReport>();
  FirstReport first;
  first.reportId = number(found, 0, 0);
  first.sessionId = text(found, 0, 1);
  first.language = text(found, 0, 2);
  first.patternId = static_cast<int32_t>(number(found, 0, 3));
  first.code = static_cast<int32_t>(number(found, 0, 4));
  first.ordinal = static_cast<int32_t>(number(found, 0, 5));
  first.lineTime = number(found, 0, 6);
  first.present = text(found, 0, 7) == "t";
  first.line = byteaValue(found, 0, 8);
  first.playerId = text(found, 0, 9);
  first.sentAid = byteaValue(found, 0, 10);
  return std::optional<StoredReport>(repeatOutcome(first, f));
}

std::optional<StoredReport> PostgresqlReportStore::writeOne(PGconn* connection, const PendingReport& pending,
                                                            WriteFailure& failure) {
  const ReportFields& f = pending.fields;
  StoredReport stored;
  stored.sessionId = pending.sessionId;
  const int64_t now = nowMs();
  const auto succeeded = [&failure](const PgResult& result) {
    if (ok(result)) return true;
    failure.note(result.get());
    return false;
  };

  // The same report again: answered as the first was (see the SQLite store).
  if (auto repeat = findRepeat(connection, f, failure); !repeat || *repeat) {
    if (!repeat) return std::nullopt;
    return *repeat;
  }

  const auto reportParams = [&](auto playerParam) { return newReportParams(f, stored.sessionId, now, playerParam); };
  // Players' ids are all issued ones: any other "aid" is no player's, and
  // is never sent where PostgreSQL would read it as text.
  const bool issuedAid = isIssuedId(f.aid);
  if (issuedAid && f.present) {
    const PgResult inserted =
        prepared(connection, "insert_known_player_report", reportParams([&](Params& p) { p.text(f.aid); }));
    if (!succeeded(inserted)) return std::nullopt;
    if (PQntuples(inserted.get()) == 1) {
      stored.playerId = f.aid;
      stored.reportId = number(inserted, 0, 0);
      return stored;
    }
  }

  int64_t player = 0;
  if (issuedAid) {
    const PgResult found = prepared(connection, "find_player", Params().text(f.aid));
    if (!succeeded(found)) return std::nullopt;
    if (PQntuples(found.get()) > 0) player = number(found, 0, 0);
  }
  if (player == 0 && !f.mayRegister) {
    stored.registrationRefused = true;
    return stored;
  }
  if (player == 0) {
    stored.playerId = newIssuedId();
    stored.newPlayer = true;
    stored.replacedUnknownPlayer = !f.aid.empty();
    const PgResult inserted =
        prepared(connection, "insert_player", Params().text(stored.playerId).text(newIssuedId()).number(now));
    if (!succeeded(inserted) || PQntuples(inserted.get()) != 1) return std::nullopt;
    player = number(inserted, 0, 0);
  } else {
    stored.playerId = f.aid;
  }

  // A line from the game's history that this player reported before keeps
  // its first report (see the SQLite store).
  if (!stored.newPlayer && !f.present) {
    const PgResult same = prepared(connection, "find_same_line",
                                   Params().number(player).number(f.lineTime).number(f.code).bytes(f.line));
    if (!succeeded(same)) return std::nullopt;
    if (PQntuples(same.get()) > 0) {
      // This very report, committed by another writer after the lookup
      // above: answered from its row, with its session, as any repeat.
      if (!f.reportId.empty() && !PQgetisnull(same.get(), 0, 1) && text(same, 0, 1) == f.reportId) {
        const auto repeat = findRepeat(connection, f, failure);
        if (!repeat || !*repeat) return std::nullopt;
        return *repeat;
      }
      stored.reportId = number(same, 0, 0);
      stored.alreadyStored = true;
      return stored;
    }
  }

  // A report id that another writer stores at this moment fails here on the
  // unique index, after waiting for that writer: the transaction (with any
  // player it registered) is rolled back and the report written again
  // alone, when find_report_id finds it.
  const PgResult inserted =
      prepared(connection, "insert_report", reportParams([&](Params& p) { p.number(player); }));
  if (!succeeded(inserted) || PQntuples(inserted.get()) != 1) return std::nullopt;
  stored.reportId = number(inserted, 0, 0);
  return stored;
}

}  // namespace tidemark
