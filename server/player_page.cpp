#include "player_page.h"

#include <ctime>

#include "field_values.h"
#include "form_decoding.h"
#include "line_rendering.h"

namespace tidemark {
namespace {

std::string utcTime(int64_t seconds) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm parts{};
  if (!gmtime_r(&t, &parts)) return std::to_string(seconds);
  char text[32];
  if (std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts) == 0)
    return std::to_string(seconds);
  return text;
}

constexpr std::string_view kStyle = R"css(
body { font-family: "IPAGothic", "Noto Sans CJK JP", sans-serif; margin: 2em; color: #1d2530; background: #f6f7f9; }
h1 { font-size: 1.4em; margin-bottom: 0.2em; }
p.summary { color: #4c5866; margin-top: 0; }
table { border-collapse: collapse; width: 100%; background: #fff; }
th, td { text-align: left; padding: 0.35em 0.6em; border-bottom: 1px solid #dde2e8; vertical-align: top; }
th { background: #2f4b6e; color: #fff; font-weight: normal; }
td.time, td.code { white-space: nowrap; font-variant-numeric: tabular-nums; }
td.line { word-break: break-word; }
tr.history td { color: #6b7785; }
nav { margin: 1em 0; }
nav a { margin-right: 1.5em; }
)css";

}  // namespace

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

std::string renderPlayerPage(const PlayerReports& reports, const Catalog& catalog,
                             std::string_view token, int64_t page) {
  const int64_t pages = reports.total == 0 ? 1 : (reports.total + kReportsPerPage - 1) / kReportsPerPage;
  const std::string self = "/" + escapeHtml(token);
  std::string html;
  html += "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
          "<meta name=\"viewport\" content=\"width=device-width\">"
          "<title>Tidemark - your reported lines</title><style>";
  html += kStyle;
  html += "</style></head><body>\n<h1>Your reported lines</h1>\n<p class=\"summary\">";
  html += std::to_string(reports.total) + (reports.total == 1 ? " line" : " lines");
  html += ", newest first. Page " + std::to_string(page) + " of " + std::to_string(pages) + ".</p>\n";

  std::string nav = "<nav>";
  if (page > 1) nav += "<a rel=\"prev\" href=\"" + self + "?page=" + std::to_string(page - 1) + "\">&larr; Newer</a>";
  if (page < pages) nav += "<a rel=\"next\" href=\"" + self + "?page=" + std::to_string(page + 1) + "\">Older &rarr;</a>";
  nav += "</nav>\n";
  html += nav;

  if (reports.reports.empty()) {
    html += "<p>No lines on this page.</p>\n";
  } else {
    html += "<table>\n<thead><tr><th>Time (UTC)</th><th>Code</th><th>Pattern</th><th>Line</th></tr></thead>\n<tbody>\n";
    for (const auto& r : reports.reports) {
      // Lines that were already in the game's log when monitoring began are
      // shown dimmed: they were not new when reported.
      html += r.present ? "<tr>" : "<tr class=\"history\">";
      html += "<td class=\"time\">" + escapeHtml(utcTime(r.lineTime)) + "</td>";
      html += "<td class=\"code\">" + std::to_string(r.code) + "</td>";
      html += "<td class=\"pattern\">" + escapeHtml(catalog.patternName(r.language, r.patternId)) + "</td>";
      html += "<td class=\"line\">" + escapeHtml(renderLine(r.line)) + "</td></tr>\n";
    }
    html += "</tbody></table>\n";
  }
  html += nav;
  html += "</body></html>\n";
  return html;
}

Reply servePlayerPage(ReportStore& store, const Catalog& catalog, std::string_view token,
                      std::string_view target) {
  const FieldList query = decodeFieldList(queryOfTarget(target));
  if (!query.ok()) return Reply::text(400, query.error);
  int64_t page = 1;
  const FieldLookup fields(query.fields);
  if (fields.has("page")) {
    std::string value, error;
    if (!fields.single("page", value, error)) return Reply::text(400, error);
    const auto number = parseInt64(value);
    if (!number || *number < 1 || *number > 1'000'000'000) return Reply::text(400, "bad page number");
    page = *number;
  }
  if (!isIssuedId(token)) return Reply::text(404, "No such page.");
  const auto reports = store.reportsOf(token, (page - 1) * kReportsPerPage, kReportsPerPage);
  if (!reports) return Reply::text(404, "No such page.");
  Reply reply{200, "text/html; charset=utf-8", renderPlayerPage(*reports, catalog, token, page), {}};
  // Defence in depth beside the escaping: no script may run on this page at
  // all, and the token in its address must not leak to other sites.
  reply.headers = {{"Content-Security-Policy", "default-src 'none'; style-src 'unsafe-inline'; frame-ancestors 'none'"},
                   {"X-Content-Type-Options", "nosniff"},
                   {"Referrer-Policy", "no-referrer"},
                   {"Cache-Control", "no-store"}};
  return reply;
}

}  // namespace tidemark
