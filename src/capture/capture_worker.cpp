// The capture worker: waits for a language, loads the patterns, waits for
// (or launches) the game, has its chat log located and follows it.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <system_error>
#include <utility>

#include "capture/capture_session.h"
#include "capture/status_text.h"
#include "report/pattern_answer.h"
#include "shell/texts.h"

namespace tidemark {

std::int32_t waitCounter = 0;

namespace {

constexpr std::uint32_t kWaitPauseMs = 1000;
constexpr std::uint32_t kPollPauseMs = 10;
constexpr auto kStopBound = std::chrono::milliseconds(10000);

constexpr char kDirectX9Client[] = "ffxiv.exe";
constexpr char kDirectX11Client[] = "ffxiv_dx11.exe";
// While any of these runs, the game is on its way and must not be started twice.
constexpr const char* kStartupPrograms[] = {"ffxivboot.exe", "ffxivupdater.exe", "ffxivlauncher.exe"};

// How a pass ended. An abandoned pass leaves its value in `abortCode`, which
// makes the next locate refuse and so reset the session.
struct PassOutcome {
    enum class Kind { NextPass, Abandoned, EndThread };
    Kind kind = Kind::NextPass;
    std::int32_t abortValue = 0;

    static PassOutcome nextPass() { return {Kind::NextPass, 0}; }
    static PassOutcome abandoned(std::int32_t value) { return {Kind::Abandoned, value}; }
    static PassOutcome endThread() { return {Kind::EndThread, 0}; }
};

class WorkerLoop {
public:
    WorkerLoop(CaptureSession& session, Clock& clock) : session_(session), clock_(clock) {}

    void run() {
        while (!stopRequested()) {
            const PassOutcome outcome = runPass();
            if (outcome.kind == PassOutcome::Kind::EndThread) return;
            if (outcome.kind == PassOutcome::Kind::Abandoned) {
                auto guard = session_.lock();
                session_.abortCode = outcome.abortValue;
            }
        }
    }

private:
    bool stopRequested() const { return session_.stopRequested.load() != 0; }

    void setStatus(const std::u16string& text) {
        if (session_.statusWindow != nullptr) session_.statusWindow->setStatus(text);
    }

    PassOutcome runPass() {
        const std::string language = session_.language();
        if (language.empty()) {
            setStatus(LoadTextW(kTextSpecifyLanguage));
            clock_.sleepMs(kWaitPauseMs);
            return PassOutcome::nextPass();
        }

        if (!patternsLoaded() && !loadPatterns(language)) {
            session_.reportStatus(kTextConnectionFailed);
            return PassOutcome::endThread();
        }

        std::unique_ptr<ProcessMemory> game = waitForGame();
        session_.launchConsidered = 1;
        if (!game) return PassOutcome::abandoned(0);  // stopped while waiting
        {
            auto guard = session_.lock();
            session_.gameProcess = std::move(game);
        }

        if (session_.locateChatLog() == 0) {
            session_.reset();
            return PassOutcome::nextPass();
        }
        if (stopRequested()) return PassOutcome::abandoned(0);
        {
            auto guard = session_.lock();
            // Nothing found: the next pass finds the game at once and searches anew.
            if (session_.textBufferSlot == 0) return PassOutcome::abandoned(0);
        }

        session_.startCount = static_cast<std::uint32_t>(session_.entryCount());
        return monitor();
    }

    bool patternsLoaded() const {
        auto guard = session_.lock();
        return session_.patternsLoaded != 0;
    }

    // False when the answer is not a usable pattern set; the worker then ends.
    bool loadPatterns(const std::string& language) {
        std::uint64_t generation = 0;
        {
            auto guard = session_.lock();
            generation = session_.resetGeneration;
        }
        const std::string answer = session_.fetchPatterns(language);
        if (!parsePatternAnswer(answer, session_.patterns)) return false;
        session_.compiledPatterns = compilePatterns(session_.patterns);
        auto guard = session_.lock();
        // A reset while the request ran (another language chosen) keeps the
        // flag clear, so the next pass fetches the patterns anew; this pass
        // goes on with what it has.
        if (session_.resetGeneration == generation) session_.patternsLoaded = 1;
        return true;
    }

    // The DirectX 11 client's process, or null once a stop was requested.
    std::unique_ptr<ProcessMemory> waitForGame() {
        while (!stopRequested()) {
            if (session_.openProcessByName(kDirectX9Client)) {
                if (session_.dx9Reported == 0) session_.reportStatus(kTextDirectX9Unsupported);
                session_.dx9Reported = 1;
                session_.setExecGame(0);
            }
            if (auto game = session_.openProcessByName(kDirectX11Client)) return game;
            if (session_.execGame() != 0 && session_.launchConsidered == 0) considerLaunch();

            ++waitCounter;
            const int dots = static_cast<int>(static_cast<std::uint32_t>(waitCounter) % 10);
            std::u16string text = LoadTextW(kTextWaitingForGame);
            text.append(static_cast<std::size_t>(dots), u'.');
            setStatus(text);

            session_.launchConsidered = 1;
            clock_.sleepMs(kWaitPauseMs);
        }
        return nullptr;
    }

    void considerLaunch() {
        for (const char* program : kStartupPrograms)
            if (session_.openProcessByName(program)) return;
        // A search cut short by a stop says nothing about what runs.
        if (stopRequested()) return;
        session_.reportStatus(session_.launchGame() ? kTextLaunchingGame : kTextLaunchFailed);
    }

    PassOutcome monitor() {
        while (!stopRequested()) {
            const std::int32_t count = session_.entryCount();
            if (count <= 0) {
                // The game has gone, or the session was reset from the window.
                session_.reset();
                return PassOutcome::nextPass();
            }
            if (count > readCount()) {
                if (session_.readNewEntries() < 0) return PassOutcome::abandoned(count);
                const std::int32_t handled = readCount();
                setStatus(handled < count
                              ? formatStatusText(LoadTextW(kTextLoadingLogs), {handled, count})
                              : formatStatusText(LoadTextW(kTextMonitoringLogs), {handled}));
            }
            clock_.sleepMs(kPollPauseMs);
        }
        return PassOutcome::nextPass();
    }

    std::int32_t readCount() const {
        auto guard = session_.lock();
        return session_.readCount;
    }

    CaptureSession& session_;
    Clock& clock_;
};

}  // namespace

void CaptureSession::start(StatusSink* statusSink) {
    if (workerThread.joinable()) {
        if (workerRunning_.load()) return;
        workerThread.join();  // a worker that ended on its own
    }
    statusWindow = statusSink;
    stopRequested = 0;
    workerRunning_ = true;
    try {
        workerThread = std::thread([this] {
            workerMain();
            auto guard = lock();
            workerRunning_ = false;
            workerEnded_.notify_all();
        });
    } catch (const std::system_error&) {
        workerRunning_ = false;
    }
}

void CaptureSession::stop() {
    if (!workerThread.joinable()) return;
    stopRequested = 1;
    {
        auto guard = lock();
        workerEnded_.wait_for(guard, kStopBound, [this] { return !workerRunning_.load(); });
        // Still running after the bound: the thread stays held, and the
        // destructor waits for it before the session goes away.
        if (workerRunning_.load()) return;
    }
    workerThread.join();
}

void CaptureSession::workerMain() {
    WorkerLoop(*this, clock()).run();
}

}  // namespace tidemark
