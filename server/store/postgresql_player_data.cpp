#include <algorithm>
#include <chrono>
#include <tuple>
#include <mutex>
#include <thread>
#include <vector>

#include "store/postgresql_report_store.h"
#include "store/postgresql_statements.h"

// The PostgreSQL store's side of the player's data: the chart's day totals,
// the download, erasure and retention.
namespace tidemark {

using namespace pg;

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

std::optional<std::vector<DayTotal>> PostgresqlReportStore::dayTotalsOf(std::string_view token, int64_t fromDay,
                                                                       int64_t toDay) {
  const Reader reader = borrowReader();
  PGconn* connection = reader.get();
  if (!usable(connection)) return std::nullopt;
  // The top patterns' rows, and each day's total of all (that row with no
  // language): one pass over the days' rows each, and what comes back is
  // bounded by the days.
  const PgResult rows = retriedOnce(connection, [&] {
    return query(connection,
                 "WITH p AS (SELECT id FROM players WHERE token = $1),"
                 " top AS (SELECT lang, pid FROM pattern_totals WHERE player = (SELECT id FROM p)"
                 "  ORDER BY count DESC, lang COLLATE \"C\", pid LIMIT $4)"
                 " SELECT day, lang, pid, count FROM day_totals WHERE player = (SELECT id FROM p)"
                 "  AND day BETWEEN $2 AND $3 AND (lang, pid) IN (SELECT lang, pid FROM top)"
                 " UNION ALL SELECT day, NULL, 0, sum(count) FROM day_totals WHERE player = (SELECT id FROM p)"
                 "  AND day BETWEEN $2 AND $3 GROUP BY day",
                 Params().text(token).number(fromDay).number(toDay).number(kChartPatterns));
  });
  if (!ok(rows)) return std::nullopt;
  std::vector<DayTotal> top;
  std::vector<std::pair<int64_t, int64_t>> allOfDay;
  for (int i = 0; i < PQntuples(rows.get()); ++i) {
    if (PQgetisnull(rows.get(), i, 1)) allOfDay.emplace_back(number(rows, i, 0), number(rows, i, 3));
    else top.push_back({number(rows, i, 0), text(rows, i, 1), static_cast<int32_t>(number(rows, i, 2)),
                        number(rows, i, 3)});
  }
  std::sort(top.begin(), top.end(), [](const DayTotal& a, const DayTotal& b) {
    return std::tie(a.day, a.language, a.patternId) < std::tie(b.day, b.language, b.patternId);
  });
  auto days = withOthers(std::move(top), allOfDay);
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
  if (!usable(connection)) return std::nullopt;
  std::optional<int64_t> player;
  retriedOnce(connection, [&]() -> PgResult {
    player = playerRowOf(connection, token);
    return player ? exec(connection, "SELECT 1") : nullptr;
  });
  if (!player || *player == 0) return std::nullopt;
  // The lines' sizes first (octet_length reads a stored value's header,
  // not the value): only the lines within the byte bound are fetched.
  const PgResult rows = query(connection,
      "WITH sized AS (SELECT id, sum(octet_length(log)) OVER (ORDER BY id) - octet_length(log) AS before"
      " FROM reports WHERE player = $1 AND id > $2 ORDER BY id LIMIT $3)"
      " SELECT r.id, r.received_at_ms, r.lang, r.pid, r.code, r.line, r.ltime, r.present, r.log"
      " FROM sized JOIN reports r ON r.id = sized.id WHERE sized.before < $4 ORDER BY r.id",
      Params().number(*player).number(afterId).number(limit).number(kExportBatchBytes));
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
  const PgResult marked = usable(connection)
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
  if (!usable(connection)) return -1;
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
  if (!usable(connection) || !ok(exec(connection, "BEGIN"))) return -1;
  // Each removed line counts its player's totals down, locking them: the
  // lines go in the order the writers sort their batches in (player id,
  // language, pattern), so that the two never wait for each other in a cycle.
  const PgResult old = query(connection,
      "SELECT r.id, p.aid, r.lang, r.pid FROM reports r JOIN players p ON p.id = r.player"
      " WHERE r.id IN (SELECT id FROM reports WHERE received_at_ms < $1 ORDER BY received_at_ms LIMIT $2)",
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
  if (!usable(reader.get())) return std::nullopt;
  const PgResult result = retriedOnce(reader.get(), [&] {
    return exec(reader.get(), "SELECT value FROM server_secrets WHERE name = 'page'");
  });
  if (!ok(result) || PQntuples(result.get()) != 1) return std::nullopt;
  return text(result, 0, 0);
}

}  // namespace tidemark
