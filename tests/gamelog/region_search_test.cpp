#include "gamelog/region_search.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fakes/fake_process_image.h"

namespace tidemark {
namespace {

constexpr std::uint64_t kBase = 0x200000;
constexpr std::size_t kPiece = 16;
constexpr std::size_t kLead = 8;
const std::string kPattern = "\x1F\x1Fkey";

const std::uint8_t* bytesOf(const std::string& text) {
    return reinterpret_cast<const std::uint8_t*>(text.data());
}

// Separators every few bytes, so every piece holds false candidates.
std::string filler(std::size_t size) {
    std::string content(size, '.');
    for (std::size_t i = 3; i < size; i += 5) content[i] = '\x1F';
    return content;
}

class RegionSearchTest : public ::testing::Test {
protected:
    MemoryRegion addRegion(std::uint64_t size) {
        image.addRegion(kBase, size);
        write(filler(size));
        MemoryRegion region;
        image.queryRegion(kBase, region);
        return region;
    }
    void write(const std::string& content, std::uint64_t offset = 0) {
        image.writeBytes(kBase + offset, content.data(), content.size());
    }
    RegionHit find(const MemoryRegion& region, std::size_t lead = kLead) {
        return search.find(image, region, bytesOf(kPattern), kPattern.size(), lead);
    }

    FakeProcessImage image;
    RegionSearch search{kPiece};
};

TEST_F(RegionSearchTest, FindsAnOccurrenceWithItsLeadWhereverItFallsAgainstThePieces) {
    const std::size_t size = 100;
    MemoryRegion region = addRegion(size);
    for (std::size_t at = 0; at + kPattern.size() <= size; ++at) {
        std::string content = filler(size);
        content.replace(at, kPattern.size(), kPattern);
        for (std::size_t i = at >= kLead ? at - kLead : 0; i < at; ++i) content[i] = static_cast<char>('a' + i);
        write(content);

        RegionHit hit = find(region);
        ASSERT_TRUE(hit.found()) << "at " << at;
        EXPECT_EQ(hit.offset, at);
        if (at >= kLead) {
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(hit.bytes) - kLead, kLead + kPattern.size()),
                      content.substr(at - kLead, kLead + kPattern.size()))
                << "at " << at;
        }
    }
}

TEST_F(RegionSearchTest, ReportsTheLowestOfTwoOccurrencesInDifferentPieces) {
    MemoryRegion region = addRegion(200);
    write(kPattern, 150);
    write(kPattern, 37);
    EXPECT_EQ(find(region).offset, 37u);
}

TEST_F(RegionSearchTest, WalksEveryOccurrenceFromOnePastTheLastReadingEachPieceOnce) {
    const std::size_t size = 200;
    MemoryRegion region = addRegion(size);
    // Touching, straddling pieces, back to back and at the very end.
    const std::vector<std::uint64_t> at = {0, 14, 19, 24, 31, 100, 105, 195};
    for (std::uint64_t offset : at) write(kPattern, offset);

    std::vector<std::uint64_t> walked;
    for (std::uint64_t from = 0;;) {
        RegionHit hit = search.find(image, region, bytesOf(kPattern), kPattern.size(), 0, from);
        if (!hit.found()) break;
        ASSERT_LT(walked.size(), at.size());
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(hit.bytes), kPattern.size()), kPattern);
        walked.push_back(hit.offset);
        from = hit.offset + 1;
    }
    EXPECT_EQ(walked, at);
    EXPECT_LE(image.bytesRead(), size + (size / kPiece + 1) * (kPattern.size() - 1));

    // A search from an offset sees nothing before it, and its lead only from
    // that offset on.
    RegionSearch fresh{kPiece};
    RegionHit hit = fresh.find(image, region, bytesOf(kPattern), kPattern.size(), kLead, 101);
    EXPECT_EQ(hit.offset, 105u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(hit.bytes) - 4, 4), kPattern.substr(1));
    EXPECT_FALSE(fresh.find(image, region, bytesOf(kPattern), kPattern.size(), 0, size).readable);
}

TEST_F(RegionSearchTest, NoReadIsLargerThanOnePieceWithItsOverlap) {
    MemoryRegion region = addRegion(1000);
    write(kPattern, 990);
    std::uint64_t largest = 0;
    image.beforeRead = [&](std::uint64_t, std::uint64_t size) { largest = std::max(largest, size); };
    EXPECT_EQ(find(region).offset, 990u);
    EXPECT_LE(largest, kPiece + kPattern.size() - 1 + kLead);
    EXPECT_GT(image.readCalls(), 1000u / (kPiece + kPattern.size() + kLead));
}

TEST_F(RegionSearchTest, AShortPieceEndsTheRegionLikeOneBigReadWould) {
    MemoryRegion region = addRegion(200);
    image.markUnreadable(kBase + 60, 10);  // readable again from 70
    write(kPattern, 80);
    RegionHit hit = find(region);
    EXPECT_TRUE(hit.readable);
    EXPECT_FALSE(hit.found());

    write(kPattern, 52);  // ends just before the unreadable span
    EXPECT_EQ(find(region).offset, 52u);
}

TEST_F(RegionSearchTest, AnUnreadableRegionIsReportedAsSuch) {
    MemoryRegion region = addRegion(64);
    write(kPattern, 10);
    image.markUnreadable(kBase, 64);
    RegionHit hit = find(region);
    EXPECT_FALSE(hit.readable);
    EXPECT_FALSE(hit.found());
}

TEST_F(RegionSearchTest, ARegionThatShrankIsSearchedAsFarAsItCanBeRead) {
    image.addRegion(kBase, 40);
    write(filler(40));
    write(kPattern, 30);
    // The record says more than the process now holds.
    MemoryRegion stale{kBase, 4096, kPageReadWrite, kMemPrivate, kMemCommit};
    RegionHit hit = find(stale, 0);
    EXPECT_TRUE(hit.readable);
    EXPECT_EQ(hit.offset, 30u);
}

TEST_F(RegionSearchTest, KeepsSmallRegionsReadWholeAndSearchesThemAgainWithoutReading) {
    RegionSearch whole{256};
    SmallRegionCache cache(150, 120);  // room for one region of 100, none above 120
    whole.useCache(&cache);
    const auto walk = [&](const MemoryRegion& region, std::uint64_t from = 0) {
        std::vector<std::uint64_t> offsets;
        for (RegionHit hit; (hit = whole.find(image, region, bytesOf(kPattern), kPattern.size(), 0, from)).found();) {
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(hit.bytes), kPattern.size()), kPattern);
            offsets.push_back(hit.offset);
            from = hit.offset + 1;
            if (offsets.size() > 3) break;
        }
        return offsets;
    };
    const MemoryRegion kept = addRegion(100);
    write(kPattern, 37);
    write(kPattern, 80);
    const std::vector<std::uint64_t> both = {37, 80};
    EXPECT_EQ(walk(kept), both);
    const std::uint64_t reads = image.readCalls();
    EXPECT_EQ(walk(kept), both);
    EXPECT_EQ(walk(kept, 40), std::vector<std::uint64_t>{80});
    EXPECT_EQ(image.readCalls(), reads) << "a kept region is read again";

    // Past the budget, or larger than a small region: read every time.
    image.addRegion(kBase + 0x1000, 100);
    image.addRegion(kBase + 0x2000, 121);
    for (std::uint64_t base : {kBase + 0x1000, kBase + 0x2000}) {
        MemoryRegion region;
        image.queryRegion(base, region);
        image.writeBytes(base + 90, kPattern.data(), kPattern.size());
        walk(region);
        const std::uint64_t before = image.readCalls();
        EXPECT_EQ(walk(region), std::vector<std::uint64_t>{90});
        EXPECT_GT(image.readCalls(), before) << std::hex << base;
    }
}

TEST_F(RegionSearchTest, AKeptFrontDoesNotHideWhatIsReadableAfterAnUnreadableSpan) {
    RegionSearch whole{256};
    SmallRegionCache cache;
    whole.useCache(&cache);
    MemoryRegion region = addRegion(100);
    image.markUnreadable(kBase + 60, 10);
    write(kPattern, 80);
    EXPECT_FALSE(whole.find(image, region, bytesOf(kPattern), kPattern.size()).found());
    EXPECT_EQ(whole.find(image, region, bytesOf(kPattern), kPattern.size(), 0, 75).offset, 80u);
}

}  // namespace
}  // namespace tidemark
