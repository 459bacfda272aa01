#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

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
  // Page threads, the token lookup and /healthz each read on one of these.
  static constexpr int kReaders = 4;

  static std::unique_ptr<SqliteReportStore> open(const std::string& path, std::string& error);
  ~SqliteReportStore() override;

  void storeAsync(ReportFields fields, StoreDone done) override;
  TokenLookup tokenOf(std::string_view playerId) override;
  std::optional<bool> playerExists(std::string_view playerId) override;
  PageLookup lookUpPage(std::string_view token) override;
  int64_t reportCount() override;
  int64_t playerCount() override;
  bool healthy() override;
  size_t queueDepth() const override;
  void interruptReads() override { readsInterrupted_ = true; }
  void interruptWrites() override { writesInterrupted_ = true; }
  std::string describe() const override { return "sqlite:" + path_; }

  std::optional<std::vector<DayTotal>> dayTotalsOf(std::string_view token, int64_t fromDay,
                                                   int64_t toDay) override;
  using ReportStore::dayTotalsOf;
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

  // The search index's turns on the writer thread (sqlite_index_turns.cpp):
  // the lines stored since its mark are indexed in bulk, in a batch's
  // transaction while reports come and in transactions of their own while
  // none do, and its segments merged a step at a time.
  bool prepareIndexTurns(std::string& error);
  bool indexTurnDue(std::chrono::steady_clock::time_point now) const;
  // In the open transaction: the lines indexed, -1 on a failure (undone).
  int64_t indexLines();
  // In the open transaction: whether the step merged anything (more may
  // remain).
  bool mergeIndexStep();
  // After the commit of a transaction that ran a turn.
  void noteIndexTurn(std::chrono::steady_clock::time_point at, int64_t indexed);
  void indexWhileIdle();
  std::optional<std::chrono::milliseconds> idleWork() const;
  SqliteStatement indexedUpTo_, nextIndexedUpTo_, indexLines_, setIndexedUpTo_, mergeIndex_;
  // Writer thread only: the lines stored since the index's last turn (the
  // writer's own; others' are found at the next turn), when that was, and
  // whether its segments may want merging: from the first turn that
  // indexes lines, so that a server started on a database does no merging
  // of its own before it writes.
  int64_t unindexedLines_ = 0;
  bool turnLeftLines_ = false;  // the last turn stopped at its bounds
  std::chrono::steady_clock::time_point lastIndexTurn_;
  bool mergeDue_ = false;

  std::string path_;
  SqliteConnection writer_;
  SqliteStatement findPlayer_, insertPlayer_, insertReport_, findSameLine_, findReportId_;
  SqliteStatement begin_, commit_, rollback_, savepoint_, release_, rollbackToSavepoint_;
  // Steps a statement without values to its end: false on a failure.
  static bool run(const SqliteStatement& statement);

  // A pooled read connection, given back when this goes. WAL readers do
  // not wait for the writer nor for each other.
  struct ReadConnection {
    SqliteConnection connection;
    // Its statements are cut past this, or once the store's reads are
    // interrupted (a progress handler reads both).
    std::chrono::steady_clock::time_point deadline;
    const std::atomic<bool>* interrupted = nullptr;
  };
  class Reader {
   public:
    Reader(SqliteReportStore& store, ReadConnection* connection);
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;
    sqlite3* get() const { return connection_->connection.get(); }

   private:
    SqliteReportStore& store_;
    ReadConnection* connection_;
  };
  Reader borrowReader();

  std::mutex readersMutex_;
  std::condition_variable readerReturned_;
  std::vector<std::unique_ptr<ReadConnection>> readers_;
  std::vector<ReadConnection*> idleReaders_;
  std::atomic<bool> readsInterrupted_{false};

  // Removals (erasure, retention), one at a time.
  std::mutex maintainMutex_;
  // Held by the writer thread and by a removal for their transactions.
  std::mutex writeGate_;
  SqliteConnection maintainer_;
  int64_t removeErasedPlayersLocked();

  // The writer's wait for another program's lock ends at the deadline of
  // the oldest report of its batch (set and read on the writer thread
  // only), or at once when writes are interrupted.
  static int waitForLock(void* store, int attempt);
  std::chrono::steady_clock::time_point lockWaitDeadline_;
  std::atomic<bool> writesInterrupted_{false};

  PendingReports pending_;
  std::thread writerThread_;
};

// Copies a live SQLite database, WAL included, as one consistent snapshot
// even while a server writes to it, and checks the copy's integrity before
// giving it the name `to` (never replacing a file of that name).
bool backupSqliteDatabase(const std::string& from, const std::string& to, std::string& error);

}  // namespace tidemark
