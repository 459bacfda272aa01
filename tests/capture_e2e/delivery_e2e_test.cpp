// The road of a line on bad days, under Wine: the game simulator, the real
// worker with the WinInet client and the journal on disk, and the loopback
// test server storing reports by their id as the bundled server does. Each
// case asserts the server's rows: every line once, in order, under the
// language whose patterns matched it.

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <ostream>
#include <set>
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
    "2": {"keyword": ["present"], "code": "57"}, "4": {"keyword": ["\u001fline\u001f"], "code": "57"}})";

// "language:present:line" of every stored row, in order.
std::vector<std::string> storedLines() {
    std::vector<std::string> lines;
    for (const StoredRow& row : TestServer::rows())
        lines.push_back(row.field("lang") + ":" + row.field("present") + ":" + row.field("log"));
    return lines;
}

class DeliveryEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        if (!TestServer::available()) GTEST_SKIP() << "needs the loopback test server";
        ASSERT_FALSE(LoadTextW(kTextMonitoringLogs).empty()) << "the string table is not linked";
        run_.emplace(L"delivery", kPatterns);
    }
    void TearDown() override { run_.reset(); }

    void startWorker(const std::string& language = "en") { run_->start(language); }
    void stopWorker() { run_->stop(); }

    bool waitForMonitoring() {
        const std::u16string format = LoadTextW(kTextMonitoringLogs);
        const std::u16string head = format.substr(0, format.find(u"%d"));
        return waitUntil([&] {
            auto texts = run_->status().texts();
            return !texts.empty() && texts.back().compare(0, head.size(), head) == 0;
        });
    }
    bool waitForRows(std::size_t n) {
        const bool reached = waitUntil([&] { return TestServer::rows().size() >= n; });
        std::this_thread::sleep_for(std::chrono::milliseconds(500));  // room for a stray report
        return reached;
    }
    static std::vector<std::string> lines(const std::string& language, const std::string& prefix, int from, int to) {
        std::vector<std::string> out;
        for (int i = from; i <= to; ++i) out.push_back(language + ":1:" + prefix + " " + std::to_string(i));
        return out;
    }

    std::optional<testing::JournaledWorker> run_;
};

// The server goes down, lines are written, and the game exits and comes
// back meanwhile: the worker waits for the server instead of ending, and
// every line arrives.
TEST_F(DeliveryEndToEnd, AnOutageAcrossAGameRestartLosesNoLine) {
    std::optional<GameSimulator> game(std::in_place, GameSimulatorOptions().keyword(kMarker));
    ASSERT_TRUE(game->start());
    startWorker();
    ASSERT_TRUE(waitForMonitoring());

    TestServer::goAway(6000);
    for (int i = 1; i <= 2; ++i) ASSERT_TRUE(game->addLine(57, "present " + std::to_string(i)));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ASSERT_TRUE(game->exit());
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));  // the fetch after the reset fails
    EXPECT_TRUE(run_->running()) << "the worker waits for the server";
    game.emplace(GameSimulatorOptions().keyword(kMarker));
    ASSERT_TRUE(game->start());
    ASSERT_TRUE(waitForRows(2));
    ASSERT_TRUE(waitForMonitoring());
    ASSERT_TRUE(game->addLine(57, "present 3"));
    ASSERT_TRUE(waitForRows(3));

    EXPECT_EQ(storedLines(), lines("en", "present", 1, 3));
}

struct FaultCase {
    const char* name;
    std::vector<ServerFault> faults;
};

void PrintTo(const FaultCase& c, std::ostream* out) { *out << c.name; }

class DeliveryFault : public DeliveryEndToEnd, public ::testing::WithParamInterface<FaultCase> {};

// "Try again" answers, a connection dropped after the request was read, and
// an answer that comes after the client gave up: the report is kept and sent
// again with its id, and the server stores each line once.
TEST_P(DeliveryFault, EveryLineIsStoredOnceInOrder) {
    GameSimulator game(GameSimulatorOptions().keyword(kMarker));
    ASSERT_TRUE(game.start());
    startWorker();
    ASSERT_TRUE(waitForMonitoring());

    TestServer::faults(GetParam().faults);
    for (int i = 1; i <= 3; ++i) ASSERT_TRUE(game.addLine(57, "present " + std::to_string(i)));
    ASSERT_TRUE(waitForRows(3));

    EXPECT_EQ(storedLines(), lines("en", "present", 1, 3));
    EXPECT_GT(reportPosts(), 3u) << "the fault was met and the report sent again";
}

ServerFault refuse(int status, std::optional<int> retryAfter, int count = 1) {
    ServerFault fault{"refuse"};
    fault.status = status;
    fault.retryAfter = retryAfter;
    fault.count = count;
    return fault;
}
ServerFault fault(const char* kind, double seconds = 0) {
    ServerFault f{kind};
    f.seconds = seconds;
    return f;
}

// WinInet itself sends a request again, once, on a connection that closed
// without answering: only a further drop reaches the worker's own retry.
ServerFault dropped(int count) {
    ServerFault f{"drop"};
    f.count = count;
    return f;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, DeliveryFault,
    ::testing::Values(FaultCase{"TooMany", {refuse(429, 1, 3)}}, FaultCase{"Busy", {refuse(503, 2, 2)}},
                      FaultCase{"NotStored", {refuse(500, std::nullopt)}},
                      FaultCase{"ProxyTimeout", {refuse(504, std::nullopt, 2)}},
                      FaultCase{"RequestTimeout", {refuse(408, std::nullopt)}},
                      FaultCase{"AnswerDropped", {fault("pass"), dropped(3)}},
                      FaultCase{"AnswerLate", {fault("stall", 3.5)}}),
    [](const ::testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

// The language changes while a read pass posts: the lines of the pass after
// the change are read again with the new set, lines after it are present,
// and no line is lost or doubled.
TEST_F(DeliveryEndToEnd, ALanguageChangeDuringAReadPassLosesAndDoublesNoLine) {
    GameSimulator game(GameSimulatorOptions().keyword(kMarker));
    ASSERT_TRUE(game.start());
    startWorker("en");
    ASSERT_TRUE(waitForMonitoring());

    // The fourth post of the pass is answered late, so the change comes
    // while the pass's reports are being sent.
    TestServer::faults({fault("pass"), fault("pass"), fault("pass"), fault("stall", 1.0)});
    ASSERT_TRUE(game.send("burst 12 57"));
    ASSERT_TRUE(waitUntil([&] { return reportPosts() >= 4; }));
    run_->session().chooseLanguage("ja");
    ASSERT_TRUE(waitForRows(12));
    ASSERT_TRUE(waitForMonitoring());
    ASSERT_TRUE(game.addLine(57, "present after the change"));
    ASSERT_TRUE(waitForRows(13));

    const std::vector<StoredRow> rows = TestServer::rows();
    ASSERT_EQ(rows.size(), 13u);
    std::size_t english = 0;
    while (english < rows.size() && rows[english].field("lang") == "en") ++english;
    EXPECT_EQ(english, 12u) << "the lines of a pass read before the change keep the set they were read with";
    for (std::size_t i = 0; i < 12; ++i) {
        EXPECT_EQ(rows[i].field("log"), "gamesim\x1Fline\x1F" + std::to_string(i + 1)) << i;
        EXPECT_EQ(rows[i].field("present"), "1");
        if (i >= english) EXPECT_EQ(rows[i].field("lang"), "ja") << i;
    }
    EXPECT_EQ(rows[12].field("lang") + ":" + rows[12].field("present") + ":" + rows[12].field("log"),
              "ja:1:present after the change");
}

// Reports that wait when Tidemark ends are sent first at the next start,
// with the ids they were made with, and the Log tab says so.
TEST_F(DeliveryEndToEnd, ReportsLeftAtExitGoFirstAtTheNextStart) {
    GameSimulator game(GameSimulatorOptions().keyword(kMarker));
    ASSERT_TRUE(game.start());
    startWorker();
    ASSERT_TRUE(waitForMonitoring());
    TestServer::goAway(4000);
    for (int i = 1; i <= 3; ++i) ASSERT_TRUE(game.addLine(57, "present " + std::to_string(i)));
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    stopWorker();
    ASSERT_TRUE(TestServer::rows().empty());
    std::this_thread::sleep_for(std::chrono::milliseconds(3500));  // the server is back

    startWorker();
    ASSERT_TRUE(waitForRows(3));
    ASSERT_TRUE(waitForMonitoring());
    ASSERT_TRUE(game.addLine(57, "present 4"));
    ASSERT_TRUE(waitForRows(4));

    EXPECT_EQ(storedLines(), lines("en", "present", 1, 4));
    std::set<std::string> ids;
    for (const StoredRow& row : TestServer::rows()) ids.insert(row.reportId.value_or(""));
    EXPECT_EQ(ids.size(), 4u);
    const std::u16string told = u"* " + formatStatusText(LoadTextW(kTextLastRunReportsSent), {3});
    bool listed = false;
    for (const LogRecord& record : run_->session().messages()) listed = listed || record.text == told;
    EXPECT_TRUE(listed);
}

}  // namespace
}  // namespace tidemark
