// The player's page at volume, against a running server: one player of
// 1,000,000 lines among 100,000 players.
//   server_page_volume load DATABASE      fills a database the server made
//                                         (its schema), straight in SQL in
//                                         one transaction, not through HTTP
//   server_page_volume time PORT [REPEAT] times page 1, the last page (by
//                                         its link's key and by its number),
//                                         a pattern filter, a 100-byte
//                                         search, a search every line holds,
//                                         and "Alice" on a one-line page:
//                                         p50, p99
//   server_page_volume search PORT CLIENTS SECONDS
//                                         CLIENTS threads looping the search
// Only the loader links the stores; it is for benchmarks, never a server.
#include <httplib.h>
#include <libpq-fe.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cctype>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "store/report_store.h"
#include "store/sqlite_migrations.h"

namespace {

constexpr const char* kHeavyAid = "feedfacefeedfacefeedfacefeedface";
constexpr const char* kHeavyToken = "c0ffeec0ffeec0ffeec0ffeec0ffee00";
constexpr long kHeavyLines = 1000000;
constexpr long kOtherPlayers = 100000;
// Line n: "\x1F" "Alice\x1F" "line <n> <sentence n % 7>". The search is 100
// bytes of line 500000, which only it holds.
constexpr const char* kSentences[] = {
    "the tide came in over the harbour wall and the boats rose with it, slowly and without a sound",
    "we sailed past the lighthouse at dawn, counting gulls on the rocks and waving to the keeper",
    "bring three ropes, two lanterns and the map with the red marks to the pier before the bell",
    "the market by the quay sells salt fish, bread, lamp oil and news from the far islands too",
    "a storm is coming from the west; tie everything down and meet at the inn behind the church",
    "the old captain says the reef moves a little every year, which nobody believes but him",
    "low water at four: the sandbank shows, and you can walk across to the island and back"};
constexpr long kSearchedLine = 500000;

std::string searchText() {
  std::string text = "line " + std::to_string(kSearchedLine) + " " + kSentences[kSearchedLine % 7];
  return text.substr(0, 100);
}

std::string sentencesSql(const char* n) {
  std::string sql = "CASE " + std::string(n) + " % 7";
  for (int i = 0; i < 7; ++i) sql += " WHEN " + std::to_string(i) + " THEN '" + kSentences[i] + "'";
  return sql + " END";
}

int loadSqlite(const char* path) {
  sqlite3* db = nullptr;
  if (sqlite3_open(path, &db) != SQLITE_OK) return std::fprintf(stderr, "%s\n", sqlite3_errmsg(db)), 1;
  std::string error;
  if (!tidemark::registerSqliteFunctions(db, error)) return std::fprintf(stderr, "%s\n", error.c_str()), 1;
  // A schema with the search index merges its segments on the writer in
  // small steps as reports come: in one load it would be left unmerged, so
  // the load merges as it goes, as FTS5 does by default.
  const bool searchIndex =
      sqlite3_exec(db, "SELECT 1 FROM report_text LIMIT 0", nullptr, nullptr, nullptr) == SQLITE_OK;
  const std::string merging = searchIndex ? "INSERT INTO report_text(report_text, rank) VALUES ('automerge', 4);" : "";
  // A schema whose writer indexes new lines in bulk leaves lines written
  // straight into the table to it, above its mark: indexed here instead, as
  // a server that had taken them as reports would have them.
  const bool bulkIndex =
      sqlite3_exec(db, "SELECT 1 FROM report_text_indexed LIMIT 0", nullptr, nullptr, nullptr) == SQLITE_OK;
  const std::string mergedAfter =
      std::string(bulkIndex ? "INSERT INTO report_text(rowid, text) SELECT id, tidemark_player_search_text(player, log)"
                              " FROM reports WHERE id > (SELECT up_to FROM report_text_indexed);"
                              "UPDATE report_text_indexed SET up_to = (SELECT max(id) FROM reports);"
                            : "") +
      (searchIndex ? "INSERT INTO report_text(report_text, rank) VALUES ('automerge', 0);" : "");
  const std::string sql =
      "PRAGMA synchronous=OFF; BEGIN;" + merging +
      "WITH RECURSIVE g(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM g WHERE n < " + std::to_string(kOtherPlayers) +
      ") INSERT INTO players(aid, token, registered_at_ms) SELECT printf('%032x', n), printf('%032x', n + 1000000000), 0 FROM g;"
      "INSERT INTO reports(player, received_at_ms, session, lang, sid, fid, aid, pid, code, log, line, ltime, present, line_hash)"
      " SELECT id, 0, 's', 'en', '', '', aid, 2, 29, CAST(x'1f' || 'Bob' || x'1f' || 'hello from ' || aid AS BLOB), 0,"
      " 1796000000, 1, tidemark_line_hash(CAST(x'1f' || 'Bob' || x'1f' || 'hello from ' || aid AS BLOB)) FROM players;"
      "INSERT INTO players(aid, token, registered_at_ms) VALUES ('" + std::string(kHeavyAid) + "', '" + kHeavyToken + "', 0);"
      "WITH RECURSIVE g(n) AS (SELECT 0 UNION ALL SELECT n + 1 FROM g WHERE n < " + std::to_string(kHeavyLines - 1) +
      "), l(n, log) AS (SELECT n, CAST(x'1f' || 'Alice' || x'1f' || 'line ' || n || ' ' || " + sentencesSql("n") +
      " AS BLOB) FROM g)"
      " INSERT INTO reports(player, received_at_ms, session, lang, sid, fid, aid, pid, code, log, line, ltime, present, line_hash)"
      " SELECT (SELECT id FROM players WHERE aid = '" + kHeavyAid + "'), 0, 's', 'en', '', '', '" + kHeavyAid +
      "', 1 + n % 6, 29, log, 0, 1796000000 + n, 1, tidemark_line_hash(log) FROM l;" + mergedAfter +
      "COMMIT;";
  char* message = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK)
    return std::fprintf(stderr, "%s\n", message), 1;
  sqlite3_close(db);
  return 0;
}

// Row by row, the schema's trigger and indexes would take most of an hour
// here: they are set aside for the load, the totals counted and the indexes
// made again afterwards, whatever the schema of the build under test.
int loadPostgresql(const char* address) {
  PGconn* db = PQconnectdb(address);
  const auto run = [db](const std::string& sql) {
    PGresult* result = PQexec(db, sql.c_str());
    const bool good = PQresultStatus(result) == PGRES_COMMAND_OK || PQresultStatus(result) == PGRES_TUPLES_OK;
    if (!good) std::fprintf(stderr, "%s\n", PQerrorMessage(db));
    std::string first = good && PQntuples(result) > 0 ? PQgetvalue(result, 0, 0) : "";
    PQclear(result);
    return good ? first : std::string("\x01");
  };
  const std::string indexes = run(
      "SELECT coalesce(string_agg(indexdef, '; '), '') FROM pg_indexes WHERE tablename = 'reports'"
      " AND indexname <> 'reports_pkey' AND indexdef NOT LIKE 'CREATE UNIQUE%'");
  const std::string names = run(
      "SELECT coalesce(string_agg(indexname, ', '), '') FROM pg_indexes WHERE tablename = 'reports'"
      " AND indexname <> 'reports_pkey' AND indexdef NOT LIKE 'CREATE UNIQUE%'");
  if (indexes == "\x01" || names == "\x01") return 1;
  const std::string sql =
      "BEGIN; ALTER TABLE reports DISABLE TRIGGER USER;" + (names.empty() ? "" : "DROP INDEX " + names + ";") +
      "INSERT INTO players(aid, token, registered_at_ms) SELECT lpad(to_hex(n), 32, '0'),"
      " lpad(to_hex(n + 1000000000), 32, '0'), 0 FROM generate_series(1, " + std::to_string(kOtherPlayers) + ") n;"
      "INSERT INTO reports(player, received_at_ms, session, lang, sid, fid, aid, pid, code, log, line, ltime, present)"
      " SELECT id, 0, 's', 'en', '', ''::bytea, convert_to(aid, 'UTF8'), 2, 29,"
      " convert_to(E'\\x1f' || 'Bob' || E'\\x1f' || 'hello from ' || aid, 'UTF8'), 0, 1796000000, true FROM players;"
      "INSERT INTO players(aid, token, registered_at_ms) VALUES ('" + std::string(kHeavyAid) + "', '" + kHeavyToken + "', 0);"
      "INSERT INTO reports(player, received_at_ms, session, lang, sid, fid, aid, pid, code, log, line, ltime, present)"
      " SELECT (SELECT id FROM players WHERE aid = '" + kHeavyAid + "'), 0, 's', 'en', '', ''::bytea, '" + kHeavyAid +
      "'::bytea, 1 + n % 6, 29, convert_to(E'\\x1f' || 'Alice' || E'\\x1f' || 'line ' || n || ' ' || " +
      sentencesSql("n") + ", 'UTF8'), 0, 1796000000 + n, true FROM generate_series(0, " +
      std::to_string(kHeavyLines - 1) + ") n;"
      "INSERT INTO pattern_totals SELECT player, lang, pid, count(*) FROM reports GROUP BY player, lang, pid;" +
      indexes + (indexes.empty() ? "" : ";") + "ALTER TABLE reports ENABLE TRIGGER USER; COMMIT; ANALYZE;";
  const bool good = run(sql) != "\x01";
  PQfinish(db);
  return good ? 0 : 1;
}

std::string encoded(const std::string& text) {
  std::string out;
  for (const unsigned char c : text) {
    if (std::isalnum(c)) out += static_cast<char>(c);
    else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    }
  }
  return out;
}

int timePages(int port, int repeat) {
  httplib::Client client("127.0.0.1", port);
  client.set_read_timeout(std::chrono::seconds(30));
  // The last page's key: the id of the line above it, as the page before links it.
  const std::string base = std::string("/") + kHeavyToken;
  const auto page = client.Get(base + "?page=2");
  if (!page || page->status != 200) return std::fprintf(stderr, "no page 2\n"), 1;
  // The heavy player's ids run on from the other players' lines.
  const long firstId = kOtherPlayers + 1;
  const std::string last = base + "?page=" + std::to_string(kHeavyLines / 50) + "&before=" + std::to_string(firstId + 50);
  // Another player's page: one line, which "Alice" (in every line of the
  // heavy player) is not in.
  char smallToken[33];
  std::snprintf(smallToken, sizeof smallToken, "%032lx", 1000000001L);
  const struct {
    const char* what;
    std::string target;
    const char* expect;
  } reads[] = {{"page 1", base, "line 999999 "},
               {"last page", last, "line 0 "},
               {"last page by number", base + "?page=" + std::to_string(kHeavyLines / 50), "line 0 "},
               {"pattern filter", base + "?pattern=en-3", "line 999998 "},
               {"100-byte search", base + "?q=" + encoded(searchText()), "line 500000 "},
               {"search every line", base + "?q=Alice", "line 999999 "},
               {"one-line page search", std::string("/") + smallToken + "?q=Alice", "No lines match."}};
  int failures = 0;
  for (const auto& read : reads) {
    std::vector<double> ms;
    // A read the server refuses (503 for a page past its deadline) or gets
    // wrong is counted, timed with the rest, and the run goes on: a build
    // that fails one read is still compared on the others.
    int failed = 0, lastStatus = 0;
    for (int i = 0; i < repeat; ++i) {
      const auto start = std::chrono::steady_clock::now();
      const auto answer = client.Get(read.target);
      ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
      if (!answer || answer->status != 200 || answer->body.find(read.expect) == std::string::npos) {
        ++failed;
        lastStatus = answer ? answer->status : -1;
      }
    }
    std::sort(ms.begin(), ms.end());
    std::printf("  %-21s p50 %8.2f ms  p99 %8.2f ms  max %8.2f ms", read.what, ms[ms.size() / 2],
                ms[std::min(ms.size() - 1, ms.size() * 99 / 100)], ms.back());
    if (failed > 0) std::printf("  FAILED %d of %d (status %d)", failed, repeat, lastStatus);
    std::printf("\n");
    failures += failed;
  }
  return failures > 0 ? 1 : 0;
}

int loopSearch(int port, int clients, int seconds) {
  std::atomic<long> done{0}, failed{0};
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  std::vector<std::thread> threads;
  for (int i = 0; i < clients; ++i)
    threads.emplace_back([&] {
      httplib::Client client("127.0.0.1", port);
      client.set_read_timeout(std::chrono::seconds(30));
      const std::string target = std::string("/") + kHeavyToken + "?q=" + encoded(searchText());
      while (std::chrono::steady_clock::now() < until) {
        const auto answer = client.Get(target);
        ++(answer && answer->status == 200 ? done : failed);
      }
    });
  for (auto& thread : threads) thread.join();
  std::printf("  search loop: %ld answered 200, %ld not, in %d s\n", done.load(), failed.load(), seconds);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "load" && argc == 3)
    return tidemark::ReportStore::isPostgresql(argv[2]) ? loadPostgresql(argv[2]) : loadSqlite(argv[2]);
  if (mode == "time" && argc >= 3) return timePages(std::atoi(argv[2]), argc > 3 ? std::atoi(argv[3]) : 100);
  if (mode == "search" && argc == 5) return loopSearch(std::atoi(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]));
  std::fprintf(stderr, "usage: %s load DATABASE | time PORT [REPEAT] | search PORT CLIENTS SECONDS\n", argv[0]);
  return 2;
}
