#include "page/player_page.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "base/field_values.h"
#include "base/form_decoding.h"
#include "base/line_rendering.h"
#include "page/player_chart.h"
#include "page/player_page_texts.h"
#include "page/unreadable_page.h"

namespace tidemark {
namespace {

using page_texts::kEnglish;
using page_texts::kJapanese;
using page_texts::PageTexts;

const PageTexts& textsFor(const PlayerReports& reports) { return prefersJapanese(reports) ? kJapanese : kEnglish; }

template <typename... Args>
std::string format(const char* pattern, Args... args) {
  char text[256];
  std::snprintf(text, sizeof text, pattern, args...);
  return text;
}

std::string zoneText(int minutes) {
  const int magnitude = minutes < 0 ? -minutes : minutes;
  return format("%c%02d:%02d", minutes < 0 ? '-' : '+', magnitude / 60, magnitude % 60);
}

std::string formatTime(int64_t seconds, const char* pattern) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm parts{};
  char text[40];
  if (!gmtime_r(&t, &parts) || std::strftime(text, sizeof text, pattern, &parts) == 0) return std::to_string(seconds);
  return text;
}

// The time as a machine reads it (UTC) and as the player reads it (the zone asked for).
std::string timeElement(int64_t seconds, int zoneMinutes) {
  return "<time datetime=\"" + formatTime(seconds, "%Y-%m-%dT%H:%M:%SZ") + "\">" +
         formatTime(seconds + int64_t{zoneMinutes} * 60, "%Y-%m-%d %H:%M:%S") + "</time>";
}

std::string percentEncode(std::string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
        c == '_' || c == '~') {
      out.push_back(static_cast<char>(c));
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::string patternKey(std::string_view language, int32_t patternId) {
  return std::string(language) + "-" + std::to_string(patternId);
}

// The page's own address with these query fields; defaults are left out so
// that every link carries only what the player chose. Every value is
// percent-encoded; the address still needs HTML escaping in an attribute.
std::string pageAddress(const PageRequest& request, int64_t page, const ReportFilter& filter,
                        const PageKey& key = {}) {
  std::string query;
  const auto add = [&query](const char* name, const std::string& value) {
    query += query.empty() ? "?" : "&";
    query += name;
    query += "=";
    query += percentEncode(value);
  };
  if (page > 1) add("page", std::to_string(page));
  if (request.zoneMinutes != request.defaultZoneMinutes) add("tz", zoneText(request.zoneMinutes));
  if (filter.patternId) add("pattern", patternKey(filter.language, *filter.patternId));
  if (!filter.text.empty()) add("q", filter.text);
  // The first page needs no key: it is the newest lines.
  if (page > 1 && key.olderThan) add("before", std::to_string(*key.olderThan));
  if (page > 1 && key.newerThan) add("after", std::to_string(*key.newerThan));
  return "/" + request.token + query;
}

std::string pageLink(const PageRequest& request, int64_t page, const ReportFilter& filter,
                     const PageKey& key = {}) {
  return escapeHtml(pageAddress(request, page, filter, key));
}

std::string hidden(const char* name, const std::string& value) {
  return "<input type=\"hidden\" name=\"" + std::string(name) + "\" value=\"" + escapeHtml(value) + "\">";
}

constexpr int kZones[] = {-720, -660, -600, -540, -480, -420, -360, -300, -240, -210, -180, -120, -60, 0,
                          60,   120,  180,  210,  240,  270,  300,  330,  345,  360,  390,  420,  480, 540,
                          570,  600,  630,  660,  720,  780,  840};

std::string zoneForm(const PageRequest& request, const PageTexts& texts) {
  std::string html = "<form class=\"zone\" method=\"get\" action=\"/" + escapeHtml(request.token) + "\"><label>" +
                     texts.timeZone + " <select name=\"tz\">";
  for (int zone : kZones) {
    html += "<option value=\"" + zoneText(zone) + "\"" + (zone == request.zoneMinutes ? " selected" : "") + ">UTC" +
            zoneText(zone) + "</option>";
  }
  html += "</select></label>";
  if (request.filter.patternId) html += hidden("pattern", patternKey(request.filter.language, *request.filter.patternId));
  if (!request.filter.text.empty()) html += hidden("q", request.filter.text);
  html += " <button>" + std::string(texts.show) + "</button></form>\n";
  return html;
}

std::string filterForm(const PlayerReports& reports, const Catalog& catalog, const PageRequest& request,
                       const PageTexts& texts) {
  std::string html = "<form class=\"filter\" method=\"get\" action=\"/" + escapeHtml(request.token) +
                     "\"><select name=\"pattern\"><option value=\"\">" + texts.allPatterns + "</option>";
  for (const auto& total : reports.totals) {
    const bool chosen = request.filter.patternId && *request.filter.patternId == total.patternId &&
                        request.filter.language == total.language;
    html += "<option value=\"" + escapeHtml(patternKey(total.language, total.patternId)) + "\"" +
            (chosen ? " selected" : "") + ">" + escapeHtml(catalog.patternName(total.language, total.patternId)) +
            "</option>";
  }
  html += "</select> <input type=\"search\" name=\"q\" maxlength=\"" + std::to_string(kMaxSearchBytes) +
          "\" placeholder=\"" + texts.search + "\" value=\"" + escapeHtml(request.filter.text) + "\">";
  if (request.zoneMinutes != request.defaultZoneMinutes) html += hidden("tz", zoneText(request.zoneMinutes));
  html += " <button>" + std::string(texts.show) + "</button></form>\n";
  return html;
}

std::string totalsList(const PlayerReports& reports, const Catalog& catalog, const PageRequest& request) {
  if (reports.totals.empty()) return {};
  std::string html = "<ul class=\"totals\">";
  for (const auto& total : reports.totals) {
    ReportFilter only;
    only.language = total.language;
    only.patternId = total.patternId;
    html += "<li><a href=\"" + pageLink(request, 1, only) + "\">" +
            escapeHtml(catalog.patternName(total.language, total.patternId)) + "</a> <span class=\"count\">" +
            std::to_string(total.count) + "</span></li>";
  }
  html += "</ul>\n";
  return html;
}

constexpr std::string_view kStyle = R"css(
body { font-family: "Segoe UI", "Helvetica Neue", Arial, "DejaVu Sans", "IPAPGothic", "Hiragino Sans", Meiryo, "Noto Sans CJK JP", sans-serif; margin: 2em; color: #1d2530; background: #f6f7f9; line-height: 1.4; }
html:lang(ja) body { font-family: "Hiragino Sans", Meiryo, "IPAPGothic", "Noto Sans CJK JP", "Segoe UI", Arial, sans-serif; }
h1 { font-size: 1.4em; margin-bottom: 0.2em; }
p.summary, p.legend { color: #4c5866; margin-top: 0; }
ul.totals { list-style: none; padding: 0; display: flex; flex-wrap: wrap; gap: 0.4em 1.2em; }
ul.totals .count { color: #4c5866; font-variant-numeric: tabular-nums; }
form { display: inline-block; margin: 0 2em 0.6em 0; }
table { border-collapse: collapse; width: 100%; background: #fff; }
th, td { text-align: left; padding: 0.35em 0.6em; border-bottom: 1px solid #dde2e8; vertical-align: top; }
th { background: #2f4b6e; color: #fff; font-weight: normal; }
td.time { white-space: nowrap; font-variant-numeric: tabular-nums; }
td.line { word-break: break-word; }
tr.history td, span.history { color: #8a94a0; }
nav { margin: 1em 0; }
nav a { margin-right: 1.5em; }
section.chart h2 { font-size: 1.1em; margin: 0.8em 0 0.3em; }
svg.days { max-width: 100%; height: auto; background: #fff; font-size: 11px; fill: #4c5866; }
ul.chart-legend { list-style: none; padding: 0; margin: 0.3em 0; display: flex; flex-wrap: wrap; gap: 0.3em 1.2em; }
span.swatch { display: inline-block; width: 0.8em; height: 0.8em; margin-right: 0.35em; vertical-align: baseline; }
p.chart-summary { color: #4c5866; margin: 0.2em 0; }
details { margin-bottom: 1em; }
table.days { width: auto; }
section.your-data { margin-top: 2em; padding: 0.2em 1em; background: #fff; border: 1px solid #dde2e8; }
section.your-data h2 { font-size: 1.1em; }
section.your-data p.links a { margin-right: 1.2em; }
a.erase { color: #b3261e; }
p.kept, p.operator { color: #4c5866; }
)css";

// Apart from the lines, so that the erasure is never one link among the
// downloads: what the player can take or delete, how long lines stay and
// who keeps them.
std::string yourLines(const PageRequest& request, const PageTexts& texts, const PageNotes& notes) {
  // The downloads keep the zone: they give the times in it too.
  const std::string base = "/" + escapeHtml(request.token);
  const std::string zone = request.zoneMinutes != 0 ? "?tz=" + percentEncode(zoneText(request.zoneMinutes)) : "";
  std::string html = "<section class=\"your-data\"><h2>" + std::string(texts.yourLines) + "</h2>\n<p class=\"links\">" +
                     texts.takeLines + " <a href=\"" + base + "/lines.csv" + zone + "\">CSV</a> <a href=\"" + base +
                     "/lines.json" + zone + "\">JSON</a></p>\n<p><a class=\"erase\" href=\"" + base + "/erase\">" +
                     texts.deleteAll + "</a></p>\n<p class=\"kept\">" +
                     (notes.keepDays > 0 ? format(texts.keptDays, notes.keepDays) : std::string(texts.keptForever)) +
                     "</p>\n";
  if (!notes.operatorContact.empty())
    html += "<p class=\"operator\">" + std::string(texts.operatedBy) + " " + escapeHtml(notes.operatorContact) + "</p>\n";
  return html + "</section>\n";
}

}  // namespace

bool prefersJapanese(const PlayerReports& reports) {
  int64_t japanese = 0, other = 0;
  for (const auto& total : reports.totals) (total.language == "ja" ? japanese : other) += total.count;
  return japanese > other;
}

std::string escapeHtml(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out.push_back(c);
    }
  }
  return out;
}

std::optional<int> parseZoneOffset(std::string_view text) {
  if (text.size() != 6 || (text[0] != '+' && text[0] != '-') || text[3] != ':') return std::nullopt;
  const auto hours = parseInt32(text.substr(1, 2));
  const auto minutes = parseInt32(text.substr(4, 2));
  if (!hours || !minutes || *hours < 0 || *minutes < 0 || *minutes >= 60) return std::nullopt;
  const int offset = *hours * 60 + *minutes;
  if (offset > 14 * 60) return std::nullopt;
  return text[0] == '-' ? -offset : offset;
}

namespace {

// The pages there are; a search counted only up to its bound has at least
// one more after a full page.
int64_t pageCount(const PlayerReports& reports, int64_t page) {
  const int64_t counted = reports.total == 0 ? 1 : (reports.total + kReportsPerPage - 1) / kReportsPerPage;
  if (!reports.totalIsLowerBound) return counted;
  return std::max(counted, page + (static_cast<int64_t>(reports.reports.size()) == kReportsPerPage ? 1 : 0));
}

}  // namespace

std::string renderPlayerPage(const PlayerReports& reports, const Catalog& catalog, const PageRequest& request,
                             std::string_view chart, const PageNotes& notes) {
  const PageTexts& texts = textsFor(reports);
  const int64_t pages = pageCount(reports, request.page);
  std::string html;
  html += "<!DOCTYPE html>\n<html lang=\"" + std::string(texts.htmlLanguage) +
          "\"><head><meta charset=\"utf-8\"><meta name=\"viewport\" content=\"width=device-width\"><title>" +
          texts.title + "</title><style>";
  html += kStyle;
  html += "</style></head><body>\n<h1>" + std::string(texts.heading) + "</h1>\n";
  html += totalsList(reports, catalog, request);
  html += chart;
  html += filterForm(reports, catalog, request, texts);
  html += zoneForm(request, texts);
  const std::string count = reports.totalIsLowerBound ? format(texts.atLeastLines, static_cast<long long>(reports.total))
                            : reports.total == 1     ? texts.oneLine
                                                     : format(texts.lines, static_cast<long long>(reports.total));
  html += "<p class=\"summary\">" + count + texts.comma + texts.newestFirst + texts.stop +
          (reports.totalIsLowerBound
               ? format(texts.pageAlone, static_cast<long long>(request.page))
               : format(texts.pageOf, static_cast<long long>(request.page), static_cast<long long>(pages))) +
          "</p>\n";
  html += "<p class=\"legend\"><span class=\"history\">&#9632;</span> " + std::string(texts.legend) + "</p>\n";

  std::string nav = "<nav>";
  // Keyed by the lines at this page's ends when it lists any.
  const auto ends = [&](bool older) {
    PageKey key;
    if (reports.reports.empty()) return key;
    if (older) key.olderThan = reports.reports.back().reportId;
    else key.newerThan = reports.reports.front().reportId;
    return key;
  };
  if (request.page > 1)
    nav += "<a rel=\"prev\" href=\"" + pageLink(request, request.page - 1, request.filter, ends(false)) + "\">" +
           texts.newer + "</a>";
  if (request.page < pages)
    nav += "<a rel=\"next\" href=\"" + pageLink(request, request.page + 1, request.filter, ends(true)) + "\">" +
           texts.older + "</a>";
  nav += "</nav>\n";
  html += nav;

  if (reports.reports.empty()) {
    html += "<p>" + std::string(texts.noLines) + "</p>\n";
  } else {
    html += "<table>\n<thead><tr><th>" + std::string(texts.time) + " (UTC" + zoneText(request.zoneMinutes) +
            ")</th><th>" + texts.pattern + "</th><th>" + texts.line + "</th></tr></thead>\n<tbody>\n";
    for (const auto& r : reports.reports) {
      html += r.present ? "<tr>" : "<tr class=\"history\">";
      html += "<td class=\"time\">" + timeElement(r.lineTime, request.zoneMinutes) + "</td>";
      html += "<td class=\"pattern\" title=\"" + escapeHtml(format(texts.code, r.code, r.patternId)) + "\">" +
              escapeHtml(catalog.patternName(r.language, r.patternId)) + "</td>";
      html += "<td class=\"line\">" + escapeHtml(renderLine(r.line)) + "</td></tr>\n";
    }
    html += "</tbody></table>\n";
  }
  html += nav;
  html += yourLines(request, texts, notes);
  html += "</body></html>\n";
  return html;
}

namespace {

// The query fields, checked; an error text for a 400 otherwise.
std::optional<PageRequest> parseRequest(std::string_view token, std::string_view target, std::string& error) {
  const FieldList query = decodeFieldList(queryOfTarget(target));
  if (!query.ok()) {
    error = query.error;
    return std::nullopt;
  }
  const FieldLookup fields(query.fields);
  PageRequest request;
  request.token = std::string(token);
  std::string value;
  const auto field = [&](const char* name) {
    value.clear();
    return fields.has(name) && fields.single(name, value, error);
  };
  if (field("page")) {
    const auto number = parseInt64(value);
    if (!number || *number < 1 || *number > 1'000'000'000) {
      error = "bad page number";
      return std::nullopt;
    }
    request.page = *number;
  }
  for (const auto& [name, bound] : {std::pair{"before", &PageKey::olderThan}, {"after", &PageKey::newerThan}}) {
    if (!field(name)) continue;
    const auto id = parseInt64(value);
    if (!id || *id < 1) {
      error = std::string("bad ") + name + ": give a line's id";
      return std::nullopt;
    }
    request.key.*bound = *id;
  }
  if (request.key.olderThan && request.key.newerThan) {
    error = "give before or after, not both";
    return std::nullopt;
  }
  if (field("tz") && !value.empty()) {
    const auto zone = parseZoneOffset(value);
    if (!zone) {
      error = "bad time zone: give the offset from UTC as +09:00 or -05:00";
      return std::nullopt;
    }
    request.zoneMinutes = *zone;
    request.zoneAsked = true;
  }
  if (field("pattern") && !value.empty()) {
    const auto dash = value.rfind('-');
    const auto id = dash == std::string::npos ? std::nullopt : parseInt32(std::string_view(value).substr(dash + 1));
    if (!id || dash == 0) {
      error = "bad pattern: give the language and the pattern's id, as en-3";
      return std::nullopt;
    }
    request.filter.language = value.substr(0, dash);
    request.filter.patternId = *id;
  }
  if (field("q")) {
    if (value.size() > kMaxSearchBytes) {
      error = "search text too long (at most " + std::to_string(kMaxSearchBytes) + " bytes)";
      return std::nullopt;
    }
    request.filter.text = value;
  }
  if (!error.empty()) return std::nullopt;
  return request;
}

}  // namespace

std::optional<int> zoneFromCookies(std::string_view cookieHeader) {
  while (!cookieHeader.empty()) {
    const size_t end = std::min(cookieHeader.find(';'), cookieHeader.size());
    std::string_view pair = cookieHeader.substr(0, end);
    cookieHeader.remove_prefix(end == cookieHeader.size() ? end : end + 1);
    while (!pair.empty() && pair.front() == ' ') pair.remove_prefix(1);
    if (pair.size() > kZoneCookie.size() && pair.substr(0, kZoneCookie.size()) == kZoneCookie &&
        pair[kZoneCookie.size()] == '=')
      return parseZoneOffset(pair.substr(kZoneCookie.size() + 1));
  }
  return std::nullopt;
}

Reply servePlayerPage(ReportStore& store, const Catalog& catalog, std::string_view token, std::string_view target,
                      std::string_view cookies, const PageNotes& notes) {
  std::string error;
  auto request = parseRequest(token, target, error);
  if (!request) return Reply::text(400, error);
  if (!isIssuedId(token)) return Reply::text(404, "No such page.");
  auto reports =
      store.reportsOf(token, (request->page - 1) * kReportsPerPage, kReportsPerPage, request->filter, request->key);
  if (!reports) return missingOrUnreadable(store, token);
  // Japanese players mostly live in Japan's zone; a zone once chosen wins.
  request->defaultZoneMinutes = prefersJapanese(*reports) ? 9 * 60 : 0;
  if (!request->zoneAsked) request->zoneMinutes = zoneFromCookies(cookies).value_or(request->defaultZoneMinutes);
  // Scoped to this page, never sent to another site, unreadable by script.
  const std::pair<std::string, std::string> rememberZone = {
      "Set-Cookie", std::string(kZoneCookie) + "=" + zoneText(request->zoneMinutes) + "; Path=/" + std::string(token) +
                        "; Max-Age=31536000; SameSite=Strict; HttpOnly"};
  if (reports->beyondReach) {
    // Too deep to count down to (or past a search's counted matches): the
    // deepest page counted from the top, whose links go on by key.
    Reply reply = Reply::text(303, "See the deepest page opened by number.");
    const int64_t reach = reports->totalIsLowerBound ? reports->total : kMaxSkippedLines;
    reply.headers = {{"Location", pageAddress(*request, std::max<int64_t>(1, reach / kReportsPerPage), request->filter)}};
    if (request->zoneAsked) reply.headers.push_back(rememberZone);
    return reply;
  }
  const int64_t pages = pageCount(*reports, request->page);
  if (request->page > pages) {
    // A page past the end (the filter narrowed the lines, or an old link):
    // the last page there is, never "Page 5 of 1".
    Reply reply = Reply::text(303, "See the last page.");
    reply.headers = {{"Location", pageAddress(*request, pages, request->filter)}};
    if (request->zoneAsked) reply.headers.push_back(rememberZone);
    return reply;
  }
  const int64_t today = dayOfTime(static_cast<int64_t>(std::time(nullptr)));
  // The chart's days only: rows of days to come (a line time in the
  // future) are not read at all.
  const auto days = store.dayTotalsOf(token, today - kChartDays + 1, today);
  const std::string chart =
      days ? renderDayChart(*days, today, catalog, prefersJapanese(*reports)) : std::string();
  Reply reply{200, "text/html; charset=utf-8", renderPlayerPage(*reports, catalog, *request, chart, notes), {}};
  reply.headers = pageHeaders();
  if (request->zoneAsked) reply.headers.push_back(rememberZone);
  return reply;
}

std::vector<std::pair<std::string, std::string>> pageHeaders(const char* referrerPolicy) {
  // Defence in depth beside the escaping: no script may run on the pages at
  // all, and the token in their address must not leak to other sites.
  return {{"Content-Security-Policy",
           "default-src 'none'; style-src 'unsafe-inline'; form-action 'self'; frame-ancestors 'none'"},
          {"X-Content-Type-Options", "nosniff"},
          {"Referrer-Policy", referrerPolicy},
          {"Cache-Control", "no-store"}};
}

}  // namespace tidemark
