#pragma once
// What the journaled end-to-end tests share: a capture worker of the test's
// own, its journal in a scratch folder, posting to the loopback test server
// with short WinInet steps (so that a stalled answer is given up on
// quickly). Each start makes a new session, status and worker, as a
// restarted Tidemark would; the journal stays.
#include <windows.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "capture/capture_worker.h"
#include "capture/game_processes_win32.h"
#include "fakes/recording_status_sink.h"
#include "http/http_client_win32.h"
#include "support/test_server.h"

namespace tidemark::testing {

inline bool waitUntil(const std::function<bool()>& done, int timeoutMs = 30000) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < until) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return done();
}

inline std::size_t reportPosts() {
    std::size_t n = 0;
    for (const auto& r : TestServer::requests()) n += r.method() == "POST";
    return n;
}

class JournaledWorker {
public:
    // The test server answers every request with `patterns`: the pattern
    // fetch takes it as the set, and to the poster it is an object without
    // members that act.
    JournaledWorker(const std::wstring& name, const char* patterns) {
        wchar_t temp[MAX_PATH] = L"";
        GetTempPathW(MAX_PATH, temp);
        folder_ = std::filesystem::path(temp) / (L"tidemark-" + name + L"-" + std::to_wstring(GetCurrentProcessId()) +
                                                 L"-" + std::to_wstring(GetTickCount64()));
        std::filesystem::create_directories(folder_);
        TestServer::script({}, ServerAnswer::text(patterns));
    }
    ~JournaledWorker() {
        stop();
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    JournaledWorker(const JournaledWorker&) = delete;
    JournaledWorker& operator=(const JournaledWorker&) = delete;

    void start(const std::string& language = "en") {
        WorkerServices services;
        services.processes = &processes_;
        services.httpClientFactory = winInetClientFactory(std::chrono::milliseconds(2000));
        services.serverHost = "127.0.0.1";
        services.serverPort = TestServer::port();
        services.journalPath = folder_ / "Tidemark.queue";
        session_.emplace();
        session_->setLanguage(language);
        status_.emplace();
        worker_.emplace(*session_, std::move(services));
        worker_->start(&*status_);
    }
    void stop() {
        if (worker_) worker_->stop();
        worker_.reset();
    }

    const std::filesystem::path& folder() const { return folder_; }
    CaptureSession& session() { return *session_; }
    const RecordingStatusSink& status() const { return *status_; }
    bool running() const { return worker_ && worker_->running(); }

private:
    std::filesystem::path folder_;
    Win32ProcessSystem processes_;
    std::optional<RecordingStatusSink> status_;
    std::optional<CaptureSession> session_;
    std::optional<CaptureWorker> worker_;
};

}  // namespace tidemark::testing
