#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
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
  // Nothing written, nothing of the first told: this player (or, for a
  // registration, a sender without a known id) sent this report id before
  // with another line.
  bool reportIdConflict = false;
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
  std::vector<ListedReport> reports;  // newest line time first, ties by id
  std::vector<PatternTotal> totals;   // all the player's reports, by pattern, most first, kMaxListedTotals at most
  // A search counted its matches among its newest kMaxCountedMatches
  // candidates only: there may be more than `total`.
  bool totalIsLowerBound = false;
  // The page asked for by its offset lies deeper than kMaxSkippedLines
  // from either end of the list (or past a search's counted matches):
  // nothing was read. The pages beside it reach it by their keys.
  bool beyondReach = false;
};

// The player's page shows this much of a line at most: reading whole lines
// lets one stored giant cost every view of the page.
inline constexpr size_t kListedLineBytes = 4096;
// The longest a report waits for a locked or slow database before it is
// answered "busy": well inside the client's 10 s, so that an answer is never
// lost to the client's own timeout and the report sent again.
inline constexpr std::chrono::milliseconds kDatabaseWait{3000};

// The line times a report may carry: seconds since 1970 within about
// 31,700 years either way. Both stores count a line's UTC day with 64-bit
// arithmetic, which PostgreSQL refuses to overflow (SQLite turns it into a
// float), and the page and the download add a time zone to it; a game's
// line times lie far inside.
inline constexpr int64_t kMaxLineTimeMagnitude = 1'000'000'000'000;

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

// A search reads at most this many of its index's candidates, newest first,
// to count its matches and pick a page by offset: a search whose text every
// line holds costs the same on a page of a million lines as on one of a
// thousand. Further matches are reached by the keys of the pages beside.
inline constexpr int64_t kMaxCountedMatches = 1000;
// A page chosen by its offset is read from the nearer end of the list,
// skipping at most this many lines; deeper pages are reached by key.
inline constexpr int64_t kMaxSkippedLines = 10000;

// How a page chosen by its offset is read from a list of `total` lines,
// newest first: `skip` lines and `take` after them, counted from the newest
// end, or from the oldest when `upwards` (then reversed); or, deeper than
// kMaxSkippedLines from both ends, not at all (`beyondReach`).
struct OffsetRead {
  int64_t skip = 0;
  int64_t take = 0;
  bool upwards = false;
  bool beyondReach = false;
};
OffsetRead offsetRead(int64_t total, int64_t offset, int64_t limit);

// Where a page of a player's lines starts, by the id of a line listed on the
// page beside it: the lines just older (id < olderThan) or just newer
// (id > newerThan). With a key the offset is not used, so a page deep in a
// long list costs what the first one does.
struct PageKey {
  std::optional<int64_t> olderThan;
  std::optional<int64_t> newerThan;
};

// A player's lines of one pattern on one day (UTC, days since 1970-01-01),
// kept with every insert and delete rather than counted from the lines.
struct DayTotal {
  int64_t day = 0;
  std::string language;
  int32_t patternId = 0;
  int64_t count = 0;
  // The patterns past the chart's kChartPatterns, summed (no language or
  // pattern then).
  bool others = false;
};

// The chart's series: the patterns with the most lines (the first the page
// lists), each apart; the rest as one. Rows from before patterns were
// checked, or from a set since shrunk, could otherwise make a page as long
// as they are many.
inline constexpr int64_t kChartPatterns = 7;

// One stored line, whole, as a player takes it away.
struct ExportedReport {
  int64_t reportId = 0;
  int64_t receivedAtMs = 0;
  std::string language;
  int32_t patternId = 0;
  int32_t code = 0;
  int32_t ordinal = 0;
  int64_t lineTime = 0;
  bool present = false;
  std::string line;  // every byte stored
};

// Whether a player has a page token, or why the database could not tell.
struct PageLookup {
  bool found = false;
  std::string problem;  // not empty: the database's own words for its failure
};

// A download's batch holds at most this many bytes of lines past its first
// line (a line is at most the 256 KiB a report's body holds).
inline constexpr int64_t kExportBatchBytes = 64 * 1024;

struct EraseOutcome {
  bool found = false;   // a player had the token
  bool failed = false;  // the database refused: run it again
  int64_t lines = 0;    // lines removed
};

// The day a line time falls on, in UTC (floor, also before 1970). The
// stores' triggers compute the same in SQL.
// `top` (rows of the top patterns) and the days' totals of all patterns,
// as dayTotalsOf gives them: the rest of each day as one `others` row.
std::vector<DayTotal> withOthers(std::vector<DayTotal> top, const std::vector<std::pair<int64_t, int64_t>>& days);

inline int64_t dayOfTime(int64_t seconds) { return (seconds - ((seconds % 86400) + 86400) % 86400) / 86400; }

// Lines are removed this many to a transaction (erasure, retention), so that
// the write lock is never held for long and reports keep flowing: a batch
// of 100 holds it about 10 ms here, one of 500 about 45 ms, which tripled a
// report's latency while a large player was erased.
inline constexpr int64_t kRemovalBatch = 100;

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
  // Report ids are scoped to the sender's "aid" as sent: another player's
  // id is a new report, and the same id with another line is refused
  // (`reportIdConflict`).
  virtual void storeAsync(ReportFields fields, StoreDone done) = 0;
  // The same, waiting for the answer.
  std::optional<StoredReport> store(ReportFields fields);

  // Tells a player the database does not know from a database that could
  // not be read, which the client is told to try again later.
  virtual TokenLookup tokenOf(std::string_view playerId) = 0;
  // Nothing when the database cannot be read.
  virtual std::optional<bool> playerExists(std::string_view playerId) = 0;
  // Nothing when no player has this token or the database cannot be read
  // (lookUpPage tells which).
  // `total` counts the reports the filter keeps; `totals` all of the
  // player's. A search text over kMaxSearchBytes is refused (nothing).
  std::optional<PlayerReports> reportsOf(std::string_view token, int64_t offset, int64_t limit,
                                         const ReportFilter& filter = {}, const PageKey& key = {});
  // The player's lines per day from `fromDay` to `toDay`: of each of the
  // kChartPatterns patterns with the most lines, and of the rest together
  // (`others`), by day, language and pattern: at most kChartPatterns + 1
  // rows a day, whatever is stored. Nothing when no player has the token or
  // the database cannot be read.
  virtual std::optional<std::vector<DayTotal>> dayTotalsOf(std::string_view token, int64_t fromDay,
                                                           int64_t toDay) = 0;
  std::optional<std::vector<DayTotal>> dayTotalsOf(std::string_view token, int64_t fromDay) {
    return dayTotalsOf(token, fromDay, std::numeric_limits<int64_t>::max());
  }
  // At most `limit` of the player's lines with ids above `afterId`, oldest
  // first, and past the first no more than kExportBatchBytes of line bytes:
  // a download reads them batch by batch without holding a transaction, and
  // a batch of wide lines costs what a batch of short ones does. Empty after
  // the last line; nothing when no player has the token or on a failure.
  virtual std::optional<std::vector<ExportedReport>> exportBatch(std::string_view token, int64_t afterId,
                                                                 int64_t limit) = 0;
  // Forgets the player of this page in one short transaction: from its
  // commit the token and the player id stop working (a later report with
  // the id registers a new player). The lines, totals and the player's row
  // are left to removeErasedPlayers. `lines` stays 0.
  virtual EraseOutcome forgetPlayer(std::string_view token) = 0;
  // forgetPlayer, then removeErasedPlayers: everything gone on return
  // unless `failed`.
  EraseOutcome erasePlayer(std::string_view token);
  // Removes the lines, totals and rows of every forgotten player,
  // kRemovalBatch lines a transaction; the lines removed, -1 on a failure.
  virtual int64_t removeErasedPlayers() = 0;
  // Removes up to kRemovalBatch of the oldest lines (by id) received before
  // `beforeMs`, in one transaction; the number removed, -1 on a failure.
  virtual int64_t removeLinesReceivedBefore(int64_t beforeMs) = 0;
  // The server's secret for tokens bound to a page, kept in the database so
  // that every instance on it agrees.
  virtual std::optional<std::string> pageSecret() = 0;

  // Asked after a read by token found nothing, so that a page the database
  // cannot read is never taken for one that does not exist.
  virtual PageLookup lookUpPage(std::string_view token) = 0;
  // The database's own words for the latest write that failed, for the log.
  std::string lastWriteFailure() const;

  // -1 when the database cannot be read.
  virtual int64_t reportCount() = 0;
  virtual int64_t playerCount() = 0;

  // The database answers a trivial query.
  virtual bool healthy() = 0;
  // Reports waiting to be written.
  virtual size_t queueDepth() const = 0;
  // Cuts the reads running now and those begun later, so that a stop never
  // waits out a slow page; a store whose reads are bounded otherwise may
  // leave it.
  virtual void interruptReads() {}
  // Cuts every wait for another program's lock from now on, so that a stop
  // never waits one out: such reports are answered "busy" at once. A store
  // whose waits are bounded otherwise may leave it.
  virtual void interruptWrites() {}
  virtual std::string describe() const = 0;

 protected:
  // reportsOf, its arguments checked.
  virtual std::optional<PlayerReports> listReports(std::string_view token, int64_t offset, int64_t limit,
                                                   const ReportFilter& filter, const PageKey& key) = 0;
  void noteWriteFailure(std::string reason);

 private:
  mutable std::mutex failureMutex_;
  std::string lastWriteFailure_;
};

}  // namespace tidemark
