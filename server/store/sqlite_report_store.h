#pragma once

#include <mutex>
#include <thread>

#include "store/pending_reports.h"
#include "store/report_store.h"
#include "store/sqlite_handles.h"

namespace tidemark {

// Reports and players in one SQLite file (WAL, synchronous FULL).
//
// One writer thread commits whatever reports are waiting in one transaction,
// which keeps one sync per batch instead of one per report under load.
class SqliteReportStore final : public ReportStore {
 public:
  static std::unique_ptr<SqliteReportStore> open(const std::string& path, std::string& error);
  ~SqliteReportStore() override;

  void storeAsync(ReportFields fields, StoreDone done) override;
  std::optional<std::string> tokenOf(std::string_view playerId) override;
  std::optional<bool> playerExists(std::string_view playerId) override;
  int64_t reportCount() override;
  int64_t playerCount() override;
  bool healthy() override;
  size_t queueDepth() const override;
  std::string describe() const override { return "sqlite:" + path_; }

  std::optional<std::vector<DayTotal>> dayTotalsOf(std::string_view token, int64_t fromDay) override;
  std::optional<std::vector<ExportedReport>> exportBatch(std::string_view token, int64_t afterId,
                                                         int64_t limit) override;
  EraseOutcome forgetPlayer(std::string_view token) override;
  int64_t removeErasedPlayers() override;
  int64_t removeLinesReceivedBefore(int64_t beforeMs) override;
  std::optional<std::string> pageSecret() override;

 protected:
  std::optional<PlayerReports> listReports(std::string_view token, int64_t offset, int64_t limit,
                                           const ReportFilter& filter, const PageKey& key) override;

 private:
  SqliteReportStore() = default;
  void writeLoop();
  void writeBatch(std::vector<PendingReport>& batch);
  std::optional<StoredReport> writeOne(PendingReport& pending);
  int64_t count(const char* sql);

  std::string path_;
  SqliteConnection writer_;
  SqliteStatement findPlayer_, insertPlayer_, insertReport_, findSameLine_, findReportId_;

  std::mutex readMutex_;
  SqliteConnection reader_;

  // Removals (erasure, retention), one at a time.
  std::mutex maintainMutex_;
  // Held by the writer thread and by a removal for their transactions.
  std::mutex writeGate_;
  SqliteConnection maintainer_;
  int64_t removeErasedPlayersLocked();

  PendingReports pending_;
  std::thread writerThread_;
};

// Copies a live SQLite database, WAL included, as one consistent snapshot
// even while a server writes to it, and checks the copy's integrity before
// giving it the name `to` (never replacing a file of that name).
bool backupSqliteDatabase(const std::string& from, const std::string& to, std::string& error);

}  // namespace tidemark
