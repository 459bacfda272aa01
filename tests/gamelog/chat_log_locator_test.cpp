#include <gtest/gtest.h>

#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "fakes/fake_clock.h"
#include "fakes/fake_process_image.h"
#include "fakes/recording_status_sink.h"
#include "gamelog/chat_log_locator.h"
#include "gamelog/compiled_patterns.h"
#include "gamelog/region_search.h"
#include "texts/texts.h"

namespace tidemark {
namespace {

constexpr std::int64_t kNow = 1700000000;
constexpr std::uint64_t kPage = 0x1000;
const std::string kKeyword = "LogStart";

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
    ChatLogLocator() { usePatterns(R"({"1":{"keyword":["LogStart","other"],"code":"0"},"2":{"keyword":["x"]}})"); }

    // The marker comes from the pattern document, as the worker takes it.
    void usePatterns(const char* json) {
        rapidjson::Document document;
        document.Parse(json);
        marker = compilePatterns(document).marker;
    }

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

    std::optional<ChatLogAddresses> locate() {
        LocatorInputs inputs;
        inputs.marker = marker;
        inputs.status = status;
        inputs.keepSearching = keepSearching;
        inputs.clock = &clock;
        return locateChatLog(*image, inputs);
    }
    // The text-buffer slot found, 0 for none.
    std::uint64_t locatedSlot() {
        const auto found = locate();
        return found ? found->textBufferSlot : 0;
    }

    FakeClock clock{kNow};
    std::unique_ptr<FakeProcessImage> image = std::make_unique<FakeProcessImage>();
    std::string marker;
    StatusSink* status = nullptr;
    std::function<bool()> keepSearching;
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

    const std::vector<MemoryRegion> regions = listCandidateRegions(*image, {});
    ASSERT_EQ(regions.size(), 2u);
    EXPECT_EQ(regions[0].BaseAddress, 0x100000u);
    EXPECT_EQ(regions[1].BaseAddress, 0x600000u);
}

TEST_F(ChatLogLocator, FindsTheHeaderThatPointsAtTheMarkerEntry) {
    addRegion(0x100000);
    std::uint64_t entry = writeMarkerEntry(addRegion(0x200000) + 0x340, kNow - 3600);
    std::uint64_t slot = addRegion(0x300000) + 0x1201;  // odd: no alignment is assumed
    image->writeU64(slot, entry);
    image->writeU32(slot - 0x4C, 4321);
    addRegion(0x400000);

    const auto found = locate();
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->textBufferSlot, slot);
    EXPECT_EQ(found->offsetTableSlot, slot - 24);
    EXPECT_EQ(found->entryCountAddress, slot - 76);
    EXPECT_EQ(entryCount(*image, *found), 4321);
    // Regions 1 and 2 were searched, each followed by the pause.
    EXPECT_EQ(clock.sleptMs(), 20u);
}

TEST_F(ChatLogLocator, FindsAPointerAtAnOddAddressInTheEntrysOwnRegion) {
    std::uint64_t base = addRegion(0x200000);
    std::uint64_t entry = writeMarkerEntry(base + 0x800, kNow);
    image->writeU64(base + 0x2003, entry);

    EXPECT_EQ(locatedSlot(), base + 0x2003);
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

    EXPECT_EQ(locatedSlot(), 0u);
    EXPECT_EQ(clock.sleptMs(), 20u);

    // A later region with a good first occurrence is still found.
    std::uint64_t third = addRegion(0x400000);
    image->writeU64(third + 0x2001, writeMarkerEntry(third + 0x10, kNow));
    EXPECT_EQ(locatedSlot(), third + 0x2001);
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
        image = std::make_unique<FakeProcessImage>();
        std::uint64_t base = addRegion(0x200000);
        image->writeU64(base + 0x3000, writeMarkerEntry(base + 0x100, static_cast<std::uint32_t>(c.time)));
        EXPECT_EQ(locatedSlot() != 0, c.accepted) << "time " << c.time;
    }
}

TEST_F(ChatLogLocator, NoPointerToTheEntryMeansNotFound) {
    std::uint64_t base = addRegion(0x200000);
    std::uint64_t entry = writeMarkerEntry(base + 0x100, kNow);
    image->writeU64(base + 0x3000, entry + 1);
    EXPECT_FALSE(locate().has_value());
    EXPECT_EQ(clock.sleptMs(), 10u);
}

TEST_F(ChatLogLocator, FindsMarkerAndPointerStraddlingPieceBoundariesOfLargeRegions) {
    const std::uint64_t large = kRegionPieceSize + 16 * kPage;
    std::uint64_t first = addRegion(0x10000000, large);
    std::uint64_t entry = writeMarkerEntry(first + kRegionPieceSize - 11, kNow);  // keyword crosses
    std::uint64_t second = addRegion(0x20000000, large);
    image->writeU64(second + kRegionPieceSize - 3, entry);

    EXPECT_EQ(locatedSlot(), second + kRegionPieceSize - 3);
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

    EXPECT_EQ(locatedSlot(), holder + 2 * kPage - 8);
    // No pause after the region of which nothing could be read.
    EXPECT_EQ(clock.sleptMs(), 10u);
}

TEST_F(ChatLogLocator, AMarkerBeyondAnUnreadableSpanIsNotSeen) {
    std::uint64_t base = addRegion(0x200000, 8 * kPage);
    image->markUnreadable(base + kPage, kPage);
    image->writeU64(base + 0x10, writeMarkerEntry(base + 3 * kPage, kNow));
    EXPECT_EQ(locatedSlot(), 0u);
}

TEST_F(ChatLogLocator, ProgressGainsAFullStopEveryTenRegionsAndWrapsAfterAHundred) {
    for (std::uint64_t i = 0; i < 100; ++i) addRegion(0x1000000 + i * 0x10000, kPage);
    RecordingStatusSink recording;
    status = &recording;
    searchCounter = 0;

    locate();
    const std::u16string text = LoadTextW(kTextSearchingLogs);
    const std::vector<std::u16string> texts = recording.texts();
    ASSERT_EQ(texts.size(), 10u);
    EXPECT_EQ(texts[0], text + u".");
    EXPECT_EQ(texts[1], text + u"..");
    EXPECT_EQ(texts[8], text + u".........");
    EXPECT_EQ(texts[9], text);
    EXPECT_EQ(searchCounter, 100);

    // Without a status line nothing is counted.
    status = nullptr;
    locate();
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
    StuckRegions stuck;
    EXPECT_EQ(listCandidateRegions(stuck, {}).size(), 1u);
    EXPECT_EQ(stuck.queries, 2);
}

TEST_F(ChatLogLocator, KeepSearchingTurningFalseEndsTheMarkerAndThePointerSearchAtTheNextRegion) {
    // Marker in the second region, the pointer to it in the third: reads 1
    // and 2 are the marker search, read 3 the pointer search's first region.
    addRegion(0x200000);
    std::uint64_t entry = writeMarkerEntry(addRegion(0x300000) + 0x100, kNow);
    image->writeU64(addRegion(0x400000) + 0x3000, entry);
    ASSERT_EQ(locatedSlot(), 0x403000u);

    for (std::uint64_t allowedReads : {0u, 1u, 2u, 3u}) {
        const std::uint64_t before = image->readCalls();
        keepSearching = [&] { return image->readCalls() - before < allowedReads; };
        EXPECT_FALSE(locate().has_value()) << allowedReads;
        EXPECT_EQ(image->readCalls() - before, allowedReads);
    }
}

TEST_F(ChatLogLocator, PatternDocumentsWithoutAFirstKeywordFindNothing) {
    std::uint64_t base = addRegion(0x200000);
    image->writeU64(base + 0x3000, writeMarkerEntry(base + 0x100, kNow));
    for (const char* json : {R"({"2":{"keyword":["LogStart"]}})", R"({"1":{"code":"0"}})",
                             R"({"1":{"keyword":[]}})", R"({"1":{"keyword":[7,"LogStart"]}})",
                             R"({"1":{"keyword":"LogStart"}})", R"({"1":"LogStart"})", R"(["LogStart"])",
                             "not json"}) {
        usePatterns(json);
        EXPECT_EQ(locatedSlot(), 0u) << json;
    }
    EXPECT_EQ(image->readCalls(), 0u);
}

TEST_F(ChatLogLocator, EntryCountIsZeroUntilLocatedAndMinusOneOnceTheGameHasGone) {
    std::uint64_t base = addRegion(0x200000);
    EXPECT_EQ(entryCount(*image, ChatLogAddresses{}), 0);
    EXPECT_EQ(image->readCalls(), 0u);

    image->writeU64(base + 0x3000, writeMarkerEntry(base + 0x100, kNow));
    image->writeU32(base + 0x3000 - 0x4C, 1500);
    const auto found = locate();
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(entryCount(*image, *found), 1500);
    image->exitProcess();
    EXPECT_EQ(entryCount(*image, *found), -1);
}

}  // namespace
}  // namespace tidemark
