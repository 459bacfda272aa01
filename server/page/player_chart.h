#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "protocol/catalog.h"
#include "store/report_store.h"

namespace tidemark {

// The chart covers this many days, today (UTC) the last of them.
inline constexpr int64_t kChartDays = 90;

// The player's lines per day and pattern as an SVG bar chart drawn here (the
// page runs no script), with the same figures as a table for those who
// cannot see it. `today` is a day number as in DayTotal.
std::string renderDayChart(const std::vector<DayTotal>& days, int64_t today, const Catalog& catalog, bool japanese);

}  // namespace tidemark
