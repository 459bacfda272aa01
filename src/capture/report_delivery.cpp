#include "capture/report_delivery.h"

#include <algorithm>
#include <utility>

#include "capture/status_text.h"
#include "report/line_report.h"
#include "texts/texts.h"

namespace tidemark {

namespace {

constexpr std::uint32_t kTooManyRequests = 429;

JournalEntry journalEntryOf(const PendingReport& report) {
    JournalEntry entry;
    entry.id = report.id;
    entry.language = report.language;
    entry.code = report.record.code;
    entry.patternId = report.record.patternId;
    entry.ordinal = report.record.ordinal;
    entry.time = report.record.time;
    entry.present = report.record.present;
    entry.line = report.line;
    return entry;
}

PendingReport pendingReportOf(JournalEntry entry, std::uint64_t generation) {
    PendingReport report;
    report.record.code = entry.code;
    report.record.patternId = entry.patternId;
    report.record.ordinal = entry.ordinal;
    report.record.time = entry.time;
    report.record.present = entry.present;
    report.line = std::move(entry.line);
    report.language = std::move(entry.language);
    report.generation = generation;
    report.id = entry.id;
    report.fromLastRun = true;
    return report;
}

}  // namespace

ReportDelivery::ReportDelivery(CaptureSession& session, ServerConnection& connection, Clock& clock,
                               SettingsStore* settings, const std::filesystem::path& journalPath,
                               std::uint64_t generation, ReportIdSource ids)
    : session_(session),
      connection_(connection),
      clock_(clock),
      settings_(settings),
      ids_(ids ? std::move(ids) : ReportIdSource(newReportId)) {
    if (!journalPath.empty()) openJournal(journalPath, generation);
}

ReportDelivery::~ReportDelivery() { flushJournal(); }

void ReportDelivery::openJournal(const std::filesystem::path& path, std::uint64_t generation) {
    auto [journal, load] = ReportJournal::open(path);
    switch (load.notice) {
    case JournalLoad::Notice::None: break;
    case JournalLoad::Notice::DamagedTailDropped: tell(kTextJournalDamaged); break;
    case JournalLoad::Notice::OtherVersion: tell(kTextJournalOtherVersion); break;
    case JournalLoad::Notice::Unusable: tell(kTextJournalUnusable); break;
    }
    if (load.droppedOverBound > 0) tellDropped();
    if (journal.usable()) journal_.emplace(std::move(journal));
    for (JournalEntry& entry : load.waiting) {
        // The journal kept the same bound, so nothing is dropped here.
        queue_.push(pendingReportOf(std::move(entry), generation));
        ++lastRunWaiting_;
    }
}

void ReportDelivery::submit(const LogRecord& record, const std::string& language, std::uint64_t generation) {
    PendingReport report = pendingReportOf(record, language, generation, ids_());
    sendWaiting(0);
    if (queue_.empty() && queue_.due(clock_.elapsedMs()) && attempt(report) == Attempt::Ended) return;
    enqueue(std::move(report));
}

std::uint64_t ReportDelivery::sendWaiting(std::uint64_t budgetMs) {
    const std::uint64_t began = clock_.elapsedMs();
    std::uint64_t slept = 0;
    while (!queue_.empty() && !session_.stopRequested()) {
        const std::uint64_t now = clock_.elapsedMs();
        const std::uint64_t next = queue_.nextSendMs();
        if (next > now) {
            // Only the backlog's own pace is waited for here; a back-off is
            // longer than any step of the worker's waits.
            if (!queue_.due(now) || next - began > budgetMs) break;
            const auto pause = static_cast<std::uint32_t>(next - now);
            clock_.sleepMs(pause);
            slept += pause;
            continue;
        }
        const PendingReport& report = queue_.front();
        if (attempt(report) == Attempt::Kept) break;
        finished(report);
        queue_.pop();
    }
    return slept;
}

ReportDelivery::Attempt ReportDelivery::attempt(const PendingReport& report) {
    LogRecord record = report.recordForSending();
    const ReportIdentity identity{report.language, identifiers_.sid, identifiers_.fid, session_.playerId()};
    const ReportAnswer answer = postLine(connection_, identity, record, report.id.toHex());
    if (const auto refusal = connection_.freshCertificateRefusal()) tell(certificateRefusalText(*refusal));
    const std::uint64_t now = clock_.elapsedMs();
    if (!endsReport(answer)) {
        queue_.attemptFailed(now, answer.status.retryAfterSeconds, answer.status.code == kTooManyRequests);
        return Attempt::Kept;
    }
    queue_.attemptSucceeded(now);
    applyReportAnswer(answer, record, report.generation, session_, identifiers_, settings_);
    return Attempt::Ended;
}

void ReportDelivery::enqueue(PendingReport report) {
    if (journal_) unflushed_.push_back(journalEntryOf(report));
    std::deque<PendingReport> dropped;
    queue_.push(std::move(report), &dropped);
    if (dropped.empty()) return;
    for (const PendingReport& gone : dropped) {
        forget(gone.id);
        if (gone.fromLastRun) --lastRunWaiting_;
    }
    tellDropped();
}

void ReportDelivery::flushJournal() {
    if (unflushed_.empty()) return;
    // On disk before the worker goes on: a crash from here on loses nothing.
    if (journal_ && !journal_->appendAll(unflushed_)) {
        journal_.reset();
        tell(kTextJournalUnusable);
    }
    unflushed_.clear();
}

// Never sent again after a restart: out of the journal, or never into it.
void ReportDelivery::forget(const ReportId& id) {
    if (!journal_) return;
    const auto waiting = std::find_if(unflushed_.begin(), unflushed_.end(),
                                      [&](const JournalEntry& entry) { return entry.id == id; });
    if (waiting != unflushed_.end()) unflushed_.erase(waiting);
    else journal_->markDone(id);
}

// A report that the server answered for good (it may have refused it).
void ReportDelivery::finished(const PendingReport& report) {
    forget(report.id);
    if (!report.fromLastRun) return;
    ++lastRunSent_;
    if (--lastRunWaiting_ == 0)
        session_.appendMessage(
            session_.messageRecord(u"* " + formatStatusText(LoadTextW(kTextLastRunReportsSent), {lastRunSent_})));
}

void ReportDelivery::tell(int textId) {
    session_.appendMessage(session_.messageRecord(u"* " + LoadTextW(textId)));
}

void ReportDelivery::tellDropped() {
    if (dropTold_) return;
    dropTold_ = true;
    tell(kTextReportsDropped);
}

}  // namespace tidemark
