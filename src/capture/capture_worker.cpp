// The capture worker's loop. A reset from the window only bumps the session's
// generation; the worker looks at it at fixed points (the start of a pass,
// after a fetch, each wait step, before attaching, during the search, each
// poll, before each post and when an answer is listed) and starts over
// whenever it moved, so work begun before a reset never mixes with what
// follows it.

#include "capture/capture_worker.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <system_error>
#include <utility>
#include <vector>

#include "capture/known_chat_log.h"
#include "capture/report_delivery.h"
#include "capture/status_text.h"
#include "gamelog/chat_log_locator.h"
#include "gamelog/compiled_patterns.h"
#include "gamelog/log_reader.h"
#include "report/pattern_answer.h"
#include "report/pattern_fetch.h"
#include "report/server_connection.h"
#include "texts/texts.h"

namespace tidemark {

std::int32_t waitCounter = 0;

namespace {

constexpr std::uint32_t kWaitPauseMs = 1000;
constexpr std::uint32_t kPollPauseMs = 10;
constexpr auto kStopBound = std::chrono::milliseconds(10000);
// The wait before the patterns are fetched again after a failed fetch,
// doubling up to a minute while the server stays away.
constexpr std::uint64_t kFirstServerWaitMs = 1000;
constexpr std::uint64_t kLongestServerWaitMs = 60000;

constexpr char kDirectX9Client[] = "ffxiv.exe";
constexpr char kDirectX11Client[] = "ffxiv_dx11.exe";
// While any of these runs, the game is on its way and must not be started twice.
constexpr const char* kStartupPrograms[] = {"ffxivboot.exe", "ffxivupdater.exe", "ffxivlauncher.exe"};

// A pattern set and the language it was fetched for: every report made with
// it carries that language, whatever the window has chosen since.
struct PatternSet {
    bool loaded = false;
    std::string language;
    CompiledPatterns compiled;
};

// Everything the worker alone owns.
struct WorkerContext {
    WorkerContext(CaptureSession& session, const WorkerServices& services, Clock& clock)
        : generation(session.resetGeneration()),
          connection(services.httpClientFactory, services.serverHost, services.serverPort, services.serverTls),
          sendingConnection(services.httpClientFactory, services.serverHost, services.serverPort,
                            services.serverTls),
          delivery(session, sendingConnection, clock, services.settings, services.journalPath, generation,
                   services.reportIds) {}

    // Back to no game, nothing located and nothing loaded. The connection,
    // the reports on their way and the once-per-run flags stay.
    void startOver() {
        game.reset();
        log = {};
        position = {};
        patterns = {};
        resumeLog = false;
    }

    std::uint64_t generation = 0;  // the session's reset generation this state belongs to
    std::unique_ptr<ProcessMemory> game;
    ChatLogAddresses log;
    ReadPosition position;
    PatternSet patterns;
    bool resumeLog = false;  // a reset came while the log was followed: go on with it if it still holds
    ServerConnection connection;         // the pattern fetch's
    ServerConnection sendingConnection;  // the delivery's, used on its thread
    ReportDelivery delivery;
    std::vector<PendingReport> passMatches;  // of the read pass under way
    bool patternsFetched = false;  // once: a later failed fetch is waited out
    std::uint64_t serverWaitMs = kFirstServerWaitMs;
    int launchConsidered = 0;
    int dx9Reported = 0;
};

// How a pass ended. An abandoned pass leaves its value as the session's
// abort value, which makes the next pass reset before it searches.
struct PassOutcome {
    enum class Kind { NextPass, Abandoned, EndThread };
    Kind kind = Kind::NextPass;
    std::int32_t abortValue = 0;

    static PassOutcome nextPass() { return {Kind::NextPass, 0}; }
    static PassOutcome abandoned(std::int32_t value) { return {Kind::Abandoned, value}; }
    static PassOutcome endThread() { return {Kind::EndThread, 0}; }
};

class WorkerLoop : private MatchSink {
public:
    WorkerLoop(CaptureSession& session, const WorkerServices& services)
        : session_(session),
          services_(services),
          clock_(services.clock != nullptr ? *services.clock : systemClock()),
          context_(session, services, clock_),
          searchPacer_(clock_) {}

    void run() {
        context_.generation = session_.resetGeneration();
        if (services_.sendOnItsOwnThread) context_.delivery.startSending();
        while (!stopRequested()) {
            const PassOutcome outcome = runPass();
            if (outcome.kind == PassOutcome::Kind::EndThread) break;
            if (outcome.kind == PassOutcome::Kind::Abandoned) session_.setAbortCode(outcome.abortValue);
        }
        // Journaled reports wait for the next start; only those in memory are lost.
        if (!context_.delivery.durable() && context_.delivery.waiting() > 0)
            reportCount(kTextReportsNotSent, static_cast<std::int32_t>(context_.delivery.waiting()));
    }

private:
    bool stopRequested() const { return session_.stopRequested(); }

    // True when the window reset the session since the context was last in
    // step with it; the context then starts over.
    bool resetSeen() { return catchUp(session_.resetGeneration()); }

    // Only the patterns belong to the language: the game, its log and how
    // far it was read are kept, for the next pass to go on with when they
    // still hold.
    bool catchUp(std::uint64_t generation) {
        if (generation == context_.generation) return false;
        context_.patterns = {};
        context_.resumeLog = context_.resumeLog || context_.log.located();
        context_.generation = generation;
        return true;
    }

    // The worker's own reset: the game is gone or its log cannot be used.
    void resetCapture() {
        context_.startOver();
        context_.generation = session_.reset();
    }

    PassOutcome runPass() {
        const CaptureSession::LanguageSnapshot chosen = session_.languageSnapshot();
        catchUp(chosen.generation);
        if (chosen.language.empty()) {
            session_.setStatus(LoadTextW(kTextSpecifyLanguage));
            clock_.sleepMs(kWaitPauseMs);
            return PassOutcome::nextPass();
        }

        if (!context_.patterns.loaded) {
            if (!loadPatterns(chosen.language)) {
                if (context_.patternsFetched) {
                    waitForServer();
                    return PassOutcome::nextPass();
                }
                session_.reportStatus(kTextConnectionFailed);
                return PassOutcome::endThread();
            }
            context_.patternsFetched = true;
            context_.serverWaitMs = kFirstServerWaitMs;
            // Another language was chosen while the request ran: fetch again.
            if (resetSeen()) return PassOutcome::nextPass();
        }

        // Across a language change the same game with the same log goes on
        // where it was read to, under the new set.
        if (context_.resumeLog) {
            context_.resumeLog = false;
            if (session_.abortCode() == 0 && readsAsLogHeader(*context_.game, context_.log)) return monitor();
            context_.startOver();
        }

        std::unique_ptr<ProcessMemory> game = waitForGame();
        context_.launchConsidered = 1;
        if (stopRequested()) return PassOutcome::abandoned(0);
        if (resetSeen() || !game) return PassOutcome::nextPass();
        context_.game = std::move(game);

        // A pass abandoned over a failed read: the log's place is no longer
        // to be trusted, so everything starts anew.
        if (session_.abortCode() != 0) {
            resetCapture();
            return PassOutcome::nextPass();
        }

        std::optional<ChatLogAddresses> found = knownLog();
        const bool foundAnew = !found;
        if (foundAnew) found = locate();
        if (stopRequested()) return PassOutcome::abandoned(0);
        if (resetSeen()) return PassOutcome::nextPass();
        if (!found) {
            // The game may not have written its log yet: search again after
            // a pause, not at once.
            pauseAfterFruitlessSearch(searchPacer_.restAfterFruitlessSearchMs());
            return PassOutcome::abandoned(0);
        }
        context_.log = *found;
        if (foundAnew) rememberLog();

        context_.position = ReadPosition{};
        context_.position.startCount = static_cast<std::uint32_t>(entryCount(*context_.game, context_.log));
        return monitor();
    }

    // False when the answer is not a usable pattern set; the worker then ends.
    bool loadPatterns(const std::string& language) {
        const std::string answer = fetchPatterns(context_.connection, language);
        if (const auto refusal = context_.connection.freshCertificateRefusal())
            session_.appendMessage(session_.messageRecord(u"* " + LoadTextW(certificateRefusalText(*refusal))));
        PatternDocument document;
        if (!parsePatternAnswer(answer, document)) return false;
        context_.patterns.loaded = true;
        context_.patterns.language = language;
        context_.patterns.compiled = compilePatterns(document);
        return true;
    }

    // The server failed to give the patterns again: wait (sending), then fetch.
    void waitForServer() {
        std::uint64_t left = context_.serverWaitMs;
        context_.serverWaitMs = std::min(context_.serverWaitMs * 2, kLongestServerWaitMs);
        while (left > 0 && !stopRequested() && !resetSeen()) {
            const auto waiting = static_cast<std::int32_t>(context_.delivery.waiting());
            session_.setStatus(formatStatusText(LoadTextW(kTextWaitingForServer), {waiting}));
            const std::uint64_t step = std::min(left, std::uint64_t{kWaitPauseMs});
            pauseSending(step);
            left -= step;
        }
    }

    // A pause of `ms` that the waiting reports may use at their pace.
    void pauseSending(std::uint64_t ms) {
        const std::uint64_t spent = context_.delivery.sendWaiting(ms);
        if (spent < ms) clock_.sleepMs(static_cast<std::uint32_t>(ms - spent));
    }

    // The DirectX 11 client's process; null once a stop was requested or a
    // reset came in.
    std::unique_ptr<ProcessMemory> waitForGame() {
        while (!stopRequested() && !resetSeen()) {
            if (services_.processes != nullptr)
                if (auto game = lookForGame(*services_.processes)) return game;
            showWaiting();
            context_.launchConsidered = 1;
            pauseSending(kWaitPauseMs);
        }
        return nullptr;
    }

    // One look at the running programs: the DirectX 11 client if it runs;
    // the DirectX 9 client reported and the launch considered on the way.
    std::unique_ptr<ProcessMemory> lookForGame(ProcessSystem& processes) {
        const auto stopping = [this] { return stopRequested(); };
        if (openProcessByName(processes, kDirectX9Client, stopping)) {
            if (context_.dx9Reported == 0) session_.reportStatus(kTextDirectX9Unsupported);
            context_.dx9Reported = 1;
            session_.setExecGame(0);
        }
        if (auto game = openProcessByName(processes, kDirectX11Client, stopping)) return game;
        if (session_.execGame() != 0 && context_.launchConsidered == 0) considerLaunch(processes);
        return nullptr;
    }

    void pauseAfterFruitlessSearch(std::uint64_t left) {
        while (left > 0 && !stopRequested() && !resetSeen()) {
            // The search text keeps its dots moving: the search is not over.
            const int dots = static_cast<int>(++searchPauseSteps_ % 10);
            session_.setStatus(LoadTextW(kTextSearchingLogs) + std::u16string(static_cast<std::size_t>(dots), u'.'));
            context_.delivery.sendWaiting(0);
            const std::uint64_t step = std::min<std::uint64_t>(left, kWaitPauseMs);
            clock_.sleepMs(static_cast<std::uint32_t>(step));
            left -= step;
        }
    }

    void showWaiting() {
        ++waitCounter;
        const int dots = static_cast<int>(static_cast<std::uint32_t>(waitCounter) % 10);
        std::u16string text = LoadTextW(kTextWaitingForGame);
        text.append(static_cast<std::size_t>(dots), u'.');
        session_.setStatus(text);
    }

    void considerLaunch(ProcessSystem& processes) {
        for (const char* program : kStartupPrograms)
            if (isProcessRunning(processes, program)) return;
        // A search cut short by a stop says nothing about what runs.
        if (stopRequested()) return;
        session_.reportStatus(launchGame(processes) ? kTextLaunchingGame : kTextLaunchFailed);
    }

    // Where this game's log was found before, by this run or the last, if
    // it still holds there. The search cannot be skipped for another
    // process that got the same id.
    std::optional<ChatLogAddresses> knownLog() {
        const std::optional<ProcessIdentity> game = context_.game->identity();
        const std::optional<KnownChatLog> known = readKnownChatLog(services_.knownLogPath);
        if (!game || !known || known->process != *game) return std::nullopt;
        return confirmChatLogAt(*context_.game, known->textBufferSlot, &clock_);
    }

    // Written once per search that found the log, never while following it.
    // A place that could not be written costs the next start a search.
    void rememberLog() {
        if (const std::optional<ProcessIdentity> game = context_.game->identity())
            writeKnownChatLog(services_.knownLogPath, {*game, context_.log.textBufferSlot});
    }

    std::optional<ChatLogAddresses> locate() {
        LocatorInputs inputs;
        inputs.marker = context_.patterns.compiled.marker;
        inputs.status = session_.statusWindow();
        inputs.clock = &clock_;
        inputs.pacer = &searchPacer_;
        inputs.kept = &keptRegions_;
        const std::uint64_t generation = context_.generation;
        inputs.keepSearching = [this, generation] {
            return !stopRequested() && session_.resetGeneration() == generation;
        };
        return locateChatLog(*context_.game, inputs);
    }

    PassOutcome monitor() {
        // Said at every return to monitoring, so that a log kept across a
        // language change is not left under the old language's text.
        bool progressShown = false;
        while (!stopRequested()) {
            if (resetSeen()) return PassOutcome::nextPass();
            const std::int32_t count = entryCount(*context_.game, context_.log);
            if (count <= 0) {
                // The game has gone, or its log holds nothing yet.
                resetCapture();
                return PassOutcome::nextPass();
            }
            if (count != context_.position.readCount) {
                const std::int32_t read = readNewEntries(*context_.game, context_.log, context_.position,
                                                         context_.patterns.compiled, *this);
                context_.delivery.handOver(std::move(context_.passMatches));
                context_.passMatches.clear();
                if (read < 0) return PassOutcome::abandoned(count);
                showProgress(count);
                progressShown = true;
            }
            if (!progressShown) {
                showProgress(count);
                progressShown = true;
            }
            // Waiting reports go out at their pace whether the game writes or not.
            if (const std::size_t waiting = context_.delivery.waiting(); waiting > 0) {
                context_.delivery.sendWaiting(0);
                if (context_.delivery.waiting() != waiting) showProgress(count);
            }
            clock_.sleepMs(kPollPauseMs);
        }
        return PassOutcome::nextPass();
    }

    void showProgress(std::int32_t count) {
        // Reports that wait for the server matter more than how far the log
        // was read: the player sees that the lines are not lost.
        if (context_.delivery.waiting() > 0) {
            const auto waiting = static_cast<std::int32_t>(context_.delivery.waiting());
            session_.setStatus(formatStatusText(LoadTextW(kTextReportsWaiting), {waiting}));
            return;
        }
        const std::int32_t handled = context_.position.readCount;
        session_.setStatus(handled < count ? formatStatusText(LoadTextW(kTextLoadingLogs), {handled, count})
                                           : formatStatusText(LoadTextW(kTextMonitoringLogs), {handled}));
    }

    // A matching line, handed to the delivery with the rest of its pass. One
    // met after a reset is refused:
    // it and the rest of the pass are read again under the new generation's set.
    bool onMatch(LogRecord& record) override {
        if (stopRequested()) return false;
        if (session_.resetGeneration() != context_.generation) return false;
        context_.passMatches.push_back(
            context_.delivery.reportOf(record, context_.patterns.language, context_.generation));
        return true;
    }

    void reportCount(int textId, std::int32_t count) {
        session_.appendMessage(session_.messageRecord(u"* " + formatStatusText(LoadTextW(textId), {count})));
    }

    CaptureSession& session_;
    const WorkerServices& services_;
    Clock& clock_;
    WorkerContext context_;
    SearchPacer searchPacer_;  // the log search's cost, and the rest it earns after finding nothing
    SmallRegionCache keptRegions_;  // the search's memory, kept from one fruitless search for the next
    std::uint32_t searchPauseSteps_ = 0;
};

}  // namespace

CaptureWorker::CaptureWorker(CaptureSession& session, WorkerServices services)
    : session_(session), services_(std::move(services)) {}

CaptureWorker::~CaptureWorker() {
    session_.requestStop();
    if (thread_.joinable()) thread_.join();
}

void CaptureWorker::start(StatusSink* statusSink) {
    if (thread_.joinable()) {
        if (running()) return;
        thread_.join();  // a worker that ended on its own
    }
    session_.setStatusWindow(statusSink);
    session_.clearStopRequest();
    {
        std::lock_guard guard(runningMutex_);
        running_ = true;
    }
    try {
        thread_ = std::thread([this] {
            workerMain();
            std::lock_guard guard(runningMutex_);
            running_ = false;
            ended_.notify_all();
        });
    } catch (const std::system_error&) {
        std::lock_guard guard(runningMutex_);
        running_ = false;
    }
}

void CaptureWorker::stop() {
    if (!thread_.joinable()) return;
    session_.requestStop();
    {
        std::unique_lock guard(runningMutex_);
        ended_.wait_for(guard, kStopBound, [this] { return !running_; });
        // Still running after the bound: the thread stays held, and the
        // destructor waits for it before the session goes away.
        if (running_) return;
    }
    thread_.join();
}

bool CaptureWorker::running() const {
    std::lock_guard guard(runningMutex_);
    return running_;
}

void CaptureWorker::workerMain() {
    WorkerLoop(session_, services_).run();
}

}  // namespace tidemark
