// The journal against real files: what waits comes back after a restart in
// order and byte for byte, what is done never does, and damage, foreign
// files and unusable folders neither crash nor hide later reports.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

#include "capture/report_journal.h"
#include "capture/report_journal_format.h"
#include "support/temp_folder.h"

namespace tidemark {

void PrintTo(const JournalEntry& entry, std::ostream* out) {
    *out << entry.id.toHex().substr(0, 8) << " " << entry.language << " " << entry.line.size() << " bytes";
}

namespace {

namespace fs = std::filesystem;
using Notice = JournalLoad::Notice;

using testing::TempFolder;

std::string readBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void writeBytes(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

JournalEntry entry(int n, std::string line = "") {
    JournalEntry e;
    e.id = newReportId();
    e.language = n % 2 ? "ja" : "en";
    e.code = 0x100 + n;
    e.patternId = 7 * n;
    e.ordinal = n;
    e.time = 1700000000LL * 1000 + n;
    e.present = n % 2;
    e.line = line.empty() ? "line " + std::to_string(n) + std::string("\0\xff\x02", 3) : std::move(line);
    return e;
}

class ReportJournalTest : public ::testing::Test {
protected:
    TempFolder folder;
    fs::path path = folder.path() / "Tidemark.queue";

    JournalLoad reopen(JournalBounds bounds = {}) { return ReportJournal::open(path, bounds).second; }
    // What a restart would read, while the journal still has the file open.
    std::vector<JournalEntry> onDisk() { return journal_format::parse(readBytes(path)).waiting; }
};

TEST_F(ReportJournalTest, WaitingReportsComeBackInOrderAndDoneOnesNever) {
    std::vector<JournalEntry> all = {entry(1), entry(2, std::string(70000, '\x80')), entry(3), entry(4)};
    all[3].language.clear();
    all[3].line.clear();
    {
        auto [journal, load] = ReportJournal::open(path);
        ASSERT_TRUE(journal.usable());
        EXPECT_EQ(load.notice, Notice::None);
        EXPECT_TRUE(load.waiting.empty());
        ASSERT_TRUE(journal.append(all[0]));
        ASSERT_TRUE(journal.appendAll(std::span(all).subspan(1)));
        EXPECT_TRUE(journal.append(all[0]));  // a repeat adds nothing
        EXPECT_TRUE(journal.markDone(all[2].id));
    }
    JournalLoad load = reopen();
    EXPECT_EQ(load.notice, Notice::None);
    EXPECT_EQ(load.waiting, (std::vector<JournalEntry>{all[0], all[1], all[3]}));

    auto [journal, again] = ReportJournal::open(path);
    ASSERT_TRUE(journal.markDone(all[0].id));
    ASSERT_TRUE(journal.markDone(all[3].id));
    EXPECT_EQ(onDisk(), (std::vector<JournalEntry>{all[1]}));
    ASSERT_TRUE(journal.markDone(all[1].id));
    EXPECT_TRUE(onDisk().empty());
}

TEST_F(ReportJournalTest, TornLastRecordIsDroppedAtEveryOffsetAndLaterReportsStillComeBack) {
    const std::vector<JournalEntry> kept = {entry(1), entry(2)};
    std::string beforeLast, whole;
    {
        auto [journal, load] = ReportJournal::open(path);
        for (const auto& e : kept) ASSERT_TRUE(journal.append(e));
        beforeLast = readBytes(path);
        ASSERT_TRUE(journal.append(entry(3)));
        whole = readBytes(path);
    }
    ASSERT_GT(whole.size(), beforeLast.size());
    for (std::size_t cut = beforeLast.size() + 1; cut < whole.size(); ++cut) {
        SCOPED_TRACE(cut);
        writeBytes(path, whole.substr(0, cut));
        const JournalEntry later = entry(9);
        {
            auto [journal, load] = ReportJournal::open(path);
            EXPECT_EQ(load.notice, Notice::DamagedTailDropped);
            EXPECT_EQ(load.waiting, kept);
            ASSERT_TRUE(journal.append(later));
        }
        const JournalLoad load = reopen();
        EXPECT_EQ(load.notice, Notice::None);
        EXPECT_EQ(load.waiting, (std::vector<JournalEntry>{kept[0], kept[1], later}));
    }
}

TEST_F(ReportJournalTest, AFlippedByteDropsItsRecordAndWhatFollows) {
    const std::vector<JournalEntry> three = {entry(1), entry(2), entry(3)};
    std::vector<std::size_t> ends;  // of the file after each append
    {
        auto [journal, load] = ReportJournal::open(path);
        for (const auto& e : three) {
            ASSERT_TRUE(journal.append(e));
            ends.push_back(fs::file_size(path));
        }
    }
    const std::string whole = readBytes(path);
    for (std::size_t at = ends[0]; at < whole.size(); ++at) {
        SCOPED_TRACE(at);
        std::string damaged = whole;
        damaged[at] = static_cast<char>(damaged[at] ^ 0x10);
        writeBytes(path, damaged);
        const JournalLoad load = reopen();
        EXPECT_EQ(load.notice, Notice::DamagedTailDropped);
        const std::size_t intact = at < ends[1] ? 1 : 2;
        EXPECT_EQ(load.waiting, std::vector<JournalEntry>(three.begin(), three.begin() + intact));
    }
}

// Never overwritten (a newer or older Tidemark may still want it), and
// never in the way: set aside under its own name, and a new journal begun.
TEST_F(ReportJournalTest, AJournalOfAnotherVersionOrNoJournalIsSetAsideWholeAndANewOneBegun) {
    {
        auto [journal, load] = ReportJournal::open(path);
        ASSERT_TRUE(journal.append(entry(1)));
    }
    std::string otherVersion = readBytes(path);
    otherVersion[8] = 2;  // the version follows the 8-byte magic
    std::string flippedMagic = readBytes(path);
    flippedMagic[0] ^= 0x20;
    const std::pair<std::string, Notice> cases[] = {{otherVersion, Notice::OtherVersionSetAside},
                                                    {flippedMagic, Notice::ForeignSetAside},
                                                    {"[general]\r\nlanguage=en\r\n", Notice::ForeignSetAside}};
    std::int64_t now = 1700000000;
    for (const auto& [bytes, notice] : cases) {
        writeBytes(path, bytes);
        const JournalEntry fresh = entry(2);
        {
            auto [journal, load] = ReportJournal::open(path, {}, platformFileSystem(), now);
            EXPECT_EQ(load.notice, notice);
            EXPECT_TRUE(load.waiting.empty());
            EXPECT_EQ(load.setAsideAs.filename().string(), "Tidemark.queue.unreadable-" + std::to_string(now));
            EXPECT_EQ(readBytes(load.setAsideAs), bytes) << "kept byte for byte";
            EXPECT_TRUE(journal.append(fresh));
        }
        auto [again, reloaded] = ReportJournal::open(path);
        EXPECT_EQ(reloaded.waiting, std::vector<JournalEntry>{fresh});
        ++now;
    }
}

TEST_F(ReportJournalTest, AnUnusablePlaceGivesAnUnusableJournal) {
    writeBytes(folder.path() / "plain-file", "x");
    fs::create_directory(folder.path() / "a-folder");
    for (const fs::path& place : {folder.path() / "missing-folder" / "Tidemark.queue",
                                  folder.path() / "plain-file" / "Tidemark.queue", folder.path() / "a-folder"}) {
        SCOPED_TRACE(place.string());
        auto [journal, load] = ReportJournal::open(place);
        EXPECT_EQ(load.notice, Notice::Unusable);
        EXPECT_FALSE(journal.usable());
        EXPECT_FALSE(journal.append(entry(1)));
    }
}

struct BoundCase {
    std::size_t maxReports;
    std::uint64_t maxLineBytes;
    std::size_t kept;  // of five reports with 40-byte lines: the newest this many
};

void PrintTo(const BoundCase& bound, std::ostream* out) {
    *out << bound.maxReports << " reports, " << bound.maxLineBytes << " bytes";
}

class ReportJournalBounds : public ReportJournalTest, public ::testing::WithParamInterface<BoundCase> {};

TEST_P(ReportJournalBounds, OldestGoBeyondTheBoundOnLoadAndOnAppendAndAreCountedOnce) {
    const BoundCase bound = GetParam();
    const JournalBounds tight{bound.maxReports, bound.maxLineBytes};
    std::vector<JournalEntry> five;
    for (int n = 0; n < 5; ++n) five.push_back(entry(n, std::string(40, static_cast<char>('a' + n))));
    const std::vector<JournalEntry> newest(five.end() - static_cast<std::ptrdiff_t>(bound.kept), five.end());
    {
        auto [journal, load] = ReportJournal::open(path);
        for (const auto& e : five) ASSERT_TRUE(journal.append(e));
    }
    JournalLoad load = reopen(tight);
    EXPECT_EQ(load.waiting, newest);
    EXPECT_EQ(load.droppedOverBound, 5 - bound.kept);
    load = reopen(tight);
    EXPECT_EQ(load.waiting, newest);
    EXPECT_EQ(load.droppedOverBound, 0u);

    fs::remove(path);
    {
        auto [journal, fresh] = ReportJournal::open(path, tight);
        for (const auto& e : five) ASSERT_TRUE(journal.append(e));
        EXPECT_EQ(journal.waitingCount(), bound.kept);
    }
    EXPECT_EQ(reopen().waiting, newest);
}

INSTANTIATE_TEST_SUITE_P(Bounds, ReportJournalBounds,
                         ::testing::Values(BoundCase{3, 1000, 3}, BoundCase{10, 100, 2}, BoundCase{10, 10, 1}),
                         [](const auto& info) { return "keeps" + std::to_string(info.param.kept); });

TEST_F(ReportJournalTest, CompactionKeepsWaitingReportsInOrderAndShrinksTheFile) {
    const JournalBounds smallFile{10000, std::uint64_t{16} << 20, 4096};
    std::vector<JournalEntry> all, waiting;
    for (int n = 0; n < 200; ++n) all.push_back(entry(n, std::string(100, 'x') + std::to_string(n)));
    std::uintmax_t largest = 0;
    {
        auto [journal, load] = ReportJournal::open(path, smallFile);
        for (const auto& e : all) ASSERT_TRUE(journal.append(e));
        // Answers out of order: every report but each seventh is done.
        for (int n = 199; n >= 0; --n) {
            if (n % 7 == 0) continue;
            ASSERT_TRUE(journal.markDone(all[n].id));
            largest = std::max(largest, fs::file_size(path));
        }
        for (int n = 0; n < 200; n += 7) waiting.push_back(all[n]);
        EXPECT_LT(fs::file_size(path), largest / 2);
        EXPECT_EQ(onDisk(), waiting);
        ASSERT_TRUE(journal.append(all[1]));  // still appends after the rewrite
        waiting.push_back(all[1]);
        EXPECT_EQ(onDisk(), waiting);
        for (const auto& e : waiting) ASSERT_TRUE(journal.markDone(e.id));
    }
    EXPECT_EQ(fs::file_size(path), 12u);  // nothing waits: the header alone
    EXPECT_TRUE(reopen().waiting.empty());
}

TEST(ReportIdTest, HexRoundTripsAndOnlyThirtyTwoHexDigitsAreAnId) {
    const ReportId id = newReportId();
    const std::string hex = id.toHex();
    EXPECT_EQ(hex.size(), 32u);
    EXPECT_EQ(hex.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(ReportId::fromHex(hex), id);
    ReportId known;
    for (std::size_t i = 0; i < 16; ++i) known.bytes[i] = static_cast<std::uint8_t>(i * 17);
    EXPECT_EQ(known.toHex(), "00112233445566778899aabbccddeeff");
    EXPECT_EQ(ReportId::fromHex("00112233445566778899AABBCCDDEEFF"), known);
    for (const char* bad : {"", "00112233445566778899aabbccddeef", "00112233445566778899aabbccddeeff0",
                            "0011223344556677889 aabbccddeeff", "g0112233445566778899aabbccddeeff"})
        EXPECT_EQ(ReportId::fromHex(bad), std::nullopt) << bad;
}

TEST(ReportIdTest, NewIdsDoNotRepeat) {
    std::set<std::string> seen;
    for (int i = 0; i < 1000; ++i) seen.insert(newReportId().toHex());
    EXPECT_EQ(seen.size(), 1000u);
}

}  // namespace
}  // namespace tidemark
