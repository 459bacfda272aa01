// The capture engine from end to end under Wine, without a window: the game
// simulator as the game, the loopback test server as the report server, and
// the real worker with the Win32 process access and the WinInet client.

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "capture/capture_worker.h"
#include "fakes/recording_status_sink.h"
#include "capture/game_processes_win32.h"
#include "http/form.h"
#include "http/http_client_win32.h"
#include "texts/texts.h"
#include "support/gamesim_control.h"
#include "support/test_server.h"

namespace tidemark {
namespace {

using testing::ServerAnswer;
using testing::ServerRequest;
using testing::TestServer;

constexpr char kMarker[] = "e2e-marker";

bool waitUntil(const std::function<bool()>& done, int timeoutMs = 20000) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < until) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
}

// The body the poster must send for one matched line, with a session that
// has no identifiers from the server yet.
std::string expectedBody(int patternId, int code, const std::string& line, int ordinal, std::uint32_t time,
                         bool present) {
    const std::pair<std::string, std::string> fields[] = {
        {"lang", "en"},         {"sid", ""},
        {"fid", ""},            {"aid", ""},
        {"pid", std::to_string(patternId)},
        {"code", std::to_string(code)},
        {"log", line},          {"line", std::to_string(ordinal)},
        {"ltime", std::to_string(time)},
        {"present", present ? "1" : "0"}};
    std::string body;
    for (const auto& [name, value] : fields) {
        if (!body.empty()) body += "&";
        body += percentEncode(name) + "=" + percentEncode(value);
    }
    return body;
}

// The raw bytes of one field of an urlencoded body.
std::optional<std::string> fieldOf(const std::string& body, const std::string& name) {
    auto decode = [](const std::string& text) {
        std::string out;
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '%' && i + 2 < text.size()) {
                out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
                i += 2;
            } else {
                out += text[i];
            }
        }
        return out;
    };
    std::size_t start = 0;
    while (start <= body.size()) {
        std::size_t end = body.find('&', start);
        if (end == std::string::npos) end = body.size();
        const std::string pair = body.substr(start, end - start);
        const std::size_t equals = pair.find('=');
        if (equals != std::string::npos && decode(pair.substr(0, equals)) == name)
            return decode(pair.substr(equals + 1));
        start = end + 1;
    }
    return std::nullopt;
}

class CaptureEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        if (!TestServer::available()) GTEST_SKIP() << "needs the loopback test server";
        // The worker's states are recognised by its texts.
        ASSERT_FALSE(LoadTextW(kTextMonitoringLogs).empty()) << "the string table is not linked";
    }
    void TearDown() override {
        if (worker_) worker_->stop();
    }

    // Every answer is the pattern set: the worker's fetch takes it as such,
    // and to the poster it is an object without members that act.
    void serve(const std::string& patterns) { TestServer::script({}, ServerAnswer::text(patterns)); }

    void startWorker() {
        WorkerServices services;
        services.processes = &processes_;
        services.httpClientFactory = winInetClientFactory();
        services.serverHost = "127.0.0.1";
        services.serverPort = TestServer::port();
        session_.setLanguage("en");
        worker_.emplace(session_, std::move(services));
        worker_->start(&status_);
    }

    std::vector<ServerRequest> requests(const std::string& method) const {
        std::vector<ServerRequest> matching;
        for (const ServerRequest& r : TestServer::requests())
            if (r.method() == method) matching.push_back(r);
        return matching;
    }
    std::vector<std::string> postBodies() const {
        std::vector<std::string> bodies;
        for (const ServerRequest& r : requests("POST")) bodies.push_back(r.body);
        return bodies;
    }
    bool waitForPosts(std::size_t n) {
        return waitUntil([&] { return requests("POST").size() >= n; });
    }
    // Whether, among the status texts from the `from`th on, the worker said
    // it monitors a log after it had said anything else (waiting for the
    // game, searching): only then are a restarted game's new lines present
    // lines. A "reports waiting" text does not count as anything else: it
    // comes and goes while the same log is monitored. From the first text,
    // any monitoring counts.
    bool monitorsAfterASearch(std::size_t from) const {
        const std::u16string monitoring = textHead(kTextMonitoringLogs);
        const std::u16string reportsWaiting = textAfterNumber(kTextReportsWaiting);
        const std::vector<std::u16string> texts = status_.texts();
        bool searched = from == 0;
        for (std::size_t i = from; i < texts.size(); ++i) {
            const bool monitors = texts[i].compare(0, monitoring.size(), monitoring) == 0;
            if (monitors && searched) return true;
            if (!monitors && texts[i].find(reportsWaiting) == std::u16string::npos) searched = true;
        }
        return false;
    }
    bool waitForMonitoring(std::size_t fromText = 0) {
        return waitUntil([&] { return monitorsAfterASearch(fromText); });
    }
    // A status text's words before and after its number.
    static std::u16string textHead(std::int32_t id) {
        const std::u16string format = LoadTextW(id);
        return format.substr(0, format.find(u"%d"));
    }
    static std::u16string textAfterNumber(std::int32_t id) {
        const std::u16string format = LoadTextW(id);
        return format.substr(format.find(u"%d") + 2);
    }

    // The last status texts, for failure messages.
    std::string recentStatus() const {
        std::string out;
        auto texts = status_.texts();
        for (std::size_t i = texts.size() > 8 ? texts.size() - 8 : 0; i < texts.size(); ++i) {
            for (char16_t c : texts[i]) out += c < 128 ? static_cast<char>(c) : '?';
            out += " | ";
        }
        return out;
    }

    Win32ProcessSystem processes_;
    RecordingStatusSink status_;
    CaptureSession session_;
    std::optional<CaptureWorker> worker_;
};

constexpr char kPatterns[] = R"({"1": {"keyword": ["e2e-marker"], "code": "999"},
    "2": {"keyword": ["present"], "code": "57"},
    "3": {"keyword": ["history"], "code": "0", "trace": true}})";

TEST_F(CaptureEndToEnd, ReportsHistoryAndPresentLinesAndFollowsARestartedGame) {
    serve(kPatterns);
    std::optional<GameSimulator> game(std::in_place, GameSimulatorOptions().keyword(kMarker));
    ASSERT_TRUE(game->start());
    const std::string rawHistory("history two \0\x1F bytes", 20);
    ASSERT_TRUE(game->addLine(57, "history one", 1700000001));
    ASSERT_TRUE(game->addLine(58, "plain old line", 1700000002));
    ASSERT_TRUE(game->addLine(1, rawHistory, 1700000003));

    startWorker();
    ASSERT_TRUE(waitForMonitoring()) << recentStatus();
    ASSERT_TRUE(waitForPosts(2));

    ASSERT_TRUE(game->addLine(57, "present one", 1700000004));
    ASSERT_TRUE(waitForPosts(3));
    ASSERT_TRUE(game->addLine(58, "present but code 58", 1700000005));
    ASSERT_TRUE(game->addLine(5, "a history word now", 1700000006));
    ASSERT_TRUE(waitForPosts(4));

    // The game goes; the worker resets, fetches the patterns again and waits.
    const std::size_t textsBefore = status_.texts().size();
    ASSERT_TRUE(game->exit());
    ASSERT_TRUE(waitUntil([&] { return requests("GET").size() >= 2; }));
    game.emplace(GameSimulatorOptions().keyword(kMarker));
    ASSERT_TRUE(game->start());
    ASSERT_TRUE(waitForMonitoring(textsBefore)) << recentStatus();
    ASSERT_TRUE(game->addLine(57, "present after the restart", 1700000007));
    ASSERT_TRUE(waitForPosts(5)) << recentStatus();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // room for a stray report

    const std::vector<std::string> expected = {
        expectedBody(3, 57, "history one", 0, 1700000001, false),
        expectedBody(3, 1, rawHistory, 1, 1700000003, false),
        expectedBody(2, 57, "present one", 0, 1700000004, true),
        expectedBody(3, 5, "a history word now", 0, 1700000006, true),
        expectedBody(2, 57, "present after the restart", 0, 1700000007, true),
    };
    EXPECT_EQ(postBodies(), expected);
    for (const ServerRequest& post : requests("POST")) EXPECT_EQ(post.target(), "/rep/post.php");

    const std::string patternTarget = "/rep/get.php?%67%65%74=%70%61%74%74%65%72%6E&%6C%61%6E%67=%65%6E";
    auto gets = requests("GET");
    ASSERT_EQ(gets.size(), 2u);
    for (const ServerRequest& get : gets) EXPECT_EQ(get.target(), patternTarget);
}

TEST_F(CaptureEndToEnd, BurstAcrossABlockChangeReachesTheServerForEveryLineTheGameStillHolds) {
    serve(R"({"1": {"keyword": ["e2e-marker"], "code": "999"},
              "4": {"keyword": ["\u001fline\u001f"], "code": "77"}})");
    // Entries 2000 (the marker) to 2990; the burst then runs from 2991 over
    // the block change at 3000 (whose first entry is the marker again).
    GameSimulator game(GameSimulatorOptions().keyword(kMarker).add("--first-block", "2").add("--history", "990"));
    ASSERT_TRUE(game.start());
    startWorker();
    ASSERT_TRUE(waitForMonitoring()) << recentStatus();
    ASSERT_TRUE(requests("POST").empty()) << "history lines match no trace pattern";

    const auto state = game.send("burst 20 77");
    ASSERT_TRUE(state);
    ASSERT_EQ(state->entries, 3012);
    // Lines 10 to 20 stand in the new block after its marker; lines 1 to 9
    // are read from the old block's own buffers, which the game left.
    ASSERT_TRUE(waitForPosts(20));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));

    std::vector<int> numbers;
    for (const std::string& body : postBodies()) {
        const std::string line = fieldOf(body, "log").value_or("");
        ASSERT_EQ(line.rfind("gamesim\x1Fline\x1F", 0), 0u) << line;
        numbers.push_back(std::stoi(line.substr(13)));
        EXPECT_EQ(fieldOf(body, "present"), "1");
        EXPECT_EQ(fieldOf(body, "pid"), "4");
    }
    std::set<int> distinct(numbers.begin(), numbers.end());
    EXPECT_EQ(distinct.size(), numbers.size()) << "no line is reported twice";
    for (int n = 1; n <= 20; ++n) EXPECT_TRUE(distinct.count(n)) << "line " << n;
    EXPECT_TRUE(std::is_sorted(numbers.begin(), numbers.end()));
}

// The server goes down for five seconds while the game writes four matching
// lines: they wait in the worker, and reach the server once it is back, in
// order, each once.
TEST_F(CaptureEndToEnd, LinesWrittenWhileTheServerIsAwayArriveInOrderOnceItIsBack) {
    serve(kPatterns);
    GameSimulator game(GameSimulatorOptions().keyword(kMarker));
    ASSERT_TRUE(game.start());
    startWorker();
    ASSERT_TRUE(waitForMonitoring()) << recentStatus();

    TestServer::goAway(5000);
    const auto wentAway = std::chrono::steady_clock::now();
    for (int i = 1; i <= 4; ++i) {
        ASSERT_TRUE(game.addLine(57, "present while away " + std::to_string(i), 1700000010 + i));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    ASSERT_TRUE(waitForPosts(4)) << recentStatus();
    EXPECT_GE(std::chrono::steady_clock::now() - wentAway, std::chrono::milliseconds(4900));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // room for a stray report

    std::vector<std::string> lines;
    for (const std::string& body : postBodies()) lines.push_back(fieldOf(body, "log").value_or(""));
    EXPECT_EQ(lines, (std::vector<std::string>{"present while away 1", "present while away 2",
                                               "present while away 3", "present while away 4"}));
}

}  // namespace
}  // namespace tidemark
