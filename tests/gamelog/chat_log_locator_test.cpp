#include <gtest/gtest.h>

#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "capture/capture_session.h"
#include "fakes/fake_clock.h"
#include "fakes/fake_process_image.h"
#include "gamelog/region_search.h"
#include "shell/texts.h"

namespace tidemark {
namespace {

constexpr std::int64_t kNow = 1700000000;
constexpr std::uint64_t kPage = 0x1000;
const std::string kKeyword = "LogStart";

class RecordingStatus : public StatusSink {
public:
    void setStatus(const std::u16string& text) override { texts.push_back(text); }
    std::vector<std::u16string> texts;
};

// 2013-09-29 00:00:00 local time, the earliest entry time the game can have.
std::int64_t earliestEntryTime() {
    std::tm start{};
    start.tm_year = 113;
    start.tm_mon = 8;
    start.tm_mday = 29;
    return static_cast<std::int64_t>(std::mktime(&start));
}

class ChatLogLocator : public ::testing::Test {
protected:
    ChatLogLocator() : session(services()) {
        session.gameProcess = image;
        usePatterns(R"({"1":{"keyword":["LogStart","other"],"code":"0"},"2":{"keyword":["x"]}})");
    }

    SessionServices services() {
        SessionServices s;
        s.clock = &clock;
        return s;
    }

    void usePatterns(const char* json) { session.patterns.Parse(json); }

    std::uint64_t addRegion(std::uint64_t base, std::uint64_t size = 4 * kPage,
                            std::uint32_t protect = kPageReadWrite, std::uint32_t type = kMemPrivate) {
        image->addRegion(base, size, protect, type);
        return base;
    }

    // A log entry whose line is the marker; its address is E.
    std::uint64_t writeMarkerEntry(std::uint64_t address, std::uint32_t time) {
        image->writeU32(address, time);
        image->writeU32(address + 4, 57);
        std::string line = "\x1F\x1F" + kKeyword + "\x1F tail";
        image->writeBytes(address + 8, line.data(), line.size());
        return address;
    }

    struct Located {
        std::uint64_t textBufferSlot, offsetTableSlot, entryCountAddress;
    };
    Located located() {
        auto guard = session.lock();
        return {session.textBufferSlot, session.offsetTableSlot, session.entryCountAddress};
    }

    FakeClock clock{kNow};
    std::shared_ptr<FakeProcessImage> image = std::make_shared<FakeProcessImage>();
    CaptureSession session;
};

TEST_F(ChatLogLocator, TakesOnlyPrivateReadWriteRegionsBelowTheMaximumAddress) {
    image->setAddressRange(0x10000, 0x7FFFEFFF);
    addRegion(0x100000);
    addRegion(0x200000, kPage, kPageReadWrite | kPageGuard);
    addRegion(0x300000, kPage, kPageReadWrite, kMemImage);
    addRegion(0x400000, kPage, kPageReadWrite, kMemMapped);
    addRegion(0x500000, kPage, 0x02);
    addRegion(0x600000);
    addRegion(0x7FFF0000, 0x20000);  // ends above the maximum

    EXPECT_EQ(session.locateChatLog(), 1);
    ASSERT_EQ(session.regions.size(), 2u);
    EXPECT_EQ(session.regions[0].BaseAddress, 0x100000u);
    EXPECT_EQ(session.regions[1].BaseAddress, 0x600000u);
}

TEST_F(ChatLogLocator, FindsTheHeaderThatPointsAtTheMarkerEntry) {
    addRegion(0x100000);
    std::uint64_t entry = writeMarkerEntry(addRegion(0x200000) + 0x340, kNow - 3600);
    std::uint64_t slot = addRegion(0x300000) + 0x1201;  // odd: no alignment is assumed
    image->writeU64(slot, entry);
    image->writeU32(slot - 0x4C, 4321);
    addRegion(0x400000);

    EXPECT_EQ(session.locateChatLog(), 1);
    Located found = located();
    EXPECT_EQ(found.textBufferSlot, slot);
    EXPECT_EQ(found.offsetTableSlot, slot - 24);
    EXPECT_EQ(found.entryCountAddress, slot - 76);
    EXPECT_EQ(session.entryCount(), 4321);
    // Regions 1 and 2 were searched, each followed by the pause.
    EXPECT_EQ(clock.sleptMs(), 20u);
}

TEST_F(ChatLogLocator, FindsAPointerAtAnOddAddressInTheEntrysOwnRegion) {
    std::uint64_t base = addRegion(0x200000);
    std::uint64_t entry = writeMarkerEntry(base + 0x800, kNow);
    image->writeU64(base + 0x2003, entry);

    session.locateChatLog();
    EXPECT_EQ(located().textBufferSlot, base + 0x2003);
}

TEST_F(ChatLogLocator, ExaminesOnlyTheFirstOccurrenceOfEachRegion) {
    // Too close to the start: there is no room for the entry's head.
    std::uint64_t first = addRegion(0x200000);
    const std::string early = "\x1F\x1F" + kKeyword;
    image->writeBytes(first + 5, early.data(), early.size());
    image->writeU64(first + 0x2000, writeMarkerEntry(first + 0x800, kNow));
    // A first occurrence with an impossible time hides a good second one.
    std::uint64_t second = addRegion(0x300000);
    writeMarkerEntry(second + 0x100, static_cast<std::uint32_t>(kNow + 100));
    image->writeU64(second + 0x2000, writeMarkerEntry(second + 0x800, kNow));

    EXPECT_EQ(session.locateChatLog(), 1);
    EXPECT_EQ(located().textBufferSlot, 0u);
    EXPECT_EQ(clock.sleptMs(), 20u);

    // A later region with a good first occurrence is still found.
    std::uint64_t third = addRegion(0x400000);
    image->writeU64(third + 0x2001, writeMarkerEntry(third + 0x10, kNow));
    session.locateChatLog();
    EXPECT_EQ(located().textBufferSlot, third + 0x2001);
}

TEST_F(ChatLogLocator, AcceptsEntryTimesFromTheEarliestUpToNowInclusive) {
    const std::int64_t earliest = earliestEntryTime();
    // Whatever the time zone, this is within a day of 2013-09-29 00:00 UTC.
    ASSERT_NEAR(static_cast<double>(earliest), 1380412800.0, 86400.0);
    struct Case {
        std::int64_t time;
        bool accepted;
    } cases[] = {{earliest, true}, {kNow, true}, {earliest - 1, false}, {kNow + 1, false}};
    for (const Case& c : cases) {
        image = std::make_shared<FakeProcessImage>();
        session.reset();
        session.gameProcess = image;
        std::uint64_t base = addRegion(0x200000);
        image->writeU64(base + 0x3000, writeMarkerEntry(base + 0x100, static_cast<std::uint32_t>(c.time)));
        session.locateChatLog();
        EXPECT_EQ(located().textBufferSlot != 0, c.accepted) << "time " << c.time;
    }
}

TEST_F(ChatLogLocator, NoPointerToTheEntryMeansNotFound) {
    std::uint64_t base = addRegion(0x200000);
    std::uint64_t entry = writeMarkerEntry(base + 0x100, kNow);
    image->writeU64(base + 0x3000, entry + 1);
    EXPECT_EQ(session.locateChatLog(), 1);
    EXPECT_EQ(located().textBufferSlot, 0u);
    EXPECT_EQ(clock.sleptMs(), 10u);
}

TEST_F(ChatLogLocator, FindsMarkerAndPointerStraddlingPieceBoundariesOfLargeRegions) {
    const std::uint64_t large = kRegionPieceSize + 16 * kPage;
    std::uint64_t first = addRegion(0x10000000, large);
    std::uint64_t entry = writeMarkerEntry(first + kRegionPieceSize - 11, kNow);  // keyword crosses
    std::uint64_t second = addRegion(0x20000000, large);
    image->writeU64(second + kRegionPieceSize - 3, entry);

    session.locateChatLog();
    EXPECT_EQ(located().textBufferSlot, second + kRegionPieceSize - 3);
}

TEST_F(ChatLogLocator, SearchesTheReadableStartOfPartlyReadableRegions) {
    std::uint64_t unreadable = addRegion(0x100000);
    image->markUnreadable(unreadable, 4 * kPage);
    std::uint64_t base = addRegion(0x200000, 8 * kPage);
    image->markUnreadable(base + 4 * kPage, 4 * kPage);
    std::uint64_t entry = writeMarkerEntry(base + 0x100, kNow);
    std::uint64_t holder = addRegion(0x300000, 8 * kPage);
    image->markUnreadable(holder + 2 * kPage, kPage);
    image->writeU64(holder + 2 * kPage - 8, entry);  // the last readable bytes

    session.locateChatLog();
    EXPECT_EQ(located().textBufferSlot, holder + 2 * kPage - 8);
    // No pause after the region of which nothing could be read.
    EXPECT_EQ(clock.sleptMs(), 10u);
}

TEST_F(ChatLogLocator, AMarkerBeyondAnUnreadableSpanIsNotSeen) {
    std::uint64_t base = addRegion(0x200000, 8 * kPage);
    image->markUnreadable(base + kPage, kPage);
    image->writeU64(base + 0x10, writeMarkerEntry(base + 3 * kPage, kNow));
    session.locateChatLog();
    EXPECT_EQ(located().textBufferSlot, 0u);
}

TEST_F(ChatLogLocator, ProgressGainsAFullStopEveryTenRegionsAndWrapsAfterAHundred) {
    for (std::uint64_t i = 0; i < 100; ++i) addRegion(0x1000000 + i * 0x10000, kPage);
    RecordingStatus status;
    session.statusWindow = &status;
    searchCounter = 0;

    session.locateChatLog();
    const std::u16string text = LoadTextW(kTextSearchingLogs);
    ASSERT_EQ(status.texts.size(), 10u);
    EXPECT_EQ(status.texts[0], text + u".");
    EXPECT_EQ(status.texts[1], text + u"..");
    EXPECT_EQ(status.texts[8], text + u".........");
    EXPECT_EQ(status.texts[9], text);
    EXPECT_EQ(searchCounter, 100);

    // Without a status window nothing is counted.
    session.statusWindow = nullptr;
    session.locateChatLog();
    EXPECT_EQ(searchCounter, 100);
}

// A platform answering with records that do not move the walk on.
class StuckRegions : public ProcessMemory {
public:
    std::uint64_t minimumApplicationAddress() const override { return 0x10000; }
    std::uint64_t maximumApplicationAddress() const override { return 0x7FFFFFFEFFFF; }
    bool queryRegion(std::uint64_t address, MemoryRegion& region) const override {
        ++queries;
        region = {address & ~std::uint64_t{0xFFF}, queries == 1 ? 0x1000u : 0u, kPageReadWrite, kMemPrivate,
                  kMemCommit};
        return queries < 1000;
    }
    std::uint64_t readMemory(std::uint64_t, void*, std::uint64_t) const override { return 0; }
    mutable int queries = 0;
};

TEST_F(ChatLogLocator, ARegionRecordThatDoesNotAdvanceEndsTheWalk) {
    auto stuck = std::make_shared<StuckRegions>();
    session.gameProcess = stuck;
    EXPECT_EQ(session.locateChatLog(), 1);
    EXPECT_EQ(stuck->queries, 2);
    EXPECT_EQ(session.regions.size(), 1u);
}

TEST_F(ChatLogLocator, AnAbortCodeGivesUpBeforeAnyRegionIsRead) {
    std::uint64_t base = addRegion(0x200000);
    image->writeU64(base + 0x3000, writeMarkerEntry(base + 0x100, kNow));
    session.abortCode = 1003;
    EXPECT_EQ(session.locateChatLog(), 0);
    EXPECT_EQ(image->readCalls(), 0u);
    EXPECT_EQ(located().textBufferSlot, 0u);
}

TEST_F(ChatLogLocator, AStopRequestEndsTheSearchAtTheNextRegion) {
    std::uint64_t first = addRegion(0x200000);
    std::uint64_t second = addRegion(0x300000);
    image->writeU64(second + 0x3000, writeMarkerEntry(second + 0x100, kNow));
    image->beforeRead = [&](std::uint64_t address, std::uint64_t) {
        if (address == first) session.stopRequested = 1;
    };
    EXPECT_EQ(session.locateChatLog(), 1);
    EXPECT_EQ(image->readCalls(), 1u);
    EXPECT_EQ(located().textBufferSlot, 0u);
}

TEST_F(ChatLogLocator, AStopRequestEndsThePointerSearchToo) {
    std::uint64_t first = addRegion(0x200000);
    std::uint64_t second = addRegion(0x300000);
    image->writeU64(second + 0x3000, writeMarkerEntry(first + 0x100, kNow));
    int reads = 0;
    image->beforeRead = [&](std::uint64_t, std::uint64_t) {
        if (++reads == 2) session.stopRequested = 1;  // the pointer search's first read
    };
    EXPECT_EQ(session.locateChatLog(), 1);
    EXPECT_EQ(image->readCalls(), 2u);
    EXPECT_EQ(located().textBufferSlot, 0u);
}

TEST_F(ChatLogLocator, AResetDuringThePointerSearchIsNotOverwritten) {
    std::uint64_t base = addRegion(0x200000);
    image->writeU64(base + 0x3000, writeMarkerEntry(base + 0x100, kNow));
    int reads = 0;
    image->beforeRead = [&](std::uint64_t, std::uint64_t) {
        if (++reads != 2) return;
        // The UI thread resets while the worker reads the region that holds
        // the pointer; the reset must not wait for the read to end.
        std::thread ui([&] { session.reset(); });
        ui.join();
    };
    EXPECT_EQ(session.locateChatLog(), 1);
    EXPECT_EQ(image->readCalls(), 2u);
    EXPECT_EQ(located().textBufferSlot, 0u);
}

TEST_F(ChatLogLocator, PatternDocumentsWithoutAFirstKeywordFindNothing) {
    std::uint64_t base = addRegion(0x200000);
    image->writeU64(base + 0x3000, writeMarkerEntry(base + 0x100, kNow));
    for (const char* json : {R"({"2":{"keyword":["LogStart"]}})", R"({"1":{"code":"0"}})",
                             R"({"1":{"keyword":[]}})", R"({"1":{"keyword":[7,"LogStart"]}})",
                             R"({"1":{"keyword":"LogStart"}})", R"({"1":"LogStart"})", R"(["LogStart"])",
                             "not json"}) {
        usePatterns(json);
        EXPECT_EQ(session.locateChatLog(), 1) << json;
        EXPECT_EQ(located().textBufferSlot, 0u) << json;
    }
    EXPECT_EQ(image->readCalls(), 0u);
}

TEST_F(ChatLogLocator, ALocatedLogIsNotSearchedAgain) {
    std::uint64_t base = addRegion(0x200000);
    image->writeU64(base + 0x3000, writeMarkerEntry(base + 0x100, kNow));
    session.locateChatLog();
    ASSERT_NE(located().textBufferSlot, 0u);
    std::uint64_t reads = image->readCalls();
    EXPECT_EQ(session.locateChatLog(), 1);
    EXPECT_EQ(image->readCalls(), reads);
    EXPECT_EQ(located().textBufferSlot, base + 0x3000);
}

TEST_F(ChatLogLocator, EntryCountIsZeroUntilLocatedAndMinusOneOnceTheGameHasGone) {
    std::uint64_t base = addRegion(0x200000);
    EXPECT_EQ(session.entryCount(), 0);
    EXPECT_EQ(image->readCalls(), 0u);

    image->writeU64(base + 0x3000, writeMarkerEntry(base + 0x100, kNow));
    image->writeU32(base + 0x3000 - 0x4C, 1500);
    session.locateChatLog();
    EXPECT_EQ(session.entryCount(), 1500);
    image->exitProcess();
    EXPECT_EQ(session.entryCount(), -1);
}

}  // namespace
}  // namespace tidemark
