#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capture/game_processes.h"
#include "capture/game_processes_win32.h"
#include "gamelog/chat_log_locator.h"
#include "gamelog/region_search.h"
#include "gamelog/search_pacer.h"
#include "support/gamesim_control.h"

namespace tidemark {
namespace {

constexpr const char* kMarker = "tidemark-marker-7f3a";

// The running simulator opened for reading, searched for the simulator's
// marker as the first keyword of pattern "1" would make it.
class ChatLogOnSimulator : public ::testing::Test {
protected:
    void attach(std::vector<std::string> arguments) {
        GameSimulatorOptions options;
        options.marker = kMarker;
        options.arguments = std::move(arguments);
        game_.emplace(options);
        ASSERT_TRUE(game_->start());
        process_ = openProcessByName(system_, "ffxiv_dx11.exe");
        ASSERT_NE(process_, nullptr);
    }

    // Where the log lies; unlocated addresses when the search found nothing.
    ChatLogAddresses locate() {
        const std::string marker = std::string("\x1F\x1F") + kMarker;
        LocatorInputs inputs;
        inputs.marker = marker;
        return locateChatLog(*process_, inputs).value_or(ChatLogAddresses{});
    }

    GameSimulator& game() { return *game_; }
    const ProcessMemory& process() { return *process_; }

    Win32ProcessSystem system_;
    std::optional<GameSimulator> game_;
    std::unique_ptr<ProcessMemory> process_;
};

TEST_F(ChatLogOnSimulator, FindsTheHeaderPastEveryDecoy) {
    attach({"--decoys", "--history", "12"});
    const GameSimulatorState state = game().state();
    ASSERT_NE(state.textBufferSlot, 0u);

    const ChatLogAddresses log = locate();
    EXPECT_EQ(log.textBufferSlot, state.textBufferSlot);
    EXPECT_EQ(log.offsetTableSlot, state.textBufferSlot - 24);
    EXPECT_EQ(log.entryCountAddress, state.textBufferSlot - 76);
    EXPECT_EQ(entryCount(process(), log), 13);
}

TEST_F(ChatLogOnSimulator, FindsTheHeaderPastStaleCopiesOfItsPointer) {
    attach({"--stale-copies", "--decoys", "--history", "4"});
    const GameSimulatorState state = game().state();
    ASSERT_NE(state.textBufferSlot, 0u);

    // The first copy of E in the searched memory is a stale one.
    const std::uint64_t entry = process().readPointer(state.textBufferSlot);
    std::uint8_t pointer[8];
    std::memcpy(pointer, &entry, sizeof pointer);
    std::uint64_t firstCopy = 0;
    RegionSearch search;
    for (const MemoryRegion& region : listCandidateRegions(process(), {})) {
        const RegionHit hit = search.find(process(), region, pointer, sizeof pointer);
        if (hit.found()) {
            firstCopy = region.BaseAddress + hit.offset;
            break;
        }
    }
    EXPECT_LT(firstCopy, state.textBufferSlot);
    EXPECT_EQ(process().readU32(firstCopy - 0x4C), 0);

    const ChatLogAddresses log = locate();
    EXPECT_EQ(log.textBufferSlot, state.textBufferSlot);
    EXPECT_EQ(entryCount(process(), log), 5);
}

TEST_F(ChatLogOnSimulator, AWithheldLogIsFoundOnceTheGamePublishesIt) {
    attach({"--withhold-log", "--history", "2"});
    ASSERT_FALSE(game().state().published);
    EXPECT_FALSE(locate().located());
    const auto early = game().addLine(57, "too soon");  // no log to write to yet
    ASSERT_TRUE(early.has_value());
    EXPECT_EQ(early->errors, 1u);
    EXPECT_EQ(early->entries, 0);

    const auto state = game().send("publish");
    ASSERT_TRUE(state.has_value());
    EXPECT_TRUE(state->published);
    const ChatLogAddresses log = locate();
    EXPECT_EQ(log.textBufferSlot, state->textBufferSlot);
    EXPECT_EQ(entryCount(process(), log), 3);
}

// A game of a real client's size (thousands of small heaps below its log)
// that publishes its log while it is being searched for, paced as the
// worker paces it: the search that follows the publishing finds it, so the
// log waits at most the rest of one search, one rest and one search.
TEST_F(ChatLogOnSimulator, ALogPublishedLateAmongManyRegionsIsFoundByTheNextSearch) {
    attach({"--small-regions", "3000", "--ballast-regions", "4", "--ballast-region-bytes", "4194304",
            "--publish-after", "2000", "--history", "1"});
    ASSERT_GE(listCandidateRegions(process(), {}).size(), 3000u) << "the small regions are there";
    SearchPacer pacer(systemClock());
    const std::string marker = std::string("\x1F\x1F") + kMarker;
    LocatorInputs inputs;
    inputs.marker = marker;
    inputs.pacer = &pacer;
    int searchesAfterPublish = 0;
    std::optional<ChatLogAddresses> found;
    const ULONGLONG began = GetTickCount64();
    for (int search = 0; search < 60 && !found; ++search) {
        const bool published = game().state().published;
        found = locateChatLog(process(), inputs);
        searchesAfterPublish += published;
        if (!found) Sleep(static_cast<DWORD>(pacer.restAfterFruitlessSearchMs()));
    }
    ASSERT_TRUE(found.has_value()) << "not found in 60 searches";
    EXPECT_EQ(found->textBufferSlot, game().state().textBufferSlot);
    EXPECT_LE(searchesAfterPublish, 1) << "a search that began after the log appeared passed it over";
    RecordProperty("seconds_to_find", std::to_string((GetTickCount64() - began) / 1000.0));
}

TEST_F(ChatLogOnSimulator, FindsAHeaderAtAnOddAddress) {
    attach({"--decoys", "--odd-header"});
    const std::uint64_t t = game().state().textBufferSlot;
    ASSERT_EQ(t % 2, 1u);
    const ChatLogAddresses log = locate();
    EXPECT_EQ(log.textBufferSlot, t);
    EXPECT_EQ(entryCount(process(), log), 1);
}

TEST_F(ChatLogOnSimulator, EntryCountFollowsTheGameAcrossBlocksAndReadsMinusOneAfterItExits) {
    attach({"--first-block", "2", "--history", "995"});  // entries 2000 to 2995
    EXPECT_EQ(entryCount(process(), ChatLogAddresses{}), 0);  // not located yet: nothing is read
    const ChatLogAddresses log = locate();
    ASSERT_TRUE(log.located());
    EXPECT_EQ(entryCount(process(), log), 2996);

    auto state = game().addLine(57, "Hello\x1Fworld");
    ASSERT_TRUE(state.has_value());
    EXPECT_EQ(state->entries, 2997);
    EXPECT_EQ(entryCount(process(), log), 2997);

    // Three more fill the block; the next starts a block with its marker.
    state = game().send("burst 4");
    ASSERT_TRUE(state.has_value());
    EXPECT_EQ(state->blockBase, 3000u);
    EXPECT_EQ(state->entries, 3002);
    EXPECT_EQ(entryCount(process(), log), 3002);
    EXPECT_EQ(state->errors, 0u);

    ASSERT_TRUE(game().exit());
    EXPECT_EQ(entryCount(process(), log), -1);
}

TEST_F(ChatLogOnSimulator, EntryCountRisesWhileTheGameWritesAtItsRate) {
    attach({"--rate", "200"});
    const ChatLogAddresses log = locate();
    ASSERT_TRUE(log.located());
    const std::int32_t first = entryCount(process(), log);
    ASSERT_GE(first, 1);
    Sleep(300);
    EXPECT_GT(entryCount(process(), log), first);
    auto stopped = game().send("rate 0");
    ASSERT_TRUE(stopped.has_value());
    EXPECT_EQ(entryCount(process(), log), stopped->entries);
}

// The simulator's log as a reader sees it: the block's offset table and
// text, the marker line first, the added line last.
TEST_F(ChatLogOnSimulator, AddedLinesLieInTheBlockAsTheGameWritesThem) {
    attach({"--history", "2"});
    ASSERT_TRUE(game().addLine(57, std::string("\x1F\x02\x00\xE3\x81\x82", 6), 1700000000u).has_value());
    ASSERT_TRUE(game().addLine(-3, "").has_value());
    const GameSimulatorState state = game().state();
    const ProcessMemory& memory = process();

    ASSERT_EQ(memory.readU32(state.entryCountAddress), 5);
    std::uint32_t table[5];
    ASSERT_EQ(memory.readMemory(memory.readPointer(state.offsetTableSlot), table, sizeof table), sizeof table);
    const std::string marker = std::string("\x1F\x1F") + kMarker;
    EXPECT_EQ(table[0], 8 + marker.size());
    EXPECT_EQ(table[4], table[3] + 8);  // the empty line
    std::vector<std::uint8_t> text(table[4]);
    ASSERT_EQ(memory.readMemory(memory.readPointer(state.textBufferSlot), text.data(), text.size()), text.size());

    auto u32At = [&](std::size_t at) {
        std::uint32_t value;
        std::memcpy(&value, text.data() + at, 4);
        return value;
    };
    const std::int64_t now = std::time(nullptr);
    EXPECT_NEAR(static_cast<double>(u32At(0)), static_cast<double>(now), 60.0);
    EXPECT_EQ(u32At(4), 0u);
    EXPECT_EQ(std::string(text.begin() + 8, text.begin() + table[0]), marker);
    EXPECT_EQ(u32At(table[2]), 1700000000u);
    EXPECT_EQ(u32At(table[2] + 4), 57u);
    EXPECT_EQ(std::string(text.begin() + table[2] + 8, text.begin() + table[3]),
              std::string("\x1F\x02\x00\xE3\x81\x82", 6));
    EXPECT_NEAR(static_cast<double>(u32At(table[3])), static_cast<double>(now), 60.0);
    EXPECT_EQ(static_cast<std::int32_t>(u32At(table[3] + 4)), -3);
}

TEST_F(ChatLogOnSimulator, ANewBlockIsFoundAgainThroughTheSameHeader) {
    attach({"--history", "998"});
    ASSERT_TRUE(game().send("burst 5").has_value());
    const GameSimulatorState state = game().state();
    ASSERT_EQ(state.blockBase, 1000u);

    // The old block still holds a marker, but nothing points at it any more.
    const ChatLogAddresses log = locate();
    EXPECT_EQ(log.textBufferSlot, state.textBufferSlot);
    EXPECT_EQ(entryCount(process(), log), state.entries);
}

// A header found before is confirmed in place, in whichever block the game
// writes now; a slot next to it is not.
TEST_F(ChatLogOnSimulator, AHeaderFoundBeforeIsConfirmedInPlaceAfterABlockChange) {
    attach({"--history", "990", "--decoys", "--stale-copies"});
    const std::uint64_t slot = locate().textBufferSlot;
    ASSERT_NE(slot, 0u);
    ASSERT_TRUE(game().send("burst 20").has_value());
    ASSERT_EQ(game().state().blockBase, 1000u);

    const auto confirmed = confirmChatLogAt(process(), slot);
    ASSERT_TRUE(confirmed.has_value());
    EXPECT_EQ(entryCount(process(), *confirmed), game().state().entries);
    for (const std::uint64_t beside : {slot - 8, slot + 8}) EXPECT_FALSE(confirmChatLogAt(process(), beside)) << beside;
}

}  // namespace
}  // namespace tidemark
