#include "capture/report_delivery.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "capture/status_text.h"
#include "report/line_report.h"
#include "texts/texts.h"

namespace tidemark {

namespace {

constexpr std::uint32_t kTooManyRequests = 429;
// The longest the sending thread sleeps without looking at the stop request.
constexpr std::uint64_t kLongestSenderWaitMs = 100;

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
                               std::uint64_t generation, ReportIdSource ids, FileSystem& files)
    : session_(session),
      connection_(connection),
      clock_(clock),
      settings_(settings),
      ids_(ids ? std::move(ids) : ReportIdSource(newReportId)) {
    if (!journalPath.empty()) openJournal(journalPath, generation, files);
}

ReportDelivery::~ReportDelivery() {
    {
        std::lock_guard guard(mutex_);
        ending_ = true;
    }
    wake_.notify_all();
    if (sender_.joinable()) sender_.join();
    std::lock_guard guard(mutex_);
    journalUnjournaled();
}

void ReportDelivery::openJournal(const std::filesystem::path& path, std::uint64_t generation, FileSystem& files) {
    auto [journal, load] = ReportJournal::open(path, {}, files, clock_.now());
    switch (load.notice) {
    case JournalLoad::Notice::None: break;
    case JournalLoad::Notice::DamagedTailDropped: tell(kTextJournalDamaged); break;
    case JournalLoad::Notice::OtherVersionSetAside: tell(kTextJournalOtherVersion); break;
    case JournalLoad::Notice::ForeignSetAside: tell(kTextJournalSetAside); break;
    case JournalLoad::Notice::CannotBeMarked: tell(kTextJournalReadOnly); break;
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

PendingReport ReportDelivery::reportOf(const LogRecord& record, const std::string& language,
                                       std::uint64_t generation) {
    return pendingReportOf(record, language, generation, ids_());
}

void ReportDelivery::handOver(std::vector<PendingReport> matches) {
    if (matches.empty()) return;
    {
        std::lock_guard guard(mutex_);
        for (PendingReport& report : matches) enqueue(std::move(report));
        // On the disk before the sender can take the first of them: a crash
        // from here on loses none.
        journalUnjournaled();
        work_ = true;
    }
    wake_.notify_all();
}

void ReportDelivery::submit(const LogRecord& record, const std::string& language, std::uint64_t generation) {
    std::vector<PendingReport> one;
    one.push_back(reportOf(record, language, generation));
    handOver(std::move(one));
    sendWaiting(0);
}

void ReportDelivery::enqueue(PendingReport report) {
    if (journal_) unjournaled_.push_back(journalEntryOf(report));
    std::deque<PendingReport> dropped;
    queue_.push(std::move(report), &dropped);
    if (dropped.empty()) return;
    for (const PendingReport& gone : dropped) {
        forget(gone.id);
        if (gone.fromLastRun) --lastRunWaiting_;
    }
    tellDropped();
}

void ReportDelivery::journalUnjournaled() {
    if (!journal_ || unjournaled_.empty()) return;
    // A write that failed half way cost the file: start it over from what
    // waits, all of which is here in memory.
    if (!journal_->usable()) {
        std::vector<JournalEntry> all;
        queue_.forEach([&](const PendingReport& report) { all.push_back(journalEntryOf(report)); });
        if (journal_->restart(all)) unjournaled_.clear();
    }
    if (journal_->usable() && journal_->appendAll(unjournaled_)) {
        unjournaled_.clear();
        journalFailureTold_ = false;
        return;
    }
    // A full disk passes: what the journal took is not added twice, the rest
    // is tried again with the next pass. Told once per outage, not per pass.
    std::erase_if(unjournaled_, [this](const JournalEntry& entry) { return journal_->holds(entry.id); });
    if (!journalFailureTold_) tell(kTextJournalNotWritten);
    journalFailureTold_ = true;
}

void ReportDelivery::startSending() {
    if (sender_.joinable()) return;
    sender_ = std::thread([this] { sendLoop(); });
}

bool ReportDelivery::stopping() const {
    std::lock_guard guard(mutex_);
    return ending_ || session_.stopRequested();
}

void ReportDelivery::sendLoop() {
    while (true) {
        const Hold hold = sendDue();
        if (hold.kind == Hold::Kind::Stopped) return;
        std::uint64_t waitMs = kLongestSenderWaitMs;
        if (hold.kind == Hold::Kind::Paced || hold.kind == Hold::Kind::BackedOff) {
            const std::uint64_t now = clock_.elapsedMs();
            waitMs = std::min(waitMs, hold.untilMs > now ? hold.untilMs - now : 0);
        }
        std::unique_lock guard(mutex_);
        wake_.wait_for(guard, std::chrono::milliseconds(waitMs), [this] { return ending_ || work_; });
        work_ = false;
        if (ending_) return;
    }
}

std::uint64_t ReportDelivery::sendWaiting(std::uint64_t budgetMs) {
    if (sendingOnItsOwn()) return 0;
    const std::uint64_t began = clock_.elapsedMs();
    std::uint64_t slept = 0;
    while (true) {
        const Hold hold = sendDue();
        // Only the backlog's own pace is waited for here; a back-off is
        // longer than any step of the worker's waits.
        if (hold.kind != Hold::Kind::Paced || hold.untilMs - began > budgetMs) break;
        const std::uint64_t now = clock_.elapsedMs();
        if (hold.untilMs <= now) continue;
        const auto pause = static_cast<std::uint32_t>(hold.untilMs - now);
        clock_.sleepMs(pause);
        slept += pause;
    }
    return slept;
}

ReportDelivery::Hold ReportDelivery::sendDue() {
    while (true) {
        PendingReport report;
        {
            std::lock_guard guard(mutex_);
            // Looked at before every report: a stop with thousands waiting
            // ends now, and they all stay in the journal.
            if (ending_ || session_.stopRequested()) return {Hold::Kind::Stopped, 0};
            const std::uint64_t now = clock_.elapsedMs();
            const PendingReport* next = queue_.next(now);
            if (next == nullptr) return {Hold::Kind::Nothing, 0};
            const std::uint64_t at = queue_.nextSendMs();
            if (at > now) return {queue_.due(now) ? Hold::Kind::Paced : Hold::Kind::BackedOff, at};
            report = *next;
        }
        // The server is waited for without the lock: the worker hands its
        // passes over meanwhile.
        if (!attempt(report)) {
            std::lock_guard guard(mutex_);
            return {Hold::Kind::BackedOff, queue_.nextSendMs()};
        }
    }
}

// True when the answer ended the report.
bool ReportDelivery::attempt(const PendingReport& report) {
    LogRecord record = report.recordForSending();
    const ServerIdentifiers ids = identifiers();
    const ReportIdentity identity{report.language, ids.sid, ids.fid, session_.playerId()};
    const ReportAnswer answer = postLine(connection_, identity, record, report.id.toHex());
    if (const auto refusal = connection_.freshCertificateRefusal()) tell(certificateRefusalText(*refusal));

    std::lock_guard guard(mutex_);
    const std::uint64_t now = clock_.elapsedMs();
    if (!endsReport(answer)) {
        const bool tooMany = answer.status.code == kTooManyRequests;
        // A report set aside failing again says nothing of the others.
        if (queue_.isSetAside(report.id)) queue_.asideAttemptFailed(now);
        else queue_.attemptFailed(now, answer.status.retryAfterSeconds, tooMany);
        if (queue_.kept(report.id, now, !tooMany, clock_.now())) {
            tell(kTextReportGivenUp);
            finished(report);
        }
        return false;
    }
    queue_.attemptSucceeded(now);
    applyReportAnswer(answer, record, report.generation, session_, identifiers_, settings_);
    if (queue_.taken(report.id, now)) finished(report);
    return true;
}

// Never sent again after a restart: out of the journal, or never into it.
void ReportDelivery::forget(const ReportId& id) {
    if (!journal_) return;
    const auto waiting = std::find_if(unjournaled_.begin(), unjournaled_.end(),
                                      [&](const JournalEntry& entry) { return entry.id == id; });
    if (waiting != unjournaled_.end()) unjournaled_.erase(waiting);
    else journal_->markDone(id);
}

// A report that the server answered for good (it may have refused it), or
// that was given up.
void ReportDelivery::finished(const PendingReport& report) {
    forget(report.id);
    if (!report.fromLastRun) return;
    ++lastRunSent_;
    if (--lastRunWaiting_ == 0)
        session_.appendMessage(
            session_.messageRecord(u"* " + formatStatusText(LoadTextW(kTextLastRunReportsSent), {lastRunSent_})));
}

std::size_t ReportDelivery::waiting() const {
    std::lock_guard guard(mutex_);
    return queue_.size();
}

bool ReportDelivery::durable() const {
    std::lock_guard guard(mutex_);
    return journal_.has_value();
}

ServerIdentifiers ReportDelivery::identifiers() const {
    std::lock_guard guard(mutex_);
    return identifiers_;
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
