#include <gtest/gtest.h>

#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
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
// Offset tables live here: readable, but not a region the search takes.
constexpr std::uint64_t kTableRegion = 0x60000000;
constexpr std::uint64_t kTableRegionSize = 0x100000;
const std::string kKeyword = "LogStart";
const std::string kMarkerLine = "\x1F\x1F" + kKeyword + "\x1F tail";

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
        image->writeBytes(address + 8, kMarkerLine.data(), kMarkerLine.size());
        return address;
    }

    // The game's header around `slot`: `count` entries, the marker entry at
    // `entry` first, each further one 8 bytes; its offset table at `table`.
    std::uint64_t writeHeader(std::uint64_t slot, std::uint64_t entry, std::int32_t count = 1,
                              std::uint64_t table = kTableRegion) {
        MemoryRegion region;
        if (!image->queryRegion(kTableRegion, region) || region.State != kMemCommit)
            image->addRegion(kTableRegion, kTableRegionSize, 0x02);
        const auto entries = static_cast<std::uint32_t>(count <= 0 ? 1 : count % 1000 == 0 ? 1000 : count % 1000);
        for (std::uint32_t k = 0; k < entries; ++k)
            image->writeU32(table + 4 * k, static_cast<std::uint32_t>(8 + kMarkerLine.size() + 8 * k));
        image->writeU32(slot - 0x4C, static_cast<std::uint32_t>(count));
        image->writeU64(slot - 0x18, table);
        image->writeU64(slot, entry);
        return slot;
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
    writeHeader(slot, entry, 4321);
    addRegion(0x400000);

    const auto found = locate();
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->textBufferSlot, slot);
    EXPECT_EQ(found->offsetTableSlot, slot - 24);
    EXPECT_EQ(found->entryCountAddress, slot - 76);
    EXPECT_EQ(entryCount(*image, *found), 4321);
}

TEST_F(ChatLogLocator, FindsAPointerAtAnOddAddressInTheEntrysOwnRegion) {
    std::uint64_t base = addRegion(0x200000);
    std::uint64_t entry = writeMarkerEntry(base + 0x800, kNow);
    writeHeader(base + 0x2003, entry);

    EXPECT_EQ(locatedSlot(), base + 0x2003);
}

TEST_F(ChatLogLocator, ExaminesOnlyTheFirstOccurrenceOfEachRegion) {
    // Too close to the start: there is no room for the entry's head.
    std::uint64_t first = addRegion(0x200000);
    const std::string early = "\x1F\x1F" + kKeyword;
    image->writeBytes(first + 5, early.data(), early.size());
    writeHeader(first + 0x2000, writeMarkerEntry(first + 0x800, kNow));
    // A first occurrence with an impossible time hides a good second one.
    std::uint64_t second = addRegion(0x300000);
    writeMarkerEntry(second + 0x100, static_cast<std::uint32_t>(kNow + 100));
    writeHeader(second + 0x2000, writeMarkerEntry(second + 0x800, kNow));

    EXPECT_EQ(locatedSlot(), 0u);

    // A later region with a good first occurrence is still found.
    std::uint64_t third = addRegion(0x400000);
    writeHeader(third + 0x2001, writeMarkerEntry(third + 0x10, kNow));
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
        writeHeader(base + 0x3000, writeMarkerEntry(base + 0x100, static_cast<std::uint32_t>(c.time)));
        EXPECT_EQ(locatedSlot() != 0, c.accepted) << "time " << c.time;
    }
}

TEST_F(ChatLogLocator, NoPointerToTheEntryMeansNotFound) {
    std::uint64_t base = addRegion(0x200000);
    std::uint64_t entry = writeMarkerEntry(base + 0x100, kNow);
    image->writeU64(base + 0x3000, entry + 1);
    EXPECT_FALSE(locate().has_value());
}

TEST_F(ChatLogLocator, PassesOverPointerCopiesThatDoNotReadAsALogHeader) {
    // Each spoils one part of a good header around a copy of E; the real
    // header's table lies apart from theirs.
    const std::uint64_t shortTable = 0x61000000;  // 8 entries, then nothing
    const std::uint64_t realTable = kTableRegion + 0x8000;
    using Spoil = std::function<void(std::uint64_t slot, std::uint64_t entry)>;
    const std::pair<const char*, Spoil> stale[] = {
        {"freed storage", [&](std::uint64_t slot, std::uint64_t entry) { image->writeU64(slot, entry); }},
        {"negative count", [&](std::uint64_t slot, std::uint64_t entry) { writeHeader(slot, entry, -5); }},
        {"null table",
         [&](std::uint64_t slot, std::uint64_t entry) {
             writeHeader(slot, entry);
             image->writeU64(slot - 0x18, 0);
         }},
        {"table shorter than the count's full block",
         [&](std::uint64_t slot, std::uint64_t entry) {
             writeHeader(slot, entry, 8, shortTable);
             image->writeU32(slot - 0x4C, 2000);
         }},
        {"offsets going back",
         [&](std::uint64_t slot, std::uint64_t entry) {
             writeHeader(slot, entry, 3);
             image->writeU32(kTableRegion + 8, 20);
         }},
        {"first entry without its head",
         [&](std::uint64_t slot, std::uint64_t entry) {
             writeHeader(slot, entry, 2);
             image->writeU32(kTableRegion, 7);
         }},
        {"end past the block-text cap",
         [&](std::uint64_t slot, std::uint64_t entry) {
             writeHeader(slot, entry, 2);
             image->writeU32(kTableRegion + 4, (64u << 20) + 1);
         }},
        {"text unreadable up to the end",
         [&](std::uint64_t slot, std::uint64_t entry) {
             writeHeader(slot, entry, 2);
             image->writeU32(kTableRegion + 4, 0x8000);  // E's region ends before
         }},
    };
    for (const auto& [what, spoil] : stale) {
        image = std::make_unique<FakeProcessImage>();
        image->addRegion(shortTable, 32, 0x02);
        const std::uint64_t earlier = addRegion(0x100000);
        const std::uint64_t entry = writeMarkerEntry(addRegion(0x200000) + 0x100, kNow);
        const std::uint64_t holder = addRegion(0x300000);
        // Stale copies in an earlier region, and before the header in its own.
        spoil(earlier + 0x800, entry);
        spoil(holder + 0x800, entry);
        // A count on a block's end: the whole block's table is read.
        writeHeader(holder + 0x2000, entry, 1000, realTable);
        EXPECT_EQ(locatedSlot(), holder + 0x2000) << what;

        // Alone, the stale copies find nothing.
        image->writeU64(holder + 0x2000, 0);
        EXPECT_EQ(locatedSlot(), 0u) << what;
    }
}

TEST_F(ChatLogLocator, ARegionFullOfStaleCopiesIsReadOnce) {
    const std::uint64_t entry = writeMarkerEntry(addRegion(0x200000) + 0x100, kNow);
    const std::uint64_t size = 4 << 20;
    const std::uint64_t copies = addRegion(0x10000000, size);
    for (std::uint64_t at = 0x100; at < size; at += 0x40) image->writeU64(copies + at, entry);
    // The marker search and the pointer search each read it once; a search
    // that read it again for every copy would go on for hours, so it stops.
    const std::uint64_t bound = 2 * (size + 64);
    std::uint64_t searched = 0;
    image->beforeRead = [&](std::uint64_t address, std::uint64_t bytes) {
        if (address >= copies && address < copies + size && bytes > 8) searched += bytes;
        if (searched > bound) throw std::runtime_error("the region is read again and again");
    };
    EXPECT_EQ(locatedSlot(), 0u);
    EXPECT_LE(searched, bound);
}

TEST_F(ChatLogLocator, ReadsSmallRegionsOnceAndTakesNoPointerThatHasGoneSince) {
    std::vector<std::uint64_t> small;
    for (std::uint64_t i = 0; i < 20; ++i) small.push_back(addRegion(0x100000 + i * 0x10000, kPage));
    const std::uint64_t entry = writeMarkerEntry(addRegion(0x400000) + 0x100, kNow);
    const std::uint64_t holder = addRegion(0x500000);
    writeHeader(holder + 0x2000, entry);
    // A header in the first small region that the game moves away (its
    // slot now points elsewhere) once the marker search has read past it.
    const std::uint64_t moved = writeHeader(small[0] + 0x800, entry);
    std::uint64_t regionReads = 0;
    bool movedAway = false;
    image->beforeRead = [&](std::uint64_t address, std::uint64_t bytes) {
        if (bytes >= kPage) ++regionReads;
        if (address == 0x400000 && !movedAway) image->writeU64(moved, entry + 8);
        movedAway = movedAway || address == 0x400000;
    };
    EXPECT_EQ(locatedSlot(), holder + 0x2000);
    EXPECT_EQ(regionReads, small.size() + 2) << "the marker's region, the header's, and each small one once";
}

TEST_F(ChatLogLocator, ASearchWithTheMemoryOfAFruitlessOneSeesALogPublishedSince) {
    const std::uint64_t region = addRegion(0x100000, kPage);
    SmallRegionCache kept;
    LocatorInputs inputs;
    inputs.marker = marker;
    inputs.clock = &clock;
    inputs.kept = &kept;
    ASSERT_FALSE(locateChatLog(*image, inputs).has_value());
    const std::uint64_t entry = writeMarkerEntry(region + 0x100, kNow);
    writeHeader(region + 0x800, entry);
    const auto found = locateChatLog(*image, inputs);
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->textBufferSlot, region + 0x800);
    EXPECT_EQ(kept.memoryHeld(), 0u) << "a search that found the log keeps no memory";
}

TEST_F(ChatLogLocator, FindsMarkerAndPointerStraddlingPieceBoundariesOfLargeRegions) {
    const std::uint64_t large = kRegionPieceSize + 16 * kPage;
    std::uint64_t first = addRegion(0x10000000, large);
    std::uint64_t entry = writeMarkerEntry(first + kRegionPieceSize - 11, kNow);  // keyword crosses
    std::uint64_t second = addRegion(0x20000000, large);
    writeHeader(second + kRegionPieceSize - 3, entry);

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
    writeHeader(holder + 2 * kPage - 8, entry);  // the last readable bytes

    EXPECT_EQ(locatedSlot(), holder + 2 * kPage - 8);
}

TEST_F(ChatLogLocator, AMarkerBeyondAnUnreadableSpanIsNotSeen) {
    std::uint64_t base = addRegion(0x200000, 8 * kPage);
    image->markUnreadable(base + kPage, kPage);
    writeHeader(base + 0x100, writeMarkerEntry(base + 3 * kPage, kNow));
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
    // and 2 are the marker search, read 3 the pointer search's first region
    // (too large to be kept from the marker search).
    addRegion(0x200000, 0x20000);
    std::uint64_t entry = writeMarkerEntry(addRegion(0x300000) + 0x100, kNow);
    writeHeader(addRegion(0x400000) + 0x3000, entry);
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
    writeHeader(base + 0x3000, writeMarkerEntry(base + 0x100, kNow));
    for (const char* json : {R"({"2":{"keyword":["LogStart"]}})", R"({"1":{"code":"0"}})",
                             R"({"1":{"keyword":[]}})", R"({"1":{"keyword":[7,"LogStart"]}})",
                             R"({"1":{"keyword":"LogStart"}})", R"({"1":"LogStart"})", R"(["LogStart"])",
                             "not json"}) {
        usePatterns(json);
        EXPECT_EQ(locatedSlot(), 0u) << json;
    }
    EXPECT_EQ(image->readCalls(), 0u);
}

// A header learnt before is taken again only where the search could have
// ended at it, though its block begins with any line, not the marker.
TEST_F(ChatLogLocator, AKnownHeaderIsConfirmedOnlyWhereTheSearchCouldHaveEndedAtIt) {
    const std::uint64_t entryRegion = 0x200000, slotRegion = 0x300000;
    const std::uint64_t entry = entryRegion + 0x100, slot = slotRegion + 0x1201;
    const auto writeEntry = [&](std::uint64_t at, std::int64_t time) {
        image->writeU32(at, static_cast<std::uint32_t>(time));
        image->writeU32(at + 4, 10);
        image->writeBytes(at + 8, "an ordinary line", 16);
    };
    // Builds the image with the header at `slot` (its regions' protections
    // given), then spoils it.
    struct Case {
        const char* name;
        std::uint32_t slotProtect, entryType;
        std::function<void()> spoil;
        bool holds;
    } cases[] = {
        {"a header two blocks on", kPageReadWrite, kMemPrivate, [] {}, true},
        {"slot in a guarded region", kPageReadWrite | kPageGuard, kMemPrivate, [] {}, false},
        {"entry in a mapped region", kPageReadWrite, kMemMapped, [] {}, false},
        {"no entries", kPageReadWrite, kMemPrivate, [&] { image->writeU32(slot - 0x4C, 0); }, false},
        {"entry from before the log format", kPageReadWrite, kMemPrivate,
         [&] { writeEntry(entry, earliestEntryTime() - 1); }, false},
        {"entry from the future", kPageReadWrite, kMemPrivate, [&] { writeEntry(entry, kNow + 1); }, false},
        {"text buffer freed", kPageReadWrite, kMemPrivate, [&] { image->writeU64(slot, 0x7000000); }, false},
        {"the game has gone", kPageReadWrite, kMemPrivate, [&] { image->exitProcess(); }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        image = std::make_unique<FakeProcessImage>();
        addRegion(entryRegion, 4 * kPage, kPageReadWrite, c.entryType);
        addRegion(slotRegion, 4 * kPage, c.slotProtect);
        writeEntry(entry, kNow - 60);
        writeHeader(slot, entry, 2345);
        c.spoil();

        const auto confirmed = confirmChatLogAt(*image, slot, &clock);
        EXPECT_EQ(confirmed.has_value(), c.holds);
        if (confirmed) {
            EXPECT_EQ(confirmed->entryCountAddress, slot - 76);
        }
        EXPECT_EQ(locate().has_value(), false) << "no marker: a search finds nothing";
    }
    EXPECT_FALSE(confirmChatLogAt(*image, 0x10, &clock)) << "below the header's first member";
}

TEST_F(ChatLogLocator, EntryCountIsZeroUntilLocatedAndMinusOneOnceTheGameHasGone) {
    std::uint64_t base = addRegion(0x200000);
    EXPECT_EQ(entryCount(*image, ChatLogAddresses{}), 0);
    EXPECT_EQ(image->readCalls(), 0u);

    writeHeader(base + 0x3000, writeMarkerEntry(base + 0x100, kNow), 1500);
    const auto found = locate();
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(entryCount(*image, *found), 1500);
    image->exitProcess();
    EXPECT_EQ(entryCount(*image, *found), -1);
}

}  // namespace
}  // namespace tidemark
