#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>

#include "capture/capture_session.h"
#include "capture/game_processes_win32.h"
#include "support/gamesim_control.h"

namespace tidemark {
namespace {

constexpr const char* kMarker = "tidemark-marker-7f3a";

// A session attached to the running simulator, with the pattern document
// naming the simulator's marker as the first keyword of pattern "1".
class ChatLogOnSimulator : public ::testing::Test {
protected:
    void attach(std::vector<std::string> arguments) {
        GameSimulatorOptions options;
        options.marker = kMarker;
        options.arguments = std::move(arguments);
        game_.emplace(options);
        ASSERT_TRUE(game_->start());
        SessionServices services;
        services.processes = &system_;
        session_.emplace(std::move(services));
        session_->patterns.Parse(
            (std::string(R"({"1":{"keyword":[")") + kMarker + R"(","other"],"code":"0"}})").c_str());
        ASSERT_TRUE(session_->patterns.IsObject());
        session_->gameProcess = session_->openProcessByName("ffxiv_dx11.exe");
        ASSERT_NE(session_->gameProcess, nullptr);
    }

    GameSimulator& game() { return *game_; }
    CaptureSession& session() { return *session_; }

    Win32ProcessSystem system_;
    std::optional<GameSimulator> game_;
    std::optional<CaptureSession> session_;
};

TEST_F(ChatLogOnSimulator, FindsTheHeaderPastEveryDecoy) {
    attach({"--decoys", "--history", "12"});
    const GameSimulatorState state = game().state();
    ASSERT_NE(state.textBufferSlot, 0u);

    EXPECT_EQ(session().locateChatLog(), 1);
    EXPECT_EQ(session().textBufferSlot, state.textBufferSlot);
    EXPECT_EQ(session().offsetTableSlot, state.textBufferSlot - 24);
    EXPECT_EQ(session().entryCountAddress, state.textBufferSlot - 76);
    EXPECT_EQ(session().entryCount(), 13);
}

TEST_F(ChatLogOnSimulator, FindsAHeaderAtAnOddAddress) {
    attach({"--decoys", "--odd-header"});
    const std::uint64_t t = game().state().textBufferSlot;
    ASSERT_EQ(t % 2, 1u);
    EXPECT_EQ(session().locateChatLog(), 1);
    EXPECT_EQ(session().textBufferSlot, t);
    EXPECT_EQ(session().entryCount(), 1);
}

TEST_F(ChatLogOnSimulator, EntryCountFollowsTheGameAcrossBlocksAndReadsMinusOneAfterItExits) {
    attach({"--first-block", "2", "--history", "995"});  // entries 2000 to 2995
    EXPECT_EQ(session().entryCount(), 0);  // not located yet: nothing is read
    ASSERT_EQ(session().locateChatLog(), 1);
    ASSERT_NE(session().textBufferSlot, 0u);
    EXPECT_EQ(session().entryCount(), 2996);

    auto state = game().addLine(57, "Hello\x1Fworld");
    ASSERT_TRUE(state.has_value());
    EXPECT_EQ(state->entries, 2997);
    EXPECT_EQ(session().entryCount(), 2997);

    // Three more fill the block; the next starts a block with its marker.
    state = game().send("burst 4");
    ASSERT_TRUE(state.has_value());
    EXPECT_EQ(state->blockBase, 3000u);
    EXPECT_EQ(state->entries, 3002);
    EXPECT_EQ(session().entryCount(), 3002);
    EXPECT_EQ(state->errors, 0u);

    ASSERT_TRUE(game().exit());
    EXPECT_EQ(session().entryCount(), -1);
}

TEST_F(ChatLogOnSimulator, EntryCountRisesWhileTheGameWritesAtItsRate) {
    attach({"--rate", "200"});
    ASSERT_EQ(session().locateChatLog(), 1);
    const std::int32_t first = session().entryCount();
    ASSERT_GE(first, 1);
    Sleep(300);
    EXPECT_GT(session().entryCount(), first);
    auto stopped = game().send("rate 0");
    ASSERT_TRUE(stopped.has_value());
    EXPECT_EQ(session().entryCount(), stopped->entries);
}

// The simulator's log as a reader sees it: the block's offset table and
// text, the marker line first, the added line last.
TEST_F(ChatLogOnSimulator, AddedLinesLieInTheBlockAsTheGameWritesThem) {
    attach({"--history", "2"});
    ASSERT_TRUE(game().addLine(57, std::string("\x1F\x02\x00\xE3\x81\x82", 6), 1700000000u).has_value());
    ASSERT_TRUE(game().addLine(-3, "").has_value());
    const GameSimulatorState state = game().state();
    const ProcessMemory& memory = *session().gameProcess;

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
    EXPECT_EQ(session().locateChatLog(), 1);
    EXPECT_EQ(session().textBufferSlot, state.textBufferSlot);
    EXPECT_EQ(session().entryCount(), state.entries);
}

}  // namespace
}  // namespace tidemark
