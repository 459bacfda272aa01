#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "catalog.h"
#include "reply.h"
#include "report_store.h"

namespace tidemark {

inline constexpr int64_t kReportsPerPage = 50;

// Escapes the five characters that could open markup or leave an attribute.
std::string escapeHtml(std::string_view text);

// The player's page: the reported lines, newest first, `page` counted from 1.
std::string renderPlayerPage(const PlayerReports& reports, const Catalog& catalog,
                             std::string_view token, int64_t page);

// GET "/" + token (with an optional "page" query field).
Reply servePlayerPage(ReportStore& store, const Catalog& catalog, std::string_view token,
                      std::string_view target);

}  // namespace tidemark
