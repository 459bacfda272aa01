// The capture engine's costs under Wine, against the game simulator and the
// loopback test server, with the real worker, Win32 process access and the
// WinInet client:
//   1. idle monitoring: CPU use of this process (the worker is its only busy
//      thread) and of the prefix's wineserver, and game reads per second,
//      while the game writes nothing;
//   2. latency from the simulator raising its entry count for a matching
//      line to the worker's POST of that line having been answered.
//
// Run through run_monitor_bench.sh, which starts the test server around it
// and tells it the wineserver's Linux process id.
//
// usage: monitor_wine_bench.exe [idle seconds] [lines]

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "capture/capture_worker.h"
#include "capture/game_processes_win32.h"
#include "http/http_client_win32.h"
#include "support/gamesim_control.h"
#include "support/test_server.h"
#include "wine_bench_support.h"
#include "texts/texts.h"

using namespace tidemark;
using SteadyClock = std::chrono::steady_clock;

namespace {

std::atomic<std::uint64_t> gameReads{0};
std::atomic<std::uint64_t> postsAnswered{0};
std::atomic<std::int64_t> lastPostAnsweredNs{0};

std::int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(SteadyClock::now().time_since_epoch()).count();
}

// Counts every read the worker makes of the game.
class CountingMemory : public ProcessMemory {
public:
    explicit CountingMemory(std::unique_ptr<ProcessMemory> inner) : inner_(std::move(inner)) {}
    std::uint64_t minimumApplicationAddress() const override { return inner_->minimumApplicationAddress(); }
    std::uint64_t maximumApplicationAddress() const override { return inner_->maximumApplicationAddress(); }
    bool queryRegion(std::uint64_t address, MemoryRegion& region) const override {
        return inner_->queryRegion(address, region);
    }
    std::uint64_t readMemory(std::uint64_t address, void* buffer, std::uint64_t size) const override {
        ++gameReads;
        return inner_->readMemory(address, buffer, size);
    }

private:
    std::unique_ptr<ProcessMemory> inner_;
};

class CountingProcessSystem : public Win32ProcessSystem {
public:
    std::unique_ptr<ProcessMemory> openForReading(std::uint32_t processId) override {
        auto opened = Win32ProcessSystem::openForReading(processId);
        if (!opened) return nullptr;
        return std::make_unique<CountingMemory>(std::move(opened));
    }
};

// Notes when each POST has been answered.
class TimedClient : public HttpClient {
public:
    explicit TimedClient(std::unique_ptr<HttpClient> inner) : inner_(std::move(inner)) {}
    bool connect(const std::string& host, std::uint16_t port, std::uint32_t flags) override {
        return inner_->connect(host, port, flags);
    }
    bool isConnected() const override { return inner_->isConnected(); }
    bool get(const std::string& path, std::span<const FormField> fields, std::uint32_t flags) override {
        return inner_->get(path, fields, flags);
    }
    bool postForm(const std::string& path, const FormData& form, std::uint32_t flags,
                  std::span<const HttpHeader> extraHeaders = {}) override {
        const bool sent = inner_->postForm(path, form, flags, extraHeaders);
        if (sent) {
            lastPostAnsweredNs = nowNs();
            ++postsAnswered;
        }
        return sent;
    }
    AnswerStatus answerStatus() const override { return inner_->answerStatus(); }
    bool read(void* buffer, std::uint32_t size, std::uint32_t& bytesRead) override {
        return inner_->read(buffer, size, bytesRead);
    }

private:
    std::unique_ptr<HttpClient> inner_;
};

using bench::linuxCpuTicks;
using bench::processCpuSeconds;
using bench::waitUntil;

std::int32_t readCountOf(HANDLE process, std::uint64_t address) {
    std::int32_t value = -1;
    SIZE_T got = 0;
    ReadProcessMemory(process, reinterpret_cast<const void*>(address), &value, sizeof value, &got);
    return got == sizeof value ? value : -1;
}

// Tells when the worker first shows that it follows the log.
class MonitoringWatch : public StatusSink {
public:
    void setStatus(const std::u16string& text) override {
        const std::u16string format = LoadTextW(kTextMonitoringLogs);
        if (text.compare(0, format.find(u"%d"), format, 0, format.find(u"%d")) == 0) monitoring_ = true;
    }
    bool monitoring() const { return monitoring_.load(); }

private:
    std::atomic<bool> monitoring_{false};
};

}  // namespace

int main(int argc, char** argv) {
    const int idleSeconds = argc > 1 ? std::atoi(argv[1]) : 60;
    const int lines = argc > 2 ? std::atoi(argv[2]) : 1000;
    if (!testing::TestServer::available()) {
        std::fprintf(stderr, "run me through run_monitor_bench.sh (needs the loopback test server)\n");
        return 2;
    }
    const char* patterns = R"({"1": {"keyword": ["bench-marker"], "code": "999"},
                              "2": {"keyword": ["bench line"], "code": "57"}})";
    testing::TestServer::script({}, testing::ServerAnswer::text(patterns));

    GameSimulator game(GameSimulatorOptions().keyword("bench-marker"));
    if (!game.start()) {
        std::fprintf(stderr, "the simulator did not start\n");
        return 1;
    }

    CountingProcessSystem processes;
    WorkerServices services;
    services.processes = &processes;
    services.httpClientFactory = [] { return std::make_unique<TimedClient>(winInetClientFactory()()); };
    services.serverHost = "127.0.0.1";
    services.serverPort = testing::TestServer::port();
    CaptureSession session;
    session.setLanguage("en");
    CaptureWorker worker(session, std::move(services));
    MonitoringWatch status;
    worker.start(&status);

    if (!waitUntil([&] { return status.monitoring(); }, 30000)) {
        std::fprintf(stderr, "the worker never began monitoring\n");
        return 1;
    }
    Sleep(1000);

    // 1. Idle monitoring.
    const char* wineserverPid = std::getenv("TIDEMARK_BENCH_WINESERVER_PID");
    const auto serverTicks0 = wineserverPid ? linuxCpuTicks(wineserverPid) : std::nullopt;
    const auto selfTicks0 = linuxCpuTicks("self");
    const double cpu0 = processCpuSeconds();
    const std::uint64_t reads0 = gameReads;
    const auto wall0 = SteadyClock::now();
    Sleep(static_cast<DWORD>(idleSeconds) * 1000);
    const double wall = std::chrono::duration<double>(SteadyClock::now() - wall0).count();
    const double cpu = processCpuSeconds() - cpu0;
    const std::uint64_t reads = gameReads - reads0;
    const auto selfTicks1 = linuxCpuTicks("self");
    const auto serverTicks1 = wineserverPid ? linuxCpuTicks(wineserverPid) : std::nullopt;

    std::printf("idle monitoring, %.1f s without new lines:\n", wall);
    std::printf("  monitoring process CPU: %.3f %% of a core (GetProcessTimes)", 100.0 * cpu / wall);
    if (selfTicks0 && selfTicks1)
        std::printf(", %.3f %% (/proc)", 100.0 * static_cast<double>(*selfTicks1 - *selfTicks0) / 100.0 / wall);
    std::printf("  (target < 0.5 %%)\n");
    if (serverTicks0 && serverTicks1)
        std::printf("  wineserver CPU meanwhile: %.3f %% of a core\n",
                    100.0 * static_cast<double>(*serverTicks1 - *serverTicks0) / 100.0 / wall);
    std::printf("  game reads: %.1f per second (target 100)\n", static_cast<double>(reads) / wall);

    // 2. Latency of matching lines.
    HANDLE watcher = OpenProcess(PROCESS_VM_READ, FALSE, game.processId());
    const std::uint64_t countAddress = game.state().entryCountAddress;
    // The simulator writes a line within about 10 ms of its command; a
    // second reader here sees the count rise about every millisecond. The
    // write lies between the command and the rise, so the latency lies
    // between the two figures taken from them.
    std::vector<double> fromRiseMs;
    std::vector<double> fromCommandMs;
    for (int i = 0; i < lines; ++i) {
        const std::int32_t before = readCountOf(watcher, countAddress);
        const std::uint64_t postsBefore = postsAnswered;
        std::string command = "add 57 ";
        for (unsigned char c : "bench line " + std::to_string(i)) {
            char hex[3];
            std::snprintf(hex, sizeof hex, "%02x", c);
            command += hex;
        }
        const std::int64_t commanded = nowNs();
        if (!game.control().append(command)) break;
        while (readCountOf(watcher, countAddress) == before) Sleep(1);
        const std::int64_t risen = nowNs();
        if (!waitUntil([&] { return postsAnswered > postsBefore; }, 10000)) {
            std::fprintf(stderr, "line %d was never posted\n", i);
            return 1;
        }
        fromRiseMs.push_back(static_cast<double>(lastPostAnsweredNs - risen) / 1e6);
        fromCommandMs.push_back(static_cast<double>(lastPostAnsweredNs - commanded) / 1e6);
    }
    CloseHandle(watcher);
    worker.stop();

    auto report = [](const char* what, std::vector<double> ms) {
        std::sort(ms.begin(), ms.end());
        auto at = [&](double q) { return ms[static_cast<std::size_t>(q * static_cast<double>(ms.size() - 1))]; };
        std::printf("  %s: median %.1f ms, p99 %.1f ms, max %.1f ms\n", what, at(0.5), at(0.99), ms.back());
    };
    std::printf("matching line to answered POST over %zu lines (target median < 30 ms):\n", fromRiseMs.size());
    report("from the count's rise (lower bound)", fromRiseMs);
    report("from the simulator's command (upper bound)", fromCommandMs);
    return 0;
}
