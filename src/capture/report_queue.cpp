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
    while (size() > maxReports_ || (lineBytes_ > maxLineBytes_ && size() > 1)) {
        dropOldest(dropped);
        ++count;
    }
    return count;
}

// Those set aside go first: they are the oldest, and the least likely to be
// taken.
void ReportQueue::dropOldest(std::deque<PendingReport>* dropped) {
    PendingReport& oldest = aside_.empty() ? reports_.front() : aside_.front().report;
    lineBytes_ -= oldest.line.size();
    if (dropped != nullptr) dropped->push_back(std::move(oldest));
    if (aside_.empty()) reports_.pop_front();
    else aside_.pop_front();
}

const PendingReport* ReportQueue::next(std::uint64_t nowMs) const {
    for (const Aside& aside : aside_)
        if (aside.confirmed && aside.retryAtMs <= nowMs) return &aside.report;
    return reports_.empty() ? nullptr : &reports_.front();
}

bool ReportQueue::isSetAside(const ReportId& id) const {
    return std::any_of(aside_.begin(), aside_.end(), [&](const Aside& a) { return a.report.id == id; });
}

bool ReportQueue::taken(const ReportId& id, std::uint64_t nowMs) {
    const auto aside = std::find_if(aside_.begin(), aside_.end(), [&](const Aside& a) { return a.report.id == id; });
    if (aside != aside_.end()) {
        lineBytes_ -= aside->report.line.size();
        aside_.erase(aside);
        return true;
    }
    // The server takes others: those on probation are the trouble. One more
    // try at once, in case the server came back just now; hourly after that.
    for (Aside& a : aside_) {
        if (a.confirmed) continue;
        a.confirmed = true;
        a.retryAtMs = nowMs;
    }
    if (reports_.empty() || !(reports_.front().id == id)) return false;
    lineBytes_ -= reports_.front().line.size();
    reports_.pop_front();
    return true;
}

bool ReportQueue::kept(const ReportId& id, std::uint64_t nowMs, bool counts, std::int64_t nowSeconds) {
    const auto aside = std::find_if(aside_.begin(), aside_.end(), [&](const Aside& a) { return a.report.id == id; });
    if (aside != aside_.end()) {
        aside->retryAtMs = nowMs + kSetAsideRetryMs;
        if (!counts) return false;
        const bool tooOld = nowSeconds - aside->report.record.time > kGiveUpAfterSeconds;
        if (++aside->attempts < kMostSetAsideAttempts && !tooOld) return false;
        lineBytes_ -= aside->report.line.size();
        aside_.erase(aside);
        return true;
    }
    if (reports_.empty() || !(reports_.front().id == id)) return false;
    // The next report failed as well while others wait on probation: the
    // server takes nothing, so they were not the trouble. Back to the head,
    // oldest first, with a fresh count.
    bool probation = false;
    for (auto a = aside_.rbegin(); a != aside_.rend();) {
        if (a->confirmed) {
            ++a;
            continue;
        }
        probation = true;
        a->report.keptInARow = 0;
        reports_.push_front(std::move(a->report));
        a = std::make_reverse_iterator(aside_.erase(std::next(a).base()));
    }
    if (probation || !counts) return false;
    PendingReport& head = reports_.front();
    if (++head.keptInARow >= kSetAsideAfter && reports_.size() > 1) {
        aside_.push_back(Aside{std::move(head), false, 0, 0});
        reports_.pop_front();
    }
    return false;
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
