#pragma once
// The one owner of every matched line on its way to the server: the reports
// that wait, the journal that keeps them across a crash or an exit, the pace
// and back-off of the attempts, the report ids and the server's identifiers
// of the run. The worker hands the matches of each read pass over; they are
// on the disk before the first of them is sent. Sending runs on a thread of
// its own once started, so a slow or silent server never holds the reading
// of the game's log back; nothing here ends over a failure, and a reset of
// the capture leaves the waiting reports alone.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
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
    // the message log. `connection` is used by the delivery alone. `ids`
    // empty: newReportId. Every reference must outlive the delivery.
    ReportDelivery(CaptureSession& session, ServerConnection& connection, Clock& clock, SettingsStore* settings,
                   const std::filesystem::path& journalPath, std::uint64_t generation, ReportIdSource ids = {},
                   FileSystem& files = platformFileSystem());
    // Ends the sending thread after the attempt in flight.
    ~ReportDelivery();
    ReportDelivery(const ReportDelivery&) = delete;
    ReportDelivery& operator=(const ReportDelivery&) = delete;

    // A matching line of a read pass under the pattern set of `language`,
    // made in the session's reset generation `generation`, with a new id.
    PendingReport reportOf(const LogRecord& record, const std::string& language, std::uint64_t generation);
    // The matches of one read pass: into the journal, flushed to the disk
    // once for all of them, then queued behind the others. A journal that
    // could not take them is tried again at the next hand-over.
    void handOver(std::vector<PendingReport> matches);
    // One match on its own: handed over, then, without the sending thread,
    // sent at once when it is due.
    void submit(const LogRecord& record, const std::string& language, std::uint64_t generation);

    // From now on the waiting reports go out on a thread of the delivery's
    // own, until the session's stop request or the delivery's end.
    void startSending();
    bool sendingOnItsOwn() const { return sender_.joinable(); }

    // Without the sending thread: sends the waiting reports that are due,
    // oldest first, at the backlog's pace, until one is kept, the stop is
    // requested or the next would have to wait past `budgetMs` from now.
    // Returns the milliseconds it slept. With the thread it does nothing.
    std::uint64_t sendWaiting(std::uint64_t budgetMs);

    std::size_t waiting() const;
    // Whether the waiting reports survive the end of the run.
    bool durable() const;

    ServerIdentifiers identifiers() const;

private:
    // What holds the next report back once the due ones were sent.
    struct Hold {
        enum class Kind { Nothing, Paced, BackedOff, Stopped } kind = Kind::Nothing;
        std::uint64_t untilMs = 0;
    };
    Hold sendDue();
    bool attempt(const PendingReport& report);
    void sendLoop();
    bool stopping() const;

    // Each with mutex_ held.
    void enqueue(PendingReport report);
    void journalUnjournaled();
    void finished(const PendingReport& report);
    void forget(const ReportId& id);
    void openJournal(const std::filesystem::path& path, std::uint64_t generation, FileSystem& files);
    void tell(int textId);
    void tellDropped();

    CaptureSession& session_;
    ServerConnection& connection_;
    Clock& clock_;
    SettingsStore* settings_;
    ReportIdSource ids_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool ending_ = false;
    bool work_ = false;  // handed over since the sender last looked
    ServerIdentifiers identifiers_;
    ReportQueue queue_;
    std::optional<ReportJournal> journal_;
    std::vector<JournalEntry> unjournaled_;  // queued, not in the journal yet
    bool journalFailureTold_ = false;        // since the journal last took everything
    bool dropTold_ = false;
    std::size_t lastRunWaiting_ = 0;  // reports of the last run not answered yet
    std::int32_t lastRunSent_ = 0;

    std::thread sender_;
};

}  // namespace tidemark
