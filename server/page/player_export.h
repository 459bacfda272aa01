#pragma once

#include <functional>
#include <memory>
#include <string_view>

#include "base/reply.h"
#include "protocol/catalog.h"
#include "store/report_store.h"

namespace tidemark {

enum class ExportFormat { Csv, Json };

// Lines read from the store per batch of a download, at most; the store
// also bounds a batch's bytes (kExportBatchBytes).
inline constexpr int64_t kExportBatch = 200;
// A download keeps at most this much of its encoded text waiting for the
// client, and reads its next batch only once the client has taken half.
inline constexpr size_t kDownloadBuffer = 128 * 1024;
// What one download in flight holds at most: its waiting text, and one
// batch (its lines and their encoding) while it is encoded.
inline constexpr size_t kDownloadMemory = 1024 * 1024;

// Where a download's batches after the first are read and encoded: a
// thread that is no event loop's. A job gives the bytes of text it made
// (the runner may pace them). Empty: on the caller's thread, as the body is
// read (tools and tests only).
using DownloadRunner = std::function<void(std::function<size_t()> job)>;

// GET "/" + token + "/lines.csv" or "/lines.json" (optional "tz" as on the
// page): every line of the player, oldest first, streamed batch by batch so
// that memory stays bounded whatever the count and the width of the lines.
// Each line carries its text as the page shows it (readable UTF-8) and its
// stored bytes in base64, so that nothing is lost and the file stays valid
// UTF-8; the times in UTC and in the zone asked for. The first batch is
// read here (an unknown page is a 404, not an empty file); `slot` is held
// until the download is over.
Reply servePlayerExport(ReportStore& store, const Catalog& catalog, std::string_view token, std::string_view target,
                        ExportFormat format, DownloadRunner runner = {}, std::shared_ptr<void> slot = nullptr);

}  // namespace tidemark
