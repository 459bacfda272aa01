#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "sqlite_handles.h"

namespace tidemark {

// One line report as the client sent it, after validation.
struct ReportFields {
  std::string language;  // the catalogue's spelling of "lang"
  std::string sid;       // as sent; empty on a client's first report of a run
  std::string fid;       // as sent: the id of that client's previous report, or empty
  std::string aid;       // as sent; empty while the client knows no player id
  int32_t patternId = 0;
  int32_t code = 0;
  int32_t ordinal = 0;   // "line"
  int64_t lineTime = 0;  // "ltime"
  bool present = false;
  std::string line;      // the raw line bytes
};

struct StoredReport {
  int64_t reportId = 0;     // answered as "fid"
  std::string sessionId;    // answered as "sid"
  std::string playerId;     // the player's "aid"
  bool newPlayer = false;   // registered by this report
  bool replacedUnknownPlayer = false;  // a non-empty "aid" that was not known
  bool alreadyStored = false;  // a line from the game's history reported again
};

struct ListedReport {
  int64_t reportId = 0;
  int64_t receivedAtMs = 0;
  std::string language;
  int32_t patternId = 0;
  int32_t code = 0;
  int64_t lineTime = 0;
  bool present = false;
  std::string line;
};

// How many of a player's reports each pattern matched.
struct PatternTotal {
  std::string language;
  int32_t patternId = 0;
  int64_t count = 0;
};

// Narrows a player's reports: one pattern of one language, and/or lines
// whose bytes contain `text` (taken literally).
struct ReportFilter {
  std::string language;  // with patternId: only that pattern
  std::optional<int32_t> patternId;
  std::string text;      // empty: any line
};

struct PlayerReports {
  int64_t total = 0;                  // matching the filter
  std::vector<ListedReport> reports;  // newest first
  std::vector<PatternTotal> totals;   // all the player's reports, by pattern, most first
};

// Reports and players in one SQLite file (WAL, synchronous FULL).
//
// `store` returns only once the report's transaction is committed and synced,
// so an answered report survives a crash of the server and a power cut alike.
// One writer thread commits whatever reports are waiting in one transaction,
// which keeps one sync per batch instead of one per report under load.
class ReportStore {
 public:
  static std::unique_ptr<ReportStore> open(const std::string& path, std::string& error);
  ~ReportStore();
  ReportStore(const ReportStore&) = delete;
  ReportStore& operator=(const ReportStore&) = delete;

  // Registers a new player when `aid` is empty or unknown. A report marked
  // not present of a line the player reported before (same time, code and
  // bytes) is not stored twice: it gets the first report's id. Nothing when
  // the database refused the write.
  std::optional<StoredReport> store(ReportFields fields);

  std::optional<std::string> tokenOf(std::string_view playerId);
  // Nothing when no player has this token.
  std::optional<PlayerReports> reportsOf(std::string_view token, int64_t offset, int64_t limit,
                                         const ReportFilter& filter = {});
  int64_t reportCount();

 private:
  struct Pending {
    ReportFields fields;
    std::string sessionId;
    std::promise<std::optional<StoredReport>> done;
  };

  ReportStore() = default;
  void writeLoop();
  void writeBatch(std::vector<Pending>& batch);
  std::optional<StoredReport> writeOne(Pending& pending);

  SqliteConnection writer_;
  SqliteStatement findPlayer_, insertPlayer_, insertReport_, findSameLine_;

  std::mutex readMutex_;
  SqliteConnection reader_;

  std::mutex queueMutex_;
  std::condition_variable queueChanged_;
  std::deque<Pending> queue_;
  bool stopping_ = false;
  std::thread writerThread_;
};

}  // namespace tidemark
