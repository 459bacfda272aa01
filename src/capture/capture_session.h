#pragma once
// The capture context of one run: settings the capture needs, the attached
// game, where its chat log lies and how far it has been read, the patterns,
// the server connection and the message log. The operations of the game log
// access and of the report protocol are members of this class; each is
// implemented in the subsystem it belongs to.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <rapidjson/document.h>

#include "capture/clock.h"
#include "capture/game_processes.h"
#include "capture/log_record.h"
#include "capture/status_sink.h"
#include "gamelog/compiled_patterns.h"
#include "gamelog/log_block.h"
#include "gamelog/process_memory.h"
#include "http/http_client.h"
#include "report/user_notice.h"
#include "shell/settings_store.h"

namespace tidemark {

using PatternDocument = rapidjson::Document;

// What the session needs from the platform. Every pointer must outlive the
// session; any may be null where a test does not exercise it.
struct SessionServices {
    ProcessSystem* processes = nullptr;
    Clock* clock = nullptr;               // null: the system clock
    SettingsStore* settings = nullptr;
    UserNotice* notice = nullptr;
    HttpClientFactory httpClientFactory;  // empty: no client can be made
    std::string serverHost = TIDEMARK_SERVER_HOST;
    std::uint16_t serverPort = TIDEMARK_SERVER_PORT;
};

class CaptureSession {
public:
    explicit CaptureSession(SessionServices services = {});
    ~CaptureSession();
    CaptureSession(const CaptureSession&) = delete;
    CaptureSession& operator=(const CaptureSession&) = delete;

    // --- session and message log -------------------------------------------
    void reset();
    void reportStatus(int textId);
    void reportServerText(const char* utf8);
    void reportText(const std::string& utf8);
    void appendMessage(const LogRecord& record);
    // The message log's texts when it changed (or `force`), clearing the flag;
    // nullopt when nothing is to be rendered.
    std::optional<std::vector<std::u16string>> takeMessagesIfChanged(bool force);

    // --- game discovery and launch -----------------------------------------
    std::unique_ptr<ProcessMemory> openProcessByName(const std::string& exeName);
    bool launchGame();

    // --- worker ------------------------------------------------------------
    void start(StatusSink* statusSink);
    void stop();
    void workerMain();

    // --- game log access ---------------------------------------------------
    std::int32_t locateChatLog();
    std::int32_t entryCount();
    std::int32_t readNewEntries();

    // --- report protocol ---------------------------------------------------
    // The language list without a language, else the pattern set.
    std::string fetchPatterns(std::optional<std::string_view> language);
    std::string fetchPageToken();
    void postLine(LogRecord& record);

    // --- shared settings values (each access takes the session lock) -------
    std::string language() const;
    void setLanguage(const std::string& code);
    std::string playerId() const;
    void setPlayerId(const std::string& id);
    int execGame() const;
    void setExecGame(int on);

    // The session lock. It serialises every field shared between the UI
    // thread and the worker (everything below marked "shared"): the worker
    // takes it for short bookkeeping steps only, never across a memory read
    // or an HTTP exchange, so the UI thread never waits long. A reset bumps
    // `resetGeneration`; an operation that took a snapshot before a reset
    // discards its results instead of writing them over the reset state.
    std::unique_lock<std::recursive_mutex> lock() const { return std::unique_lock(mutex_); }

    // --- fields, in the order of the design --------------------------------
    std::shared_ptr<ProcessMemory> gameProcess;  // shared; worker reads through a copy
    std::vector<MemoryRegion> regions;           // worker only
    StatusSink* statusWindow = nullptr;
    std::uint64_t textBufferSlot = 0;            // shared
    std::uint64_t offsetTableSlot = 0;           // shared
    std::uint64_t entryCountAddress = 0;         // shared
    std::int32_t readCount = 0;                  // shared
    std::uint32_t startCount = 0;                // worker only
    std::thread workerThread;
    std::atomic<int> stopRequested{0};
    int launchConsidered = 0;                    // worker only
    int dx9Reported = 0;                         // worker only
    PatternDocument patterns;                    // worker only (reset only clears the flag)
    CompiledPatterns compiledPatterns;           // worker only: `patterns` ready for matching
    LogBlockSeen lastBlockSeen;                  // worker only: the block the last read pass copied
    int patternsLoaded = 0;                      // shared
    std::string sid;                             // worker only
    std::string fid;                             // worker only
    std::unique_ptr<HttpClient> httpClient;      // guarded by exchangeMutex
    std::int32_t abortCode = 0;                  // shared
    std::vector<LogRecord> messages;             // shared
    int messagesChanged = 0;                     // shared
    std::string playerId_;                       // shared, and under exchangeMutex
    std::string language_;                       // shared
    int execGame_ = 0;                           // shared

    std::uint64_t resetGeneration = 0;           // shared
    SessionServices services;

    // Held across each whole exchange with the report server (connect,
    // request, read, parse), and never while a message box is shown.
    std::mutex exchangeMutex;

private:
    Clock& clock() const { return services.clock ? *services.clock : systemClock(); }

    mutable std::recursive_mutex mutex_;
    std::atomic<bool> workerRunning_{false};
    // Signalled (under mutex_) when the worker thread has left workerMain,
    // so that stop() can wait for it with a bound.
    std::condition_variable_any workerEnded_;
};

// Process-wide counters of the worker and the locator (never reset).
extern std::int32_t waitCounter;
extern std::int32_t searchCounter;

}  // namespace tidemark
