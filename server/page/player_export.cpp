#include "page/player_export.h"

#include <cstdio>
#include <ctime>
#include <memory>
#include <optional>

#include "base/field_values.h"
#include "base/form_decoding.h"
#include "base/line_rendering.h"
#include "page/player_page.h"
#include "page/unreadable_page.h"

namespace tidemark {
namespace {

std::string base64(std::string_view bytes) {
  static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const uint32_t n = (uint8_t(bytes[i]) << 16) | (uint8_t(bytes[i + 1]) << 8) | uint8_t(bytes[i + 2]);
    for (int shift = 18; shift >= 0; shift -= 6) out += kDigits[(n >> shift) & 63];
  }
  if (i < bytes.size()) {
    const bool two = i + 1 < bytes.size();
    const uint32_t n = (uint8_t(bytes[i]) << 16) | (two ? uint8_t(bytes[i + 1]) << 8 : 0);
    out += kDigits[(n >> 18) & 63];
    out += kDigits[(n >> 12) & 63];
    out += two ? kDigits[(n >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::string isoTime(int64_t seconds, int zoneMinutes) {
  const std::time_t t = static_cast<std::time_t>(seconds + int64_t{zoneMinutes} * 60);
  std::tm parts{};
  char text[48];
  if (!gmtime_r(&t, &parts) || std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts) == 0)
    return std::to_string(seconds);
  if (zoneMinutes == 0) return std::string(text) + "Z";
  const int magnitude = zoneMinutes < 0 ? -zoneMinutes : zoneMinutes;
  char zone[24];
  std::snprintf(zone, sizeof zone, "%c%02d:%02d", zoneMinutes < 0 ? '-' : '+', magnitude / 60, magnitude % 60);
  return text + std::string(zone);
}

// Every field quoted. A text a spreadsheet would run as a formula (= + - @
// at its start, or a tab or CR there) gets a leading apostrophe: a chat line
// must never become a formula on the player's machine. The bytes column
// keeps the line exactly.
std::string csvField(std::string_view text, bool guardFormula = false) {
  std::string out = "\"";
  if (guardFormula && !text.empty() && std::string_view("=+-@\t\r").find(text[0]) != std::string_view::npos)
    out += '\'';
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

std::string jsonString(std::string_view text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

class ExportSource final : public BodySource {
 public:
  ExportSource(ReportStore& store, const Catalog& catalog, std::string token, ExportFormat format, int zone,
               std::vector<ExportedReport> first)
      : store_(store), catalog_(catalog), token_(std::move(token)), format_(format), zone_(zone),
        pending_(std::move(first)) {}

  bool next(std::string& out, bool& failed) override {
    if (done_) return false;
    if (!started_) {
      started_ = true;
      // The byte order mark lets spreadsheets read the file as UTF-8.
      out += format_ == ExportFormat::Csv
                 ? "\xEF\xBB\xBFid,received_utc,time_utc,time_local,language,pattern_id,pattern,code,line_number,"
                   "present,text,bytes_base64\r\n"
                 : "{\"zone\":" + jsonString(isoTime(0, zone_).substr(19)) + ",\"lines\":[";
    }
    if (!pending_) {
      pending_ = store_.exportBatch(token_, lastId_, kExportBatch);
      // The player erased meanwhile, or the database failed: the download
      // is cut rather than ended as if whole.
      if (!pending_) {
        failed = true;
        return false;
      }
    }
    if (pending_->empty()) {
      done_ = true;
      if (format_ == ExportFormat::Json) out += "]}\n";
      return true;
    }
    for (const auto& r : *pending_) append(r, out);
    lastId_ = pending_->back().reportId;
    // A short batch is the last one; a full one may have more behind it.
    if (pending_->size() < static_cast<size_t>(kExportBatch)) pending_->clear();
    else pending_.reset();
    return true;
  }

 private:
  void append(const ExportedReport& r, std::string& out) {
    const std::string received = isoTime(r.receivedAtMs / 1000, 0), utc = isoTime(r.lineTime, 0),
                      local = isoTime(r.lineTime, zone_), pattern = catalog_.patternName(r.language, r.patternId),
                      text = renderLine(r.line), bytes = base64(r.line);
    if (format_ == ExportFormat::Csv) {
      out += std::to_string(r.reportId) + "," + received + "," + utc + "," + local + "," + csvField(r.language) + "," +
             std::to_string(r.patternId) + "," + csvField(pattern, true) + "," + std::to_string(r.code) + "," +
             std::to_string(r.ordinal) + "," + (r.present ? "1" : "0") + "," + csvField(text, true) + "," + bytes +
             "\r\n";
    } else {
      out += std::string(written_++ ? "," : "") + "\n{\"id\":" + std::to_string(r.reportId) +
             ",\"received_utc\":" + jsonString(received) + ",\"time_utc\":" + jsonString(utc) +
             ",\"time_local\":" + jsonString(local) + ",\"language\":" + jsonString(renderLine(r.language)) +
             ",\"pattern_id\":" + std::to_string(r.patternId) + ",\"pattern\":" + jsonString(renderLine(pattern)) +
             ",\"code\":" + std::to_string(r.code) + ",\"line_number\":" + std::to_string(r.ordinal) +
             ",\"present\":" + (r.present ? "true" : "false") + ",\"text\":" + jsonString(text) +
             ",\"bytes_base64\":\"" + bytes + "\"}";
    }
  }

  ReportStore& store_;
  const Catalog& catalog_;
  const std::string token_;
  const ExportFormat format_;
  const int zone_;
  std::optional<std::vector<ExportedReport>> pending_;
  int64_t lastId_ = 0;
  int64_t written_ = 0;
  bool started_ = false, done_ = false;
};

}  // namespace

Reply servePlayerExport(ReportStore& store, const Catalog& catalog, std::string_view token, std::string_view target,
                        ExportFormat format) {
  const FieldList query = decodeFieldList(queryOfTarget(target));
  if (!query.ok()) return Reply::text(400, query.error);
  int zone = 0;
  for (const auto& field : query.fields) {
    if (field.name != "tz" || field.value.empty()) continue;
    const auto parsed = parseZoneOffset(field.value);
    if (!parsed) return Reply::text(400, "bad time zone: give the offset from UTC as +09:00 or -05:00");
    zone = *parsed;
  }
  if (!isIssuedId(token)) return Reply::text(404, "No such page.");
  // The first batch is read before answering, so that an unknown page is a
  // 404 and not an empty file.
  auto first = store.exportBatch(token, 0, kExportBatch);
  if (!first) return missingOrUnreadable(store, token);
  Reply reply;
  reply.contentType = format == ExportFormat::Csv ? "text/csv; charset=utf-8" : "application/json; charset=utf-8";
  reply.headers = pageHeaders();
  reply.headers.emplace_back("Content-Disposition", format == ExportFormat::Csv
                                                        ? "attachment; filename=\"tidemark-lines.csv\""
                                                        : "attachment; filename=\"tidemark-lines.json\"");
  reply.stream =
      std::make_shared<ExportSource>(store, catalog, std::string(token), format, zone, std::move(*first));
  return reply;
}

}  // namespace tidemark
