// The journal on a simulated disk that loses whatever was not synced when the
// power goes off. Each run of journal calls is played once to count its file
// calls, then again with the power cut (or one call failing) at each of them
// in turn; whatever happened, a restart must read back every report whose
// append said it was kept and not marked done since, none twice, none out of
// order, and none that was never appended.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "capture/report_journal.h"
#include "capture/report_journal_format.h"
#include "fakes/simulated_disk.h"

namespace tidemark {
namespace {

namespace format = journal_format;
using Call = SimulatedDisk::Call;
using Notice = JournalLoad::Notice;

const std::filesystem::path kPath = "/disk/Tidemark.queue";

JournalEntry entry(int n, std::size_t lineBytes = 20) {
    JournalEntry e;
    e.id = newReportId();
    e.language = n % 2 ? "ja" : "en";
    e.code = 0x100 + n;
    e.patternId = n;
    e.ordinal = n;
    e.time = 1700000000000LL + n;
    e.present = 1;
    e.line = std::string(lineBytes, static_cast<char>('a' + n % 26));
    return e;
}

// The journal's calls of one play, with what each promised.
class Play {
public:
    Play(SimulatedDisk& disk, JournalBounds bounds) : disk_(disk), bounds_(bounds) {}

    // A journal already on the disk: these reports, of which those at
    // `done` are marked done, and the first bytes of one more record.
    void startWith(std::vector<JournalEntry> reports, std::set<std::size_t> done) {
        std::string bytes = format::header();
        for (const JournalEntry& report : reports) bytes += format::reportRecord(report);
        for (const std::size_t index : done) bytes += format::doneRecord(reports[index].id);
        bytes += format::reportRecord(entry(99)).substr(0, 10);
        disk_.place(kPath, bytes);
        for (std::size_t i = 0; i < reports.size(); ++i) {
            if (!done.contains(i)) promised_.insert(reports[i].id.toHex());
            appended_.push_back(std::move(reports[i]));
        }
    }

    void open() { journal_ = ReportJournal::open(kPath, bounds_, disk_).first; }

    void append(std::vector<JournalEntry> reports) {
        const bool kept = reports.size() == 1 ? journal_.append(reports[0]) : journal_.appendAll(reports);
        for (JournalEntry& report : reports) {
            if (kept) promised_.insert(report.id.toHex());
            appended_.push_back(std::move(report));
        }
    }

    // Marks need not be flushed: a report marked done may come back.
    void markDone(std::size_t index) {
        journal_.markDone(appended_.at(index).id);
        promised_.erase(appended_[index].id.toHex());
    }

    // A restart of Tidemark: the journal closed, the file read again.
    JournalLoad restart() {
        journal_ = ReportJournal();
        return ReportJournal::open(kPath, bounds_, disk_).second;
    }

    void expectKept(const std::vector<JournalEntry>& readBack) const {
        std::set<std::string> missing = promised_;
        auto next = appended_.begin();
        for (const JournalEntry& report : readBack) {
            const auto found = std::find_if(next, appended_.end(), [&](const auto& e) { return e.id == report.id; });
            ASSERT_NE(found, appended_.end()) << "read back twice, out of order or never appended: " << report.line;
            EXPECT_EQ(report, *found);
            missing.erase(report.id.toHex());
            next = found + 1;
        }
        EXPECT_TRUE(missing.empty()) << missing.size() << " kept reports lost, the first " << *missing.begin();
    }

private:
    SimulatedDisk& disk_;
    JournalBounds bounds_;
    ReportJournal journal_;
    std::vector<JournalEntry> appended_;  // in the order appended, those on the disk at the start first
    std::set<std::string> promised_;      // hex ids
};

struct Scenario {
    const char* name;
    JournalBounds bounds;
    std::size_t renames;  // that the play makes when nothing fails: the rewrites it is meant to cover
    void (*play)(Play&);
};

const Scenario kScenarios[] = {
    {"Appends", {}, 1,  // the new file's header is the one rewrite
     [](Play& run) {
         run.open();
         run.append({entry(0)});
         run.append({entry(1), entry(2)});
         run.markDone(0);
         run.append({entry(3)});
         run.markDone(2);
         run.append({entry(4)});
     }},
    {"StartupCleaning", {}, 1,
     [](Play& run) {
         run.startWith({entry(0), entry(1), entry(2)}, {1});
         run.open();
         run.append({entry(3)});
         run.markDone(0);
         run.append({entry(4)});
     }},
    {"Compaction", {10000, std::uint64_t{16} << 20, 600}, 3,  // two compactions
     [](Play& run) {
         run.open();
         for (int n = 0; n < 8; ++n) run.append({entry(n, 100)});
         for (const std::size_t done : {7, 1, 2, 3, 5, 6}) run.markDone(done);
         run.append({entry(8)});
         run.append({entry(9), entry(10)});
     }},
};

enum class Fault { PowerCut, TornPowerCut, FailedCall };

const char* nameOf(Fault fault) {
    static const char* const names[] = {"PowerCut", "TornPowerCut", "FailedCall"};
    return names[static_cast<int>(fault)];
}

void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }
void PrintTo(Fault fault, std::ostream* out) { *out << nameOf(fault); }

const char* nameOf(Call call) {
    static const char* const names[] = {"OpenForAppend", "CreateTruncated", "OpenForRead", "Write",
                                        "Read",          "SyncData",        "SyncAll",     "Truncate",
                                        "Close",         "Rename",          "Remove",      "SyncFolder"};
    return names[static_cast<int>(call)];
}

class JournalDurability : public ::testing::TestWithParam<std::tuple<Scenario, Fault>> {};

TEST_P(JournalDurability, KeptReportsComeBackOnceAndInOrderWhereverTheFaultStrikes) {
    const auto& [scenario, fault] = GetParam();
    const std::size_t tornBytes = fault == Fault::TornPowerCut ? 7 : 0;
    std::size_t calls = 0;
    {
        SimulatedDisk disk;
        Play run(disk, scenario.bounds);
        scenario.play(run);
        calls = disk.callCount();
        ASSERT_EQ(disk.callCount(Call::Rename), scenario.renames);
        disk.cutPower();
        disk.powerOn();
        run.expectKept(run.restart().waiting);
    }
    ASSERT_GT(calls, 0u);
    // One more than the calls: the power goes off after the last of them.
    for (std::size_t at = 1; at <= calls + 1; ++at) {
        SimulatedDisk disk;
        if (fault == Fault::FailedCall) disk.failCall(at, std::nullopt, 7);
        else disk.cutPowerAtCall(at, std::nullopt, tornBytes);
        Play run(disk, scenario.bounds);
        scenario.play(run);
        SCOPED_TRACE(::testing::Message() << "fault at call " << at << " of " << calls << ": "
                                          << (at <= calls ? nameOf(disk.calls()[at - 1]) : "none"));
        if (fault == Fault::FailedCall) run.expectKept(run.restart().waiting);
        disk.cutPower(tornBytes);
        disk.powerOn();
        run.expectKept(run.restart().waiting);
        if (::testing::Test::HasFailure()) break;  // the first fault point is the one to read
    }
}

std::string caseName(const ::testing::TestParamInfo<std::tuple<Scenario, Fault>>& info) {
    return std::string(std::get<0>(info.param).name) + "_" + nameOf(std::get<1>(info.param));
}

INSTANTIATE_TEST_SUITE_P(Faults, JournalDurability,
                         ::testing::Combine(::testing::ValuesIn(kScenarios),
                                            ::testing::Values(Fault::PowerCut, Fault::TornPowerCut,
                                                              Fault::FailedCall)),
                         caseName);

TEST(JournalDurabilityTornRecord, IsCutBackAtTheNextOpenSoThatLaterReportsAreReadBack) {
    const JournalEntry first = entry(1), torn = entry(2), later = entry(3);
    const std::size_t recordBytes = format::reportRecordBytes(torn);
    for (std::size_t kept = 1; kept < recordBytes; ++kept) {
        SCOPED_TRACE(kept);
        SimulatedDisk disk;
        {
            auto [journal, load] = ReportJournal::open(kPath, {}, disk);
            ASSERT_TRUE(journal.append(first));
            disk.cutPowerAtCall(1, Call::SyncData, kept);
            EXPECT_FALSE(journal.append(torn));
        }
        disk.powerOn();
        {
            auto [journal, load] = ReportJournal::open(kPath, {}, disk);
            EXPECT_EQ(load.notice, Notice::DamagedTailDropped);
            EXPECT_EQ(load.waiting, std::vector<JournalEntry>{first});
            ASSERT_TRUE(journal.append(later));
        }
        disk.cutPower();
        disk.powerOn();
        const JournalLoad load = ReportJournal::open(kPath, {}, disk).second;
        EXPECT_EQ(load.notice, Notice::None);
        EXPECT_EQ(load.waiting, (std::vector<JournalEntry>{first, later}));
        if (::testing::Test::HasFailure()) break;
    }
}

}  // namespace
}  // namespace tidemark
