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

PendingReport pendingReportOf(const LogRecord& record, std::string language, std::uint64_t generation) {
    PendingReport report;
    report.record = record;
    report.record.raw = nullptr;
    report.record.rawLength = 0;
    if (record.raw != nullptr) report.line.assign(reinterpret_cast<const char*>(record.raw), record.rawLength);
    report.language = std::move(language);
    report.generation = generation;
    return report;
}

std::size_t ReportQueue::push(PendingReport report) {
    lineBytes_ += report.line.size();
    reports_.push_back(std::move(report));
    std::size_t dropped = 0;
    while (reports_.size() > maxReports_ || (lineBytes_ > maxLineBytes_ && reports_.size() > 1)) {
        pop();
        ++dropped;
    }
    return dropped;
}

void ReportQueue::pop() {
    lineBytes_ -= reports_.front().line.size();
    reports_.pop_front();
}

void ReportQueue::attemptFailed(std::uint64_t nowMs) {
    nextAttemptMs_ = nowMs + delayMs_;
    delayMs_ = std::min(delayMs_ * 2, kLongestDelayMs);
}

}  // namespace tidemark
