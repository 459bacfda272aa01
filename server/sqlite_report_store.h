#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "report_store.h"
#include "sqlite_handles.h"

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
  std::optional<PlayerReports> reportsOf(std::string_view token, int64_t offset, int64_t limit) override;
  int64_t reportCount() override;
  int64_t playerCount() override;
  bool healthy() override;
  size_t queueDepth() const override;
  std::string describe() const override { return "sqlite:" + path_; }

 private:
  struct Pending {
    ReportFields fields;
    std::string sessionId;
    StoreDone done;
  };

  SqliteReportStore() = default;
  void writeLoop();
  void writeBatch(std::vector<Pending>& batch);
  std::optional<StoredReport> writeOne(Pending& pending);
  int64_t count(const char* sql);

  std::string path_;
  SqliteConnection writer_;
  SqliteStatement findPlayer_, insertPlayer_, insertReport_, findSameLine_;

  std::mutex readMutex_;
  SqliteConnection reader_;

  mutable std::mutex queueMutex_;
  std::condition_variable queueChanged_;
  std::deque<Pending> queue_;
  bool stopping_ = false;
  std::thread writerThread_;
};

// Copies a live SQLite database, WAL included, with SQLite's online backup:
// a consistent snapshot even while a server writes to it.
bool backupSqliteDatabase(const std::string& from, const std::string& to, std::string& error);

}  // namespace tidemark
