// The worker's decisions, run on the test thread against a scripted server,
// process table and game image. The clock never waits: each sleep is a step
// at which the test changes the world or asks the worker to stop.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "capture/capture_worker.h"
#include "capture/known_chat_log.h"
#include "capture/report_journal_format.h"
#include "report/line_report.h"
#include "fakes/recording_status_sink.h"
#include "fakes/fake_clock.h"
#include "fakes/fake_http_client.h"
#include "fakes/fake_process_image.h"
#include "fakes/fake_process_system.h"
#include "fakes/fake_settings_store.h"
#include "texts/texts.h"
#include "support/fake_chat_log.h"
#include "support/temp_folder.h"

namespace tidemark {
namespace {

using testing::FakeAnswer;
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
        WorkerServices services;
        services.clock = &clock;
        services.processes = &processes;
        services.settings = &settings;
        services.httpClientFactory = server.factory();
        services.sendOnItsOwnThread = false;  // the test steps the worker and its sends on one thread
        worker = std::make_unique<CaptureWorker>(session, std::move(services));
        session.setStatusWindow(&status);
        session.setLanguage("en");
        clock.onSleep = [this](std::uint32_t ms) {
            if (ms == 1000) ++waits;
            if (++sleeps > 200000) {
                ADD_FAILURE() << "the worker never stopped";
                session.requestStop();
            }
            if (onSleep) onSleep(ms);
        };
    }

    // A running DirectX 11 client whose chat log starts with the marker line.
    void runGame(bool publishMarker = true) {
        if (game) endGame();
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
            if (ms == 1000 && waits >= n) session.requestStop();
        };
    }

    std::vector<std::u16string> messages() {
        std::vector<std::u16string> texts;
        for (const LogRecord& record : session.messages()) texts.push_back(record.text);
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
    FakeSettingsStore settings;
    RecordingStatusSink status;
    CaptureSession session{&clock};
    std::unique_ptr<CaptureWorker> worker;
    std::shared_ptr<FakeProcessImage> game;
    std::unique_ptr<FakeChatLog> log;
    std::function<void(std::uint32_t)> onSleep;
    int waits = 0;
    int sleeps = 0;
};

TEST_F(Worker, WaitsForALanguageWithoutSendingAnythingThenFetchesForIt) {
    session.setLanguage("");
    server.answer("[]");
    int waitsAtRequest = -1;
    server.onRequest([&](const FakeRequest&) { waitsAtRequest = waits; });
    onSleep = [this](std::uint32_t) {
        if (waits == 3) session.setLanguage("ja");
    };

    worker->workerMain();

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

    worker->workerMain();  // returns by itself: nothing asked it to stop

    EXPECT_EQ(messages(), std::vector<std::u16string>{prefixed(kTextConnectionFailed)});
    EXPECT_EQ(processes.snapshotsTaken(), 0);
    EXPECT_FALSE(session.stopRequested());
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
    session.setExecGame(1);
    stopAfterWaits(4);

    worker->workerMain();

    EXPECT_EQ(messages(), std::vector<std::u16string>{prefixed(kTextDirectX9Unsupported)});
    EXPECT_TRUE(processes.startedPrograms().empty());
    EXPECT_EQ(session.execGame(), 0);
    EXPECT_EQ(waitingTexts().size(), 4u);
}

TEST_F(Worker, LaunchesTheBootProgramOnceWhenNothingOfTheGameRuns) {
    server.answer(kPatterns);
    processes.setInstallLocation("C:\\Games");
    session.setExecGame(1);
    stopAfterWaits(5);

    worker->workerMain();

    ASSERT_EQ(processes.startedPrograms().size(), 1u);
    EXPECT_EQ(processes.startedPrograms()[0].program,
              "C:\\Games\\FINAL FANTASY XIV - A Realm Reborn\\boot\\ffxivboot.exe");
    EXPECT_EQ(messages(), std::vector<std::u16string>{prefixed(kTextLaunchingGame)});
}

TEST_F(Worker, FailedLaunchIsReportedOnceAndNotRetried) {
    server.answer(kPatterns);
    session.setExecGame(1);
    stopAfterWaits(5);

    worker->workerMain();

    EXPECT_TRUE(processes.startedPrograms().empty());
    EXPECT_EQ(messages(), std::vector<std::u16string>{prefixed(kTextLaunchFailed)});
}

TEST_F(Worker, RunningLauncherAtTheFirstPassMeansNoLaunchEver) {
    server.answer(kPatterns);
    processes.setInstallLocation("C:\\Games");
    processes.addProcess(9, "FFXIVLAUNCHER.EXE");
    session.setExecGame(1);
    onSleep = [this](std::uint32_t ms) {
        if (ms != 1000) return;
        if (waits == 1) processes.removeProcess(9);
        if (waits == 4) session.requestStop();
    };

    worker->workerMain();

    EXPECT_TRUE(processes.startedPrograms().empty());
    EXPECT_TRUE(messages().empty());
}

TEST_F(Worker, WaitingTextGainsADotASecondAndStartsOverEveryTenth) {
    server.answer(kPatterns);
    const std::int32_t before = waitCounter;
    stopAfterWaits(12);

    worker->workerMain();

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
    session.setExecGame(1);
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

    worker->workerMain();

    ASSERT_TRUE(posted);
    EXPECT_EQ(requests("GET").size(), 2u) << "patterns fetched again after the reset";
    EXPECT_TRUE(messages().empty()) << "the reset emptied the message log";
    EXPECT_TRUE(processes.startedPrograms().empty()) << "the game ran at start: never a launch";
    auto waiting = waitingTexts();
    ASSERT_EQ(waiting.size(), 2u);
    EXPECT_EQ(waiting[0], waitingText(before + 1)) << "the counter goes on across games";
    EXPECT_EQ(status.texts().back(), waiting.back());
}

TEST_F(Worker, PostsMatchingLinesAndShowsHowFarItHasRead) {
    server.answer(kPatterns);
    server.answer(R"({"log": "listed"})");
    runGame();
    status.onStatus = [this](const std::u16string& text) {
        if (isMonitoring(text) && log->written() == 1) log->append(static_cast<std::uint32_t>(kNow), 3, "a hit");
    };
    server.onRequest([this](const FakeRequest& r) {
        if (r.verb == "POST") session.requestStop();
    });

    worker->workerMain();

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
            // The block is full, and the game has moved on and let go of it.
            log->image().markUnreadable(log->currentTableAddress(), FakeChatLog::kTableSize);
            log->pointAtOtherBuffers();
        } else if (!isMonitoring(text) && log->written() == 1000) session.requestStop();
    };

    worker->workerMain();

    auto texts = status.texts();
    ASSERT_GE(texts.size(), 2u);
    EXPECT_EQ(texts[texts.size() - 2], filled(kTextMonitoringLogs, {u"1"}));
    EXPECT_EQ(texts.back(), filled(kTextLoadingLogs, {u"1", u"1000"}));
}

// The game writes its next block over the buffers of the last one before
// the worker has read that block's tail: the Log tab says how many lines
// were lost, once.
TEST_F(Worker, LinesTheGameOverwroteBeforeTheyWereReadAreToldOnceInTheLog) {
    server.answer(kPatterns);
    runGame();
    log->reuseBuffers();
    status.onStatus = [this](const std::u16string& text) {
        if (!isMonitoring(text)) return;
        if (text == filled(kTextMonitoringLogs, {u"1"})) log->appendFiller(979);
        else if (text == filled(kTextMonitoringLogs, {u"980"})) log->appendFiller(30);
        else if (text == filled(kTextMonitoringLogs, {u"1010"})) log->appendFiller(1);
        else session.requestStop();
    };

    worker->workerMain();

    EXPECT_EQ(status.texts().back(), filled(kTextMonitoringLogs, {u"1011"}));
    EXPECT_EQ(messages(), std::vector<std::u16string>{u"* " + filled(kTextLinesPassedOver, {u"20"})});
}

TEST_F(Worker, ALogWithNoEntriesYetIsPassedOverUntilTheGameCountsOne) {
    server.answer(kPatterns);
    runGame(/*publishMarker=*/false);
    // The rest after each fruitless search: the game counts its marker
    // line only after several searches.
    int rests = 0;
    onSleep = [this, &rests](std::uint32_t) {
        if (++rests == 5) log->publishCount();
    };
    status.onStatus = [this](const std::u16string& text) {
        if (isMonitoring(text)) session.requestStop();
    };

    worker->workerMain();

    EXPECT_GE(rests, 5);
    EXPECT_TRUE(isMonitoring(status.texts().back()));
    EXPECT_EQ(requests("GET").size(), 1u) << "no reset meanwhile: the patterns were fetched once";
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
        if (server.requestCount() == 1) session.requestStop();
    });

    worker->workerMain();

    // The count stayed readable, so only the abandoned pass (whose value makes
    // the next locate refuse) can have led to this second fetch.
    EXPECT_EQ(requests("GET").size(), 2u) << "reset, then the patterns are fetched again";
    EXPECT_TRUE(requests("POST").empty());
    EXPECT_EQ(session.abortCode(), 0);
}

TEST_F(Worker, ALauncherThatRefusesToBeOpenedStillCountsAsRunning) {
    server.answer(kPatterns);
    processes.setInstallLocation("C:\\Games");
    processes.addProcess(9, "ffxivboot.exe");
    processes.refuseToOpen(9);  // running elevated
    session.setExecGame(1);
    stopAfterWaits(3);

    worker->workerMain();

    EXPECT_TRUE(processes.startedPrograms().empty());
}

TEST_F(Worker, ASearchThatFindsNothingRestsInProportionToItsCostAndALogThatAppearsIsFound) {
    server.answer(kPatterns);
    game = std::make_shared<FakeProcessImage>();
    game->addRegion(0x100000, 0x1000);  // the game has no chat log yet
    game->beforeRead = [this](std::uint64_t, std::uint64_t) { clock.advanceMs(100); };  // each search's cost
    processes.addProcess(kDx11Id, "ffxiv_dx11.exe", game);
    std::vector<std::uint32_t> slept;
    bool found = false;
    onSleep = [&](std::uint32_t ms) {
        if (found) return;
        slept.push_back(ms);
        if (slept.size() == 2) runGame();  // the log appears during the second rest
    };
    status.onStatus = [&](const std::u16string& text) {
        found = found || isMonitoring(text);
        if (found) session.requestStop();
    };

    worker->workerMain();

    // The first search (100 ms of processor time, and as much again for
    // each of the two processes that serve it under Wine) runs on the
    // credit a first search has and rests the shortest rest. The second,
    // beyond its credit, rests until the share has paid its work back
    // (300 ms at 15 %, less what the share earned meanwhile), in steps of a
    // second, not a pause per region; then the log is found.
    EXPECT_EQ(slept, (std::vector<std::uint32_t>{250, 1000, 650}));
    EXPECT_TRUE(isMonitoring(status.texts().back())) << "the log that appeared was found";
    const std::u16string searching = LoadTextW(kTextSearchingLogs);
    int searchingTexts = 0;
    for (const std::u16string& text : status.texts()) searchingTexts += text.rfind(searching, 0) == 0;
    EXPECT_GE(searchingTexts, 2) << "the search text stays while the search rests";
}

TEST_F(Worker, ReportsThatCouldNotBeSentGoOutInOrderOnceEachWhenTheServerIsBack) {
    server.answer(kPatterns);
    server.push(FakeAnswer::requestFailure());
    server.push(FakeAnswer::requestFailure());
    for (const char* answer : {R"({"log": "one"})", R"({"log": "two", "sid": "s"})", R"({"log": "three"})",
                               R"({"log": "four"})"})
        server.answer(answer);
    runGame();
    status.onStatus = [this](const std::u16string& text) {
        if (isMonitoring(text) && log->written() == 1)
            for (int i = 1; i <= 4; ++i) log->append(static_cast<std::uint32_t>(kNow), 1, "hit " + std::to_string(i));
    };
    server.onRequest([this](const FakeRequest&) {
        if (requests("POST").size() == 5) session.requestStop();  // the fourth after the two failures
    });

    worker->workerMain();

    auto posts = requests("POST");
    ASSERT_EQ(posts.size(), 6u);
    std::vector<std::string> sent;
    for (std::size_t i = 2; i < posts.size(); ++i) sent.push_back(posts[i].field("log").value_or(""));
    EXPECT_EQ(sent, (std::vector<std::string>{"hit 1", "hit 2", "hit 3", "hit 4"}));
    EXPECT_EQ(posts[4].field("sid"), "s") << "each report goes with the identifiers current when sent";
    EXPECT_EQ(messages(), (std::vector<std::u16string>{u"one", u"two", u"three", u"four"}));
    EXPECT_GE(clock.sleptMs(), 3000u) << "one second, then two, between the attempts";
    const std::u16string waitingFour = filled(kTextReportsWaiting, {u"4"});
    auto texts = status.texts();
    EXPECT_NE(std::find(texts.begin(), texts.end(), waitingFour), texts.end());
}

// A report the server did not take is on the disk before the worker goes on
// from the read pass that matched it: a crash then loses nothing.
TEST_F(Worker, AReportThatWaitsIsInTheJournalOnDiskBeforeTheNextPoll) {
    const std::filesystem::path journal =
        std::filesystem::temp_directory_path() /
        ("tidemark-worker-journal-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    WorkerServices services;
    services.clock = &clock;
    services.processes = &processes;
    services.httpClientFactory = server.factory();
    services.journalPath = journal;
    worker = std::make_unique<CaptureWorker>(session, std::move(services));
    session.clearStopRequest();  // the replaced worker asked its session to stop
    server.answer(kPatterns);
    runGame();
    status.onStatus = [this](const std::u16string& text) {
        if (isMonitoring(text) && log->written() == 1) log->append(static_cast<std::uint32_t>(kNow), 1, "a hit");
    };
    std::size_t onDisk = 0;
    onSleep = [&](std::uint32_t ms) {
        if (ms != 10 || requests("POST").empty()) return;
        std::ifstream file(journal, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        onDisk = journal_format::parse(bytes).waiting.size();
        session.requestStop();
    };

    worker->workerMain();
    worker.reset();
    std::filesystem::remove(journal);

    EXPECT_EQ(onDisk, 1u);
}

TEST_F(Worker, StopWithReportsWaitingSaysHowManyWereNotSent) {
    server.answer(kPatterns);
    runGame();
    status.onStatus = [this](const std::u16string& text) {
        if (isMonitoring(text) && log->written() == 1) {
            log->append(static_cast<std::uint32_t>(kNow), 1, "hit 1");
            log->append(static_cast<std::uint32_t>(kNow), 1, "hit 2");
        }
    };
    onSleep = [this](std::uint32_t) {
        if (clock.sleptMs() > 5000) session.requestStop();  // the server never came back
    };

    worker->workerMain();

    EXPECT_EQ(messages(), std::vector<std::u16string>{u"* " + filled(kTextReportsNotSent, {u"2"})});
}

TEST_F(Worker, ALogCountOfZeroWhileMonitoringStartsOver) {
    server.answer(kPatterns);
    server.answer(kPatterns);
    runGame();
    status.onStatus = [this](const std::u16string& text) {
        if (isMonitoring(text) && requests("GET").size() == 1) log->setCount(0);
    };
    server.onRequest([this](const FakeRequest&) {
        if (server.requestCount() == 1) session.requestStop();
    });

    worker->workerMain();

    EXPECT_EQ(requests("GET").size(), 2u) << "reset, then the patterns are fetched again";
}

// --- a restart beside the same running game ---------------------------------
// The worker keeps where it found the log; a worker started again beside the
// same process takes that place when it still holds there.

class KnownLogRestart : public Worker {
public:
    KnownLogRestart() { restart(); }

    // A new worker on the same session and the same file, as at a new start.
    void restart() {
        WorkerServices services;
        services.clock = &clock;
        services.processes = &processes;
        services.httpClientFactory = server.factory();
        services.knownLogPath = knownLogPath;
        services.sendOnItsOwnThread = false;
        worker = std::make_unique<CaptureWorker>(session, std::move(services));
        session.clearStopRequest();  // the replaced worker asked its session to stop
    }

    // Runs the worker until it follows the log and has polled `polls` times;
    // whether it searched the game's memory on the way (a search reads every
    // candidate region from its start, the log header's among them).
    bool runUntilMonitoring(int polls = 1) {
        server.answer(kPatterns);
        bool searched = false;
        game->beforeRead = [&](std::uint64_t address, std::uint64_t) {
            searched = searched || address == FakeChatLog::kHeaderBase;
        };
        int monitoringPolls = 0;
        boundSteps([&](std::uint32_t ms) {
            if (ms == 10 && !status.texts().empty() && isMonitoring(status.texts().back()) &&
                ++monitoringPolls >= polls)
                session.requestStop();
        });
        worker->workerMain();
        game->beforeRead = nullptr;
        onSleep = nullptr;
        EXPECT_FALSE(status.texts().empty() || !isMonitoring(status.texts().back()));
        return searched;
    }

    // A run that never gets where the test expects it ends after a few
    // hundred sleeps (a search that cannot succeed rests after each try).
    void boundSteps(std::function<void(std::uint32_t)> step = {}) {
        onSleep = [this, step, left = 200](std::uint32_t ms) mutable {
            if (step) step(ms);
            if (--left == 0) {
                ADD_FAILURE() << "the worker never got where the test expected it";
                session.requestStop();
            }
        };
    }

    // Lines the game wrote while no worker ran, with times before now.
    void appendWhileAway(std::uint32_t n) {
        for (std::uint32_t i = 0; i < n; ++i) log->append(static_cast<std::uint32_t>(kNow - 30), 10, "away", false);
        log->publishCount();
    }

    // The same game image as another process: an id reused, or another id.
    void runAsAnotherProcess(std::uint32_t processId, std::uint64_t creationTime) {
        processes.removeProcess(kDx11Id);
        processes.addProcess(processId, "ffxiv_dx11.exe", game, creationTime);
        runningAs = {processId, creationTime};
    }

    KnownChatLog placeOfTheRunningGame() const { return {runningAs, FakeChatLog::kTextBufferSlot}; }

    testing::TempFolder folder;
    const std::filesystem::path knownLogPath = folder.file("Tidemark.log-address");
    ProcessIdentity runningAs{kDx11Id, 1};  // as runGame adds it
};

TEST_F(KnownLogRestart, TheSameGameIsFollowedFromItsKnownPlaceWithoutASearchOrAWrite) {
    runGame();
    ASSERT_TRUE(runUntilMonitoring()) << "nothing known yet";
    ASSERT_EQ(readKnownChatLog(knownLogPath), placeOfTheRunningGame());
    const auto longAgo = std::filesystem::last_write_time(knownLogPath) - std::chrono::hours(24 * 365);
    std::filesystem::last_write_time(knownLogPath, longAgo);

    restart();
    EXPECT_FALSE(runUntilMonitoring(/*polls=*/5));
    EXPECT_EQ(std::filesystem::last_write_time(knownLogPath), longAgo) << "written only when searched";
    EXPECT_EQ(requests("GET").size(), 2u);
}

// The game's log has moved on to a block that does not begin with the marker
// line: no search could find it, the known place does. What it held before
// the restart is history; what comes after is reported as present.
TEST_F(KnownLogRestart, ALogPastItsFirstBlockIsFollowedAtOnceWithItsEarlierLinesAsHistory) {
    runGame();
    ASSERT_TRUE(runUntilMonitoring());
    appendWhileAway(1500);
    log->append(static_cast<std::uint32_t>(kNow), 1, "a hit while no worker ran");
    ASSERT_EQ(log->written(), 1502u);

    restart();
    server.answer(kPatterns);
    server.answer(R"({"log": "listed"})");
    boundSteps();
    status.onStatus = [this](const std::u16string& text) {
        if (isMonitoring(text) && log->written() == 1502) log->append(static_cast<std::uint32_t>(kNow), 1, "a hit");
    };
    server.onRequest([this](const FakeRequest& r) {
        if (r.verb == "POST") session.requestStop();
    });
    worker->workerMain();

    const auto texts = status.texts();
    EXPECT_NE(std::find(texts.begin(), texts.end(), filled(kTextMonitoringLogs, {u"1502"})), texts.end());
    const auto posts = requests("POST");
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(posts[0].field("log"), "a hit");
    EXPECT_EQ(posts[0].field("present"), "1");
}

// Whatever is known but does not fit the running game is searched past, and
// the place found then is what the file holds.
struct Misfit {
    const char* name;
    std::function<void(KnownLogRestart&)> change;
};

void PrintTo(const Misfit& misfit, std::ostream* out) { *out << misfit.name; }

class KnownLogMisfit : public KnownLogRestart, public ::testing::WithParamInterface<Misfit> {};

TEST_P(KnownLogMisfit, IsSearchedPastAndTheFoundPlaceKept) {
    runGame();
    ASSERT_TRUE(runUntilMonitoring());
    GetParam().change(*this);

    restart();
    EXPECT_TRUE(runUntilMonitoring());
    EXPECT_EQ(readKnownChatLog(knownLogPath), placeOfTheRunningGame());
}

void writeFile(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Worker, KnownLogMisfit,
    ::testing::Values(
        Misfit{"TheSameIdStartedAgain", [](KnownLogRestart& t) { t.runAsAnotherProcess(kDx11Id, 2); }},
        Misfit{"AnotherId", [](KnownLogRestart& t) { t.runAsAnotherProcess(kDx11Id + 1, 1); }},
        Misfit{"APlaceThatNoLongerHolds",
               [](KnownLogRestart& t) {
                   writeKnownChatLog(t.knownLogPath, {t.runningAs, FakeChatLog::kTextBufferSlot + 8});
               }},
        Misfit{"NoFile", [](KnownLogRestart& t) { std::filesystem::remove(t.knownLogPath); }},
        Misfit{"ADamagedFile",
               [](KnownLogRestart& t) {
                   std::string bytes = encodeKnownChatLog(t.placeOfTheRunningGame());
                   bytes[20] = static_cast<char>(bytes[20] ^ 0x10);
                   writeFile(t.knownLogPath, bytes);
               }},
        Misfit{"AForeignFile",
               [](KnownLogRestart& t) { writeFile(t.knownLogPath, journal_format::header() + std::string(24, 'x')); }}),
    [](const ::testing::TestParamInfo<Misfit>& info) { return std::string(info.param.name); });

// --- a language chosen while the worker runs --------------------------------
// Each language's set gives "hit" another pattern id, so a report labelled
// with one language but matched by the other's set shows in its fields.

constexpr char kEnglishPatterns[] = R"({"1": {"keyword": ["marker"], "code": "0"}, "2": {"keyword": ["hit"], "code": "0"}})";
constexpr char kJapanesePatterns[] = R"({"1": {"keyword": ["marker"], "code": "0"}, "3": {"keyword": ["hit"], "code": "0"}})";

class LanguageChange : public Worker {
protected:
    // The server's answers in the order the requests come.
    void script(std::initializer_list<const char*> answers) {
        for (const char* answer : answers) server.answer(answer);
    }

    // Every report carries the language its pattern set was fetched for, and
    // the Japanese set was fetched before any report under it.
    void expectReportsLabelledByTheirSet() {
        bool japaneseFetched = false;
        for (const FakeRequest& r : server.requests()) {
            if (r.verb == "GET" && r.field("lang") == "ja") japaneseFetched = true;
            if (r.verb != "POST") continue;
            const std::string expectedPid = r.field("lang") == "ja" ? "3" : "2";
            EXPECT_EQ(r.field("pid"), expectedPid) << "lang=" << r.field("lang").value_or("?");
            if (r.field("lang") == "ja") {
                EXPECT_TRUE(japaneseFetched) << "a report under ja before its set";
            }
        }
    }

    // Stops once a present "hit" line was reported under Japanese.
    void stopAfterJapaneseReport() {
        server.onRequest([this](const FakeRequest& r) {
            if (r.verb == "POST" && r.field("lang") == "ja") session.requestStop();
        });
    }
    void writeHitOnceMonitoring() {
        status.onStatus = [this](const std::u16string& text) {
            if (isMonitoring(text) && log->written() == 1) log->append(static_cast<std::uint32_t>(kNow), 1, "a hit");
        };
    }
};

TEST_F(LanguageChange, DuringThePatternFetchTheNewLanguagesSetIsFetchedBeforeAttaching) {
    script({kEnglishPatterns, kJapanesePatterns, R"({"log": "listed"})"});
    runGame();
    writeHitOnceMonitoring();
    server.onRequest([this](const FakeRequest& r) {
        if (r.verb == "GET" && r.field("lang") == "en") session.chooseLanguage("ja");
        if (r.verb == "POST") session.requestStop();
    });

    worker->workerMain();

    auto gets = requests("GET");
    ASSERT_EQ(gets.size(), 2u);
    EXPECT_EQ(gets[1].field("lang"), "ja");
    ASSERT_EQ(requests("POST").size(), 1u);
    EXPECT_EQ(requests("POST")[0].field("lang"), "ja");
    expectReportsLabelledByTheirSet();
}

TEST_F(LanguageChange, DuringTheGameWaitTheNewLanguagesSetIsFetchedBeforeAttaching) {
    script({kEnglishPatterns, kJapanesePatterns, R"({"log": "listed"})"});
    onSleep = [this](std::uint32_t ms) {
        if (ms == 1000 && waits == 2) {
            session.chooseLanguage("ja");
            runGame();
        }
    };
    writeHitOnceMonitoring();
    stopAfterJapaneseReport();

    worker->workerMain();

    auto gets = requests("GET");
    ASSERT_EQ(gets.size(), 2u);
    EXPECT_EQ(gets[1].field("lang"), "ja");
    EXPECT_EQ(requests("POST").size(), 1u);
    expectReportsLabelledByTheirSet();
}

// The game and its log stay: only the patterns are fetched anew. The lines
// of a pass go under the set they were read with, even when the change
// comes while they are being sent; a line written after the change is read
// under the new set. Answers to reports of before the change are not listed
// in the Log tab that the change emptied.
TEST_F(LanguageChange, AfterAReadPassItsLinesKeepTheirSetAndLaterLinesGoUnderTheNewWithoutASearch) {
    script({kEnglishPatterns, R"({"log": "old", "msg": "old"})", kJapanesePatterns, R"({"log": "two"})",
            R"({"log": "three"})", R"({"log": "new"})"});
    runGame();
    status.onStatus = [this](const std::u16string& text) {
        if (!isMonitoring(text)) return;
        if (log->written() == 1) {
            for (int i = 0; i < 3; ++i) log->append(static_cast<std::uint32_t>(kNow), 1, "a hit");
        } else if (requests("GET").size() == 2 && log->written() == 4) {
            log->append(static_cast<std::uint32_t>(kNow), 1, "a new hit");
        }
    };
    int snapshotsAtChange = -1;
    server.onRequest([&](const FakeRequest& r) {
        if (r.verb != "POST") return;
        if (r.field("lang") == "en" && snapshotsAtChange < 0) {
            session.chooseLanguage("ja");
            snapshotsAtChange = processes.snapshotsTaken();
        }
        if (r.field("log") == "a new hit") session.requestStop();
    });

    worker->workerMain();

    std::vector<std::string> sent;
    for (const FakeRequest& r : requests("POST"))
        sent.push_back(r.field("lang").value_or("") + ":" + r.field("log").value_or("") + ":" +
                       r.field("present").value_or(""));
    EXPECT_EQ(sent, (std::vector<std::string>{"en:a hit:1", "en:a hit:1", "en:a hit:1", "ja:a new hit:1"}));
    expectReportsLabelledByTheirSet();
    EXPECT_EQ(messages(), std::vector<std::u16string>{u"new"});
    EXPECT_EQ(processes.snapshotsTaken(), snapshotsAtChange) << "the game was kept, not looked for again";
}

// Nothing is written after the change: the worker still says it monitors,
// in the text of the language now chosen, not the one it found the log under.
TEST_F(LanguageChange, WithTheLogKeptAndNothingNewTheStatusSaysMonitoringAgain) {
    script({kEnglishPatterns, kJapanesePatterns});
    runGame();
    int monitoringAfterChange = 0;
    status.onStatus = [&](const std::u16string& text) {
        if (!isMonitoring(text)) return;
        if (requests("GET").size() == 1) session.chooseLanguage("ja");
        else ++monitoringAfterChange;
    };
    onSleep = [&](std::uint32_t) {
        if (monitoringAfterChange > 0 || sleeps > 1000) session.requestStop();
    };

    worker->workerMain();

    ASSERT_EQ(requests("GET").size(), 2u);
    EXPECT_EQ(monitoringAfterChange, 1);
}

// The server goes away while a report is on its way, and a language change
// and the game's exit reset the capture: the worker waits for the server
// instead of ending, and once it is back the report goes out (while the game
// is away) under the language and pattern that matched it, with the id of its
// first attempt; its answer belongs to before the reset and is not listed.
TEST_F(LanguageChange, AResetWithTheServerAwayKeepsTheWorkerAndTheWaitingReports) {
    runGame();
    bool serverUp = true;
    bool postsTaken = false;
    int postsSeen = 0;
    std::vector<std::uint64_t> fetchedAt;
    std::u16string statusAtDelivery;
    server.respondWith([&](const FakeRequest& r) {
        if (r.verb == "GET") fetchedAt.push_back(clock.elapsedMs());
        if (r.verb == "POST" && ++postsSeen == 1) {
            serverUp = false;
            session.chooseLanguage("ja");
            endGame();
        }
        if (!serverUp || (r.verb == "POST" && !postsTaken)) return FakeAnswer::requestFailure();
        if (r.verb == "GET") {
            postsTaken = r.field("lang") == "ja";
            return FakeAnswer::text(postsTaken ? kJapanesePatterns : kEnglishPatterns);
        }
        statusAtDelivery = status.texts().back();
        session.requestStop();
        return FakeAnswer::text(R"({"log": "late"})");
    });
    const std::u16string waitingForServer = filled(kTextWaitingForServer, {u"1"});
    int serverWaits = 0;
    status.onStatus = [&](const std::u16string& text) {
        if (isMonitoring(text) && log->written() == 1) log->append(static_cast<std::uint32_t>(kNow), 1, "a hit");
        if (text == waitingForServer && ++serverWaits == 3) serverUp = true;
    };

    worker->workerMain();

    auto posts = requests("POST");
    ASSERT_GE(posts.size(), 2u);
    EXPECT_EQ(posts.back().field("lang"), "en");
    EXPECT_EQ(posts.back().field("pid"), "2");
    EXPECT_EQ(posts.back().header(kReportIdHeader), posts.front().header(kReportIdHeader));
    EXPECT_EQ(statusAtDelivery.rfind(LoadTextW(kTextWaitingForGame), 0), 0u) << "sent while the game is away";
    EXPECT_TRUE(messages().empty());
    ASSERT_EQ(fetchedAt.size(), 4u) << "en, then ja: failed twice, then fetched";
    EXPECT_GE(fetchedAt[2] - fetchedAt[1], 1000u);
    EXPECT_GE(fetchedAt[3] - fetchedAt[2], 2000u);
}

TEST(WorkerThread, StopWithoutAWorkerDoesNothing) {
    CaptureSession session;
    CaptureWorker worker(session, {});
    worker.stop();
    EXPECT_FALSE(session.stopRequested());
    EXPECT_FALSE(worker.joinable());
}

TEST(WorkerThread, StopDuringTheGameWaitReturnsWithinAboutASecond) {
    FakeHttpServer server;
    server.answer(kPatterns);
    FakeProcessSystem processes;
    WorkerServices services;
    services.processes = &processes;
    services.httpClientFactory = server.factory();  // real clock: real one-second waits
    CaptureSession session;
    session.setLanguage("en");
    CaptureWorker worker(session, std::move(services));
    RecordingStatusSink status;
    std::mutex mutex;
    std::condition_variable waiting;
    bool sawWaitingText = false;
    status.onStatus = [&](const std::u16string&) {
        std::lock_guard guard(mutex);
        sawWaitingText = true;
        waiting.notify_all();
    };

    worker.start(&status);
    {
        std::unique_lock guard(mutex);
        ASSERT_TRUE(waiting.wait_for(guard, std::chrono::seconds(10), [&] { return sawWaitingText; }));
    }
    const auto before = std::chrono::steady_clock::now();
    worker.stop();
    const auto took = std::chrono::steady_clock::now() - before;

    EXPECT_LT(took, std::chrono::milliseconds(3000));
    EXPECT_FALSE(worker.joinable());
}

// Languages chosen from another thread at random moments, each waited for:
// every choice must end with that language's set fetched. Bounded in count
// and, per choice, in time.
TEST(WorkerThread, EveryLanguageChosenWhileTheWorkerRunsGetsItsSetFetched) {
    FakeHttpServer server;
    for (int i = 0; i < 20000; ++i) server.answer(kPatterns);
    FakeProcessSystem processes;
    FakeClock clock(kNow);  // never waits: the worker cycles flat out
    WorkerServices services;
    services.clock = &clock;
    services.processes = &processes;
    services.httpClientFactory = server.factory();
    CaptureSession session(&clock);
    session.setLanguage("l0");
    CaptureWorker worker(session, std::move(services));

    std::mutex mutex;
    std::condition_variable fetched;
    std::string lastFetched;
    server.onRequest([&](const FakeRequest& r) {
        std::lock_guard guard(mutex);
        lastFetched = r.field("lang").value_or("");
        fetched.notify_all();
    });
    RecordingStatusSink status;
    worker.start(&status);

    std::mt19937 random(20261207);
    std::uniform_int_distribution<int> pause(0, 40);
    int missed = 0;
    for (int i = 1; i <= 1000 && missed == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::microseconds(pause(random)));
        const std::string code = "l" + std::to_string(i);
        session.chooseLanguage(code);
        std::unique_lock guard(mutex);
        if (!fetched.wait_for(guard, std::chrono::seconds(2), [&] { return lastFetched == code; })) {
            ADD_FAILURE() << "the set of language " << code << " was never fetched";
            ++missed;
        }
    }
    worker.stop();
    EXPECT_FALSE(worker.joinable());
}

}  // namespace
}  // namespace tidemark

namespace tidemark {
namespace {

// A server that holds every report holds only the delivery's thread: the
// worker goes on reading the game's log, each pass's lines are counted as
// waiting at once, and once the server answers the status line says so
// without a new line from the game. Real clock; every wait bounded.
TEST(WorkerThread, ASilentServerNeverHoldsTheReadingBack) {
    FakeHttpServer server;
    server.answer(kPatterns);
    std::mutex mutex;
    std::condition_variable changed;
    bool released = false;
    std::atomic<int> postsBegun{0};
    server.onRequest([&](const FakeRequest& r) {
        if (r.verb != "POST") return;
        ++postsBegun;
        std::unique_lock guard(mutex);
        changed.wait_for(guard, std::chrono::seconds(30), [&] { return released; });
    });
    server.respondWith([](const FakeRequest& r) {
        return FakeAnswer::text(r.verb == "POST" ? R"({"log": "listed"})" : kPatterns);
    });
    FakeProcessSystem processes;
    auto game = std::make_shared<FakeProcessImage>();
    FakeChatLog log(game);
    log.append(static_cast<std::uint32_t>(kNow - 60), 57, "\x1F\x1Fmarker");
    processes.addProcess(kDx11Id, "ffxiv_dx11.exe", game);
    WorkerServices services;
    services.processes = &processes;
    services.httpClientFactory = server.factory();
    CaptureSession session;
    session.setLanguage("en");
    CaptureWorker worker(session, std::move(services));
    RecordingStatusSink status;
    const auto lastStatusIs = [&](const std::u16string& text) {
        for (int i = 0; i < 500; ++i) {
            const auto texts = status.texts();
            if (!texts.empty() && texts.back() == text) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    };
    // The game writes on the worker's own thread (the fake's memory has no
    // lock): a line each time the worker has shown the last one's pass.
    status.onStatus = [&](const std::u16string& text) {
        const bool next = text == filled(kTextMonitoringLogs, {u"1"}) ||
                          text == filled(kTextReportsWaiting, {u"1"}) || text == filled(kTextReportsWaiting, {u"2"});
        if (next && log.written() < 4) log.append(static_cast<std::uint32_t>(kNow), 1, "a hit");
    };
    worker.start(&status);
    EXPECT_TRUE(lastStatusIs(filled(kTextReportsWaiting, {u"3"})))
        << "the lines were not all read while the first report was held";
    EXPECT_EQ(postsBegun.load(), 1) << "one report held, the others waiting behind it";
    {
        std::lock_guard guard(mutex);
        released = true;
    }
    changed.notify_all();
    EXPECT_TRUE(lastStatusIs(filled(kTextMonitoringLogs, {u"4"})));
    worker.stop();
    EXPECT_EQ(session.messages().size(), 3u);
}

}  // namespace
}  // namespace tidemark
