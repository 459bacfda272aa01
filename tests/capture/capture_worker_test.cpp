// The worker's decisions, run on the test thread against a scripted server,
// process table and game image. The clock never waits: each sleep is a step
// at which the test changes the world or asks the worker to stop.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capture/capture_session.h"
#include "fakes/recording_status_sink.h"
#include "fakes/fake_clock.h"
#include "fakes/fake_http_client.h"
#include "fakes/fake_process_image.h"
#include "fakes/fake_process_system.h"
#include "shell/texts.h"
#include "support/fake_chat_log.h"

namespace tidemark {
namespace {

using testing::FakeChatLog;
using testing::FakeHttpServer;
using testing::FakeRequest;

constexpr char kPatterns[] = R"({"1": {"keyword": ["marker"], "code": "0"}, "2": {"keyword": ["hit"], "code": "0"}})";
constexpr std::uint32_t kDx11Id = 100;
constexpr std::int64_t kNow = 1700000000;

class SteppingClock : public FakeClock {
public:
    SteppingClock() : FakeClock(kNow) {}
    std::function<void(std::uint32_t)> onSleep;
    void sleepMs(std::uint32_t milliseconds) override {
        FakeClock::sleepMs(milliseconds);
        if (onSleep) onSleep(milliseconds);
    }
};

std::u16string waitingText(std::int32_t counter) {
    return LoadTextW(kTextWaitingForGame) + std::u16string(static_cast<std::size_t>(counter % 10), u'.');
}
std::u16string prefixed(int textId) { return u"* " + LoadTextW(textId); }
// The table text with its "%d" fields filled in order.
std::u16string filled(int textId, std::initializer_list<std::u16string> values) {
    std::u16string text = LoadTextW(textId);
    for (const std::u16string& value : values) text.replace(text.find(u"%d"), 2, value);
    return text;
}
bool isMonitoring(const std::u16string& text) {
    const std::u16string format = LoadTextW(kTextMonitoringLogs);
    return text.compare(0, format.find(u"%d"), format, 0, format.find(u"%d")) == 0;
}

class Worker : public ::testing::Test {
protected:
    void SetUp() override {
        // The tests recognise the worker's states by its texts.
        ASSERT_FALSE(LoadTextW(kTextMonitoringLogs).empty()) << "the string table is not linked";
    }

    Worker() {
        SessionServices services;
        services.clock = &clock;
        services.processes = &processes;
        services.httpClientFactory = server.factory();
        session = std::make_unique<CaptureSession>(std::move(services));
        session->statusWindow = &status;
        session->setLanguage("en");
        clock.onSleep = [this](std::uint32_t ms) {
            if (ms == 1000) ++waits;
            if (++sleeps > 200000) {
                ADD_FAILURE() << "the worker never stopped";
                session->stopRequested = 1;
            }
            if (onSleep) onSleep(ms);
        };
    }

    // A running DirectX 11 client whose chat log starts with the marker line.
    void runGame(bool publishMarker = true) {
        game = std::make_shared<FakeProcessImage>();
        log = std::make_unique<FakeChatLog>(game);
        log->append(static_cast<std::uint32_t>(kNow - 60), 57, "\x1F\x1Fmarker", publishMarker);
        processes.addProcess(kDx11Id, "ffxiv_dx11.exe", game);
    }
    void endGame() {
        processes.removeProcess(kDx11Id);
        game->exitProcess();
    }

    void stopAfterWaits(int n) {
        onSleep = [this, n](std::uint32_t ms) {
            if (ms == 1000 && waits >= n) session->stopRequested = 1;
        };
    }

    std::vector<std::u16string> messages() {
        auto guard = session->lock();
        std::vector<std::u16string> texts;
        for (const LogRecord& record : session->messages) texts.push_back(record.text);
        return texts;
    }
    std::vector<FakeRequest> requests(const std::string& verb) const {
        std::vector<FakeRequest> matching;
        for (const FakeRequest& r : server.requests())
            if (r.verb == verb) matching.push_back(r);
        return matching;
    }
    std::vector<std::u16string> waitingTexts() const {
        std::vector<std::u16string> texts;
        const std::u16string head = LoadTextW(kTextWaitingForGame);
        for (const std::u16string& t : status.texts())
            if (t.compare(0, head.size(), head) == 0) texts.push_back(t);
        return texts;
    }

    FakeHttpServer server;
    SteppingClock clock;
    FakeProcessSystem processes;
    RecordingStatusSink status;
    std::unique_ptr<CaptureSession> session;
    std::shared_ptr<FakeProcessImage> game;
    std::unique_ptr<FakeChatLog> log;
    std::function<void(std::uint32_t)> onSleep;
    int waits = 0;
    int sleeps = 0;
};

TEST_F(Worker, WaitsForALanguageWithoutSendingAnythingThenFetchesForIt) {
    session->setLanguage("");
    server.answer("[]");
    int waitsAtRequest = -1;
    server.onRequest([&](const FakeRequest&) { waitsAtRequest = waits; });
    onSleep = [this](std::uint32_t) {
        if (waits == 3) session->setLanguage("ja");
    };

    session->workerMain();

    EXPECT_EQ(waitsAtRequest, 3) << "no request before the language was set";
    auto gets = requests("GET");
    ASSERT_EQ(gets.size(), 1u);
    EXPECT_EQ(gets[0].field("get"), "pattern");
    EXPECT_EQ(gets[0].field("lang"), "ja");
    auto texts = status.texts();
    ASSERT_EQ(texts.size(), 3u);
    for (const auto& text : texts) EXPECT_EQ(text, LoadTextW(kTextSpecifyLanguage));
}

class WorkerWithUnusableAnswer : public Worker, public ::testing::WithParamInterface<const char*> {};

TEST_P(WorkerWithUnusableAnswer, LogsOneConnectionFailureAndEndsWithoutLookingForTheGame) {
    server.answer(GetParam());
    runGame();

    session->workerMain();  // returns by itself: nothing asked it to stop

    EXPECT_EQ(messages(), std::vector<std::u16string>{prefixed(kTextConnectionFailed)});
    EXPECT_EQ(processes.snapshotsTaken(), 0);
    EXPECT_EQ(session->stopRequested.load(), 0);
    EXPECT_EQ(requests("GET").size(), 1u);
}

std::string answerName(const ::testing::TestParamInfo<const char*>& info) {
    static const char* const names[] = {"Empty",    "NotJson",        "Array",
                                        "String",   "CutShort",       "WithoutMember1",
                                        "WithoutMarkerKeyword"};
    return names[info.index];
}

INSTANTIATE_TEST_SUITE_P(Answers, WorkerWithUnusableAnswer,
                         ::testing::Values("", "not json", "[{\"1\": {}}]", "\"a string\"", "{\"1\": ",
                                           R"({"2": {"keyword": ["x"], "code": "0"}})",
                                           R"({"1": {"keyword": [], "code": "0"}})"),
                         answerName);

TEST_F(Worker, DirectX9ClientIsReportedOnceAndSwitchesTheLaunchOff) {
    server.answer(kPatterns);
    processes.addProcess(7, "ffxiv.exe");
    processes.setInstallLocation("C:\\Games");
    session->setExecGame(1);
    stopAfterWaits(4);

    session->workerMain();

    EXPECT_EQ(messages(), std::vector<std::u16string>{prefixed(kTextDirectX9Unsupported)});
    EXPECT_TRUE(processes.startedPrograms().empty());
    EXPECT_EQ(session->execGame(), 0);
    EXPECT_EQ(waitingTexts().size(), 4u);
}

TEST_F(Worker, LaunchesTheBootProgramOnceWhenNothingOfTheGameRuns) {
    server.answer(kPatterns);
    processes.setInstallLocation("C:\\Games");
    session->setExecGame(1);
    stopAfterWaits(5);

    session->workerMain();

    ASSERT_EQ(processes.startedPrograms().size(), 1u);
    EXPECT_EQ(processes.startedPrograms()[0].program,
              "C:\\Games\\FINAL FANTASY XIV - A Realm Reborn\\boot\\ffxivboot.exe");
    EXPECT_EQ(messages(), std::vector<std::u16string>{prefixed(kTextLaunchingGame)});
}

TEST_F(Worker, FailedLaunchIsReportedOnceAndNotRetried) {
    server.answer(kPatterns);
    session->setExecGame(1);
    stopAfterWaits(5);

    session->workerMain();

    EXPECT_TRUE(processes.startedPrograms().empty());
    EXPECT_EQ(messages(), std::vector<std::u16string>{prefixed(kTextLaunchFailed)});
}

TEST_F(Worker, RunningLauncherAtTheFirstPassMeansNoLaunchEver) {
    server.answer(kPatterns);
    processes.setInstallLocation("C:\\Games");
    processes.addProcess(9, "FFXIVLAUNCHER.EXE");
    session->setExecGame(1);
    onSleep = [this](std::uint32_t ms) {
        if (ms != 1000) return;
        if (waits == 1) processes.removeProcess(9);
        if (waits == 4) session->stopRequested = 1;
    };

    session->workerMain();

    EXPECT_TRUE(processes.startedPrograms().empty());
    EXPECT_TRUE(messages().empty());
}

TEST_F(Worker, WaitingTextGainsADotASecondAndStartsOverEveryTenth) {
    server.answer(kPatterns);
    const std::int32_t before = waitCounter;
    stopAfterWaits(12);

    session->workerMain();

    std::vector<std::u16string> expected;
    for (int i = 1; i <= 12; ++i) expected.push_back(waitingText(before + i));
    EXPECT_EQ(waitingTexts(), expected);
    EXPECT_EQ(waitCounter, before + 12);
}

TEST_F(Worker, GameExitWhileMonitoringResetsFetchesAgainAndWaitsWithoutLaunching) {
    server.answer(kPatterns);
    server.answer(R"({"log": "reported"})");
    server.answer(kPatterns);
    processes.setInstallLocation("C:\\Games");
    session->setExecGame(1);
    const std::int32_t before = waitCounter;
    runGame();

    bool posted = false;
    status.onStatus = [this](const std::u16string& text) {
        if (!isMonitoring(text)) return;
        if (requests("POST").empty()) log->append(static_cast<std::uint32_t>(kNow), 1, "a hit");
        else endGame();
    };
    server.onRequest([&](const FakeRequest& r) { posted = posted || r.verb == "POST"; });
    stopAfterWaits(2);

    session->workerMain();

    ASSERT_TRUE(posted);
    EXPECT_EQ(requests("GET").size(), 2u) << "patterns fetched again after the reset";
    EXPECT_TRUE(messages().empty()) << "the reset emptied the message log";
    EXPECT_TRUE(processes.startedPrograms().empty()) << "the game ran at start: never a launch";
    auto waiting = waitingTexts();
    ASSERT_EQ(waiting.size(), 2u);
    EXPECT_EQ(waiting[0], waitingText(before + 1)) << "the counter goes on across games";
    EXPECT_EQ(status.texts().back(), waiting.back());
    auto guard = session->lock();
    EXPECT_EQ(session->gameProcess, nullptr);
    EXPECT_EQ(session->textBufferSlot, 0u);
}

TEST_F(Worker, PostsMatchingLinesAndShowsHowFarItHasRead) {
    server.answer(kPatterns);
    server.answer(R"({"log": "listed"})");
    runGame();
    status.onStatus = [this](const std::u16string& text) {
        if (isMonitoring(text) && log->written() == 1) log->append(static_cast<std::uint32_t>(kNow), 3, "a hit");
    };
    server.onRequest([this](const FakeRequest& r) {
        if (r.verb == "POST") session->stopRequested = 1;
    });

    session->workerMain();

    auto posts = requests("POST");
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(posts[0].field("pid"), "2");
    EXPECT_EQ(posts[0].field("log"), "a hit");
    EXPECT_EQ(posts[0].field("present"), "1");
    EXPECT_EQ(posts[0].field("code"), "3");
    auto texts = status.texts();
    EXPECT_EQ(texts.back(), filled(kTextMonitoringLogs, {u"2"}));
    EXPECT_EQ(messages(), std::vector<std::u16string>{u"listed"});
}

TEST_F(Worker, CountStandingOnABlockEdgeShowsTheLoadingText) {
    server.answer(kPatterns);
    runGame();
    status.onStatus = [this](const std::u16string& text) {
        if (isMonitoring(text) && log->written() == 1) {
            log->appendFiller(999);
            log->pointAtOtherBuffers();  // the block is full and the game has moved on
        } else if (!isMonitoring(text) && log->written() == 1000) session->stopRequested = 1;
    };

    session->workerMain();

    auto texts = status.texts();
    ASSERT_GE(texts.size(), 2u);
    EXPECT_EQ(texts[texts.size() - 2], filled(kTextMonitoringLogs, {u"1"}));
    EXPECT_EQ(texts.back(), filled(kTextLoadingLogs, {u"1", u"1000"}));
}

TEST_F(Worker, LogFoundWithNoEntriesResetsAndSearchesAgain) {
    server.answer(kPatterns);
    server.answer(kPatterns);
    runGame(/*publishMarker=*/false);
    server.onRequest([this](const FakeRequest&) {
        if (server.requestCount() == 1) log->publishCount();  // the second fetch
    });
    status.onStatus = [this](const std::u16string& text) {
        if (isMonitoring(text)) session->stopRequested = 1;
    };

    session->workerMain();

    EXPECT_EQ(requests("GET").size(), 2u);
    EXPECT_TRUE(isMonitoring(status.texts().back())) << "found and followed on the second search";
    EXPECT_GE(processes.openedProcessIds().size(), 2u);
}

TEST_F(Worker, FailedReadAbandonsThePassAndTheNextPassResetsTheSession) {
    server.answer(kPatterns);
    server.answer(kPatterns);
    runGame();
    status.onStatus = [this](const std::u16string& text) {
        if (!isMonitoring(text) || log->written() != 1) return;
        log->append(static_cast<std::uint32_t>(kNow), 1, "unreadable");
        game->markUnreadable(log->currentTextAddress(), 1);
    };
    server.onRequest([this](const FakeRequest&) {
        if (server.requestCount() == 1) session->stopRequested = 1;
    });

    session->workerMain();

    // The count stayed readable, so only the abandoned pass (whose value makes
    // the next locate refuse) can have led to this second fetch.
    EXPECT_EQ(requests("GET").size(), 2u) << "reset, then the patterns are fetched again";
    EXPECT_TRUE(requests("POST").empty());
    auto guard = session->lock();
    EXPECT_EQ(session->abortCode, 0);
}

TEST(WorkerThread, StopWithoutAWorkerDoesNothing) {
    CaptureSession session;
    session.stop();
    EXPECT_EQ(session.stopRequested.load(), 0);
    EXPECT_FALSE(session.workerThread.joinable());
}

TEST(WorkerThread, StopDuringTheGameWaitReturnsWithinAboutASecond) {
    FakeHttpServer server;
    server.answer(kPatterns);
    FakeProcessSystem processes;
    SessionServices services;
    services.processes = &processes;
    services.httpClientFactory = server.factory();  // real clock: real one-second waits
    CaptureSession session(std::move(services));
    session.setLanguage("en");
    RecordingStatusSink status;
    std::mutex mutex;
    std::condition_variable waiting;
    bool sawWaitingText = false;
    status.onStatus = [&](const std::u16string&) {
        std::lock_guard guard(mutex);
        sawWaitingText = true;
        waiting.notify_all();
    };

    session.start(&status);
    {
        std::unique_lock guard(mutex);
        ASSERT_TRUE(waiting.wait_for(guard, std::chrono::seconds(10), [&] { return sawWaitingText; }));
    }
    const auto before = std::chrono::steady_clock::now();
    session.stop();
    const auto took = std::chrono::steady_clock::now() - before;

    EXPECT_LT(took, std::chrono::milliseconds(3000));
    EXPECT_FALSE(session.workerThread.joinable());
}

TEST(WorkerThread, ResetsFromAnotherThreadWhileTheWorkerRunsTearNothing) {
    FakeHttpServer server;
    for (int i = 0; i < 5000; ++i) server.answer(kPatterns);
    FakeProcessSystem processes;
    auto game = std::make_shared<FakeProcessImage>();
    FakeChatLog log(game);
    log.append(static_cast<std::uint32_t>(kNow - 60), 57, "\x1F\x1Fmarker");
    processes.addProcess(kDx11Id, "ffxiv_dx11.exe", game);
    FakeClock clock(kNow);  // never waits: the worker runs flat out
    SessionServices services;
    services.clock = &clock;
    services.processes = &processes;
    services.httpClientFactory = server.factory();
    CaptureSession session(std::move(services));
    session.setLanguage("en");
    RecordingStatusSink status;

    session.start(&status);
    // Resets land wherever the worker happens to be: fetching, waiting,
    // locating, reading or posting. Each makes it start over.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    int resets = 0;
    while (server.requestCount() < 50 && std::chrono::steady_clock::now() < until) {
        session.reset();
        ++resets;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    session.stop();

    EXPECT_FALSE(session.workerThread.joinable());
    EXPECT_GE(server.requestCount(), 50u) << "each reset made the worker fetch the patterns again";
    EXPECT_GT(resets, 0);
}

}  // namespace
}  // namespace tidemark
