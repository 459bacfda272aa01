#pragma once
// What the delivery benchmarks share: the loopback test server serving the
// benchmarks' patterns, a scratch folder, the game simulator, and a capture
// worker of their own that reports to that server.
#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>

#include "capture/capture_worker.h"
#include "capture/game_processes_win32.h"
#include "http/http_client_win32.h"
#include "support/gamesim_control.h"
#include "support/test_server.h"
#include "waiting_watch.h"

namespace tidemark::bench {

// The marker line and the simulator's "\x1Fline\x1F" lines (code 57).
constexpr char kBenchPatterns[] = R"({"1": {"keyword": ["bench-marker"], "code": "999"},
    "4": {"keyword": ["\u001fline\u001f"], "code": "57"}})";
constexpr char kBenchMarker[] = "bench-marker";

// The test server scripted with the patterns and an empty scratch folder
// named after the benchmark; nothing when the test server is not there
// (the benchmark runs through its script, which starts it).
inline std::optional<std::filesystem::path> prepareDeliveryBench(const std::wstring& name, const char* script) {
    if (!testing::TestServer::available()) {
        std::fprintf(stderr, "run me through %s (needs the loopback test server)\n", script);
        return std::nullopt;
    }
    testing::TestServer::script({}, testing::ServerAnswer::text(kBenchPatterns));
    wchar_t temp[MAX_PATH] = L"";
    GetTempPathW(MAX_PATH, temp);
    const std::filesystem::path folder =
        std::filesystem::path(temp) / (L"tidemark-" + name + L"-" + std::to_wstring(GetCurrentProcessId()));
    std::filesystem::create_directories(folder);
    return folder;
}

// A worker following the simulated game and posting to the test server,
// its status watched; it stops when the run goes.
struct WorkerBenchRun {
    CaptureSession session;
    WaitingWatch status;
    Win32ProcessSystem processes;
    std::optional<CaptureWorker> worker;

    explicit WorkerBenchRun(const std::filesystem::path& journal, bool sendOnItsOwnThread = true) {
        WorkerServices services;
        services.processes = &processes;
        services.httpClientFactory = winInetClientFactory();
        services.serverHost = "127.0.0.1";
        services.serverPort = testing::TestServer::port();
        services.journalPath = journal;
        services.sendOnItsOwnThread = sendOnItsOwnThread;
        session.setLanguage("en");
        worker.emplace(session, std::move(services));
        worker->start(&status);
    }
};

}  // namespace tidemark::bench
