#pragma once

#include <string_view>

#include "base/reply.h"
#include "protocol/catalog.h"
#include "store/report_store.h"

namespace tidemark {

enum class ExportFormat { Csv, Json };

// Lines read from the store per batch of a download.
inline constexpr int64_t kExportBatch = 500;

// GET "/" + token + "/lines.csv" or "/lines.json" (optional "tz" as on the
// page): every line of the player, oldest first, streamed batch by batch so
// that memory stays bounded whatever the count. Each line carries its text
// as the page shows it (readable UTF-8) and its stored bytes in base64, so
// that nothing is lost and the file stays valid UTF-8; the times in UTC and
// in the zone asked for.
Reply servePlayerExport(ReportStore& store, const Catalog& catalog, std::string_view token, std::string_view target,
                        ExportFormat format);

}  // namespace tidemark
