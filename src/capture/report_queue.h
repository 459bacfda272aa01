#pragma once
// Reports whose request could not be made or sent, kept in memory until the
// server can be reached again. They go out oldest first, and new matches
// queue behind them, so the server sees the lines in the order the game
// wrote them. Bounded: beyond the bound the oldest are dropped.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "session/log_record.h"

namespace tidemark {

struct PendingReport {
    LogRecord record;          // `raw` is not used: the bytes are in `line`
    std::string line;          // the line's bytes, copied out of the read pass
    std::string language;      // of the pattern set that matched it
    std::uint64_t generation;  // the session's reset generation when it matched

    // The record with `raw` pointing at this report's own copy of the line.
    LogRecord recordForSending() const;
};

class ReportQueue {
public:
    static constexpr std::size_t kDefaultMaxReports = 10000;
    static constexpr std::size_t kDefaultMaxLineBytes = std::size_t{16} << 20;
    static constexpr std::uint64_t kFirstDelayMs = 1000;
    static constexpr std::uint64_t kLongestDelayMs = 60000;

    explicit ReportQueue(std::size_t maxReports = kDefaultMaxReports,
                         std::size_t maxLineBytes = kDefaultMaxLineBytes)
        : maxReports_(maxReports), maxLineBytes_(maxLineBytes) {}

    // Queues the report behind the others; returns how many of the oldest
    // were dropped to keep within the bound.
    std::size_t push(PendingReport report);
    bool empty() const { return reports_.empty(); }
    std::size_t size() const { return reports_.size(); }
    const PendingReport& front() const { return reports_.front(); }
    void pop();

    // The back-off: the next attempt is due 1 s after a failure, doubling
    // with each further failure up to 60 s; a success starts it over.
    bool due(std::uint64_t nowMs) const { return nowMs >= nextAttemptMs_; }
    void attemptFailed(std::uint64_t nowMs);
    void attemptSucceeded() { delayMs_ = kFirstDelayMs; nextAttemptMs_ = 0; }

private:
    std::size_t maxReports_;
    std::size_t maxLineBytes_;
    std::deque<PendingReport> reports_;
    std::size_t lineBytes_ = 0;
    std::uint64_t delayMs_ = kFirstDelayMs;
    std::uint64_t nextAttemptMs_ = 0;
};

// Copies a matched line out of the read pass's buffer.
PendingReport pendingReportOf(const LogRecord& record, std::string language, std::uint64_t generation);

}  // namespace tidemark
