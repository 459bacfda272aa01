// How long a server that does not answer holds the reading of the game's
// log back, under Wine, with the real worker, Win32 process access, the
// WinInet client and the journal on disk, against the game simulator and
// the loopback test server: every report post stalls STALL seconds, while
// the game writes a matching line every 100 ms. For each line, the time
// from its writing until a read pass has taken it (the worker then counts
// it among the reports waiting). Once with the reports sent by the worker
// between its polls, as before they had a thread of their own, once with
// the delivery's own thread. Target: no pass later than one poll (10 ms)
// plus 50 ms.
//
// Run through run_wine_bench.sh, which starts the test server around it.
//
// usage: stalled_server_wine_bench.exe [stall seconds] [lines]

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/test_server.h"
#include "texts/texts.h"
#include "wine_bench_support.h"
#include "worker_bench_run.h"

using namespace tidemark;
using SteadyClock = std::chrono::steady_clock;
using bench::WaitingWatch;
using bench::waitUntil;

namespace {

double milliseconds(SteadyClock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// Each line's delay until a read pass took it, in milliseconds; empty when
// the worker did not start.
std::vector<double> delaysWhileStalled(GameSimulator& game, const std::filesystem::path& journal, bool ownThread,
                                       int stallSeconds, int lines) {
    bench::WorkerBenchRun run(journal, ownThread);
    WaitingWatch& status = run.status;
    std::vector<double> delays;
    if (!waitUntil([&] { return status.monitoring(); }, 60000)) return delays;

    testing::TestServer::faults({testing::ServerFault{"stall", 503, std::nullopt, double(stallSeconds), 100000}});
    const long before = status.waiting();
    for (int i = 0; i < lines; ++i) {
        // The next line is written on time, whatever the worker does.
        const auto due = SteadyClock::now() + std::chrono::milliseconds(100);
        const auto written = SteadyClock::now();
        if (!game.send("burst 1 57")) break;
        const long expected = before + i + 1;
        if (!waitUntil([&] { return status.waiting() >= expected; }, (stallSeconds + 60) * 1000)) break;
        delays.push_back(milliseconds(SteadyClock::now() - written));
        std::this_thread::sleep_until(std::max(due, SteadyClock::now()));
    }
    testing::TestServer::faults({});
    return delays;
}

void print(const char* what, std::vector<double> delays) {
    if (delays.empty()) {
        std::printf("  %-28s no figures: the worker did not follow the log\n", what);
        return;
    }
    std::sort(delays.begin(), delays.end());
    std::printf("  %-28s median %8.1f ms, worst %8.1f ms over %zu lines\n", what, delays[delays.size() / 2],
                delays.back(), delays.size());
}

}  // namespace

int main(int argc, char** argv) {
    const int stallSeconds = argc > 1 ? std::atoi(argv[1]) : 60;
    const int lines = argc > 2 ? std::atoi(argv[2]) : 30;
    const auto prepared = bench::prepareDeliveryBench(L"stall-bench", "run_wine_bench.sh");
    if (!prepared) return 2;
    const std::filesystem::path folder = *prepared;

    GameSimulator game(GameSimulatorOptions().keyword(bench::kBenchMarker));
    if (!game.start()) {
        std::fprintf(stderr, "the simulator did not start\n");
        return 1;
    }
    std::printf("every report post stalls %d s; a matching line every 100 ms; delay until a read pass takes it:\n",
                stallSeconds);
    print("sent between the polls", delaysWhileStalled(game, folder / "inline.queue", false, stallSeconds, lines));
    print("sent on their own thread", delaysWhileStalled(game, folder / "thread.queue", true, stallSeconds, lines));
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    return 0;
}
