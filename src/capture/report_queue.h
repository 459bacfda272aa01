#pragma once
// Reports that the server has not taken yet, kept until it does. They go out
// oldest first, and new matches queue behind them, so the server sees the
// lines in the order the game wrote them. Bounded: beyond the bound the
// oldest are dropped. The queue also keeps the timing of the attempts: the
// back-off after a failure and the pace of a backlog.
//
// One report that the server will not take while it takes others must not
// hold everything behind it: after kSetAsideAfter failed attempts in a row
// it is set aside, and the reports behind it go on. Whether the server takes
// others shows with the next attempt: if that one fails too, the server is
// failing everything and the report set aside goes back to the head, in its
// place. Once another report is taken, it is tried once more at once (the
// server may just have come back), then hourly, out of order, until it is
// taken or given up.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>

#include "capture/report_id.h"
#include "session/log_record.h"

namespace tidemark {

struct PendingReport {
    LogRecord record;          // `raw` is not used: the bytes are in `line`
    std::string line;          // the line's bytes, copied out of the read pass
    std::string language;      // of the pattern set that matched it
    std::uint64_t generation;  // the session's reset generation when it matched
    ReportId id;               // the same on every attempt, across restarts too
    bool fromLastRun = false;  // read back from the journal at start
    int keptInARow = 0;        // attempts in a row that the server did not take

    // The record with `raw` pointing at this report's own copy of the line.
    LogRecord recordForSending() const;
};

class ReportQueue {
public:
    static constexpr std::size_t kDefaultMaxReports = 10000;
    static constexpr std::size_t kDefaultMaxLineBytes = std::size_t{16} << 20;
    static constexpr std::uint64_t kFirstDelayMs = 1000;
    static constexpr std::uint64_t kLongestDelayMs = 60000;
    // The server's documented rate per player is 20 reports a second; a
    // backlog never goes faster, and goes slower after the server said "too
    // many", down to one a second, for kRecoveryReports reports at each step.
    static constexpr std::uint64_t kFastestPaceMs = 50;
    static constexpr std::uint64_t kSlowestPaceMs = 1000;
    static constexpr int kRecoveryReports = 100;
    // A Retry-After beyond this is taken as this: a server's mistake must not
    // hold the reports for hours.
    static constexpr std::uint64_t kLongestRetryAfterMs = 600000;
    static constexpr int kSetAsideAfter = 5;
    static constexpr std::uint64_t kSetAsideRetryMs = 3600000;
    static constexpr int kMostSetAsideAttempts = 100;
    // A report set aside whose line is older than this is given up at its
    // next failure.
    static constexpr std::int64_t kGiveUpAfterSeconds = 7 * 24 * 3600;

    explicit ReportQueue(std::size_t maxReports = kDefaultMaxReports,
                         std::size_t maxLineBytes = kDefaultMaxLineBytes)
        : maxReports_(maxReports), maxLineBytes_(maxLineBytes) {}

    // Queues the report behind the others; the oldest dropped to keep within
    // the bound are appended to `dropped` when given. Returns how many.
    std::size_t push(PendingReport report, std::deque<PendingReport>* dropped = nullptr);
    // Waiting reports, those set aside included.
    bool empty() const { return reports_.empty() && aside_.empty(); }
    std::size_t size() const { return reports_.size() + aside_.size(); }
    std::size_t setAside() const { return aside_.size(); }

    // The report to attempt next: one set aside whose hour has come, else
    // the head. Null when nothing waits in line and nothing set aside is
    // due (the pace and back-off are the caller's: see nextSendMs).
    const PendingReport* next(std::uint64_t nowMs) const;
    // The report just attempted was taken (or refused for good): it leaves
    // the queue. Reports set aside on probation stay aside: the server takes
    // others.
    // False when it had left the queue meanwhile (dropped over the bound).
    bool taken(const ReportId& id, std::uint64_t nowMs);
    bool isSetAside(const ReportId& id) const;
    // Every waiting report, those set aside first.
    template <typename Visit>
    void forEach(Visit visit) const {
        for (const Aside& aside : aside_) visit(aside.report);
        for (const PendingReport& report : reports_) visit(report);
    }
    // The report just attempted was not taken. `counts` is false for an
    // answer that says nothing of the report itself ("too many"). Returns
    // true when a report set aside has had its last attempt (too many
    // attempts, or a line too old by `nowSeconds`): it left the queue and is
    // given up.
    bool kept(const ReportId& id, std::uint64_t nowMs, bool counts, std::int64_t nowSeconds);

    // The back-off: the next attempt is due 1 s after a failure, doubling
    // with each further failure up to 60 s, or after the server's
    // Retry-After when that is later; a success starts it over.
    bool due(std::uint64_t nowMs) const { return nowMs >= nextAttemptMs_; }
    // When the next report of a backlog may go: due, and paced.
    std::uint64_t nextSendMs() const;
    void attemptFailed(std::uint64_t nowMs, std::optional<std::uint32_t> retryAfterSeconds = std::nullopt,
                       bool tooMany = false);
    void attemptSucceeded(std::uint64_t nowMs);
    // An attempt of a report set aside failed: only the pace applies.
    void asideAttemptFailed(std::uint64_t nowMs) { nextPacedMs_ = nowMs + paceMs_; }
    std::uint64_t paceMs() const { return paceMs_; }

private:
    struct Aside {
        PendingReport report;
        bool confirmed = false;  // another report was taken since it was set aside
        std::uint64_t retryAtMs = 0;
        int attempts = 0;        // while aside
    };
    void dropOldest(std::deque<PendingReport>* dropped);

    std::size_t maxReports_;
    std::size_t maxLineBytes_;
    std::deque<PendingReport> reports_;
    std::deque<Aside> aside_;  // oldest first
    std::size_t lineBytes_ = 0;
    std::uint64_t delayMs_ = kFirstDelayMs;
    std::uint64_t nextAttemptMs_ = 0;
    std::uint64_t paceMs_ = kFastestPaceMs;
    std::uint64_t nextPacedMs_ = 0;
    int successesAtPace_ = 0;
};

// Copies a matched line out of the read pass's buffer.
PendingReport pendingReportOf(const LogRecord& record, std::string language, std::uint64_t generation,
                              ReportId id = {});

}  // namespace tidemark
