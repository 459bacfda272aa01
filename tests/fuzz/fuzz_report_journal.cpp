// The journal reader on arbitrary file contents: it never crashes, keeps
// every length within its limits, reads a cut-off file as the clean part
// before the cut, and what it writes back is read back the same. The file
// half runs the journal itself on a file in memory-backed storage.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <unistd.h>

#include "capture/report_journal.h"
#include "capture/report_journal_format.h"

namespace tidemark {
namespace {

namespace format = journal_format;
namespace fs = std::filesystem;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

void checkParse(std::string_view bytes) {
    const format::ParsedJournal parsed = format::parse(bytes);
    if (parsed.header != format::ParsedJournal::Header::Ours) {
        if (!parsed.waiting.empty()) fail("reports read from a file that is not this version's journal");
        return;
    }
    if (parsed.cleanBytes < format::kHeaderBytes || parsed.cleanBytes > bytes.size()) fail("clean part out of range");
    if (parsed.damaged != (parsed.cleanBytes < bytes.size())) fail("damage flag disagrees with the clean part");
    for (const JournalEntry& entry : parsed.waiting)
        if (entry.language.size() > format::kMaxLanguageBytes || entry.line.size() > format::kMaxLineBytes)
            fail("a field beyond its limit");

    const format::ParsedJournal clean = format::parse(bytes.substr(0, parsed.cleanBytes));
    if (clean.damaged || clean.waiting != parsed.waiting) fail("the clean part reads otherwise alone");

    std::string rewritten = format::header();
    for (const JournalEntry& entry : parsed.waiting) rewritten += format::reportRecord(entry);
    const format::ParsedJournal again = format::parse(rewritten);
    if (again.damaged || again.waiting != parsed.waiting) fail("a rewritten journal reads back otherwise");
}

fs::path scratchFile() {
    const fs::path folder = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    return folder / ("tidemark-fuzz-journal-" + std::to_string(::getpid()));
}

void checkJournal(std::string_view bytes, std::size_t maxReports) {
    static const fs::path path = scratchFile();
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    const JournalBounds bounds{maxReports, 4096, 2048};
    auto [journal, load] = ReportJournal::open(path, bounds);
    if (load.waiting.size() > maxReports) fail("more reports than the bound");
    if (!journal.usable()) return;

    JournalEntry added;
    added.id = newReportId();
    added.line = "added";
    if (!journal.append(added)) fail("append failed on a usable journal");
    std::vector<JournalEntry> expected = load.waiting;
    expected.push_back(added);
    if (expected.size() > maxReports) expected.erase(expected.begin());
    if (!expected.empty() && expected.front().id != added.id) {
        if (!journal.markDone(expected.front().id)) fail("markDone failed on a usable journal");
        expected.erase(expected.begin());
    }
    // Past the bytes bound the journal drops more; the reopened file must
    // agree with it either way.
    const std::size_t waiting = journal.waitingCount();
    journal = ReportJournal();
    const JournalLoad reloaded = ReportJournal::open(path, bounds).second;
    if (reloaded.notice != JournalLoad::Notice::None) fail("the journal's own file reads as damaged");
    if (reloaded.waiting.size() != waiting) fail("reopened journal holds another count");
    const std::vector<JournalEntry> tail(expected.end() - static_cast<std::ptrdiff_t>(waiting), expected.end());
    if (waiting > expected.size() || reloaded.waiting != tail) fail("reopened journal holds other reports");
}

}  // namespace
}  // namespace tidemark

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    tidemark::checkParse(bytes);
    tidemark::checkJournal(bytes, 1 + data[0] % 8);
    return 0;
}
