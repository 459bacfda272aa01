#include <algorithm>
#include <functional>
#include <utility>
#include <vector>
#include <string>

#include "base/utf8_search_text.h"
#include "store/sqlite_search_index.h"
#include "store/sqlite_report_store.h"
#include "store/sqlite_statements.h"

// The SQLite store's reading side: WAL read connections in a small pool,
// each statement cut at the store's wait bound.
namespace tidemark {

using namespace sqlite;

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
  int rc;
  while ((rc = sqlite3_step(totals.get())) == SQLITE_ROW)
    result.totals.push_back({columnText(totals.get(), 0), sqlite3_column_int(totals.get(), 1),
                             sqlite3_column_int64(totals.get(), 2)});
  // A read cut at its deadline is a failed read, not a shorter page.
  if (rc != SQLITE_DONE) return std::nullopt;

  // Only the terms in use are written, so that a pattern filter can use
  // reports_by_pattern. Their values are bound, never spliced; instr() on
  // blobs compares bytes, so no character of the search text is special.
  // A search the index can answer starts from the index's candidates, the
  // searching player's only, and compares their bytes; any other reads the
  // player's newest kMaxScannedLines lines only.
  const bool indexed = !filter.text.empty() && indexableSearch(filter.text);
  std::string terms;
  if (filter.patternId) terms += " AND r.lang = :lang AND r.pid = :pid";
  if (!filter.text.empty()) terms += " AND instr(substr(r.log, 1, :listed), CAST(:text AS BLOB)) > 0";
  std::string where = " FROM reports r WHERE r.player = :player" + terms;
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
    bindText(statement, index(":phrase"), playerSearchPhrase(playerRow, filter.text));
    sqlite3_bind_int64(statement, index(":examined"), kMaxCountedMatches);
  };

  // Lines are listed by their time in the game, the newest first, ties by
  // id: a key is the place of its line in that order.
  using Place = std::pair<int64_t, int64_t>;  // (time, id)
  std::optional<Place> keyPlace;
  if (key.olderThan || key.newerThan) {
    const int64_t keyId = key.olderThan ? *key.olderThan : *key.newerThan;
    auto place = prepare(db, "SELECT ltime FROM reports WHERE id = ?1", error);
    if (!place) return std::nullopt;
    sqlite3_bind_int64(place.get(), 1, keyId);
    rc = sqlite3_step(place.get());
    if (rc == SQLITE_ROW) keyPlace = Place{sqlite3_column_int64(place.get(), 0), keyId};
    else if (rc != SQLITE_DONE) return std::nullopt;
  }

  std::vector<int64_t> chosen;
  if (indexed) {
    // At most kMaxCountedMatches of the index's candidates, the player's
    // only, by their arrival from one end, each kept with its place if its
    // bytes (and pattern) match: the count, and the page picked by its
    // offset or its key, from at most that many rows. The lines stored
    // since the index's last turn (ids above its mark, a quarter second's)
    // are not in it yet: the player's are candidates when their bytes hold
    // the text, as the index would have them.
    const auto candidates = [&](const char* keySide, bool upwards, std::vector<Place>& matches) -> std::optional<bool> {
      const std::string direction = upwards ? " ASC" : " DESC";
      const std::string bound = keySide ? std::string(" AND rowid ") + keySide + " :key" : "";
      auto query = prepare(db,
          ("SELECT c.id, r.id IS NOT NULL, r.ltime FROM ("
           "SELECT id FROM (SELECT rowid AS id FROM report_text WHERE report_text MATCH :phrase" + bound +
           " ORDER BY rowid" + direction + " LIMIT :examined)"
           " UNION ALL SELECT id FROM (SELECT id FROM reports WHERE player = :player"
           " AND id > (SELECT up_to FROM report_text_indexed)" + bound +
           " AND instr(substr(log, 1, :listed), CAST(:text AS BLOB)) > 0 ORDER BY id" + direction +
           " LIMIT :examined) ORDER BY id" + direction + " LIMIT :examined"
           ") c LEFT JOIN reports r ON r.id = c.id AND r.player = :player" + terms +
           " ORDER BY c.id" + direction).c_str(),
          error);
      if (!query) return std::nullopt;
      bindFilter(query.get());
      if (keyPlace) sqlite3_bind_int64(query.get(), sqlite3_bind_parameter_index(query.get(), ":key"), keyPlace->second);
      int64_t examined = 0;
      while ((rc = sqlite3_step(query.get())) == SQLITE_ROW) {
        ++examined;
        if (sqlite3_column_int(query.get(), 1))
          matches.push_back(Place{sqlite3_column_int64(query.get(), 2), sqlite3_column_int64(query.get(), 0)});
      }
      if (rc != SQLITE_DONE) return std::nullopt;
      return examined >= kMaxCountedMatches;  // there may be more
    };
    // FTS5 reads a phrase's terms downwards at several times the cost of
    // upwards, which a long search of a large page pays in full when its
    // matches are few: they are looked for upwards first, and only when
    // there are more than the bound are the newest read downwards.
    std::vector<Place> newest;
    auto more = candidates(nullptr, true, newest);
    if (more && *more) {
      newest.clear();
      more = candidates(nullptr, false, newest);
    }
    if (!more) return std::nullopt;
    result.total = static_cast<int64_t>(newest.size());
    result.totalIsLowerBound = *more;
    // The page beside a keyed one is picked from the candidates on both
    // sides of the key's line (as many each way as a count reads), for a
    // line that arrived after another may be older in the game.
    std::vector<Place> pool;
    if (keyPlace) {
      if (!candidates("<", false, pool) || !candidates(">", true, pool))
        return std::nullopt;
    } else {
      pool = std::move(newest);
    }
    std::vector<Place> listable;
    for (const Place& found : pool)
      if (key.newerThan ? keyPlace && found > *keyPlace : !keyPlace || found < *keyPlace) listable.push_back(found);
    std::sort(listable.begin(), listable.end(), std::greater<Place>());
    if (key.newerThan) {
      // The lines just newer: the oldest of those newer than the key.
      const size_t from = listable.size() > static_cast<size_t>(limit) ? listable.size() - limit : 0;
      for (size_t i = from; i < listable.size(); ++i) chosen.push_back(listable[i].second);
    } else if (offset >= static_cast<int64_t>(listable.size())) {
      result.beyondReach = !key.olderThan && *more && offset > 0;
    } else {
      const size_t to = std::min(listable.size(), static_cast<size_t>(offset + limit));
      for (size_t i = offset; i < to; ++i) chosen.push_back(listable[i].second);
    }
    if (chosen.empty()) return result;
  }

  // Without a search the kept totals answer; a short search counts its
  // matches among the lines it scans.
  if (!indexed) {
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
  }

  // A page by offset is read from the nearer end of the list.
  OffsetRead read{offset, limit, key.newerThan.has_value(), false};
  if (!indexed && !key.olderThan && !key.newerThan) {
    read = offsetRead(result.total, offset, limit);
    result.beyondReach = read.beyondReach;
    if (read.beyondReach || read.take == 0) return result;
  }
  const bool upwards = read.upwards;

  // The ids picked above are the database's own integers, safe to write out.
  std::string picked;
  for (const int64_t each : chosen) picked += (picked.empty() ? "" : ",") + std::to_string(each);
  const std::string listed = "SELECT r.id, r.received_at_ms, r.lang, r.pid, r.code, r.ltime, r.present,"
                             " substr(r.log, 1, :listed)";
  // The lines just newer, or a page nearer the oldest end, are read counting
  // upwards and then turned round.
  const std::string order = upwards ? " ORDER BY r.ltime ASC, r.id ASC" : " ORDER BY r.ltime DESC, r.id DESC";
  auto rows = prepare(db,
      (indexed ? listed + " FROM reports r WHERE r.id IN (" + picked + ") ORDER BY r.ltime DESC, r.id DESC"
               : listed + where + (key.olderThan ? " AND (r.ltime, r.id) < (:keytime, :older)" : "") +
                     (key.newerThan ? " AND (r.ltime, r.id) > (:keytime, :newer)" : "") + order +
                     " LIMIT :limit OFFSET :offset")
          .c_str(),
      error);
  if (!rows) return std::nullopt;
  bindFilter(rows.get());
  if (key.olderThan) sqlite3_bind_int64(rows.get(), sqlite3_bind_parameter_index(rows.get(), ":older"), *key.olderThan);
  if (key.newerThan) sqlite3_bind_int64(rows.get(), sqlite3_bind_parameter_index(rows.get(), ":newer"), *key.newerThan);
  // A key whose line is gone (erased, or past the kept days) places nothing.
  if (keyPlace)
    sqlite3_bind_int64(rows.get(), sqlite3_bind_parameter_index(rows.get(), ":keytime"), keyPlace->first);
  sqlite3_bind_int64(rows.get(), sqlite3_bind_parameter_index(rows.get(), ":limit"), read.take);
  sqlite3_bind_int64(rows.get(), sqlite3_bind_parameter_index(rows.get(), ":offset"), read.skip);
  while ((rc = sqlite3_step(rows.get())) == SQLITE_ROW) {
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
  if (rc != SQLITE_DONE) return std::nullopt;
  if (upwards && !indexed) std::reverse(result.reports.begin(), result.reports.end());
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

PageLookup SqliteReportStore::lookUpPage(std::string_view token) {
  const Reader reader = borrowReader();
  PageLookup lookup;
  auto query = prepare(reader.get(), "SELECT 1 FROM players WHERE token = ?1", lookup.problem);
  if (!query) return lookup;
  bindText(query.get(), 1, token);
  const int rc = sqlite3_step(query.get());
  if (rc == SQLITE_ROW) lookup.found = true;
  else if (rc != SQLITE_DONE) lookup.problem = sqlite3_errmsg(reader.get());
  return lookup;
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

}  // namespace tidemark
