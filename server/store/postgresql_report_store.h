#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "store/pending_reports.h"
#include "store/postgresql_handles.h"
#include "store/report_store.h"

namespace tidemark {

struct WriteFailure;

// Reports and players in one PostgreSQL database, which any number of server
// instances can share. A few writer threads, each on a connection of its
// own, commit the waiting reports in batches; reads take a connection from a
// small pool. Ids come from the database's sequences and the random
// generator only, so instances never collide.
class PostgresqlReportStore final : public ReportStore {
 public:
  static constexpr int kWriters = 4;
  static constexpr int kReaders = 4;

  static std::unique_ptr<PostgresqlReportStore> open(const std::string& address, std::string& error);
  ~PostgresqlReportStore() override;

  void storeAsync(ReportFields fields, StoreDone done) override;
  TokenLookup tokenOf(std::string_view playerId) override;
  std::optional<bool> playerExists(std::string_view playerId) override;
  PageLookup lookUpPage(std::string_view token) override;
  int64_t reportCount() override;
  int64_t playerCount() override;
  bool healthy() override;
  size_t queueDepth() const override { return pending_.size(); }
  std::string describe() const override { return description_; }

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
  PostgresqlReportStore() = default;

  // A pooled reading connection, given back when this goes.
  class Reader {
   public:
    Reader(PostgresqlReportStore& store, PGconn* connection) : store_(store), connection_(connection) {}
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;
    PGconn* get() const { return connection_; }

   private:
    PostgresqlReportStore& store_;
    PGconn* connection_;
  };
  Reader borrowReader();
  int64_t count(const char* sql);

  void writeLoop(PGconn* connection);
  void writeBatch(PGconn* connection, std::vector<PendingReport>& batch);
  bool beginWithKnownPlayersLines(PGconn* connection, std::vector<PendingReport>& batch,
                                  std::vector<std::optional<StoredReport>>& results, WriteFailure& failure);
  std::optional<StoredReport> writeOne(PGconn* connection, const PendingReport& pending, WriteFailure& failure);
  // The outcome of a report whose id this sender stored before; an empty
  // inner value for a new id, nothing when the database failed.
  std::optional<std::optional<StoredReport>> findRepeat(PGconn* connection, const ReportFields& f,
                                                        WriteFailure& failure);

  std::string address_;
  std::string description_;
  std::vector<PgConnection> writers_;
  std::vector<std::thread> writerThreads_;
  PendingReports pending_;

  // Removals (erasure, retention), one at a time.
  std::mutex maintainMutex_;
  PgConnection maintainer_;
  int64_t removeErasedPlayersLocked();

  std::mutex readersMutex_;
  std::condition_variable readerReturned_;
  std::vector<PgConnection> readers_;
  std::vector<PGconn*> idleReaders_;
};

}  // namespace tidemark
