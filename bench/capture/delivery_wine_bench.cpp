// Delivery after an outage, under Wine, with the real worker, Win32 process
// access, the WinInet client and the journal on disk, against the game
// simulator and the loopback test server:
//   1. the read passes' cost of the journal: the game writes LINES matching
//      lines (in bursts the worker reads whole) while the server is away,
//      once with the journal and once with the reports kept in memory only;
//      the difference per report is what the journal adds to a read pass;
//   2. the same lines with the journal while the server is away for AWAY
//      seconds from the first of them, then back: the time until all are
//      stored, from the first line and from the server's return.
//
// Run through run_delivery_bench.sh, which starts the test server around it.
//
// usage: delivery_wine_bench.exe [lines] [away seconds]

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>

#include "support/test_server.h"
#include "texts/texts.h"
#include "wine_bench_support.h"
#include "worker_bench_run.h"

using namespace tidemark;
using SteadyClock = std::chrono::steady_clock;
using bench::WaitingWatch;
using bench::waitUntil;

namespace {

// Bursts end on multiples of this, so none crosses a block of the game's log
// (1000 entries): the read pass only reads the block the count stands in.
constexpr int kBurst = 250;

using Run = bench::WorkerBenchRun;

// Writes `lines` matching lines in bursts, each read whole before the next;
// the seconds it took, or a negative value when the worker fell behind.
double writeWhileAway(GameSimulator& game, Run& run, int lines) {
    const auto began = SteadyClock::now();
    int entries = static_cast<int>(game.state().entries);
    for (int written = 0; written < lines;) {
        // A full block: the next line starts a new one with its marker line.
        const int room = entries % 1000 == 0 ? kBurst - 1 : kBurst - entries % kBurst;
        const int n = std::min(room, lines - written);
        const auto state = game.send("burst " + std::to_string(n) + " 57");
        if (!state) return -1;
        entries = state->entries;
        written += n;
        if (!waitUntil([&] { return run.status.waiting() >= written; }, 60000)) {
            std::fprintf(stderr, "%d lines written, %ld waiting\n", written, run.status.waiting());
            return -1;
        }
    }
    return std::chrono::duration<double>(SteadyClock::now() - began).count();
}

}  // namespace

int main(int argc, char** argv) {
    const int lines = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int awaySeconds = argc > 2 ? std::atoi(argv[2]) : 60;
    const auto prepared = bench::prepareDeliveryBench(L"delivery-bench", "run_delivery_bench.sh");
    if (!prepared) return 2;
    const std::filesystem::path folder = *prepared;
    const std::filesystem::path journal = folder / "Tidemark.queue";

    GameSimulator game(GameSimulatorOptions().keyword(bench::kBenchMarker));
    if (!game.start()) {
        std::fprintf(stderr, "the simulator did not start\n");
        return 1;
    }

    // 1. In memory, then with the journal, both while the server is away.
    double seconds[2] = {};
    for (int journaled = 0; journaled < 2; ++journaled) {
        Run run(journaled ? journal : std::filesystem::path());
        if (!waitUntil([&] { return run.status.monitoring(); }, 30000)) {
            std::fprintf(stderr, "the worker never began monitoring\n");
            return 1;
        }
        testing::TestServer::goAway(awaySeconds * 1000);
        const auto awayFrom = SteadyClock::now();
        seconds[journaled] = writeWhileAway(game, run, lines);
        if (seconds[journaled] < 0) {
            std::fprintf(stderr, "the worker fell behind the game\n");
            return 1;
        }
        if (!journaled) {
            run.worker->stop();
            // The server must be back before the journaled run goes away again.
            Sleep(static_cast<DWORD>(std::max<std::int64_t>(
                0, awaySeconds * 1000 - std::chrono::duration_cast<std::chrono::milliseconds>(
                                            SteadyClock::now() - awayFrom).count() + 500)));
            continue;
        }

        // 2. The server comes back: everything waiting goes out.
        const auto backAt = awayFrom + std::chrono::seconds(awaySeconds);
        if (!waitUntil([&] { return run.status.waiting() == 0 && SteadyClock::now() > backAt; }, 3600000)) {
            std::fprintf(stderr, "the reports never all went out\n");
            return 1;
        }
        const auto done = SteadyClock::now();
        run.worker->stop();
        const std::size_t stored = testing::TestServer::rows().size();
        std::printf("%d lines written while the server was away %d s, then back:\n", lines, awaySeconds);
        std::printf("  all stored %.1f s after the first line, %.1f s after the server came back; %zu rows\n",
                    std::chrono::duration<double>(done - awayFrom).count(),
                    std::chrono::duration<double>(done - backAt).count(), stored);
    }
    std::printf("read passes over %d lines while the server is away (bursts of %d):\n", lines, kBurst);
    std::printf("  in memory %.2f s, with the journal %.2f s: %.3f ms per report added (target <= 1 ms)\n",
                seconds[0], seconds[1], 1000.0 * (seconds[1] - seconds[0]) / lines);
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    return 0;
}
