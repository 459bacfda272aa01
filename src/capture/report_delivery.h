#pragma once
// The one owner of every matched line on its way to the server: the reports
// that wait, the journal that keeps them across a crash or an exit, the pace
// and back-off of the attempts, the report ids and the server's identifiers
// of the run. The worker hands each match over and calls back in while it
// waits; nothing here ends over a failure, and a reset of the capture leaves
// the waiting reports alone.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "capture/report_effects.h"
#include "capture/report_id.h"
#include "capture/report_journal.h"
#include "capture/report_queue.h"
#include "platform/clock.h"
#include "platform/settings_store.h"
#include "report/server_connection.h"
#include "session/capture_session.h"

namespace tidemark {

using ReportIdSource = std::function<ReportId()>;

class ReportDelivery {
public:
    // `journalPath` empty: the reports wait in memory only. Otherwise the
    // journal there is opened and what it holds from the last run queued
    // first, under `generation`; a journal that cannot be used is told in
    // the message log and the reports wait in memory. `ids` empty:
    // newReportId. Every reference must outlive the delivery.
    ReportDelivery(CaptureSession& session, ServerConnection& connection, Clock& clock, SettingsStore* settings,
                   const std::filesystem::path& journalPath, std::uint64_t generation, ReportIdSource ids = {});
    // Puts what was queued since the last flush on the disk.
    ~ReportDelivery();
    ReportDelivery(const ReportDelivery&) = delete;
    ReportDelivery& operator=(const ReportDelivery&) = delete;

    // A matching line of a read pass under the pattern set of `language`,
    // made in the session's reset generation `generation`: posted at once
    // when nothing waits, else queued behind the others.
    void submit(const LogRecord& record, const std::string& language, std::uint64_t generation);
    // Puts the reports queued since the last call into the journal, flushed
    // to disk once for all of them: the worker calls it at the end of each
    // read pass, before it goes on.
    void flushJournal();

    // Sends the waiting reports that are due, oldest first, at the backlog's
    // pace, until one fails, the stop is requested or the next would have to
    // wait past `budgetMs` from now. Returns the milliseconds it slept.
    std::uint64_t sendWaiting(std::uint64_t budgetMs);

    std::size_t waiting() const { return queue_.size(); }
    // Whether the waiting reports survive the end of the run.
    bool durable() const { return journal_.has_value(); }

    const ServerIdentifiers& identifiers() const { return identifiers_; }

private:
    enum class Attempt { Ended, Kept };
    Attempt attempt(const PendingReport& report);
    void enqueue(PendingReport report);
    void finished(const PendingReport& report);
    void forget(const ReportId& id);
    void openJournal(const std::filesystem::path& path, std::uint64_t generation);
    void tell(int textId);
    void tellDropped();

    CaptureSession& session_;
    ServerConnection& connection_;
    Clock& clock_;
    SettingsStore* settings_;
    ReportIdSource ids_;
    ServerIdentifiers identifiers_;
    ReportQueue queue_;
    std::optional<ReportJournal> journal_;
    std::vector<JournalEntry> unflushed_;  // queued, not in the journal yet
    bool dropTold_ = false;
    std::size_t lastRunWaiting_ = 0;  // reports of the last run not answered yet
    std::int32_t lastRunSent_ = 0;
};

}  // namespace tidemark
