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

#include "report_store.h"

using namespace tidemark;

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s DATABASE [ROWS] [REPORTS]\n", argv[0]);
    return 2;
  }
  const long rows = argc > 2 ? std::atol(argv[2]) : 200000;
  const int reports = argc > 3 ? std::atoi(argv[3]) : 200;
  std::string error;
  auto store = ReportStore::open(argv[1], error);
  if (!store) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  ReportFields report;
  report.language = "en";
  report.patternId = 2;
  report.code = 29;
  report.lineTime = 1796000000;
  report.present = true;
  report.line = "\x1F" "Alice\x1F" "waves 0";
  const auto first = store->store(report);
  if (!first) return 1;
  report.aid = first->playerId;

  // Filled in flights, so that the writers commit them in batches.
  const auto fillStart = std::chrono::steady_clock::now();
  constexpr long kFlight = 4096;
  for (long done = 1; done < rows;) {
    const long flight = std::min(kFlight, rows - done);
    // Shared, so that the last callback may still be leaving set_value when the wait ends.
    auto left = std::make_shared<std::atomic<long>>(flight);
    auto all = std::make_shared<std::promise<void>>();
    auto allDone = all->get_future();
    for (long i = 0; i < flight; ++i) {
      ReportFields each = report;
      each.line = "\x1F" "Alice\x1F" "waves " + std::to_string(done + i);
      store->storeAsync(std::move(each), [left, all](std::optional<StoredReport>) {
        if (--*left == 0) all->set_value();
      });
    }
    allDone.wait();
    done += flight;
  }
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
