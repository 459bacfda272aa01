#include <algorithm>
#include <string>

#include "base/utf8_search_text.h"
#include "store/postgresql_report_store.h"
#include "store/postgresql_statements.h"

// The PostgreSQL store's reading side: a small pool of connections, read-only
// transactions, the page's lines found by index.
namespace tidemark {

using namespace pg;

namespace {

// "%…%" finding the search's bytes in the index's 'escape' form of a line.
std::string escapedLikePattern(std::string_view bytes) {
  std::string pattern = "%";
  for (const unsigned char byte : bytes) {
    if (byte == 0 || byte >= 0x80) {
      const char octal[] = {'\\', '\\', static_cast<char>('0' + (byte >> 6)), static_cast<char>('0' + ((byte >> 3) & 7)),
                            static_cast<char>('0' + (byte & 7))};
      pattern.append(octal, sizeof octal);  // the escape's backslash, itself escaped for LIKE
    } else if (byte == '\\') {
      pattern += "\\\\\\\\";  // doubled by 'escape', each escaped for LIKE
    } else {
      if (byte == '%' || byte == '_') pattern += '\\';
      pattern += static_cast<char>(byte);
    }
  }
  return pattern + "%";
}

}  // namespace

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

TokenLookup PostgresqlReportStore::tokenOf(std::string_view playerId) {
  const Reader reader = borrowReader();
  TokenLookup lookup;
  lookup.failed = true;
  if (!usable(reader.get())) return lookup;
  const PgResult result = retriedOnce(reader.get(), [&] {
    return query(reader.get(), "SELECT token FROM players WHERE aid = $1", Params().text(playerId));
  });
  if (!ok(result)) return lookup;
  lookup.failed = false;
  if (PQntuples(result.get()) > 0) lookup.token = text(result, 0, 0);
  return lookup;
}

std::optional<bool> PostgresqlReportStore::playerExists(std::string_view playerId) {
  const Reader reader = borrowReader();
  if (!usable(reader.get())) return std::nullopt;
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
  if (!usable(connection) ||
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
    // The trigram index (its expression written as it was made) gives the
    // candidates; a search it cannot narrow reads the newest lines only.
    if (indexableSearch(filter.text)) {
      where += " AND encode(substring(log from 1 for " + std::to_string(kListedLineBytes) + "), 'escape') LIKE " +
               next();
      params.text(escapedLikePattern(filter.text));
    } else {
      where += " AND id >= (SELECT coalesce(min(id), 0) FROM (SELECT id FROM reports WHERE player = $1"
               " ORDER BY id DESC LIMIT " + next() + ") newest)";
      params.number(kMaxScannedLines);
    }
  }

  // Without a search the kept totals answer (the same terms, on their
  // table); a search counts its newest kMaxCountedMatches matches at most.
  const std::string fromReports = " FROM reports";
  const std::string countSql =
      filter.text.empty()
          ? "SELECT coalesce(sum(count), 0) FROM pattern_totals" + where.substr(fromReports.size())
          : "SELECT count(*) FROM (SELECT 1" + where + " ORDER BY id DESC LIMIT " +
                std::to_string(kMaxCountedMatches) + ") counted";
  const PgResult total = query(connection, countSql.c_str(), params);
  if (!ok(total)) return std::nullopt;
  result.total = number(total, 0, 0);
  result.totalIsLowerBound = !filter.text.empty() && result.total >= kMaxCountedMatches;

  // A page by offset is read from the nearer end of the list; a search's
  // pages by offset go as far as its count.
  OffsetRead read{offset, limit, key.newerThan.has_value(), false};
  if (!key.olderThan && !key.newerThan) {
    if (filter.text.empty()) {
      read = offsetRead(result.total, offset, limit);
    } else if (offset >= result.total) {
      read.take = 0;
      read.beyondReach = result.totalIsLowerBound && offset > 0;
    }
    result.beyondReach = read.beyondReach;
    if (read.beyondReach || read.take == 0) return result;
  }

  std::string listing = "SELECT id, received_at_ms, lang, pid, code, ltime, present, substring(log from 1 for " +
                        next() + ")";
  params.number(static_cast<int64_t>(kListedLineBytes));
  listing += where;
  // A search lists the matches it counted, the newest kMaxCountedMatches by
  // arrival; a page beside a keyed one picks from as many on each side of
  // the key's line, for a line that arrived after another may be older in
  // the game. Either way a search reads a bounded number of rows.
  if (!filter.text.empty()) {
    const std::string bound = std::to_string(kMaxCountedMatches);
    const std::optional<int64_t> around = key.olderThan ? key.olderThan : key.newerThan;
    if (around) {
      const std::string keyId = next();
      params.number(*around);
      listing += " AND id IN (SELECT id FROM (SELECT id" + where + " AND id < " + keyId + " ORDER BY id DESC LIMIT " +
                 bound + ") below UNION ALL SELECT id FROM (SELECT id" + where + " AND id > " + keyId +
                 " ORDER BY id ASC LIMIT " + bound + ") above)";
    } else {
      listing += " AND id IN (SELECT id" + where + " ORDER BY id DESC LIMIT " + bound + ")";
    }
  }
  // Lines are listed by their time in the game, the newest first, ties by
  // id: a key is the place of its line in that order (a line gone since
  // places nothing).
  for (const auto& [bound, comparison] : {std::pair{key.olderThan, " < "}, {key.newerThan, " > "}}) {
    if (!bound) continue;
    listing += std::string(" AND (ltime, id)") + comparison + "(SELECT ltime, id FROM reports WHERE id = " + next() + ")";
    params.number(*bound);
  }
  // The lines just newer, or a page nearer the oldest end, are read counting
  // upwards and then turned round.
  listing += std::string(read.upwards ? " ORDER BY ltime ASC, id ASC" : " ORDER BY ltime DESC, id DESC") +
             " LIMIT " + next();
  params.number(read.take);
  listing += " OFFSET " + next();
  params.number(read.skip);
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
  if (read.upwards) std::reverse(result.reports.begin(), result.reports.end());
  return result;
}

PageLookup PostgresqlReportStore::lookUpPage(std::string_view token) {
  const Reader reader = borrowReader();
  PageLookup lookup;
  const PgResult result = usable(reader.get()) ? retriedOnce(reader.get(), [&] {
    return query(reader.get(), "SELECT 1 FROM players WHERE token = $1", Params().text(token));
  }) : nullptr;
  if (!ok(result)) {
    lookup.problem = lastError(reader.get());
    return lookup;
  }
  lookup.found = PQntuples(result.get()) > 0;
  return lookup;
}

int64_t PostgresqlReportStore::count(const char* sql) {
  const Reader reader = borrowReader();
  if (!usable(reader.get())) return -1;
  const PgResult result = retriedOnce(reader.get(), [&] { return exec(reader.get(), sql); });
  if (!ok(result) || PQntuples(result.get()) != 1) return -1;
  return number(result, 0, 0);
}

int64_t PostgresqlReportStore::reportCount() { return count("SELECT count(*) FROM reports"); }
int64_t PostgresqlReportStore::playerCount() { return count("SELECT count(*) FROM players"); }
bool PostgresqlReportStore::healthy() { return count("SELECT 1") == 1; }

}  // namespace tidemark
