#pragma once
// What the store benchmarks share: a store opened from the command line and
// one player's rows filled in flights, so that the writers commit them in
// batches as they do under load.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <future>
#include <memory>
#include <string>

#include "store/report_store.h"

namespace tidemark::bench {

// The store at `address` (an SQLite file or a postgresql:// address), or
// null after saying why.
inline std::unique_ptr<ReportStore> openStore(const char* address) {
  std::string error;
  auto store = ReportStore::open(address, error);
  if (!store) std::fprintf(stderr, "%s\n", error.c_str());
  return store;
}

// Registers a player with `report` and gives it `rows` rows in all: the
// first is `report`, row n is `vary(report, n)`. False when the first
// could not be stored; `report.aid` is the player's id afterwards.
inline bool fillOnePlayer(ReportStore& store, ReportFields& report, long rows,
                          const std::function<void(ReportFields&, long)>& vary) {
  const auto first = store.store(report);
  if (!first) return false;
  report.aid = first->playerId;
  constexpr long kFlight = 4096;
  for (long done = 1; done < rows;) {
    const long flight = std::min(kFlight, rows - done);
    // Shared, so that the last callback may still be leaving set_value when the wait ends.
    auto left = std::make_shared<std::atomic<long>>(flight);
    auto all = std::make_shared<std::promise<void>>();
    auto allDone = all->get_future();
    for (long i = 0; i < flight; ++i) {
      ReportFields each = report;
      vary(each, done + i);
      store.storeAsync(std::move(each), [left, all](std::optional<StoredReport>) {
        if (--*left == 0) all->set_value();
      });
    }
    allDone.wait();
    done += flight;
  }
  return true;
}

}  // namespace tidemark::bench
