#include "capture/report_queue.h"

#include <algorithm>
#include <utility>

namespace tidemark {

LogRecord PendingReport::recordForSending() const {
    LogRecord sending = record;
    sending.raw = reinterpret_cast<const std::uint8_t*>(line.data());
    sending.rawLength = static_cast<std::uint32_t>(line.size());
    return sending;
}

PendingReport pendingReportOf(const LogRecord& record, std::string language, std::uint64_t generation,
                              ReportId id) {
    PendingReport report;
    report.record = record;
    report.record.raw = nullptr;
    report.record.rawLength = 0;
    if (record.raw != nullptr) report.line.assign(reinterpret_cast<const char*>(record.raw), record.rawLength);
    report.language = std::move(language);
    report.generation = generation;
    report.id = id;
    return report;
}

std::size_t ReportQueue::push(PendingReport report, std::deque<PendingReport>* dropped) {
    lineBytes_ += report.line.size();
    reports_.push_back(std::move(report));
    std::size_t count = 0;
    while (reports_.size() > maxReports_ || (lineBytes_ > maxLineBytes_ && reports_.size() > 1)) {
        if (dropped != nullptr) dropped->push_back(std::move(reports_.front()));
        lineBytes_ -= reports_.front().line.size();
        reports_.pop_front();
        ++count;
    }
    return count;
}

void ReportQueue::pop() {
    lineBytes_ -= reports_.front().line.size();
    reports_.pop_front();
}

std::uint64_t ReportQueue::nextSendMs() const { return std::max(nextAttemptMs_, nextPacedMs_); }

void ReportQueue::attemptFailed(std::uint64_t nowMs, std::optional<std::uint32_t> retryAfterSeconds,
                                bool tooMany) {
    std::uint64_t wait = delayMs_;
    if (retryAfterSeconds)
        wait = std::max(wait, std::min<std::uint64_t>(std::uint64_t{*retryAfterSeconds} * 1000, kLongestRetryAfterMs));
    nextAttemptMs_ = nowMs + wait;
    delayMs_ = std::min(delayMs_ * 2, kLongestDelayMs);
    if (tooMany) {
        paceMs_ = std::min(paceMs_ * 2, kSlowestPaceMs);
        successesAtPace_ = 0;
    }
}

void ReportQueue::attemptSucceeded(std::uint64_t nowMs) {
    delayMs_ = kFirstDelayMs;
    nextAttemptMs_ = 0;
    nextPacedMs_ = nowMs + paceMs_;
    if (paceMs_ > kFastestPaceMs && ++successesAtPace_ >= kRecoveryReports) {
        paceMs_ = std::max(paceMs_ / 2, kFastestPaceMs);
        successesAtPace_ = 0;
    }
}

}  // namespace tidemark
