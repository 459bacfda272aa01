// What the journal adds per report: append (written and flushed to the disk)
// and markDone, for chat lines of ordinary length and for the longest line
// the client posts; and the start with a full journal (10,000 reports).
// Target: append+flush <= 1 ms per report on an ordinary disk.
//
// usage: report_journal_bench [reports] [folder]   (folder: the temporary one)

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "capture/report_journal.h"

using namespace tidemark;
using SteadyClock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

double microseconds(SteadyClock::duration duration) {
    return std::chrono::duration<double, std::micro>(duration).count();
}

struct Figures {
    double median, p99, mean;
};

Figures figuresOf(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    double sum = 0;
    for (double s : samples) sum += s;
    return {samples[samples.size() / 2], samples[samples.size() * 99 / 100], sum / static_cast<double>(samples.size())};
}

void print(const char* what, const Figures& f) {
    std::printf("%-44s median %8.1f us  p99 %8.1f us  mean %8.1f us\n", what, f.median, f.p99, f.mean);
}

JournalEntry entryOf(int n, std::size_t lineBytes) {
    JournalEntry entry;
    entry.id = newReportId();
    entry.language = "en";
    entry.code = 0x0039;
    entry.patternId = 12;
    entry.ordinal = n;
    entry.time = 1700000000 + n;
    entry.present = 1;
    entry.line.assign(lineBytes, 'a');
    return entry;
}

// Appends `count` reports, then marks them done oldest first, as the server
// answers a backlog.
void appendAndMarkDone(const fs::path& path, int count, std::size_t lineBytes, const char* label) {
    fs::remove(path);
    auto [journal, load] = ReportJournal::open(path);
    if (!journal.usable()) {
        std::fprintf(stderr, "journal not usable at %s\n", path.string().c_str());
        std::exit(1);
    }
    std::vector<JournalEntry> entries;
    for (int n = 0; n < count; ++n) entries.push_back(entryOf(n, lineBytes));
    std::vector<double> appends, dones, batched;
    for (const JournalEntry& entry : entries) {
        const auto begun = SteadyClock::now();
        if (!journal.append(entry)) std::exit(1);
        appends.push_back(microseconds(SteadyClock::now() - begun));
    }
    for (const JournalEntry& entry : entries) {
        const auto begun = SteadyClock::now();
        if (!journal.markDone(entry.id)) std::exit(1);
        dones.push_back(microseconds(SteadyClock::now() - begun));
    }
    // The same reports again, ten to a read pass, one flush each.
    for (JournalEntry& entry : entries) entry.id = newReportId();
    for (std::size_t first = 0; first + 10 <= entries.size(); first += 10) {
        const auto begun = SteadyClock::now();
        if (!journal.appendAll(std::span(entries).subspan(first, 10))) std::exit(1);
        batched.push_back(microseconds(SteadyClock::now() - begun) / 10);
    }
    std::string name = std::string("append+flush, ") + label;
    print(name.c_str(), figuresOf(appends));
    name = std::string("appendAll of 10, per report, ") + label;
    print(name.c_str(), figuresOf(batched));
    name = std::string("markDone, ") + label;
    print(name.c_str(), figuresOf(dones));
}

void startWithFullJournal(const fs::path& path) {
    fs::remove(path);
    {
        auto [journal, load] = ReportJournal::open(path);
        for (int n = 0; n < 10000; ++n)
            if (!journal.append(entryOf(n, 120))) std::exit(1);
    }
    const auto begun = SteadyClock::now();
    auto [journal, load] = ReportJournal::open(path);
    const double ms = microseconds(SteadyClock::now() - begun) / 1000;
    std::printf("%-44s %8.1f ms (%zu reports read back)\n", "open with 10,000 waiting (120-byte lines)", ms,
                load.waiting.size());
}

}  // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 2000;
    const fs::path folder = argc > 2 ? fs::path(argv[2]) : fs::temp_directory_path();
    const fs::path path = folder / "tidemark-bench.queue";
    std::printf("journal in %s, %d reports a run\n", folder.string().c_str(), count);
    appendAndMarkDone(path, count, 120, "120-byte lines");
    appendAndMarkDone(path, std::max(count / 10, 10), 65536, "64 KiB lines");
    startWithFullJournal(path);
    fs::remove(path);
    std::printf("target: append+flush <= 1000 us per report\n");
    return 0;
}
