// The cost of reading a player's page from the store as the player's lines
// grow: fills a store (an SQLite file or a postgresql:// address) with ROWS
// lines of one player over six patterns, then times, REPEAT times each, the
// first page (totals, count and 50 lines), the last page by offset, and the
// last page by the id of the line beside it.
// usage: server_page_check DATABASE [ROWS] [REPEAT]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "one_player_store.h"

using namespace tidemark;

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s DATABASE [ROWS] [REPEAT]\n", argv[0]);
    return 2;
  }
  const long rows = argc > 2 ? std::atol(argv[2]) : 200000;
  const int repeat = argc > 3 ? std::atoi(argv[3]) : 20;
  auto store = bench::openStore(argv[1]);
  if (!store) return 1;
  ReportFields report;
  report.language = "en";
  report.patternId = 1;
  report.code = 29;
  report.lineTime = 1796000000;
  report.present = true;
  report.line = "\x1F" "Alice\x1F" "waves 0";
  if (!bench::fillOnePlayer(*store, report, rows, [](ReportFields& each, long n) {
        each.patternId = static_cast<int32_t>(1 + n % 6);
        each.lineTime += n;
        each.line = "\x1F" "Alice\x1F" "waves " + std::to_string(n);
      }))
    return 1;
  const std::string token = *store->tokenOf(report.aid);
  const int64_t lastOffset = (rows - 1) / 50 * 50;

  const auto time = [&](const char* what, const std::function<bool()>& read) {
    std::vector<double> ms;
    for (int i = 0; i < repeat; ++i) {
      const auto start = std::chrono::steady_clock::now();
      if (!read()) {
        std::fprintf(stderr, "%s: no page\n", what);
        std::exit(1);
      }
      ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(ms.begin(), ms.end());
    std::printf("  %-28s p50 %8.2f ms, max %8.2f ms\n", what, ms[ms.size() / 2], ms.back());
  };
  std::printf("%s: one player, %ld lines over 6 patterns\n", store->describe().c_str(), rows);
  time("first page", [&] { return store->reportsOf(token, 0, 50).has_value(); });
  time("first page, one pattern", [&] { return store->reportsOf(token, 0, 50, ReportFilter{"en", 3, {}}).has_value(); });
  time("last page by offset", [&] { return store->reportsOf(token, lastOffset, 50).has_value(); });
#ifdef TIDEMARK_PAGE_KEY
  // The id of the line just above the last page, as the page before it links.
  const auto above = store->reportsOf(token, lastOffset - 1, 1);
  const int64_t beside = above->reports.at(0).reportId;
  time("last page by key", [&] { return store->reportsOf(token, 0, 50, {}, PageKey{beside, {}}).has_value(); });
#endif
  return 0;
}
