// The worker's search for the chat log under Wine, with the real worker and
// Win32 process access against the game simulator (~200 MiB of ordinary
// private memory, optionally many small regions below it) and the loopback
// test server:
//   1. with the log withheld: CPU use of this process (the worker is its only
//      busy thread) and of the prefix's wineserver over 15 s once the worker
//      searches, and how many full searches it made;
//   2. the time from the game putting its log into memory to the worker's
//      "Monitoring your logs";
//   3. the time from a language change to "Monitoring your logs" again (the
//      patterns fetched anew and the log read on, or searched anew);
//   4. a fresh worker on the same game: the time from its start to
//      "Monitoring your logs" (a first search that finds an existing log);
//   5. the same with the place the worker of phase 2 found the log at kept
//      in the file beside the journal: Tidemark restarted beside a running
//      game;
//   6. as 5 after the game's log has passed into its next block.
// Each phase also gives the region queries and reads it made and the wall
// time they took, which is where the search's time goes.
//
// Run through run_log_wait_bench.sh, which starts the test server around it
// and tells it the wineserver's Linux process id.
//
// usage: log_wait_wine_bench.exe [waiting seconds] [ballast MiB] [ballast region KiB] [small regions]

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

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

// What the worker asked of the game's memory, and the wall time it took.
struct MemoryUse {
    std::atomic<std::uint64_t> searches{0};
    std::atomic<std::uint64_t> queries{0};
    std::atomic<std::uint64_t> queryNs{0};
    std::atomic<std::uint64_t> reads{0};
    std::atomic<std::uint64_t> readBytes{0};
    std::atomic<std::uint64_t> readNs{0};
};
MemoryUse use;

struct MemoryUseSnapshot {
    std::uint64_t searches, queries, queryNs, reads, readBytes, readNs;
    static MemoryUseSnapshot take() {
        return {use.searches, use.queries, use.queryNs, use.reads, use.readBytes, use.readNs};
    }
};

std::uint64_t nanosecondsSince(SteadyClock::time_point from) {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(SteadyClock::now() - from).count());
}

// Counts the worker's walks of the game's address space (each search starts
// one at the lowest address), its queries and its reads.
class CountingMemory : public ProcessMemory {
public:
    explicit CountingMemory(std::unique_ptr<ProcessMemory> inner) : inner_(std::move(inner)) {}
    std::uint64_t minimumApplicationAddress() const override { return inner_->minimumApplicationAddress(); }
    std::uint64_t maximumApplicationAddress() const override { return inner_->maximumApplicationAddress(); }
    bool queryRegion(std::uint64_t address, MemoryRegion& region) const override {
        if (address == inner_->minimumApplicationAddress()) ++use.searches;
        const auto began = SteadyClock::now();
        const bool answered = inner_->queryRegion(address, region);
        use.queryNs += nanosecondsSince(began);
        ++use.queries;
        return answered;
    }
    std::uint64_t readMemory(std::uint64_t address, void* buffer, std::uint64_t size) const override {
        const auto began = SteadyClock::now();
        const std::uint64_t got = inner_->readMemory(address, buffer, size);
        use.readNs += nanosecondsSince(began);
        ++use.reads;
        use.readBytes += got;
        return got;
    }
    std::optional<ProcessIdentity> identity() const override { return inner_->identity(); }

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

using bench::linuxCpuTicks;
using bench::processCpuSeconds;
using bench::waitUntil;

bool startsWith(const std::u16string& text, const std::u16string& format) {
    const std::size_t fixed = std::min(format.find(u"%d"), format.size());
    return text.compare(0, fixed, format, 0, fixed) == 0;
}

// Tells when the worker first searches and when it first follows the log
// after having searched since the last arm().
class StatusWatch : public StatusSink {
public:
    void setStatus(const std::u16string& text) override {
        if (startsWith(text, LoadTextW(kTextSearchingLogs))) searching_ = true;
        if (startsWith(text, LoadTextW(kTextMonitoringLogs)) && searching_ && !monitoring_) {
            monitoringAt_ = SteadyClock::now();
            monitoring_ = true;
        }
    }
    // From now on the first "Monitoring" counts, after a search or, when
    // `searchFirst` is false, without one.
    void arm(bool searchFirst = true) {
        searching_ = !searchFirst;
        monitoring_ = false;
    }
    bool searching() const { return searching_.load(); }
    bool monitoring() const { return monitoring_.load(); }
    SteadyClock::time_point monitoringAt() const { return monitoringAt_; }

private:
    std::atomic<bool> searching_{false};
    std::atomic<bool> monitoring_{false};
    SteadyClock::time_point monitoringAt_;
};

double secondsBetween(SteadyClock::time_point from, SteadyClock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

void printUse(const MemoryUseSnapshot& from) {
    const MemoryUseSnapshot to = MemoryUseSnapshot::take();
    std::printf("  searches begun %llu; %llu region queries in %.2f s; %llu reads of %.1f MiB in %.2f s\n",
                static_cast<unsigned long long>(to.searches - from.searches),
                static_cast<unsigned long long>(to.queries - from.queries),
                static_cast<double>(to.queryNs - from.queryNs) / 1e9,
                static_cast<unsigned long long>(to.reads - from.reads),
                static_cast<double>(to.readBytes - from.readBytes) / (1 << 20),
                static_cast<double>(to.readNs - from.readNs) / 1e9);
}

WorkerServices workerServices(ProcessSystem& processes, std::filesystem::path knownLogPath = {}) {
    WorkerServices services;
    services.processes = &processes;
    services.knownLogPath = std::move(knownLogPath);
    services.httpClientFactory = winInetClientFactory();
    services.serverHost = "127.0.0.1";
    services.serverPort = testing::TestServer::port();
    return services;
}

}  // namespace

int main(int argc, char** argv) {
    const int waitSeconds = argc > 1 ? std::atoi(argv[1]) : 15;
    const std::size_t ballastMiB = argc > 2 ? static_cast<std::size_t>(std::atoi(argv[2])) : 200;
    const std::size_t regionKiB = argc > 3 ? static_cast<std::size_t>(std::atoi(argv[3])) : 8192;
    const std::size_t smallRegions = argc > 4 ? static_cast<std::size_t>(std::atoi(argv[4])) : 0;
    if (regionKiB == 0) return 2;
    if (!testing::TestServer::available()) {
        std::fprintf(stderr, "run me through run_log_wait_bench.sh (needs the loopback test server)\n");
        return 2;
    }
    const char* patterns = R"({"1": {"keyword": ["bench-marker"], "code": "999"}})";
    testing::TestServer::script({}, testing::ServerAnswer::text(patterns));

    if (LoadTextW(kTextSearchingLogs).empty() || LoadTextW(kTextMonitoringLogs).empty()) {
        std::fprintf(stderr, "the status texts are missing from the program's resources\n");
        return 1;
    }
    const std::size_t regionBytes = regionKiB * 1024;
    const std::size_t ballastRegions = ballastMiB * (1u << 20) / regionBytes;
    GameSimulator game(GameSimulatorOptions()
                           .keyword("bench-marker")
                           .add("--withhold-log")
                           .add("--small-regions", std::to_string(smallRegions))
                           .add("--ballast-regions", std::to_string(ballastRegions))
                           .add("--ballast-region-bytes", std::to_string(regionBytes)));
    if (!game.start(400000)) {
        std::fprintf(stderr, "the simulator did not start\n");
        return 1;
    }
    std::printf("game: %zu MiB of ballast in %zu regions, %zu small regions\n", ballastRegions * regionBytes >> 20,
                ballastRegions, smallRegions);

    const std::filesystem::path knownLogPath =
        std::filesystem::temp_directory_path() / ("tidemark-bench-" + std::to_string(GetCurrentProcessId()) + ".log-address");
    std::filesystem::remove(knownLogPath);
    CountingProcessSystem processes;
    CaptureSession session;
    session.setLanguage("en");
    auto worker = std::make_unique<CaptureWorker>(session, workerServices(processes, knownLogPath));
    StatusWatch status;
    worker->start(&status);

    if (!waitUntil([&] { return status.searching(); }, 60000)) {
        std::fprintf(stderr, "the worker never began searching\n");
        return 1;
    }

    // 1. Waiting for a log that is not there.
    const char* wineserverPid = std::getenv("TIDEMARK_BENCH_WINESERVER_PID");
    const auto serverTicks0 = wineserverPid ? linuxCpuTicks(wineserverPid) : std::nullopt;
    const double cpu0 = processCpuSeconds();
    MemoryUseSnapshot use0 = MemoryUseSnapshot::take();
    const auto wall0 = SteadyClock::now();
    Sleep(static_cast<DWORD>(waitSeconds) * 1000);
    const double wall = secondsBetween(wall0, SteadyClock::now());
    const double cpu = processCpuSeconds() - cpu0;
    const auto serverTicks1 = wineserverPid ? linuxCpuTicks(wineserverPid) : std::nullopt;

    std::printf("1. waiting for a chat log, %.1f s:\n", wall);
    // (Not /proc/self: Wine opens files in the wineserver, whose own that is.)
    std::printf("  worker process CPU: %.1f %% of a core (GetProcessTimes)  (target <= 10 %%)\n", 100.0 * cpu / wall);
    if (serverTicks0 && serverTicks1) {
        const double server = 100.0 * static_cast<double>(*serverTicks1 - *serverTicks0) / 100.0 / wall;
        std::printf("  wineserver CPU meanwhile: %.1f %%; both: %.1f %% of a core (target <= 20 %%)\n", server,
                    server + 100.0 * cpu / wall);
    }
    printUse(use0);

    // 2. The log appears. The simulator puts it into memory within about
    // 10 ms of the command and then publishes its state: the time from the
    // command is an upper bound, from the state a lower one.
    if (status.monitoring()) {
        std::fprintf(stderr, "the worker found a log that was not there\n");
        return 1;
    }
    use0 = MemoryUseSnapshot::take();
    const auto commanded = SteadyClock::now();
    if (!game.control().append("publish")) return 1;
    const bool published = waitUntil([&] { return game.state().published; }, 10000);
    const auto seenPublished = SteadyClock::now();
    if (!published || !waitUntil([&] { return status.monitoring(); }, 400000)) {
        std::fprintf(stderr, "the worker did not find the log within 400 s of its appearing\n");
        return 1;
    }
    std::printf("2. log appearing to \"Monitoring your logs\" (target <= 3 s): %.2f s to %.2f s\n",
                secondsBetween(seenPublished, status.monitoringAt()),
                secondsBetween(commanded, status.monitoringAt()));
    printUse(use0);

    // 3. Another language: the patterns are fetched anew and the same log
    // read on under them, searched anew only if it no longer reads as the
    // log. The worker shows "Monitoring" again once it reads a new line, so
    // the game writes one as soon as the new patterns were asked for (not
    // before: the worker might still read it under the old ones).
    status.arm(false);
    use0 = MemoryUseSnapshot::take();
    const std::size_t requestsBefore = testing::TestServer::requests().size();
    const auto changed = SteadyClock::now();
    session.chooseLanguage("ja");
    if (!waitUntil([&] { return testing::TestServer::requests().size() > requestsBefore; }, 30000) ||
        !game.control().append("add 999 62656e6368206c696e65")) {
        std::fprintf(stderr, "the worker did not ask for the patterns of the new language\n");
        return 1;
    }
    if (!waitUntil([&] { return status.monitoring(); }, 400000)) {
        std::fprintf(stderr, "the worker did not follow the log within 400 s of a language change\n");
        return 1;
    }
    std::printf("3. language change to \"Monitoring your logs\" (target <= 3 s): %.2f s\n",
                secondsBetween(changed, status.monitoringAt()));
    printUse(use0);
    worker->stop();
    worker.reset();

    // 4. A first search that finds the log where it already is.
    status.arm();
    use0 = MemoryUseSnapshot::take();
    const auto started = SteadyClock::now();
    worker = std::make_unique<CaptureWorker>(session, workerServices(processes));
    worker->start(&status);
    if (!waitUntil([&] { return status.monitoring(); }, 400000)) {
        std::fprintf(stderr, "a fresh worker did not find the log within 400 s\n");
        return 1;
    }
    std::printf("4. fresh worker to \"Monitoring your logs\" (target <= 1 / 2 / 4 s at 0 / 3000 / 10000 small "
                "regions): %.2f s\n",
                secondsBetween(started, status.monitoringAt()));
    printUse(use0);
    worker->stop();
    worker.reset();

    // 5 and 6. Restarted with the log's place kept, before and after the
    // game's log moved on to its next block.
    const auto restart = [&](const char* what) {
        status.arm(false);
        const MemoryUseSnapshot from = MemoryUseSnapshot::take();
        const auto begun = SteadyClock::now();
        worker = std::make_unique<CaptureWorker>(session, workerServices(processes, knownLogPath));
        worker->start(&status);
        if (!waitUntil([&] { return status.monitoring(); }, 400000)) {
            std::fprintf(stderr, "a restarted worker did not follow the log within 400 s\n");
            return false;
        }
        std::printf("%s (target <= 1 s): %.2f s\n", what, secondsBetween(begun, status.monitoringAt()));
        printUse(from);
        worker->stop();
        worker.reset();
        return true;
    };
    if (!restart("5. restart with the log's place kept to \"Monitoring your logs\"")) return 1;
    const int toNextBlock = 1000 - game.state().entries % 1000 + 5;
    if (!game.control().append("burst " + std::to_string(toNextBlock))) return 1;
    if (!waitUntil([&] { return game.state().entries / 1000 >= 1; }, 10000)) return 1;
    if (!restart("6. the same with the log in its next block")) return 1;
    std::filesystem::remove(knownLogPath);
    return 0;
}
