#pragma once
// The capture worker: waits for a language, loads the patterns, waits for
// (or launches) the game, has its chat log located and follows it, posting
// every matching line. It shares only the session with the window; the game,
// where its log lies, how far it was read, the patterns and the server
// connection it posts with are its own.

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include "capture/game_processes.h"
#include "capture/report_delivery.h"
#include "http/http_client.h"
#include "platform/clock.h"
#include "platform/settings_store.h"
#include "session/capture_session.h"
#include "session/status_sink.h"

namespace tidemark {

// What the worker needs from the platform. Every pointer must outlive the
// worker; any may be null where a test does not exercise it.
struct WorkerServices {
    ProcessSystem* processes = nullptr;
    Clock* clock = nullptr;               // null: the system clock
    SettingsStore* settings = nullptr;    // where a new player id is saved
    HttpClientFactory httpClientFactory;  // empty: no client can be made
    std::filesystem::path journalPath;    // empty: waiting reports are kept in memory only
    std::filesystem::path knownLogPath;   // where the log was last found; empty: always searched for
    ReportIdSource reportIds;             // empty: random ids
    // Reports go out on a thread of their own, so that the server never
    // holds the reading back; off, the worker sends them between its polls
    // (for tests that step the worker on one thread).
    bool sendOnItsOwnThread = true;
    std::string serverHost = TIDEMARK_SERVER_HOST;
    std::uint16_t serverPort = TIDEMARK_SERVER_PORT;
    bool serverTls = TIDEMARK_SERVER_TLS != 0;  // reached over HTTPS
};

// Waits before the game is looked for again, counted over the whole run.
extern std::int32_t waitCounter;

class CaptureWorker {
public:
    CaptureWorker(CaptureSession& session, WorkerServices services);
    // Waits for a worker that outlasted stop()'s bound: it still uses the
    // session and the services.
    ~CaptureWorker();
    CaptureWorker(const CaptureWorker&) = delete;
    CaptureWorker& operator=(const CaptureWorker&) = delete;

    // Starts the worker thread with `statusSink` as the status line. Does
    // nothing while a worker runs.
    void start(StatusSink* statusSink);
    // Asks the worker to end and waits for it for at most 10 s.
    void stop();
    // The worker's loop on the calling thread, until a stop request or a
    // failed first pattern fetch.
    void workerMain();

    bool running() const;
    bool joinable() const { return thread_.joinable(); }

private:
    CaptureSession& session_;
    WorkerServices services_;
    std::thread thread_;
    mutable std::mutex runningMutex_;
    std::condition_variable ended_;
    bool running_ = false;
};

}  // namespace tidemark
