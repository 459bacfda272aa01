#include "store/postgresql_migrations.h"

#include <cstdlib>
#include <iterator>

#include "store/postgresql_handles.h"

namespace tidemark {
namespace {

bool ok(const PgResult& result) {
  if (!result) return false;
  const auto status = PQresultStatus(result.get());
  return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
}

PgResult exec(PGconn* connection, const char* sql) { return PgResult(PQexec(connection, sql)); }

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
// The page's search reads this trigram index instead of every line of the
// player. pg_trgm reads text, and a line is any bytes: the index holds the
// listed part in the 'escape' form (bytes as they are, but NUL, bytes past
// 0x7F and the backslash escaped), in which a line's bytes contain the
// search's exactly where its form contains the search's form. It narrows
// to candidate rows; their bytes are compared as before.
R"sql(
CREATE EXTENSION IF NOT EXISTS pg_trgm;
CREATE INDEX reports_by_text ON reports USING gin (encode(substring(log from 1 for 4096), 'escape') gin_trgm_ops);
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
)sql",
// Report ids are the sender's own, unique per "aid" as sent (see the
// SQLite store). Two attempts of one report at once still meet on it.
R"sql(
DROP INDEX IF EXISTS reports_by_report_id;
CREATE UNIQUE INDEX IF NOT EXISTS reports_by_sender_report_id ON reports(aid, report_id) WHERE report_id IS NOT NULL;
)sql",
// Retention finds the lines received before its window by this index:
// instances' ids do not follow the time received.
R"sql(
CREATE INDEX IF NOT EXISTS reports_by_received ON reports(received_at_ms);
)sql"};

}  // namespace

bool migratePostgresql(PGconn* connection, std::string& error) {
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
  const int version = std::atoi(PQgetvalue(current.get(), 0, 0));
  const int known = static_cast<int>(std::size(kMigrations));
  if (version > known) {
    fail();
    error = "the database has schema version " + std::to_string(version) + ", newer than this server knows (" +
            std::to_string(known) + ")";
    return false;
  }
  for (int v = version; v < known; ++v) {
    if (!ok(exec(connection, "BEGIN")) || !ok(exec(connection, kMigrations[v])) ||
        !ok(exec(connection, ("INSERT INTO schema_migrations(version) VALUES(" + std::to_string(v + 1) + ")").c_str())) ||
        !ok(exec(connection, "COMMIT")))
      return fail();
  }
  exec(connection, (std::string("SELECT pg_advisory_unlock(") + kMigrationLock + ")").c_str());
  return true;
}

}  // namespace tidemark
