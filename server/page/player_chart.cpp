#include "page/player_chart.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <map>
#include <tuple>

#include "page/player_page.h"

namespace tidemark {
namespace {

struct ChartTexts {
  const char* heading;
  const char* summary;  // "%lld lines …; the most on %s (%lld)."
  const char* none;
  const char* asTable;
  const char* day;
  const char* lines;
  const char* byPattern;
  const char* other;
};

constexpr ChartTexts kEnglish = {"Lines per day, last 90 days (UTC)",
                                 "%lld lines in the last 90 days; the most on %s (%lld).",
                                 "No lines in the last 90 days.",
                                 "The chart as a table",
                                 "Day (UTC)",
                                 "Lines",
                                 "By pattern",
                                 "Other patterns"};

constexpr ChartTexts kJapanese = {"1日ごとのログ数（過去90日、UTC）",
                                  "過去90日のログは %lld 件。最も多い日は %s（%lld 件）。",
                                  "過去90日のログはありません。",
                                  "グラフの内容を表で見る",
                                  "日付（UTC）",
                                  "件数",
                                  "パターン別",
                                  "その他のパターン"};

// Colours far enough apart to tell the bars of neighbouring patterns, on
// white and for the common colour blindnesses; the rest share grey.
constexpr const char* kColours[] = {"#2f6db5", "#e08a1e", "#3a9a5b", "#c4474a", "#8a64b8", "#7a5a3a", "#d36fb0"};
constexpr size_t kColouredPatterns = sizeof kColours / sizeof kColours[0];
constexpr const char* kOtherColour = "#9aa3ad";

constexpr int kStep = 10, kBar = 8, kLeft = 44, kTop = 12, kPlotHeight = 140;
constexpr int kWidth = kLeft + kStep * static_cast<int>(kChartDays) + 8, kHeight = kTop + kPlotHeight + 24;

std::string dayText(int64_t day, const char* pattern = "%Y-%m-%d") {
  const std::time_t t = static_cast<std::time_t>(day * 86400);
  std::tm parts{};
  char text[32];
  if (!gmtime_r(&t, &parts) || std::strftime(text, sizeof text, pattern, &parts) == 0) return std::to_string(day);
  return text;
}

template <typename... Args>
std::string format(const char* pattern, Args... args) {
  char text[512];
  std::snprintf(text, sizeof text, pattern, args...);
  return text;
}

}  // namespace

std::string renderDayChart(const std::vector<DayTotal>& days, int64_t today, const Catalog& catalog, bool japanese) {
  const ChartTexts& texts = japanese ? kJapanese : kEnglish;
  const int64_t first = today - kChartDays + 1;
  // A series: a pattern (its language and id), or the patterns past the
  // store's top ones, summed.
  using Pattern = std::tuple<bool, std::string, int32_t>;
  const auto seriesOf = [](const DayTotal& d) { return Pattern{d.others, d.language, d.patternId}; };
  std::map<Pattern, int64_t> byPattern;
  std::map<int64_t, std::vector<const DayTotal*>> byDay;
  int64_t total = 0;
  for (const auto& d : days) {
    if (d.day < first || d.day > today || d.count <= 0) continue;
    byPattern[seriesOf(d)] += d.count;
    byDay[d.day].push_back(&d);
    total += d.count;
  }
  std::string html = "<section class=\"chart\"><h2>" + std::string(texts.heading) + "</h2>\n";
  if (total == 0) return html + "<p>" + texts.none + "</p></section>\n";

  // The patterns with the most lines get colours, in that order; the
  // others' sum comes last, grey.
  std::vector<std::tuple<bool, int64_t, Pattern>> ranked;
  for (const auto& [pattern, count] : byPattern) ranked.push_back({std::get<0>(pattern), -count, pattern});
  std::sort(ranked.begin(), ranked.end());
  std::map<Pattern, size_t> colourOf;
  for (size_t i = 0; i < ranked.size() && i < kColouredPatterns; ++i)
    if (!std::get<0>(std::get<2>(ranked[i]))) colourOf[std::get<2>(ranked[i])] = i;
  const auto colour = [&](const Pattern& p) {
    const auto found = colourOf.find(p);
    return found == colourOf.end() ? kOtherColour : kColours[found->second];
  };
  const auto name = [&](const Pattern& p) {
    return std::get<0>(p) ? std::string(texts.other)
                          : escapeHtml(catalog.patternName(std::get<1>(p), std::get<2>(p)));
  };

  int64_t most = 0, mostDay = first;
  for (const auto& [day, totals] : byDay) {
    int64_t sum = 0;
    for (const DayTotal* d : totals) sum += d->count;
    if (sum > most) most = sum, mostDay = day;
  }
  const std::string summary = format(texts.summary, static_cast<long long>(total), dayText(mostDay).c_str(),
                                     static_cast<long long>(most));

  html += "<svg class=\"days\" role=\"img\" aria-labelledby=\"chart-title\" viewBox=\"0 0 " + std::to_string(kWidth) +
          " " + std::to_string(kHeight) + "\" width=\"" + std::to_string(kWidth) + "\" height=\"" +
          std::to_string(kHeight) + "\" xmlns=\"http://www.w3.org/2000/svg\"><title id=\"chart-title\">" +
          escapeHtml(summary) + "</title>";
  // The axis: zero and the busiest day's count, and a date every 15 days.
  const int base = kTop + kPlotHeight;
  html += "<line x1=\"" + std::to_string(kLeft) + "\" y1=\"" + std::to_string(base) + "\" x2=\"" +
          std::to_string(kWidth - 4) + "\" y2=\"" + std::to_string(base) + "\" stroke=\"#8a94a0\"/>";
  html += "<line x1=\"" + std::to_string(kLeft) + "\" y1=\"" + std::to_string(kTop) + "\" x2=\"" +
          std::to_string(kWidth - 4) + "\" y2=\"" + std::to_string(kTop) + "\" stroke=\"#dde2e8\"/>";
  html += "<text x=\"" + std::to_string(kLeft - 6) + "\" y=\"" + std::to_string(kTop + 4) +
          "\" text-anchor=\"end\">" + std::to_string(most) + "</text>";
  html += "<text x=\"" + std::to_string(kLeft - 6) + "\" y=\"" + std::to_string(base + 4) +
          "\" text-anchor=\"end\">0</text>";
  for (int64_t day = first; day <= today; day += 15) {
    const int x = kLeft + static_cast<int>(day - first) * kStep + kBar / 2;
    html += "<text x=\"" + std::to_string(x) + "\" y=\"" + std::to_string(base + 16) +
            "\" text-anchor=\"middle\">" + dayText(day, "%m-%d") + "</text>";
  }
  // One stacked bar a day, the most common pattern at the bottom; each part
  // names its day, pattern and count when pointed at.
  for (const auto& [day, totals] : byDay) {
    std::vector<const DayTotal*> parts = totals;
    std::sort(parts.begin(), parts.end(), [&](const DayTotal* a, const DayTotal* b) {
      const Pattern pa = seriesOf(*a), pb = seriesOf(*b);
      if (std::get<0>(pa) != std::get<0>(pb)) return std::get<0>(pb);  // the others' sum on top
      return byPattern[pa] > byPattern[pb];
    });
    const int x = kLeft + static_cast<int>(day - first) * kStep;
    int64_t below = 0;
    for (const DayTotal* d : parts) {
      // Heights from the running sum, so that rounding never stacks a bar
      // past the day's own height.
      const int bottom = base - static_cast<int>(below * kPlotHeight / most);
      below += d->count;
      const int top = base - static_cast<int>(below * kPlotHeight / most);
      const Pattern p = seriesOf(*d);
      html += "<rect x=\"" + std::to_string(x) + "\" y=\"" + std::to_string(top) + "\" width=\"" +
              std::to_string(kBar) + "\" height=\"" + std::to_string(std::max(bottom - top, 1)) + "\" fill=\"" +
              colour(p) + "\"><title>" + dayText(day) + " " + name(p) + ": " + std::to_string(d->count) +
              "</title></rect>";
    }
  }
  html += "</svg>\n<ul class=\"chart-legend\">";
  bool others = false;
  for (const auto& [isOthers, count, pattern] : ranked) {
    if (colourOf.count(pattern) == 0) {
      others = true;
      continue;
    }
    html += "<li><span class=\"swatch\" style=\"background:" + std::string(colour(pattern)) + "\"></span>" +
            name(pattern) + "</li>";
  }
  if (others)
    html += "<li><span class=\"swatch\" style=\"background:" + std::string(kOtherColour) + "\"></span>" +
            texts.other + "</li>";
  html += "</ul>\n<p class=\"chart-summary\">" + escapeHtml(summary) + "</p>\n";

  // The same figures as text, newest day first.
  html += "<details><summary>" + std::string(texts.asTable) + "</summary><table class=\"days\"><thead><tr><th>" +
          texts.day + "</th><th>" + texts.lines + "</th><th>" + texts.byPattern + "</th></tr></thead><tbody>";
  for (auto it = byDay.rbegin(); it != byDay.rend(); ++it) {
    int64_t sum = 0;
    std::string parts;
    for (const DayTotal* d : it->second) {
      sum += d->count;
      parts += (parts.empty() ? "" : ", ") + name(seriesOf(*d)) + " " + std::to_string(d->count);
    }
    html += "<tr><td>" + dayText(it->first) + "</td><td>" + std::to_string(sum) + "</td><td>" + parts + "</td></tr>";
  }
  html += "</tbody></table></details></section>\n";
  return html;
}

}  // namespace tidemark
