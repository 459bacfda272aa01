#include "store/report_store.h"

#include <algorithm>
#include <future>
#include <map>

#include "store/postgresql_report_store.h"
#include "store/sqlite_report_store.h"

namespace tidemark {

bool ReportStore::isPostgresql(std::string_view database) {
  return database.rfind("postgresql://", 0) == 0 || database.rfind("postgres://", 0) == 0;
}

std::unique_ptr<ReportStore> ReportStore::open(const std::string& database, std::string& error) {
  if (isPostgresql(database)) return PostgresqlReportStore::open(database, error);
  return SqliteReportStore::open(database, error);
}

std::optional<StoredReport> ReportStore::store(ReportFields fields) {
  std::promise<std::optional<StoredReport>> stored;
  auto answer = stored.get_future();
  storeAsync(std::move(fields), [&stored](std::optional<StoredReport> result) { stored.set_value(std::move(result)); });
  return answer.get();
}

OffsetRead offsetRead(int64_t total, int64_t offset, int64_t limit) {
  OffsetRead read{offset, limit, false, false};
  if (offset <= kMaxSkippedLines) return read;
  // The last pages of a long list count up from its oldest line.
  const int64_t fromOldest = std::max<int64_t>(0, total - offset - limit);
  read.take = std::max<int64_t>(0, total - offset - fromOldest);
  read.skip = fromOldest;
  read.upwards = true;
  read.beyondReach = read.take > 0 && fromOldest > kMaxSkippedLines;
  return read;
}

EraseOutcome ReportStore::erasePlayer(std::string_view token) {
  EraseOutcome outcome = forgetPlayer(token);
  if (!outcome.found) return outcome;
  outcome.lines = removeErasedPlayers();
  outcome.failed = outcome.lines < 0;
  return outcome;
}

std::optional<PlayerReports> ReportStore::reportsOf(std::string_view token, int64_t offset, int64_t limit,
                                                    const ReportFilter& filter, const PageKey& key) {
  // A negative limit would mean "no limit" to SQLite; the search text is
  // matched against every listed line, so its length is bounded here for
  // every caller.
  if (offset < 0 || limit < 0 || filter.text.size() > kMaxSearchBytes) return std::nullopt;
  return listReports(token, key.olderThan || key.newerThan ? 0 : offset, limit, filter, key);
}

std::string ReportStore::lastWriteFailure() const {
  std::lock_guard lock(failureMutex_);
  return lastWriteFailure_;
}

void ReportStore::noteWriteFailure(std::string reason) {
  std::lock_guard lock(failureMutex_);
  lastWriteFailure_ = std::move(reason);
}

std::vector<DayTotal> withOthers(std::vector<DayTotal> top, const std::vector<std::pair<int64_t, int64_t>>& days) {
  std::map<int64_t, int64_t> rest(days.begin(), days.end());
  for (const auto& row : top) rest[row.day] -= row.count;
  for (const auto& [day, count] : rest)
    if (count > 0) top.push_back({day, {}, 0, count, true});
  std::stable_sort(top.begin(), top.end(), [](const DayTotal& a, const DayTotal& b) {
    return a.day != b.day ? a.day < b.day : a.others < b.others;
  });
  return top;
}

}  // namespace tidemark
