// The cost of a history line's duplicate check as one player's rows of one
// line time grow: fills a store (an SQLite file or a postgresql:// address)
// with ROWS present lines of one player, all with the same line time, then
// times history reports of new lines with that time, each on its own.
// usage: server_history_check DATABASE [ROWS] [REPORTS]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "one_player_store.h"

using namespace tidemark;

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s DATABASE [ROWS] [REPORTS]\n", argv[0]);
    return 2;
  }
  const long rows = argc > 2 ? std::atol(argv[2]) : 200000;
  const int reports = argc > 3 ? std::atoi(argv[3]) : 200;
  auto store = bench::openStore(argv[1]);
  if (!store) return 1;
  ReportFields report;
  report.language = "en";
  report.patternId = 2;
  report.code = 29;
  report.lineTime = 1796000000;
  report.present = true;
  report.line = "\x1F" "Alice\x1F" "waves 0";
  const auto fillStart = std::chrono::steady_clock::now();
  if (!bench::fillOnePlayer(*store, report, rows, [](ReportFields& each, long n) {
        each.line = "\x1F" "Alice\x1F" "waves " + std::to_string(n);
      }))
    return 1;
  const double fillSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - fillStart).count();

  std::vector<double> ms;
  for (int i = 0; i < reports; ++i) {
    ReportFields history = report;
    history.present = false;
    history.line = "\x1F" "Alice\x1F" "an old line " + std::to_string(i);
    const auto start = std::chrono::steady_clock::now();
    const auto stored = store->store(history);
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    if (!stored || stored->alreadyStored) {
      std::fprintf(stderr, "history report %d not stored as a new line\n", i);
      return 1;
    }
  }
  std::sort(ms.begin(), ms.end());
  const auto at = [&](double q) { return ms[std::min(ms.size() - 1, static_cast<size_t>(q * ms.size()))]; };
  std::printf("%s: %ld rows of one line time filled in %.1f s; %d history reports of new lines: "
              "p50 %.2f ms, p99 %.2f ms, max %.2f ms\n",
              store->describe().c_str(), store->reportCount(), fillSeconds, reports, at(0.5), at(0.99), ms.back());
  return 0;
}
