#include "capture/report_journal.h"

#include <algorithm>
#include <iterator>
#include <system_error>

#include "capture/report_journal_format.h"

namespace tidemark {

namespace format = journal_format;

namespace {

// Far above what the bounds let the file grow to (twice the live records
// before compaction), so only a file that is not ours gets cut here.
constexpr std::size_t kMaxFileBytes = std::size_t{96} << 20;

std::string fileOf(std::span<const JournalEntry> entries) {
    std::string bytes = format::header();
    for (const JournalEntry& entry : entries) bytes += format::reportRecord(entry);
    return bytes;
}

// The same rule as the queue in memory: the oldest go first, but one report
// alone is kept whatever its size. Returns those dropped, oldest first.
std::vector<JournalEntry> dropOverBound(std::vector<JournalEntry>& waiting, const JournalBounds& bounds) {
    std::uint64_t lineBytes = 0;
    for (const JournalEntry& entry : waiting) lineBytes += entry.line.size();
    std::size_t dropped = 0;
    while (waiting.size() - dropped > bounds.maxReports ||
           (lineBytes > bounds.maxLineBytes && waiting.size() - dropped > 1)) {
        lineBytes -= waiting[dropped].line.size();
        ++dropped;
    }
    const auto end = waiting.begin() + static_cast<std::ptrdiff_t>(dropped);
    std::vector<JournalEntry> gone(std::make_move_iterator(waiting.begin()), std::make_move_iterator(end));
    waiting.erase(waiting.begin(), end);
    return gone;
}

}  // namespace

std::pair<ReportJournal, JournalLoad> ReportJournal::open(const std::filesystem::path& path, JournalBounds bounds,
                                                          FileSystem& files, std::int64_t nowSeconds) {
    std::pair<ReportJournal, JournalLoad> result;
    ReportJournal& journal = result.first;
    JournalLoad& load = result.second;
    journal.files_ = &files;
    journal.path_ = path;
    journal.bounds_ = bounds;

    FileContents contents = readFile(files, path, kMaxFileBytes);
    if (contents.status == FileContents::Status::Failed) {
        load.notice = JournalLoad::Notice::Unusable;
        return result;
    }
    format::ParsedJournal parsed;
    if (contents.status == FileContents::Status::Read) {
        parsed = format::parse(contents.bytes);
        const bool otherVersion = parsed.header == format::ParsedJournal::Header::OtherVersion;
        if (otherVersion || parsed.header == format::ParsedJournal::Header::Foreign) {
            load.setAsideAs = setAsideName(path, nowSeconds);
            if (!files.rename(path, load.setAsideAs)) {
                load.setAsideAs.clear();
                load.notice = JournalLoad::Notice::Unusable;
                return result;
            }
            load.notice = otherVersion ? JournalLoad::Notice::OtherVersionSetAside
                                       : JournalLoad::Notice::ForeignSetAside;
            contents = FileContents{FileContents::Status::Missing, {}, false};
            parsed = {};
        }
    }
    if (parsed.damaged || contents.cut) load.notice = JournalLoad::Notice::DamagedTailDropped;

    std::vector<JournalEntry>& waiting = parsed.waiting;
    std::vector<JournalEntry> droppedEntries = dropOverBound(waiting, bounds);
    load.droppedOverBound = droppedEntries.size();

    // Anything but a clean file with only waiting reports is rewritten first:
    // a record appended behind a damaged tail would never be read back.
    const std::string clean = fileOf(waiting);
    const bool rewrite = contents.status == FileContents::Status::Missing || contents.bytes != clean;
    std::optional<AppendFile> file;
    if (!rewrite || replaceFile(files, path, clean)) {
        file = AppendFile::open(files, path);
        if (file) {
            journal.file_ = std::move(*file);
            journal.fileBytes_ = clean.size();
            journal.liveBytes_ = format::kHeaderBytes;
            journal.trackAll(waiting);
        }
    } else if (contents.status == FileContents::Status::Read) {
        // A folder that refuses the rename, say: the file itself may still
        // take done marks. The replace may have failed after its rename,
        // so what stands there now is read again before it is used.
        const FileContents standing = readFile(files, path, kMaxFileBytes);
        format::ParsedJournal again;
        if (standing.status == FileContents::Status::Read && !standing.cut) again = format::parse(standing.bytes);
        if (again.header == format::ParsedJournal::Header::Ours) {
            std::vector<JournalEntry> againDropped = dropOverBound(again.waiting, bounds);
            if (journal.useInPlace(standing.bytes, again.cleanBytes, again.waiting, againDropped)) {
                waiting = std::move(again.waiting);
                load.droppedOverBound = againDropped.size();
            }
        }
    }
    if (!journal.usable()) {
        const bool kept = contents.status == FileContents::Status::Read && !waiting.empty();
        load.notice = kept ? JournalLoad::Notice::CannotBeMarked : JournalLoad::Notice::Unusable;
        load.droppedOverBound = 0;
        return result;
    }
    load.waiting = std::move(waiting);
    return result;
}

std::filesystem::path ReportJournal::setAsideName(const std::filesystem::path& path, std::int64_t nowSeconds) {
    std::filesystem::path aside = path;
    aside += ".unreadable-" + std::to_string(nowSeconds);
    // Two in one second: the later gets a counter rather than replacing the first.
    for (int n = 2; std::filesystem::exists(aside) && n < 100; ++n) {
        aside = path;
        aside += ".unreadable-" + std::to_string(nowSeconds) + "-" + std::to_string(n);
    }
    return aside;
}

bool ReportJournal::useInPlace(const std::string& bytes, std::size_t cleanBytes,
                               const std::vector<JournalEntry>& waiting, std::span<const JournalEntry> dropped) {
    auto file = AppendFile::open(*files_, path_);
    if (!file) return false;
    if (bytes.size() > cleanBytes && !file->truncate(cleanBytes)) return false;
    file_ = std::move(*file);
    fileBytes_ = cleanBytes;
    liveBytes_ = format::kHeaderBytes;
    trackAll(waiting);
    // What the file holds beyond the live records (done marks, answered
    // reports) counts against compaction, which will be tried later.
    for (const JournalEntry& entry : dropped)
        if (!writeRecord(format::doneRecord(entry.id))) break;
    if (!usable() || !file_.flush()) {
        file_.close();
        seqOf_.clear();
        waiting_.clear();
        return false;
    }
    return true;
}

void ReportJournal::trackAll(std::span<const JournalEntry> waiting) {
    for (const JournalEntry& entry : waiting) track(entry.id, entry.line.size(), format::reportRecordBytes(entry));
}

bool ReportJournal::restart(std::span<const JournalEntry> waiting) {
    if (path_.empty()) return false;
    file_.close();
    if (!replaceFile(*files_, path_, fileOf(waiting))) return false;
    auto file = AppendFile::open(*files_, path_);
    if (!file) return false;
    file_ = std::move(*file);
    seqOf_.clear();
    waiting_.clear();
    firstSeq_ = 0;
    waitingLineBytes_ = 0;
    liveBytes_ = format::kHeaderBytes;
    trackAll(waiting);
    fileBytes_ = liveBytes_;
    retryCompactionAbove_ = 0;
    return true;
}

void ReportJournal::track(const ReportId& id, std::uint64_t lineBytes, std::uint64_t recordBytes) {
    seqOf_.emplace(id, firstSeq_ + waiting_.size());
    waiting_.push_back(Waiting{id, lineBytes, recordBytes, false});
    waitingLineBytes_ += lineBytes;
    liveBytes_ += recordBytes;
}

bool ReportJournal::writeRecord(const std::string& record) {
    if (file_.write(record)) {
        fileBytes_ += record.size();
        return true;
    }
    // Part of the record may have reached the file: cut it off, or nothing
    // appended later could be read back.
    if (!file_.truncate(fileBytes_)) file_.close();
    return false;
}

bool ReportJournal::appendUnflushed(const JournalEntry& entry) {
    if (!usable()) return false;
    if (entry.language.size() > format::kMaxLanguageBytes || entry.line.size() > format::kMaxLineBytes) return false;
    if (seqOf_.contains(entry.id)) return true;
    const std::string record = format::reportRecord(entry);
    if (!writeRecord(record)) return false;
    track(entry.id, entry.line.size(), record.size());
    return true;
}

bool ReportJournal::append(const JournalEntry& entry) { return appendAll(std::span(&entry, 1)); }

bool ReportJournal::appendAll(std::span<const JournalEntry> entries) {
    if (!usable()) return false;
    bool kept = true;
    for (const JournalEntry& entry : entries) kept = appendUnflushed(entry) && kept;
    kept = file_.flush() && kept;

    while (seqOf_.size() > bounds_.maxReports || (waitingLineBytes_ > bounds_.maxLineBytes && seqOf_.size() > 1)) {
        const ReportId oldest = waiting_.front().id;
        if (!writeRecord(format::doneRecord(oldest))) break;
        forget(oldest);
    }
    shrinkIfWorthIt();
    return kept && usable();
}

bool ReportJournal::markDone(const ReportId& id) {
    if (!usable()) return false;
    if (!seqOf_.contains(id)) return true;
    if (!writeRecord(format::doneRecord(id))) return false;
    forget(id);
    shrinkIfWorthIt();
    return true;
}

void ReportJournal::forget(const ReportId& id) {
    const auto found = seqOf_.find(id);
    Waiting& waiting = waiting_[found->second - firstSeq_];
    waiting.done = true;
    waitingLineBytes_ -= waiting.lineBytes;
    liveBytes_ -= waiting.recordBytes;
    seqOf_.erase(found);
    while (!waiting_.empty() && waiting_.front().done) {
        waiting_.pop_front();
        ++firstSeq_;
    }
}

void ReportJournal::shrinkIfWorthIt() {
    if (!usable() || fileBytes_ == liveBytes_) return;
    if (seqOf_.empty()) {
        // Everything in the file is done: whether the cut lands or not, a
        // crash leaves nothing to send again.
        if (file_.truncate(format::kHeaderBytes)) fileBytes_ = liveBytes_ = format::kHeaderBytes;
        else file_.close();
        return;
    }
    if (fileBytes_ > std::max(bounds_.compactAboveBytes, retryCompactionAbove_) && fileBytes_ > 2 * liveBytes_ &&
        !compact()) {
        // Reading the whole file again at every answer would make a backlog
        // quadratic: try again once the file has grown as much once more.
        retryCompactionAbove_ = fileBytes_ + bounds_.compactAboveBytes;
    }
}

bool ReportJournal::compact() {
    const FileContents contents = readFile(*files_, path_, kMaxFileBytes);
    if (contents.status != FileContents::Status::Read || contents.cut) return false;
    format::ParsedJournal parsed = format::parse(contents.bytes);
    // The file must say what this journal believes waits, or it is left as
    // it is rather than rewritten from a view that may be wrong.
    if (parsed.header != format::ParsedJournal::Header::Ours || parsed.damaged ||
        parsed.waiting.size() != seqOf_.size())
        return false;
    for (const JournalEntry& entry : parsed.waiting)
        if (!seqOf_.contains(entry.id)) return false;
    const std::string clean = fileOf(parsed.waiting);
    file_.close();
    // A replace that failed may have failed before its rename or after it:
    // which file now stands there, and how long it is, is not known, so
    // nothing is appended to it. The owner starts the file over from what
    // waits in memory.
    if (!replaceFile(*files_, path_, clean)) return false;
    if (auto reopened = AppendFile::open(*files_, path_)) file_ = std::move(*reopened);
    if (!usable()) return false;
    fileBytes_ = liveBytes_ = clean.size();
    return true;
}

}  // namespace tidemark
