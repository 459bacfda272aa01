#include "store/sqlite_migrations.h"

#include <algorithm>
#include <iterator>
#include <string>

#include "base/utf8_search_text.h"
#include "store/report_store.h"
#include "store/sqlite_search_index.h"
#include "store/sqlite_statements.h"

namespace tidemark {

using sqlite::exec;

namespace {

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
// The page's search reads this trigram index instead of every line of the
// player: it holds the listed part of each line as valid UTF-8 (see
// sqliteSearchText), kept by triggers in the writing transaction. It
// narrows to candidate rows only; the bytes of those are compared as before.
// Every commit adds a segment to the index. FTS5 would merge them as they
// pile up, in the commit that finds them too many, and every report behind
// that commit would wait for it (p99 from about 20 to 250 ms, spikes of
// seconds): automatic merging is off and the writer merges in small steps
// while no report waits; past 256 segments on one level FTS5 merges anyway.
R"sql(
CREATE VIRTUAL TABLE report_text USING fts5(text, content='', tokenize='trigram case_sensitive 1');
INSERT INTO report_text(report_text, rank) VALUES ('automerge', 0);
INSERT INTO report_text(report_text, rank) VALUES ('crisismerge', 256);
INSERT INTO report_text(rowid, text) SELECT id, tidemark_search_text(log) FROM reports;
CREATE TRIGGER reports_index_text AFTER INSERT ON reports BEGIN
  INSERT INTO report_text(rowid, text) VALUES (NEW.id, tidemark_search_text(NEW.log));
END;
CREATE TRIGGER reports_unindex_text AFTER DELETE ON reports BEGIN
  INSERT INTO report_text(report_text, rowid, text) VALUES ('delete', OLD.id, tidemark_search_text(OLD.log));
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
)sql",
// Report ids are the sender's own, unique per "aid" as sent (a
// registration's is empty or unknown): a report carrying another player's
// id is a new report, never that player's answer. Every id stored so far
// was unique on its own, so it is unique per sender too.
R"sql(
DROP INDEX IF EXISTS reports_by_report_id;
CREATE UNIQUE INDEX IF NOT EXISTS reports_by_sender_report_id ON reports(aid, report_id) WHERE report_id IS NOT NULL;
)sql",
// Retention finds the lines received before its window by this index: ids
// need not follow the time received.
R"sql(
CREATE INDEX IF NOT EXISTS reports_by_received ON reports(received_at_ms);
)sql",
// The search index again, its terms each player's own (see
// sqlite_search_index.h): a search reads the searching player's matches
// only, where the trigrams shared by every player made a search on a
// one-line page walk the largest player's lines. The migration indexes
// every stored line again.
R"sql(
DROP TRIGGER IF EXISTS reports_index_text;
DROP TRIGGER IF EXISTS reports_unindex_text;
DROP TABLE IF EXISTS report_text;
CREATE VIRTUAL TABLE report_text USING fts5(text, content='', tokenize='tidemark_player_trigram');
INSERT INTO report_text(report_text, rank) VALUES ('automerge', 0);
INSERT INTO report_text(report_text, rank) VALUES ('crisismerge', 256);
INSERT INTO report_text(rowid, text) SELECT id, tidemark_player_search_text(player, log) FROM reports;
CREATE TRIGGER reports_index_text AFTER INSERT ON reports BEGIN
  INSERT INTO report_text(rowid, text) VALUES (NEW.id, tidemark_player_search_text(NEW.player, NEW.log));
END;
CREATE TRIGGER reports_unindex_text AFTER DELETE ON reports BEGIN
  INSERT INTO report_text(report_text, rowid, text)
    VALUES ('delete', OLD.id, tidemark_player_search_text(OLD.player, OLD.log));
END;
)sql",
// The search index takes new lines in bulk on the writer (see
// SqliteReportStore::indexLines), not one by one: every commit wrote a
// segment of its own, which cost more than the rest of a report. Lines up
// to report_text_indexed.up_to are in the index, those above not yet (a
// search compares their bytes). A contentless FTS5 table cannot tell a
// rowid it never held: the 'delete' of one corrupts it, so only lines at or
// below the mark are taken out. An id at or below the mark can come again
// once every line above it is gone (ids are max + 1): such a line is
// indexed as it is inserted, so that every line up to the mark is indexed.
// The migration before indexed every line, this one's mark is the last.
R"sql(
CREATE TABLE IF NOT EXISTS report_text_indexed (up_to INTEGER NOT NULL);
DELETE FROM report_text_indexed;
INSERT INTO report_text_indexed SELECT coalesce(max(id), 0) FROM reports;
DROP TRIGGER IF EXISTS reports_index_text;
DROP TRIGGER IF EXISTS reports_unindex_text;
CREATE TRIGGER reports_index_text AFTER INSERT ON reports
  WHEN NEW.id <= (SELECT up_to FROM report_text_indexed) BEGIN
  INSERT INTO report_text(rowid, text) VALUES (NEW.id, tidemark_player_search_text(NEW.player, NEW.log));
END;
CREATE TRIGGER reports_unindex_text AFTER DELETE ON reports
  WHEN OLD.id <= (SELECT up_to FROM report_text_indexed) BEGIN
  INSERT INTO report_text(report_text, rowid, text)
    VALUES ('delete', OLD.id, tidemark_player_search_text(OLD.player, OLD.log));
END;
)sql"};

}  // namespace

// FNV-1a, 64 bits: stable across builds and machines, as a stored value must be.
int64_t sqliteLineHash(std::string_view line) {
  uint64_t hash = 14695981039346656037ull;
  for (const unsigned char byte : line) {
    hash ^= byte;
    hash *= 1099511628211ull;
  }
  return static_cast<int64_t>(hash);
}

namespace {

void lineHashFunction(sqlite3_context* context, int, sqlite3_value** values) {
  const void* bytes = sqlite3_value_blob(values[0]);
  const int size = sqlite3_value_bytes(values[0]);
  sqlite3_result_int64(context, sqliteLineHash(std::string_view(static_cast<const char*>(bytes), bytes ? size : 0)));
}

void searchTextFunction(sqlite3_context* context, int, sqlite3_value** values) {
  const void* bytes = sqlite3_value_blob(values[0]);
  const size_t size = bytes ? static_cast<size_t>(sqlite3_value_bytes(values[0])) : 0;
  const std::string text =
      searchableText(std::string_view(static_cast<const char*>(bytes), std::min(size, kListedLineBytes)));
  sqlite3_result_text(context, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

void playerSearchTextFunction(sqlite3_context* context, int, sqlite3_value** values) {
  const void* bytes = sqlite3_value_blob(values[1]);
  const size_t size = bytes ? static_cast<size_t>(sqlite3_value_bytes(values[1])) : 0;
  const std::string text =
      playerSearchText(sqlite3_value_int64(values[0]), std::string_view(static_cast<const char*>(bytes), size));
  sqlite3_result_text(context, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

}  // namespace

bool registerSqliteFunctions(sqlite3* db, std::string& error) {
  if (sqlite3_create_function(db, "tidemark_line_hash", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
                              lineHashFunction, nullptr, nullptr) != SQLITE_OK ||
      sqlite3_create_function(db, "tidemark_search_text", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
                              searchTextFunction, nullptr, nullptr) != SQLITE_OK ||
      sqlite3_create_function(db, "tidemark_player_search_text", 2, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
                              playerSearchTextFunction, nullptr, nullptr) != SQLITE_OK) {
    error = sqlite3_errmsg(db);
    return false;
  }
  return registerPlayerTrigramTokenizer(db, error);
}

bool migrateSqlite(sqlite3* db, std::string& error) {
  if (!registerSqliteFunctions(db, error)) return false;
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

}  // namespace tidemark
