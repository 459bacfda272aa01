#pragma once
// Reports that wait for the server, kept in a file beside the settings
// (Tidemark.queue) so that neither an exit nor a crash loses them: each is on
// the disk before the worker goes on, and is marked done once the server
// answered it (or it was dropped). The next start reads back what still
// waits, in the order it was appended, with the ids it was sent with.
//
// One owner (the delivery), one thread: not safe to share between threads.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "capture/report_id.h"
#include "platform/durable_file.h"

namespace tidemark {

struct JournalEntry {            // one report that waits for the server
    ReportId id;
    std::string language;        // of the pattern set that matched it
    std::int32_t code = 0, patternId = 0, ordinal = 0;
    std::int64_t time = 0;
    std::uint32_t present = 0;
    std::string line;            // the raw line bytes

    friend bool operator==(const JournalEntry&, const JournalEntry&) = default;
};

struct JournalLoad {
    std::vector<JournalEntry> waiting;   // in the order they were appended, oldest first
    enum class Notice {
        None,
        DamagedTailDropped,
        OtherVersionSetAside,  // renamed to `setAsideAs`, a new journal begun
        ForeignSetAside,       // not a journal at all (a damaged header): the same
        CannotBeMarked,        // the file cannot be written: its reports stay in it, unsent
        Unusable               // nothing can be kept in the file
    } notice = Notice::None;
    std::filesystem::path setAsideAs;
    std::size_t droppedOverBound = 0;    // oldest dropped to keep the bounds
};

// The same bounds as the reports waiting in memory.
struct JournalBounds {
    std::size_t maxReports = 10000;
    std::uint64_t maxLineBytes = std::uint64_t{16} << 20;
    // Done marks and answered reports are rewritten away once the file is
    // larger than this and more than half of it is no longer needed.
    std::uint64_t compactAboveBytes = std::uint64_t{1} << 20;
};

class ReportJournal {
public:
    ReportJournal() = default;  // not usable
    ReportJournal(ReportJournal&&) = default;
    ReportJournal& operator=(ReportJournal&&) = default;

    // Reads what waits in `path` and keeps the file open for appending. A
    // file of another version, or one that is not a journal, is never
    // overwritten: a newer or older Tidemark may still want it, so it is
    // renamed aside (stamped with `nowSeconds`) and a new journal begun. A
    // damaged tail is cut off before anything is appended behind it. A file
    // that cannot be rewritten is appended to as it stands; one that cannot
    // be written at all keeps its reports, which are then not loaded: sent
    // without a way to mark them done, they would go again at every start.
    // On CannotBeMarked and Unusable the journal is not usable: every later
    // call does nothing and returns false, and the caller works in memory.
    static std::pair<ReportJournal, JournalLoad> open(const std::filesystem::path& path, JournalBounds bounds = {},
                                                      FileSystem& files = platformFileSystem(),
                                                      std::int64_t nowSeconds = 0);

    // After the file was lost to a failed write: puts `waiting` in its place
    // and goes on appending there. False when it cannot.
    bool restart(std::span<const JournalEntry> waiting);

    bool usable() const { return file_.isOpen(); }
    // Whether the report is in the file, waiting.
    bool holds(const ReportId& id) const { return seqOf_.contains(id); }
    std::size_t waitingCount() const { return seqOf_.size(); }

    // On the disk (flushed) before it returns. An id that already waits is
    // not added again. Beyond the bounds the oldest are marked done, as the
    // queue in memory drops them. False when the report could not be kept
    // (too long a language or line (over 1 MiB), or a failed write).
    bool append(const JournalEntry& entry);
    // As append, for the matches of one read pass: one flush for all, which
    // is most of an append's cost. False when any could not be kept.
    bool appendAll(std::span<const JournalEntry> entries);

    // Answered or dropped: never read back after a restart. True also for an
    // id that does not wait. Not flushed: should the machine lose the mark,
    // the report is sent again with its id, which the server answers without
    // storing it twice.
    bool markDone(const ReportId& id);

private:
    struct Waiting {
        ReportId id;
        std::uint64_t lineBytes = 0;
        std::uint64_t recordBytes = 0;
        bool done = false;
    };

    static std::filesystem::path setAsideName(const std::filesystem::path& path, std::int64_t nowSeconds);
    bool writeRecord(const std::string& record);
    bool useInPlace(const std::string& bytes, std::size_t cleanBytes, const std::vector<JournalEntry>& waiting,
                    std::span<const JournalEntry> dropped);
    void trackAll(std::span<const JournalEntry> waiting);
    bool appendUnflushed(const JournalEntry& entry);
    void forget(const ReportId& id);
    void shrinkIfWorthIt();
    bool compact();
    void track(const ReportId& id, std::uint64_t lineBytes, std::uint64_t recordBytes);

    FileSystem* files_ = nullptr;
    std::filesystem::path path_;
    JournalBounds bounds_;
    AppendFile file_;
    std::uint64_t fileBytes_ = 0;
    std::uint64_t liveBytes_ = 0;         // header and the records of waiting reports
    std::uint64_t waitingLineBytes_ = 0;
    std::uint64_t retryCompactionAbove_ = 0;  // after a compaction failed
    std::deque<Waiting> waiting_;         // oldest first; done ones leave from the front
    std::uint64_t firstSeq_ = 0;          // sequence number of waiting_.front()
    std::unordered_map<ReportId, std::uint64_t> seqOf_;  // waiting ids only
};

}  // namespace tidemark
