// A burst of matching lines across the game's block change while the server
// stalls, under Wine: the game simulator writing each block into new
// buffers or over the last one's, the real worker with the WinInet client,
// and the loopback test server storing reports by their id. In new buffers
// every line arrives; over reused ones every line that could still be read
// arrives, and the Log tab tells how many could not.

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "capture/capture_worker.h"
#include "capture/game_processes_win32.h"
#include "capture/status_text.h"
#include "fakes/recording_status_sink.h"
#include "http/http_client_win32.h"
#include "support/gamesim_control.h"
#include "journaled_worker.h"
#include "support/test_server.h"
#include "texts/texts.h"

namespace tidemark {
namespace {

using testing::ServerAnswer;
using testing::ServerFault;
using testing::StoredRow;
using testing::TestServer;
using testing::reportPosts;
using testing::waitUntil;

constexpr char kMarker[] = "e2e-marker";
constexpr char kPatterns[] = R"({"1": {"keyword": ["e2e-marker"], "code": "999"},
    "4": {"keyword": ["\u001fline\u001f"], "code": "57"}})";
// The simulator's count after its marker and this much history: the burst
// starts 30 lines before the block's end.
constexpr int kHistory = 969;
constexpr int kFirstPart = 15;  // read by a pass before the rest is written
constexpr int kBurst = 60;

struct SimulatorMode {
    const char* name;
    std::vector<std::string> arguments;
    bool blocksReuseBuffers;
};

void PrintTo(const SimulatorMode& mode, std::ostream* out) { *out << mode.name; }

class BlockChangeEndToEnd : public ::testing::TestWithParam<SimulatorMode> {
protected:
    void SetUp() override {
        if (!TestServer::available()) GTEST_SKIP() << "needs the loopback test server";
        ASSERT_FALSE(LoadTextW(kTextLinesPassedOver).empty()) << "the string table is not linked";
        run_.emplace(L"block-change", kPatterns);
    }
    void TearDown() override { run_.reset(); }

    void startWorker() { run_->start(); }

    bool monitoringAt(std::int32_t count) {
        const std::u16string expected = formatStatusText(LoadTextW(kTextMonitoringLogs), {count});
        return waitUntil(
            [&] {
                auto texts = run_->status().texts();
                return !texts.empty() && texts.back() == expected;
            },
            30000);
    }
    // The numbers told in the Log tab as lines passed over, in order.
    std::vector<int> passedOverTold() {
        std::vector<int> told;
        for (const LogRecord& record : run_->session().messages())
            for (int n = 1; n <= kBurst; ++n)
                if (record.text == u"* " + formatStatusText(LoadTextW(kTextLinesPassedOver), {n})) told.push_back(n);
        return told;
    }

    std::optional<testing::JournaledWorker> run_;
};

// The first part of the burst is read by a pass whose first report the
// server holds for 8 s; the rest, across entry 1000 (where the simulator
// starts the new block with its marker line), is written before the next
// pass can read the old block's tail.
TEST_P(BlockChangeEndToEnd, EveryLineIsStoredOnceOrToldAsPassedOver) {
    std::vector<std::string> arguments = GetParam().arguments;
    arguments.insert(arguments.end(), {"--history", std::to_string(kHistory)});
    GameSimulatorOptions options;
    options.marker = kMarker;
    options.arguments = arguments;
    GameSimulator game(options);
    ASSERT_TRUE(game.start());
    startWorker();
    ASSERT_TRUE(monitoringAt(kHistory + 1));

    ServerFault stall;
    stall.kind = "stall";
    stall.seconds = 8;
    TestServer::faults({stall});
    ASSERT_TRUE(game.send("burst " + std::to_string(kFirstPart) + " 57"));
    ASSERT_TRUE(waitUntil([&] { return reportPosts() >= 1; }, 10000));
    const auto after = game.send("burst " + std::to_string(kBurst - kFirstPart) + " 57");
    ASSERT_TRUE(after);
    ASSERT_EQ(after->blockBase, 1000u);
    ASSERT_EQ(after->entries, kHistory + 1 + kBurst + 1) << "the new block's marker line counts too";
    ASSERT_EQ(after->errors, 0u);

    std::vector<std::string> written;
    for (int i = 1; i <= kBurst; ++i) written.push_back("gamesim\x1Fline\x1F" + std::to_string(i));
    const auto settled = [&] {
        const auto told = passedOverTold();
        const std::size_t lost = told.empty() ? 0 : static_cast<std::size_t>(told.front());
        return TestServer::rows().size() + lost >= written.size();
    };
    ASSERT_TRUE(waitUntil(settled, 90000));
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));  // room for a stray report or telling

    std::vector<std::string> stored;
    for (const StoredRow& row : TestServer::rows()) {
        EXPECT_EQ(row.field("present"), "1");
        EXPECT_EQ(row.field("lang"), "en");
        stored.push_back(row.field("log"));
    }
    const std::vector<int> told = passedOverTold();
    // With new buffers, or when a read pass came between the game's lines
    // 999 and 1000 (reading never waits for the stalled server, so it
    // may), every line arrives.
    if (told.empty()) {
        EXPECT_EQ(stored, written);
        return;
    }
    // Otherwise the old block's tail was written over: the lines from the
    // pass's position to the block's end are gone, and said to be, once.
    ASSERT_TRUE(GetParam().blocksReuseBuffers) << "lines told as passed over though the game kept them";
    ASSERT_EQ(told.size(), 1u);
    const auto lost = static_cast<std::size_t>(told[0]);
    ASSERT_GT(lost, 0u);
    ASSERT_LE(lost, 30u) << "no line of the new block is lost";
    std::vector<std::string> expected(written.begin(), written.begin() + static_cast<std::ptrdiff_t>(30 - lost));
    expected.insert(expected.end(), written.begin() + 30, written.end());
    EXPECT_EQ(stored, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Simulator, BlockChangeEndToEnd,
    ::testing::Values(SimulatorMode{"NewBuffersPerBlock", {}, false},
                      SimulatorMode{"OneReusedBuffer", {"--reuse-block-buffers"}, true}),
    [](const ::testing::TestParamInfo<SimulatorMode>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tidemark
