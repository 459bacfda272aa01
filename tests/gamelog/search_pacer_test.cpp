#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "fakes/fake_clock.h"
#include "fakes/fake_process_image.h"
#include "gamelog/chat_log_locator.h"
#include "gamelog/search_pacer.h"

namespace tidemark {
namespace {

constexpr std::int64_t kNow = 1700000000;
constexpr std::uint64_t kPage = 0x1000;
constexpr std::uint64_t kFirstRegion = 0x10000000;
constexpr std::uint64_t kStride = 0x20000;  // a page committed, the rest free
const std::string kMarker = "\x1F\x1Fpaced";

// A game image on the fake clock whose queries and reads take the time they
// take under Wine (a round trip each, plus the copy), so that the search's
// work shows on the clock as it would on the real one.
class CostlyImage : public ProcessMemory {
public:
    CostlyImage(FakeClock& clock, std::uint64_t queryUs, std::uint64_t readUs)
        : clock_(clock), queryUs_(queryUs), readUs_(readUs) {}

    FakeProcessImage image;

    std::uint64_t minimumApplicationAddress() const override { return image.minimumApplicationAddress(); }
    std::uint64_t maximumApplicationAddress() const override { return image.maximumApplicationAddress(); }
    bool queryRegion(std::uint64_t address, MemoryRegion& region) const override {
        spend(queryUs_);
        return image.queryRegion(address, region);
    }
    std::uint64_t readMemory(std::uint64_t address, void* buffer, std::uint64_t size) const override {
        spend(readUs_ + size / 2000);  // about 2 GB/s
        return image.readMemory(address, buffer, size);
    }

private:
    void spend(std::uint64_t us) const {
        owedUs_ += us;
        clock_.advanceMs(owedUs_ / 1000);
        owedUs_ %= 1000;
    }

    FakeClock& clock_;
    std::uint64_t queryUs_;
    std::uint64_t readUs_;
    mutable std::uint64_t owedUs_ = 0;
};

// The marker entry lies in the last region, its header further on.
std::uint64_t markerEntry(std::uint64_t regions) { return kFirstRegion + (regions - 1) * kStride + 0x100; }

// `regions` small regions, the log's marker entry and header in the last.
void layOut(FakeProcessImage& image, std::uint64_t regions, bool withLog) {
    for (std::uint64_t i = 0; i < regions; ++i) image.addRegion(kFirstRegion + i * kStride, kPage);
    image.addRegion(0x7000000000, kPage, 0x02);  // the offset table
    if (!withLog) return;
    const std::uint64_t entry = markerEntry(regions), slot = entry + 0x701;
    image.writeU32(entry, static_cast<std::uint32_t>(kNow - 5));
    image.writeBytes(entry + 8, kMarker.data(), kMarker.size());
    image.writeU32(slot - 0x4C, 1);
    image.writeU64(slot - 0x18, 0x7000000000);
    image.writeU64(slot, entry);
    image.writeU32(0x7000000000, static_cast<std::uint32_t>(8 + kMarker.size()));
}

struct Game {
    std::uint64_t regions;
    std::uint64_t queryUs, readUs;  // what one query and one small read cost
};

class PacedSearch : public ::testing::TestWithParam<Game> {};

// A first search of a real-sized game without a log runs on its credit,
// then keeps to the search's share, pausing by slices of work rather than
// after every region. Searched over and over, the game costs no more than
// the average share, and a log that appears is found within a rest and a
// search.
TEST_P(PacedSearch, KeepsItsSharesAndFindsALogThatAppearsWithinARestAndASearch) {
    const Game game = GetParam();
    FakeClock clock(kNow);
    CostlyImage image(clock, game.queryUs, game.readUs);
    layOut(image.image, game.regions, true);
    const std::uint64_t marker = markerEntry(game.regions) + 8;
    image.image.writeBytes(marker, "\0\0", 2);  // not there yet
    SearchPacer pacer(clock);
    const PacingRule& rule = pacer.rule();
    LocatorInputs inputs;
    inputs.marker = kMarker;
    inputs.clock = &clock;
    inputs.pacer = &pacer;

    ASSERT_FALSE(locateChatLog(image, inputs).has_value());
    const std::uint64_t work = pacer.searchWorkMs(), took = clock.elapsedMs();
    ASSERT_GT(work, 10 * rule.sliceMs) << "the cost model must make work worth pacing";
    // The last slice and region, which the search ends before resting for.
    const std::uint64_t slack = (rule.sliceMs + 20) * 100;
    const std::uint64_t beyondCredit = work > rule.burstMs ? work - rule.burstMs : 0;
    EXPECT_LE(beyondCredit * 100, took * rule.searchSharePercent + slack);
    // And no more rest than that asks for (the search's own time within
    // the credit is all it takes).
    const std::uint64_t ownTime = work / rule.cpuToWork;
    EXPECT_LE(took * rule.searchSharePercent, beyondCredit * 100 + ownTime * rule.searchSharePercent + slack)
        << "the search rests more than its share asks";
    EXPECT_LE(clock.sleeps(), work / rule.sliceMs + 1) << "small regions are paused after by slices";

    // Rested and searched over and over, as the worker does: the credit is
    // spent and the average share holds.
    clock.sleepMs(static_cast<std::uint32_t>(pacer.restAfterFruitlessSearchMs()));
    const std::uint64_t before = clock.elapsedMs();
    std::uint64_t fruitlessWork = 0;
    for (int again = 0; again < 4; ++again) {
        ASSERT_FALSE(locateChatLog(image, inputs).has_value());
        fruitlessWork += pacer.searchWorkMs();
        clock.sleepMs(static_cast<std::uint32_t>(pacer.restAfterFruitlessSearchMs()));
    }
    EXPECT_LE(fruitlessWork * 100, (clock.elapsedMs() - before) * rule.sharePercent + 4 * slack);

    // It appears just as a rest begins: found within the time that the
    // average share allows the search that finds it (the rest pays back the
    // fruitless search's work, which is no more).
    ASSERT_FALSE(locateChatLog(image, inputs).has_value());
    const std::uint64_t appeared = clock.elapsedMs();
    image.image.writeBytes(marker, kMarker.data(), 2);
    clock.sleepMs(static_cast<std::uint32_t>(pacer.restAfterFruitlessSearchMs()));
    ASSERT_TRUE(locateChatLog(image, inputs).has_value());
    EXPECT_LE((clock.elapsedMs() - appeared) * rule.sharePercent, pacer.searchWorkMs() * 100 + 2 * slack);
}

// Up to 10,000 regions at about Wine's costs (300 fit the credit: searched
// without a pause; the others pass it and are paced): one query per region and per
// gap, one read per region, listed once, searched for the marker and again
// for the pointer.
INSTANTIATE_TEST_SUITE_P(RealSizes, PacedSearch,
                         ::testing::Values(Game{10000, 40, 60}, Game{3000, 40, 60}, Game{300, 400, 600}));

TEST(SearchPacer, RestsAfterAFruitlessSearchUntilTheShareHasPaidBackItsWorkWithinBounds) {
    FakeClock clock(kNow);
    PacingRule rule;
    rule.burstMs = 0;  // every search beyond its credit from the start
    SearchPacer pacer(clock, rule);
    const std::uint64_t shortest = rule.shortestRestMs, longest = rule.longestRestMs;
    for (const auto& [ownMs, rest] : {std::pair<std::uint64_t, std::uint64_t>{0, shortest},
                                      {1000, 3000 * 100 / rule.sharePercent},
                                      {100000, longest}}) {
        pacer.beginSearch();
        clock.advanceMs(ownMs);  // work, no pause: the search's time earns its share back
        const std::uint64_t earned = ownMs * rule.sharePercent / 100;
        EXPECT_NEAR(static_cast<double>(pacer.restAfterFruitlessSearchMs()),
                    static_cast<double>(std::min(longest, std::max(shortest, rest - earned * 100 / rule.sharePercent))),
                    1.0)
            << "own time " << ownMs;
        clock.sleepMs(static_cast<std::uint32_t>(longest * 10));  // paid back whatever was owed
    }
}

TEST(SearchPacer, ASearchAfterAFruitlessOneKeepsToTheSearchShareFromItsStart) {
    FakeClock clock(kNow);
    SearchPacer pacer(clock);
    const PacingRule& rule = pacer.rule();
    pacer.beginSearch();
    clock.advanceMs(100);  // a small game without a log: most of the credit is left, and given up
    clock.sleepMs(static_cast<std::uint32_t>(pacer.restAfterFruitlessSearchMs()));

    pacer.beginSearch();
    const std::uint64_t began = clock.elapsedMs();
    for (int i = 0; i < 1000; ++i) {
        clock.advanceMs(3);
        pacer.step();
    }
    const std::uint64_t work = pacer.searchWorkMs(), took = clock.elapsedMs() - began;
    // All of it at the search's share, but for the credit the rest earned and the last slice.
    EXPECT_GE(took * rule.searchSharePercent,
              (work - rule.sliceMs) * 100 - rule.shortestRestMs * rule.sharePercent);
    EXPECT_LE(took * rule.searchSharePercent, work * 100 + rule.sliceMs * rule.searchSharePercent);
}

TEST(SearchPacer, AHurriedPointerSearchDoesNotPauseAndItsRestPaysItBack) {
    FakeClock clock(kNow);
    PacingRule rule;
    rule.burstMs = 0;
    SearchPacer pacer(clock, rule);
    pacer.beginSearch();
    pacer.hurry(true);
    for (int i = 0; i < 100; ++i) {
        clock.advanceMs(10);
        pacer.step();
    }
    EXPECT_EQ(clock.sleeps(), 0u);
    pacer.hurry(false);
    std::uint64_t longestPause = 0;
    for (int i = 0; i < 100; ++i) {
        const std::uint64_t before = clock.sleptMs();
        clock.advanceMs(1);
        pacer.step();
        longestPause = std::max(longestPause, clock.sleptMs() - before);
    }
    EXPECT_GT(clock.sleeps(), 0u) << "the rest of the search keeps to its share";
    EXPECT_LE(longestPause, std::uint64_t{rule.sliceMs + rule.cpuReadingEveryMs * rule.cpuToWork} * 100 /
                                rule.searchSharePercent)
        << "the hurried work is not paid back by pausing the search";
    // 3,000 ms of hurried work, earned back at the average share in its rest.
    EXPECT_GE(pacer.restAfterFruitlessSearchMs() * rule.sharePercent, (3000 - 1000 * rule.sharePercent / 100) * 100);
}

TEST(SearchPacer, CountsTheThreadsProcessorTimeNotItsWaiting) {
    // A busy machine: of 1000 ms outside the pauses, the thread ran 100.
    class BusyMachineClock : public FakeClock {
    public:
        std::uint64_t threadCpuMs() override { return cpuMs; }
        std::uint64_t cpuMs = 0;
    } clock;
    SearchPacer pacer(clock);
    pacer.beginSearch();
    for (int i = 0; i < 100; ++i) {
        clock.advanceMs(10);
        if (i % 10 == 9) clock.cpuMs += 10;  // counted in ticks
    }
    EXPECT_EQ(pacer.searchWorkMs(), 100u * pacer.rule().cpuToWork);
}

TEST(SearchPacer, ReadsTheThreadsTimeOnlyAsOftenAsItCanHaveChanged) {
    // Under Wine a reading costs more than a region query.
    class CountingClock : public FakeClock {
    public:
        std::uint64_t threadCpuMs() override {
            ++readings;
            return FakeClock::threadCpuMs();
        }
        int readings = 0;
    } clock;
    SearchPacer pacer(clock);
    pacer.beginSearch();
    for (int i = 0; i < 10000; ++i) {  // 10,000 regions in 100 ms
        if (i % 100 == 0) clock.advanceMs(1);
        pacer.step();
    }
    EXPECT_LE(clock.readings, static_cast<int>(100 / pacer.rule().cpuReadingEveryMs + 2));
    EXPECT_EQ(pacer.searchWorkMs(), 100u * pacer.rule().cpuToWork) << "and still counts all of it";
}

TEST(SearchPacer, CreditsASleepThatLastedLongerThanAsked) {
    // Windows' default timer rounds a sleep up to 15.6 ms steps.
    class CoarseClock : public FakeClock {
    public:
        void sleepMs(std::uint32_t ms) override { FakeClock::sleepMs((ms / 16 + 1) * 16); }
    } clock;
    SearchPacer pacer(clock);
    pacer.beginSearch();
    for (int i = 0; i < 1000; ++i) {
        clock.advanceMs(3);
        pacer.step();
    }
    const std::uint64_t work = pacer.searchWorkMs();
    EXPECT_EQ(work, 3000u * pacer.rule().cpuToWork);
    // Oversleeping lowers the share a little; it is not paid twice (a few
    // sleeps of slack, where a thousand would be owed if it were).
    const PacingRule& rule = pacer.rule();
    const std::uint64_t share = rule.searchSharePercent, onCredit = rule.burstMs / rule.cpuToWork;
    EXPECT_LE(clock.elapsedMs() * share, (work - rule.burstMs) * 100 + (onCredit + 16 * 8) * share);
}

}  // namespace
}  // namespace tidemark
