#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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
  // The client's id of this report (32 lower-case hex digits, the same on
  // every attempt), or empty when it sent none.
  std::string reportId;
  // False: a report that would register a new player is refused instead
  // (StoredReport::registrationRefused) and nothing is written.
  bool mayRegister = true;
};

struct StoredReport {
  int64_t reportId = 0;     // answered as "fid"
  std::string sessionId;    // answered as "sid"
  std::string playerId;     // the player's "aid"
  bool newPlayer = false;   // registered by this report
  bool replacedUnknownPlayer = false;  // a non-empty "aid" that was not known
  bool alreadyStored = false;  // a line from the game's history reported again
  bool registrationRefused = false;  // nothing written: see ReportFields::mayRegister
  // Nothing written: the database stayed locked or slow past kDatabaseWait.
  bool databaseBusy = false;
  // The report id was stored before: everything above is the first
  // report's outcome, and `line` and `language` are its own, so that the
  // answer is the first answer again.
  bool repeated = false;
  std::string line, language;
};

struct ListedReport {
  int64_t reportId = 0;
  int64_t receivedAtMs = 0;
  std::string language;
  int32_t patternId = 0;
  int32_t code = 0;
  int64_t lineTime = 0;
  bool present = false;
  std::string line;  // at most kListedLineBytes of the stored line
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

// A player's page token, or why there is none.
struct TokenLookup {
  std::optional<std::string> token;  // nothing: no such player, or `failed`
  bool failed = false;               // the database could not be read
  explicit operator bool() const { return token.has_value(); }
  const std::string& operator*() const { return *token; }
};

struct PlayerReports {
  int64_t total = 0;                  // matching the filter
  std::vector<ListedReport> reports;  // newest first
  std::vector<PatternTotal> totals;   // all the player's reports, by pattern, most first, kMaxListedTotals at most
};

// The player's page shows this much of a line at most: reading whole lines
// lets one stored giant cost every view of the page.
inline constexpr size_t kListedLineBytes = 4096;
// The longest a report waits for a locked or slow database before it is
// answered "busy": well inside the client's 10 s, so that an answer is never
// lost to the client's own timeout and the report sent again.
inline constexpr std::chrono::milliseconds kDatabaseWait{3000};

// The most pattern totals a page lists: reports are checked against the
// pattern sets, but rows from before that check, or from a set since
// shrunk, could otherwise make every view of the page as long as they are.
inline constexpr int64_t kMaxListedTotals = 100;

// Longest search text, in bytes. A search looks at the listed part of each
// line only, the part the page can show.
inline constexpr size_t kMaxSearchBytes = 100;
// A search the trigram index cannot answer (under three characters, or not
// well-formed UTF-8) reads the player's newest lines only, this many at
// most, so that its cost stays bounded whatever the player has stored.
inline constexpr int64_t kMaxScannedLines = 20000;

// Where a page of a player's lines starts, by the id of a line listed on the
// page beside it: the lines just older (id < olderThan) or just newer
// (id > newerThan). With a key the offset is not used, so a page deep in a
// long list costs what the first one does.
struct PageKey {
  std::optional<int64_t> olderThan;
  std::optional<int64_t> newerThan;
};

// Players and their reports. Two implementations: an SQLite file (the
// default) and PostgreSQL, which several server instances can share. Ids
// (player, token, session) are random and report ids come from the database,
// so any instance on one database can serve any request.
//
// A report is durable before its callback runs: it survives a crash of the
// server (and, on SQLite with synchronous FULL, a power cut).
class ReportStore {
 public:
  using StoreDone = std::function<void(std::optional<StoredReport>)>;

  // A path opens SQLite; "postgresql://" or "postgres://" opens PostgreSQL.
  // Schema migrations are applied on open.
  static std::unique_ptr<ReportStore> open(const std::string& database, std::string& error);
  static bool isPostgresql(std::string_view database);

  virtual ~ReportStore() = default;

  // Registers a new player when `aid` is empty or unknown. A report marked
  // not present of a line the player reported before (same time, code and
  // bytes) is not stored twice: it gets the first report's id. A report id
  // stored before gets that report's outcome (`repeated`), never a second
  // row or player, also when both attempts are written at once. `done` gets
  // nothing when the database refused the write; it runs on a store thread.
  virtual void storeAsync(ReportFields fields, StoreDone done) = 0;
  // The same, waiting for the answer.
  std::optional<StoredReport> store(ReportFields fields);

  // Tells a player the database does not know from a database that could
  // not be read, which the client is told to try again later.
  virtual TokenLookup tokenOf(std::string_view playerId) = 0;
  // Nothing when the database cannot be read.
  virtual std::optional<bool> playerExists(std::string_view playerId) = 0;
  // Nothing when no player has this token.
  // Nothing when no player has this token or the database cannot be read.
  // `total` counts the reports the filter keeps; `totals` all of the
  // player's. A search text over kMaxSearchBytes is refused (nothing).
  std::optional<PlayerReports> reportsOf(std::string_view token, int64_t offset, int64_t limit,
                                         const ReportFilter& filter = {}, const PageKey& key = {});
  // -1 when the database cannot be read.
  virtual int64_t reportCount() = 0;
  virtual int64_t playerCount() = 0;

  // The database answers a trivial query.
  virtual bool healthy() = 0;
  // Reports waiting to be written.
  virtual size_t queueDepth() const = 0;
  virtual std::string describe() const = 0;

 protected:
  // reportsOf, its arguments checked.
  virtual std::optional<PlayerReports> listReports(std::string_view token, int64_t offset, int64_t limit,
                                                   const ReportFilter& filter, const PageKey& key) = 0;
};

}  // namespace tidemark
