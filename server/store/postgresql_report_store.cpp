#include "store/postgresql_report_store.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <iterator>
#include <thread>
#include <tuple>

#include "base/field_values.h"
#include "base/random_ids.h"

namespace tidemark {

// Why a write failed: a statement cancelled by the session's limits means a
// locked or overloaded database, answered "busy".
struct WriteFailure {
  bool busy = false;
  void note(const PGresult* result) {
    const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    if (!state) return;
    const std::string_view code(state);
    // query_canceled (statement_timeout), lock_not_available (lock_timeout)
    if (code == "57014" || code == "55P03") busy = true;
  }
};

namespace {

constexpr size_t kMaxBatch = 256;
// Serialises the migrations of instances that start at the same moment.
constexpr const char* kMigrationLock = "74120001";

// Schema versions in order; schema_migrations lists those applied.
constexpr const char* kMigrations[] = {R"sql(
CREATE TABLE players (
  id BIGSERIAL PRIMARY KEY,
  aid TEXT NOT NULL UNIQUE,
  token TEXT NOT NULL UNIQUE,
  registered_at_ms BIGINT NOT NULL
);
CREATE TABLE reports (
  id BIGSERIAL PRIMARY KEY,
  player BIGINT NOT NULL REFERENCES players(id),
  received_at_ms BIGINT NOT NULL,
  session TEXT NOT NULL,
  lang TEXT NOT NULL,
  sid TEXT NOT NULL,
  fid TEXT NOT NULL,
  aid TEXT NOT NULL,
  pid INTEGER NOT NULL,
  code INTEGER NOT NULL,
  log BYTEA NOT NULL,
  line INTEGER NOT NULL,
  ltime BIGINT NOT NULL,
  present BOOLEAN NOT NULL
);
CREATE INDEX reports_by_player ON reports(player, id);
CREATE INDEX reports_by_line_time ON reports(player, ltime);
)sql",
// The page's totals by pattern and its pattern filter read this index
// instead of every row of the player.
R"sql(
CREATE INDEX reports_by_pattern ON reports(player, lang, pid, id);
)sql",
// The client's report id (see the SQLite store). Its unique index settles
// two attempts written at once by two instances or writers: the second
// waits for the first and then finds it.
R"sql(
ALTER TABLE reports ADD COLUMN report_id TEXT;
CREATE UNIQUE INDEX reports_by_report_id ON reports(report_id);
)sql",
// The duplicate check of history lines finds its row through this index,
// whatever the number of the player's rows with the same line time: the
// line's digest narrows to the rows whose bytes are then compared, and the
// id last lets the first of them be read straight from the index.
R"sql(
CREATE INDEX reports_by_line ON reports(player, ltime, code, md5(log), id);
DROP INDEX reports_by_line_time;
)sql",
// "fid" and "aid" are stored as the bytes sent, as SQLite stores them:
// as text, bytes that are not UTF-8 were refused and NUL cut the value.
R"sql(
ALTER TABLE reports ALTER COLUMN fid TYPE BYTEA USING convert_to(fid, 'UTF8'),
                    ALTER COLUMN aid TYPE BYTEA USING convert_to(aid, 'UTF8');
)sql",
// The page's totals by pattern, kept with every insert (see the SQLite
// store). Instances still running the schema before would insert beside
// the count of the rows so far: the table lock keeps them out until it is
// done.
R"sql(
LOCK TABLE reports IN SHARE ROW EXCLUSIVE MODE;
CREATE TABLE pattern_totals (
  player BIGINT NOT NULL REFERENCES players(id),
  lang TEXT NOT NULL,
  pid INTEGER NOT NULL,
  count BIGINT NOT NULL,
  PRIMARY KEY (player, lang, pid)
);
INSERT INTO pattern_totals SELECT player, lang, pid, count(*) FROM reports GROUP BY player, lang, pid;
CREATE FUNCTION count_pattern_total() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
  INSERT INTO pattern_totals VALUES (NEW.player, NEW.lang, NEW.pid, 1)
    ON CONFLICT (player, lang, pid) DO UPDATE SET count = pattern_totals.count + 1;
  RETURN NULL;
END $$;
CREATE TRIGGER reports_count_pattern AFTER INSERT ON reports FOR EACH ROW EXECUTE FUNCTION count_pattern_total();
)sql",
// The player's lines per day and pattern for the page's chart, counted by
// the same trigger after the pattern's total: the lock on that total orders
// the writers of one player's pattern before they reach its days, as the
// sorted batches order the totals. Removed lines (erasure, retention) are
// counted down and a total that reaches zero goes. The secret that binds a
// page's erase form to that page.
R"sql(
LOCK TABLE reports IN SHARE ROW EXCLUSIVE MODE;
CREATE TABLE day_totals (
  player BIGINT NOT NULL REFERENCES players(id),
  lang TEXT NOT NULL,
  pid INTEGER NOT NULL,
  day BIGINT NOT NULL,
  count BIGINT NOT NULL,
  PRIMARY KEY (player, day, lang, pid)
);
INSERT INTO day_totals
  SELECT player, lang, pid, (ltime - ((ltime % 86400) + 86400) % 86400) / 86400 AS day, count(*)
  FROM reports GROUP BY player, lang, pid, day;
CREATE OR REPLACE FUNCTION count_pattern_total() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
  INSERT INTO pattern_totals VALUES (NEW.player, NEW.lang, NEW.pid, 1)
    ON CONFLICT (player, lang, pid) DO UPDATE SET count = pattern_totals.count + 1;
  INSERT INTO day_totals VALUES (NEW.player, NEW.lang, NEW.pid,
                                 (NEW.ltime - ((NEW.ltime % 86400) + 86400) % 86400) / 86400, 1)
    ON CONFLICT (player, day, lang, pid) DO UPDATE SET count = day_totals.count + 1;
  RETURN NULL;
END $$;
CREATE FUNCTION uncount_report() RETURNS trigger LANGUAGE plpgsql AS $$
DECLARE
  line_day BIGINT := (OLD.ltime - ((OLD.ltime % 86400) + 86400) % 86400) / 86400;
BEGIN
  UPDATE pattern_totals SET count = count - 1 WHERE player = OLD.player AND lang = OLD.lang AND pid = OLD.pid;
  DELETE FROM pattern_totals WHERE player = OLD.player AND lang = OLD.lang AND pid = OLD.pid AND count <= 0;
  UPDATE day_totals SET count = count - 1
    WHERE player = OLD.player AND day = line_day AND lang = OLD.lang AND pid = OLD.pid;
  DELETE FROM day_totals
    WHERE player = OLD.player AND day = line_day AND lang = OLD.lang AND pid = OLD.pid AND count <= 0;
  RETURN NULL;
END $$;
CREATE TRIGGER reports_uncount AFTER DELETE ON reports FOR EACH ROW EXECUTE FUNCTION uncount_report();
CREATE TABLE server_secrets (name TEXT PRIMARY KEY, value TEXT NOT NULL);
INSERT INTO server_secrets
  VALUES ('page', replace(gen_random_uuid()::text, '-', '') || replace(gen_random_uuid()::text, '-', ''));
)sql"};

const std::pair<const char*, const char*> kWriterStatements[] = {
    {"find_player", "SELECT id FROM players WHERE aid = $1"},
    {"insert_player", "INSERT INTO players(aid, token, registered_at_ms) VALUES($1, $2, $3) RETURNING id"},
    {"find_same_line",
     "SELECT id FROM reports WHERE player = $1 AND ltime = $2 AND code = $3 AND md5(log) = md5($4::bytea)"
     " AND log = $4 ORDER BY id LIMIT 1"},
    {"find_report_id",
     "SELECT r.id, r.session, r.lang, r.aid, r.log, p.aid FROM reports r JOIN players p ON p.id = r.player"
     " WHERE r.report_id = $1"},
    // The common case in one round trip: a known player's new line. A
    // report id stored before (or being stored by another writer, which it
    // waits for) inserts nothing, like an unknown player: writeOne sorts
    // both out.
    {"insert_known_player_report",
     "INSERT INTO reports(player, received_at_ms, session, lang, sid, fid, aid, pid, code, log, line, ltime,"
     " present, report_id) SELECT id, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13, $14 FROM players"
     " WHERE aid = $1 ON CONFLICT (report_id) DO NOTHING RETURNING id"},
    {"insert_report",
     "INSERT INTO reports(player, received_at_ms, session, lang, sid, fid, aid, pid, code, log, line, ltime,"
     " present, report_id) VALUES($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13, $14) RETURNING id"},
};

// What a writer sets on its session: a statement that waits on a lock or
// runs longer than this is cancelled, and its report answered "busy".
const std::string kSessionLimits = "SET statement_timeout = " + std::to_string(kDatabaseWait.count()) +
                                   "; SET lock_timeout = " + std::to_string(kDatabaseWait.count());

int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Parameters for one statement: texts, and bytes sent as they are.
class Params {
 public:
  Params& text(std::string_view value) { return add(value, 0); }
  Params& bytes(std::string_view value) { return add(value, 1); }
  Params& number(int64_t value) { return add(std::to_string(value), 0); }
  // Empty is sent as NULL.
  Params& textOrNull(std::string_view value) {
    if (!value.empty()) return add(value, 0);
    values_.push_back(nullptr);
    lengths_.push_back(0);
    formats_.push_back(0);
    return *this;
  }

  int count() const { return static_cast<int>(values_.size()); }
  const char* const* values() const { return values_.data(); }
  const int* lengths() const { return lengths_.data(); }
  const int* formats() const { return formats_.data(); }

 private:
  Params& add(std::string_view value, int format) {
    // A deque keeps earlier texts in place; an empty value still needs a
    // pointer, or it would be sent as NULL.
    owned_.emplace_back(value);
    values_.push_back(owned_.back().c_str());
    lengths_.push_back(static_cast<int>(value.size()));
    formats_.push_back(format);
    return *this;
  }

  std::deque<std::string> owned_;
  std::vector<const char*> values_;
  std::vector<int> lengths_, formats_;
};

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

bool ok(const PgResult& result) {
  if (!result) return false;
  const auto status = PQresultStatus(result.get());
  return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
}

PgResult exec(PGconn* connection, const char* sql) { return PgResult(PQexec(connection, sql)); }

StoredReport busyOutcome() {
  StoredReport outcome;
  outcome.databaseBusy = true;
  return outcome;
}

PgResult query(PGconn* connection, const char* sql, const Params& params) {
  return PgResult(PQexecParams(connection, sql, params.count(), nullptr, params.values(), params.lengths(),
                               params.formats(), 0));
}

PgResult prepared(PGconn* connection, const char* name, const Params& params) {
  return PgResult(PQexecPrepared(connection, name, params.count(), params.values(), params.lengths(),
                                 params.formats(), 0));
}

std::string text(const PgResult& result, int row, int column) {
  return std::string(PQgetvalue(result.get(), row, column),
                     static_cast<size_t>(PQgetlength(result.get(), row, column)));
}

int64_t number(const PgResult& result, int row, int column) {
  return std::strtoll(PQgetvalue(result.get(), row, column), nullptr, 10);
}

std::string byteaValue(const PgResult& result, int row, int column) {
  size_t length = 0;
  unsigned char* raw = PQunescapeBytea(reinterpret_cast<const unsigned char*>(PQgetvalue(result.get(), row, column)),
                                       &length);
  if (!raw) return {};
  std::string bytes(reinterpret_cast<const char*>(raw), length);
  PQfreemem(raw);
  return bytes;
}

PgConnection connect(const std::string& address, std::string& error) {
  PgConnection connection(PQconnectdb(address.c_str()));
  if (!connection || PQstatus(connection.get()) != CONNECTION_OK) {
    error = connection ? PQerrorMessage(connection.get()) : "out of memory";
    while (!error.empty() && (error.back() == '\n' || error.back() == ' ')) error.pop_back();
    return nullptr;
  }
  // The server's notices (an index that exists, say) are not this log's.
  PQsetNoticeProcessor(connection.get(), [](void*, const char*) {}, nullptr);
  return connection;
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

bool limitSession(PGconn* connection, std::string& error) {
  if (ok(exec(connection, kSessionLimits.c_str()))) return true;
  error = PQerrorMessage(connection);
  return false;
}

// A connection the server dropped (a restart of PostgreSQL) is made again.
bool usable(PGconn* connection, bool writer) {
  if (PQstatus(connection) == CONNECTION_OK) return true;
  PQreset(connection);
  std::string ignored;
  return PQstatus(connection) == CONNECTION_OK && limitSession(connection, ignored) &&
         (!writer || prepareWriter(connection, ignored));
}

// A reader PostgreSQL dropped while it sat idle (a restart of the database)
// still looks connected until its first statement fails: that statement is
// run once more on the connection made again, rather than telling a known
// player that the database does not know him.
template <typename Run>
PgResult retriedOnce(PGconn* connection, Run run) {
  PgResult result = run();
  if (ok(result) || PQstatus(connection) != CONNECTION_BAD || !usable(connection, false)) return result;
  return run();
}

bool migrate(PGconn* connection, std::string& error) {
  const auto fail = [&] {
    error = PQerrorMessage(connection);
    exec(connection, "ROLLBACK");
    exec(connection, (std::string("SELECT pg_advisory_unlock(") + kMigrationLock + ")").c_str());
    return false;
  };
  if (!ok(exec(connection, (std::string("SELECT pg_advisory_lock(") + kMigrationLock + ")").c_str())) ||
      !ok(exec(connection, "CREATE TABLE IF NOT EXISTS schema_migrations (version INTEGER PRIMARY KEY,"
                           " applied_at TIMESTAMPTZ NOT NULL DEFAULT now())")))
    return fail();
  const PgResult current = exec(connection, "SELECT coalesce(max(version), 0) FROM schema_migrations");
  if (!ok(current)) return fail();
  const int version = static_cast<int>(number(current, 0, 0));
  const int known = static_cast<int>(std::size(kMigrations));
  if (version > known) {
    fail();
    error = "the database has schema version " + std::to_string(version) + ", newer than this server knows (" +
            std::to_string(known) + ")";
    return false;
  }
  for (int v = version; v < known; ++v) {
    if (!ok(exec(connection, "BEGIN")) || !ok(exec(connection, kMigrations[v])) ||
        !ok(query(connection, "INSERT INTO schema_migrations(version) VALUES($1)", Params().number(v + 1))) ||
        !ok(exec(connection, "COMMIT")))
      return fail();
  }
  exec(connection, (std::string("SELECT pg_advisory_unlock(") + kMigrationLock + ")").c_str());
  return true;
}

// The address without its password, for the log.
std::string describeAddress(const std::string& address) {
  const size_t scheme = address.find("://");
  const size_t at = address.find('@');
  if (scheme == std::string::npos || at == std::string::npos) return address;
  const size_t colon = address.find(':', scheme + 3);
  if (colon == std::string::npos || colon > at) return address;
  return address.substr(0, colon) + ":***" + address.substr(at);
}

}  // namespace

std::unique_ptr<PostgresqlReportStore> PostgresqlReportStore::open(const std::string& address, std::string& error) {
  std::unique_ptr<PostgresqlReportStore> store(new PostgresqlReportStore());
  store->address_ = address;
  store->description_ = describeAddress(address);
  {
    const PgConnection first = connect(address, error);
    if (!first || !migrate(first.get(), error)) return nullptr;
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
  bool written = usable(connection, true) && beginWithKnownPlayersLines(connection, batch, results, failure);
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
    if (!failure.busy && !late() && usable(connection, true) && ok(exec(connection, "BEGIN"))) {
      stored = writeOne(connection, pending, failure);
      const PgResult committed = stored ? exec(connection, "COMMIT") : nullptr;
      if (!stored || !ok(committed)) {
        failure.note(committed.get());
        exec(connection, "ROLLBACK");
        stored.reset();
      }
    }
    if (!stored && (failure.busy || late())) stored = busyOutcome();
    pending.done(std::move(stored));
  }
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
  if (!f.reportId.empty()) {
    const PgResult first = prepared(connection, "find_report_id", Params().text(f.reportId));
    if (!succeeded(first)) return std::nullopt;
    if (PQntuples(first.get()) > 0) {
      const std::string sentAid = byteaValue(first, 0, 3);
      stored.repeated = true;
      stored.reportId = number(first, 0, 0);
      stored.sessionId = text(first, 0, 1);
      stored.language = text(first, 0, 2);
      stored.line = byteaValue(first, 0, 4);
      stored.playerId = text(first, 0, 5);
      stored.newPlayer = sentAid != stored.playerId;
      stored.replacedUnknownPlayer = stored.newPlayer && !sentAid.empty();
      return stored;
    }
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

PostgresqlReportStore::Reader PostgresqlReportStore::borrowReader() {
  std::unique_lock lock(readersMutex_);
  readerReturned_.wait(lock, [&] { return !idleReaders_.empty(); });
  PGconn* connection = idleReaders_.back();
  idleReaders_.pop_back();
  return Reader(*this, connection);
}

PostgresqlReportStore::Reader::~Reader() {
  {
    std::lock_guard lock(store_.readersMutex_);
    store_.idleReaders_.push_back(connection_);
  }
  store_.readerReturned_.notify_one();
}

std::optional<std::string> PostgresqlReportStore::tokenOf(std::string_view playerId) {
  const Reader reader = borrowReader();
  if (!usable(reader.get(), false)) return std::nullopt;
  const PgResult result = retriedOnce(reader.get(), [&] {
    return query(reader.get(), "SELECT token FROM players WHERE aid = $1", Params().text(playerId));
  });
  if (!ok(result) || PQntuples(result.get()) == 0) return std::nullopt;
  return text(result, 0, 0);
}

std::optional<bool> PostgresqlReportStore::playerExists(std::string_view playerId) {
  const Reader reader = borrowReader();
  if (!usable(reader.get(), false)) return std::nullopt;
  const PgResult result = retriedOnce(reader.get(), [&] {
    return query(reader.get(), "SELECT 1 FROM players WHERE aid = $1", Params().text(playerId));
  });
  if (!ok(result)) return std::nullopt;
  return PQntuples(result.get()) > 0;
}

std::optional<PlayerReports> PostgresqlReportStore::listReports(std::string_view token, int64_t offset,
                                                                int64_t limit, const ReportFilter& filter,
                                                                const PageKey& key) {
  const Reader reader = borrowReader();
  PGconn* connection = reader.get();
  // One snapshot, so that the count, the totals and the rows agree.
  if (!usable(connection, false) ||
      !ok(retriedOnce(connection, [&] { return exec(connection, "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY"); })))
    return std::nullopt;
  struct EndRead {
    PGconn* connection;
    ~EndRead() { exec(connection, "COMMIT"); }
  } endRead{connection};

  const PgResult player = query(connection, "SELECT id FROM players WHERE token = $1", Params().text(token));
  if (!ok(player) || PQntuples(player.get()) == 0) return std::nullopt;
  const int64_t playerRow = number(player, 0, 0);

  PlayerReports result;
  // Languages in byte order, as SQLite sorts them, whatever the database's collation.
  const PgResult totals = query(connection,
      "SELECT lang, pid, count FROM pattern_totals WHERE player = $1"
      " ORDER BY count DESC, lang COLLATE \"C\", pid LIMIT $2",
      Params().number(playerRow).number(kMaxListedTotals));
  if (!ok(totals)) return std::nullopt;
  for (int i = 0; i < PQntuples(totals.get()); ++i)
    result.totals.push_back({text(totals, i, 0), static_cast<int32_t>(number(totals, i, 1)), number(totals, i, 2)});

  // A pattern the player has no report of matches nothing. Checked here
  // because the language could be bytes that PostgreSQL refuses as text
  // (invalid UTF-8, NUL), which would fail the whole page.
  // Totals cut at their bound may not list it: then it is looked up.
  if (filter.patternId && result.totals.size() < static_cast<size_t>(kMaxListedTotals) &&
      std::none_of(result.totals.begin(), result.totals.end(), [&](const PatternTotal& total) {
        return total.language == filter.language && total.patternId == *filter.patternId;
      }))
    return result;

  // Only the terms in use are written; their values are bound, never
  // spliced. The search text goes as bytes and position() on bytea compares
  // bytes, so no character of it is special.
  Params params;
  params.number(playerRow);
  std::string where = " FROM reports WHERE player = $1";
  const auto next = [&params] { return "$" + std::to_string(params.count() + 1); };
  if (filter.patternId) {
    where += " AND lang = " + next();
    params.text(filter.language);
    where += " AND pid = " + next();
    params.number(*filter.patternId);
  }
  if (!filter.text.empty()) {
    where += " AND position(" + next() + "::bytea in substring(log from 1 for ";
    params.bytes(filter.text);
    where += next() + ")) > 0";
    params.number(static_cast<int64_t>(kListedLineBytes));
  }

  // Without a search the kept totals answer (the same terms, on their
  // table); a search counts its matches.
  const std::string fromReports = " FROM reports";
  const std::string countSql = filter.text.empty()
                                   ? "SELECT coalesce(sum(count), 0) FROM pattern_totals" +
                                         where.substr(fromReports.size())
                                   : "SELECT count(*)" + where;
  const PgResult total = query(connection, countSql.c_str(), params);
  if (!ok(total)) return std::nullopt;
  result.total = number(total, 0, 0);

  std::string listing = "SELECT id, received_at_ms, lang, pid, code, ltime, present, substring(log from 1 for " +
                        next() + ")";
  params.number(static_cast<int64_t>(kListedLineBytes));
  listing += where;
  if (key.olderThan) {
    listing += " AND id < " + next();
    params.number(*key.olderThan);
  }
  if (key.newerThan) {
    listing += " AND id > " + next();
    params.number(*key.newerThan);
  }
  // The lines just newer are the first ones counting upwards.
  listing += std::string(key.newerThan ? " ORDER BY id ASC" : " ORDER BY id DESC") + " LIMIT " + next();
  params.number(limit);
  listing += " OFFSET " + next();
  params.number(offset);
  const PgResult rows = query(connection, listing.c_str(), params);
  if (!ok(rows)) return std::nullopt;
  for (int i = 0; i < PQntuples(rows.get()); ++i) {
    ListedReport r;
    r.reportId = number(rows, i, 0);
    r.receivedAtMs = number(rows, i, 1);
    r.language = text(rows, i, 2);
    r.patternId = static_cast<int32_t>(number(rows, i, 3));
    r.code = static_cast<int32_t>(number(rows, i, 4));
    r.lineTime = number(rows, i, 5);
    r.present = text(rows, i, 6) == "t";
    r.line = byteaValue(rows, i, 7);
    result.reports.push_back(std::move(r));
  }
  if (key.newerThan) std::reverse(result.reports.begin(), result.reports.end());
  return result;
}

int64_t PostgresqlReportStore::count(const char* sql) {
  const Reader reader = borrowReader();
  if (!usable(reader.get(), false)) return -1;
  const PgResult result = retriedOnce(reader.get(), [&] { return exec(reader.get(), sql); });
  if (!ok(result) || PQntuples(result.get()) != 1) return -1;
  return number(result, 0, 0);
}

int64_t PostgresqlReportStore::reportCount() { return count("SELECT count(*) FROM reports"); }
int64_t PostgresqlReportStore::playerCount() { return count("SELECT count(*) FROM players"); }
bool PostgresqlReportStore::healthy() { return count("SELECT 1") == 1; }

// The player's data: the chart's day totals, the download, erasure and
// retention.

namespace {

// Lets the writers take the totals' locks between removal batches.
constexpr auto kRemovalPause = std::chrono::milliseconds(5);

// The player's row, or 0 for no player; nothing on a failure.
std::optional<int64_t> playerRowOf(PGconn* connection, std::string_view token) {
  const PgResult player = query(connection, "SELECT id FROM players WHERE token = $1", Params().text(token));
  if (!ok(player)) return std::nullopt;
  return PQntuples(player.get()) == 0 ? 0 : number(player, 0, 0);
}

bool commitOrRollBack(PGconn* connection, bool good) {
  if (good && ok(exec(connection, "COMMIT"))) return true;
  exec(connection, "ROLLBACK");
  return false;
}

}  // namespace

std::optional<std::vector<DayTotal>> PostgresqlReportStore::dayTotalsOf(std::string_view token, int64_t fromDay) {
  const Reader reader = borrowReader();
  PGconn* connection = reader.get();
  if (!usable(connection, false)) return std::nullopt;
  const PgResult rows = retriedOnce(connection, [&] {
    return query(connection,
                 "SELECT d.day, d.lang, d.pid, d.count FROM day_totals d JOIN players p ON p.id = d.player"
                 " WHERE p.token = $1 AND d.day >= $2 ORDER BY d.day, d.lang COLLATE \"C\", d.pid",
                 Params().text(token).number(fromDay));
  });
  if (!ok(rows)) return std::nullopt;
  std::vector<DayTotal> days;
  for (int i = 0; i < PQntuples(rows.get()); ++i)
    days.push_back({number(rows, i, 0), text(rows, i, 1), static_cast<int32_t>(number(rows, i, 2)),
                    number(rows, i, 3)});
  // No rows: a player without lines in the window, or no player at all.
  if (days.empty()) {
    const auto player = playerRowOf(connection, token);
    if (!player || *player == 0) return std::nullopt;
  }
  return days;
}

std::optional<std::vector<ExportedReport>> PostgresqlReportStore::exportBatch(std::string_view token,
                                                                             int64_t afterId, int64_t limit) {
  const Reader reader = borrowReader();
  PGconn* connection = reader.get();
  if (!usable(connection, false)) return std::nullopt;
  std::optional<int64_t> player;
  retriedOnce(connection, [&]() -> PgResult {
    player = playerRowOf(connection, token);
    return player ? exec(connection, "SELECT 1") : nullptr;
  });
  if (!player || *player == 0) return std::nullopt;
  const PgResult rows = query(connection,
      "SELECT id, received_at_ms, lang, pid, code, line, ltime, present, log FROM reports"
      " WHERE player = $1 AND id > $2 ORDER BY id LIMIT $3",
      Params().number(*player).number(afterId).number(limit));
  if (!ok(rows)) return std::nullopt;
  std::vector<ExportedReport> batch;
  for (int i = 0; i < PQntuples(rows.get()); ++i)
    batch.push_back({number(rows, i, 0), number(rows, i, 1), text(rows, i, 2), static_cast<int32_t>(number(rows, i, 3)),
                     static_cast<int32_t>(number(rows, i, 4)), static_cast<int32_t>(number(rows, i, 5)),
                     number(rows, i, 6), text(rows, i, 7) == "t", byteaValue(rows, i, 8)});
  return batch;
}

EraseOutcome PostgresqlReportStore::forgetPlayer(std::string_view token) {
  std::lock_guard lock(maintainMutex_);
  PGconn* connection = maintainer_.get();
  EraseOutcome outcome;
  // The id and token go first, in one statement: from then on the page is
  // gone and a report with the old id registers a new player, on every
  // instance, however long removing the lines takes.
  const PgResult marked = usable(connection, false)
      ? query(connection,
              "UPDATE players SET aid = 'erased-' || replace(gen_random_uuid()::text, '-', ''),"
              " token = 'erased-' || replace(gen_random_uuid()::text, '-', '') WHERE token = $1",
              Params().text(token))
      : nullptr;
  if (!ok(marked)) {
    outcome.failed = true;
    return outcome;
  }
  outcome.found = std::strtoll(PQcmdTuples(marked.get()), nullptr, 10) > 0;
  return outcome;
}

int64_t PostgresqlReportStore::removeErasedPlayers() {
  std::lock_guard lock(maintainMutex_);
  return removeErasedPlayersLocked();
}

int64_t PostgresqlReportStore::removeErasedPlayersLocked() {
  PGconn* connection = maintainer_.get();
  if (!usable(connection, false)) return -1;
  const PgResult players = exec(connection, "SELECT id FROM players WHERE aid LIKE 'erased-%'");
  if (!ok(players)) return -1;
  int64_t removed = 0;
  for (int i = 0; i < PQntuples(players.get()); ++i) {
    const int64_t player = number(players, i, 0);
    for (;;) {
      const PgResult batch = query(connection,
          "DELETE FROM reports WHERE id IN (SELECT id FROM reports WHERE player = $1 ORDER BY id LIMIT $2)",
          Params().number(player).number(kRemovalBatch));
      if (!ok(batch)) return -1;
      const int64_t count = std::strtoll(PQcmdTuples(batch.get()), nullptr, 10);
      removed += count;
      if (count < kRemovalBatch) break;
      std::this_thread::sleep_for(kRemovalPause);
    }
    bool good = ok(exec(connection, "BEGIN"));
    for (const char* sql : {"DELETE FROM day_totals WHERE player = $1", "DELETE FROM pattern_totals WHERE player = $1",
                            "DELETE FROM players WHERE id = $1"})
      good = good && ok(query(connection, sql, Params().number(player)));
    if (!commitOrRollBack(connection, good)) return -1;
  }
  return removed;
}

int64_t PostgresqlReportStore::removeLinesReceivedBefore(int64_t beforeMs) {
  std::lock_guard lock(maintainMutex_);
  PGconn* connection = maintainer_.get();
  if (!usable(connection, false) || !ok(exec(connection, "BEGIN"))) return -1;
  // Each removed line counts its player's totals down, locking them: the
  // lines go in the order the writers sort their batches in (player id,
  // language, pattern), so that the two never wait for each other in a cycle.
  const PgResult old = query(connection,
      "SELECT r.id, p.aid, r.lang, r.pid FROM reports r JOIN players p ON p.id = r.player"
      " WHERE r.id IN (SELECT id FROM reports ORDER BY id LIMIT $2) AND r.received_at_ms < $1",
      Params().number(beforeMs).number(kRemovalBatch));
  if (!ok(old)) return commitOrRollBack(connection, false), -1;
  std::vector<std::tuple<std::string, std::string, int64_t, int64_t>> lines;
  for (int i = 0; i < PQntuples(old.get()); ++i)
    lines.emplace_back(text(old, i, 1), text(old, i, 2), number(old, i, 3), number(old, i, 0));
  std::sort(lines.begin(), lines.end());
  bool good = true;
  for (size_t first = 0; good && first < lines.size();) {
    size_t end = first;
    std::string ids = "{";
    for (; end < lines.size() && std::get<0>(lines[end]) == std::get<0>(lines[first]) &&
           std::get<1>(lines[end]) == std::get<1>(lines[first]) && std::get<2>(lines[end]) == std::get<2>(lines[first]);
         ++end)
      ids += (end == first ? "" : ",") + std::to_string(std::get<3>(lines[end]));
    ids += "}";
    good = ok(query(connection, "DELETE FROM reports WHERE id = ANY($1::bigint[])", Params().text(ids)));
    first = end;
  }
  return commitOrRollBack(connection, good) ? static_cast<int64_t>(lines.size()) : -1;
}

std::optional<std::string> PostgresqlReportStore::pageSecret() {
  const Reader reader = borrowReader();
  if (!usable(reader.get(), false)) return std::nullopt;
  const PgResult result = retriedOnce(reader.get(), [&] {
    return exec(reader.get(), "SELECT value FROM server_secrets WHERE name = 'page'");
  });
  if (!ok(result) || PQntuples(result.get()) != 1) return std::nullopt;
  return text(result, 0, 0);
}

}  // namespace tidemark
