#pragma once

#include <cstdint>
#include <optional>
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
  // The page language's zone (Japanese: +09:00): links leave it out.
  int defaultZoneMinutes = 0;
  bool zoneAsked = false;     // "tz" in the query, to be remembered
  ReportFilter filter;
};

// What the page tells beside the lines, from the server's settings.
struct PageNotes {
  int keepDays = 0;             // 0: kept until the player deletes them
  std::string operatorContact;  // who runs the server; empty: not shown
};

// The remembered zone: the cookie's name, and its value in a Cookie header.
inline constexpr std::string_view kZoneCookie = "tz";
std::optional<int> zoneFromCookies(std::string_view cookieHeader);

// "+09:00", "-03:30", "+00:00" as minutes east of UTC; nothing for anything
// else (more than 14 hours away, or not of that form).
std::optional<int> parseZoneOffset(std::string_view text);

// The player's page: the reported lines, newest first, with `chart` (see
// player_chart.h) above them.
std::string renderPlayerPage(const PlayerReports& reports, const Catalog& catalog, const PageRequest& request,
                             std::string_view chart = {}, const PageNotes& notes = {});

// Mostly Japanese reports: the page speaks Japanese.
bool prefersJapanese(const PlayerReports& reports);

// The security headers every page of a player's carries: no script runs at
// all and nothing is framed or sniffed.
std::vector<std::pair<std::string, std::string>> pageHeaders(const char* referrerPolicy = "no-referrer");

// GET "/" + token, with the optional query fields "page", "tz", "pattern"
// ("en-3": the language and the pattern's id) and "q" (search text). A
// zone asked for is remembered in a cookie (`cookies`: the request's Cookie
// header); without either, the page's language picks it.
Reply servePlayerPage(ReportStore& store, const Catalog& catalog, std::string_view token, std::string_view target,
                      std::string_view cookies = {}, const PageNotes& notes = {});

}  // namespace tidemark
