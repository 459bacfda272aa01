// The player's data for a player with many lines: fills a store (an SQLite
// file or a postgresql:// address) with ROWS lines of one player over four
// patterns and 120 days, then times the chart's read of the kept day totals
// (and, on SQLite, the same figures counted from the lines, as a page would
// without them), the whole CSV download with the peak memory it adds, and
// the erasure, while a second player reports a line every 10 ms whose
// latency is timed before and during it.
// usage: server_player_data_check DATABASE [ROWS] [REPEAT]
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "one_player_store.h"
#include "page/player_export.h"
#include "protocol/catalog.h"

using namespace tidemark;
using Clock = std::chrono::steady_clock;

namespace {

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

void printSpread(const char* what, std::vector<double> values) {
  if (values.empty()) return;
  std::sort(values.begin(), values.end());
  std::printf("  %-40s p50 %8.2f ms, p99 %8.2f ms, max %8.2f ms (%zu)\n", what, values[values.size() / 2],
              values[values.size() * 99 / 100], values.back(), values.size());
}

// The resident memory now (the peak of the process would be the fill's).
long rssKiB() {
  std::FILE* status = std::fopen("/proc/self/status", "r");
  char line[256];
  long kib = 0;
  while (status && std::fgets(line, sizeof line, status))
    if (std::sscanf(line, "VmRSS: %ld", &kib) == 1) break;
  if (status) std::fclose(status);
  return kib;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s DATABASE [ROWS] [REPEAT]\n", argv[0]);
    return 2;
  }
  const long rows = argc > 2 ? std::atol(argv[2]) : 1'000'000;
  const int repeat = argc > 3 ? std::atoi(argv[3]) : 20;
  auto store = bench::openStore(argv[1]);
  if (!store) return 1;
  std::string error;
  const auto catalog = Catalog::load(TIDEMARK_SERVER_DATA_DIR, error);
  if (!catalog) return 1;
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  ReportFields report;
  report.language = "en";
  report.patternId = 2;
  report.code = 29;
  report.lineTime = now;
  report.present = true;
  report.line = "\x1F" "Alice\x1F" "waves 0";
  const auto filling = Clock::now();
  if (!bench::fillOnePlayer(*store, report, rows, [&](ReportFields& each, long n) {
        each.patternId = static_cast<int32_t>(2 + n % 4);
        each.lineTime = now - (n * 7919) % (120 * 86400);
        each.line = "\x1F" "Alice\x1F" "waves " + std::to_string(n);
      }))
    return 1;
  const std::string token = *store->tokenOf(report.aid);
  std::printf("%s: one player, %ld lines over 4 patterns and 120 days (filled in %.1f s)\n",
              store->describe().c_str(), rows, ms(Clock::now() - filling) / 1000);

  const int64_t from = dayOfTime(now) - 89;
  std::vector<double> chart;
  for (int i = 0; i < repeat; ++i) {
    const auto start = Clock::now();
    if (!store->dayTotalsOf(token, from)) return 1;
    chart.push_back(ms(Clock::now() - start));
  }
  printSpread("chart: kept day totals", chart);
  if (!ReportStore::isPostgresql(argv[1])) {
    // What the chart would cost counted from the lines at every view.
    sqlite3* db = nullptr;
    sqlite3_open_v2(argv[1], &db, SQLITE_OPEN_READONLY, nullptr);
    std::vector<double> scan;
    for (int i = 0; i < std::min(repeat, 5); ++i) {
      const auto start = Clock::now();
      sqlite3_stmt* statement = nullptr;
      sqlite3_prepare_v2(db,
                         "SELECT ltime / 86400, lang, pid, count(*) FROM reports WHERE player ="
                         " (SELECT id FROM players WHERE token = ?1) AND ltime >= ?2 GROUP BY 1, 2, 3",
                         -1, &statement, nullptr);
      sqlite3_bind_text(statement, 1, token.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_int64(statement, 2, from * 86400);
      while (sqlite3_step(statement) == SQLITE_ROW) {
      }
      sqlite3_finalize(statement);
      scan.push_back(ms(Clock::now() - start));
    }
    sqlite3_close(db);
    printSpread("chart: counted from the lines", scan);
  }

  const long rssBefore = rssKiB();
  long rssMost = rssBefore;
  const auto downloading = Clock::now();
  Reply csv = servePlayerExport(*store, *catalog, token, "/t/lines.csv?tz=%2B09%3A00", ExportFormat::Csv);
  size_t bytes = 0;
  if (!csv.stream) return 1;
  const bool whole = readWholeBody(*csv.stream, [&](std::string_view piece) {
    bytes += piece.size();
    rssMost = std::max(rssMost, rssKiB());
  });
  if (!whole) return 1;
  std::printf("  %-40s %.2f s, %.1f MB, resident memory at most +%ld KiB\n", "download: whole CSV",
              ms(Clock::now() - downloading) / 1000, bytes / 1e6, rssMost - rssBefore);

  // Another player reports beside the erasure.
  ReportFields other = report;
  other.aid.clear();
  const auto registered = store->store(other);
  if (!registered) return 1;
  other.aid = registered->playerId;
  std::atomic<int> phase{0};  // 0: before the erasure, 1: during it, 2: done
  std::vector<double> before, during;
  std::thread reporter([&] {
    for (long n = 0; phase != 2; ++n) {
      other.line = "beside " + std::to_string(n);
      const int seen = phase;
      const auto start = Clock::now();
      if (!store->store(other)) std::fprintf(stderr, "a report beside the erasure failed\n");
      (seen == 0 ? before : during).push_back(ms(Clock::now() - start));
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  std::this_thread::sleep_for(std::chrono::seconds(3));
  phase = 1;
  const auto erasing = Clock::now();
  const EraseOutcome erased = store->erasePlayer(token);
  const double erasure = ms(Clock::now() - erasing);
  phase = 2;
  reporter.join();
  std::printf("  %-40s %.2f s, %lld lines%s\n", "erasure", erasure / 1000, static_cast<long long>(erased.lines),
              erased.failed ? " (failed)" : "");
  printSpread("another player's report, before", before);
  printSpread("another player's report, during", during);
  return erased.failed ? 1 : 0;
}
