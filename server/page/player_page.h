#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "protocol/catalog.h"
#include "base/reply.h"
#include "store/report_store.h"

namespace tidemark {

inline constexpr int64_t kReportsPerPage = 50;

// Escapes the five characters that could open markup or leave an attribute.
std::string escapeHtml(std::string_view text);

// What the page is asked for: its address and query fields.
struct PageRequest {
  std::string token;
  int64_t page = 1;           // counted from 1
  // Set by the page's own links: the page by the id of a line beside it
  // ("before", "after"), which the store finds without counting past the
  // newer pages; "page" then only numbers it.
  PageKey key;
  int zoneMinutes = 0;        // the time zone's offset from UTC
  ReportFilter filter;
};

// "+09:00", "-03:30", "+00:00" as minutes east of UTC; nothing for anything
// else (more than 14 hours away, or not of that form).
std::optional<int> parseZoneOffset(std::string_view text);

// The player's page: the reported lines, newest first, with `chart` (see
// player_chart.h) above them.
std::string renderPlayerPage(const PlayerReports& reports, const Catalog& catalog, const PageRequest& request,
                             std::string_view chart = {});

// Mostly Japanese reports: the page speaks Japanese.
bool prefersJapanese(const PlayerReports& reports);

// The security headers every page of a player's carries: no script runs at
// all and nothing is framed or sniffed.
std::vector<std::pair<std::string, std::string>> pageHeaders(const char* referrerPolicy = "no-referrer");

// GET "/" + token, with the optional query fields "page", "tz", "pattern"
// ("en-3": the language and the pattern's id) and "q" (search text).
Reply servePlayerPage(ReportStore& store, const Catalog& catalog, std::string_view token,
                      std::string_view target);

}  // namespace tidemark
