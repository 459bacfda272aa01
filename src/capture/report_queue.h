#pragma once
// Reports that the server has not taken yet, kept until it does. They go out
// oldest first, and new matches queue behind them, so the server sees the
// lines in the order the game wrote them. Bounded: beyond the bound the
// oldest are dropped. The queue also keeps the timing of the attempts: the
// back-off after a failure and the pace of a backlog.

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

    explicit ReportQueue(std::size_t maxReports = kDefaultMaxReports,
                         std::size_t maxLineBytes = kDefaultMaxLineBytes)
        : maxReports_(maxReports), maxLineBytes_(maxLineBytes) {}

    // Queues the report behind the others; the oldest dropped to keep within
    // the bound are appended to `dropped` when given. Returns how many.
    std::size_t push(PendingReport report, std::deque<PendingReport>* dropped = nullptr);
    bool empty() const { return reports_.empty(); }
    std::size_t size() const { return reports_.size(); }
    const PendingReport& front() const { return reports_.front(); }
    void pop();

    // The back-off: the next attempt is due 1 s after a failure, doubling
    // with each further failure up to 60 s, or after the server's
    // Retry-After when that is later; a success starts it over.
    bool due(std::uint64_t nowMs) const { return nowMs >= nextAttemptMs_; }
    // When the next report of a backlog may go: due, and paced.
    std::uint64_t nextSendMs() const;
    void attemptFailed(std::uint64_t nowMs, std::optional<std::uint32_t> retryAfterSeconds = std::nullopt,
                       bool tooMany = false);
    void attemptSucceeded(std::uint64_t nowMs);
    std::uint64_t paceMs() const { return paceMs_; }

private:
    std::size_t maxReports_;
    std::size_t maxLineBytes_;
    std::deque<PendingReport> reports_;
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
