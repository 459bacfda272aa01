#include "page/player_export.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>
#include <mutex>
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

// A download in flight: its encoded text waiting for the client, at most
// kDownloadBuffer of it, refilled one batch at a time by the download
// threads once the client has taken half. The event loop only copies.
class ExportSource final : public BodySource, public std::enable_shared_from_this<ExportSource> {
 public:
  ExportSource(ReportStore& store, const Catalog& catalog, std::string token, ExportFormat format, int zone,
               DownloadRunner runner, std::shared_ptr<void> slot)
      : store_(store), catalog_(catalog), token_(std::move(token)), format_(format), zone_(zone),
        runner_(std::move(runner)), slot_(std::move(slot)) {}

  // The head and the first batch, on the caller's thread; false when no
  // player has the token or the database failed.
  bool begin() {
    auto first = store_.exportBatch(token_, 0, kExportBatch);
    if (!first) return false;
    // The byte order mark lets spreadsheets read the file as UTF-8.
    std::deque<std::string> pieces{
        format_ == ExportFormat::Csv
            ? "\xEF\xBB\xBFid,received_utc,time_utc,time_local,language,pattern_id,pattern,code,line_number,"
              "present,text,bytes_base64\r\n"
            : "{\"zone\":" + jsonString(isoTime(0, zone_).substr(19)) + ",\"lines\":["};
    size_t bytes = pieces.front().size();
    const bool end = encode(*first, pieces, bytes);
    std::lock_guard lock(mutex_);
    add(pieces, bytes, end);
    return true;
  }

  Piece read(char* buffer, size_t max, size_t& count) override {
    for (;;) {
      bool fill = false;
      Piece result = Piece::Waiting;
      {
        std::lock_guard lock(mutex_);
        if (!pieces_.empty()) {
          std::string& front = pieces_.front();
          count = std::min(max, front.size() - frontSent_);
          std::memcpy(buffer, front.data() + frontSent_, count);
          frontSent_ += count;
          buffered_ -= count;
          if (frontSent_ == front.size()) {
            pieces_.pop_front();
            frontSent_ = 0;
          }
          result = Piece::Bytes;
          // Half taken: the next batch is read while the rest goes out.
          if (buffered_ < kDownloadBuffer / 2) fill = startFilling();
        } else if (failed_) {
          return Piece::Failed;
        } else if (ended_) {
          return Piece::End;
        } else {
          fill = startFilling();
        }
      }
      if (fill && runner_) runner_([self = shared_from_this()] { return self->fill(); });
      // Without download threads the batch is read here, and the read goes on.
      if (fill && !runner_) {
        this->fill();
        if (result == Piece::Waiting) continue;
      }
      return result;
    }
  }

  void whenReady(std::function<void()> ready) override {
    std::lock_guard lock(mutex_);
    ready_ = std::move(ready);
  }

  void close() override {
    std::lock_guard lock(mutex_);
    closed_ = true;
    pieces_.clear();
    buffered_ = 0;
  }

 private:
  // Under the lock: whether the caller is to start a fill (none runs yet).
  bool startFilling() {
    if (filling_ || ended_ || failed_ || closed_) return false;
    filling_ = true;
    return true;
  }

  // One batch read and encoded, on a download thread (or the reader's,
  // without them); then the next, behind the other downloads' batches,
  // while less than kDownloadBuffer waits for the client. The bytes of
  // text it made.
  size_t fill() {
    int64_t after = 0;
    {
      std::lock_guard lock(mutex_);
      if (closed_) {
        filling_ = false;
        return 0;
      }
      after = lastId_;
    }
    auto batch = store_.exportBatch(token_, after, nextLimit_);
    std::deque<std::string> pieces;
    size_t bytes = 0;
    const bool end = batch && encode(*batch, pieces, bytes);
    std::function<void()> ready;
    bool again = false;
    {
      std::lock_guard lock(mutex_);
      // The player erased meanwhile, or the database failed: the download
      // is cut rather than ended as if whole.
      if (!batch) failed_ = true;
      else if (!closed_) add(pieces, bytes, end);
      again = runner_ && !closed_ && !ended_ && !failed_ && buffered_ < kDownloadBuffer;
      filling_ = again;
      ready = ready_;
    }
    if (ready) ready();
    if (again) runner_([self = shared_from_this()] { return self->fill(); });
    return bytes;
  }

  // Under the lock.
  void add(std::deque<std::string>& pieces, size_t bytes, bool end) {
    for (auto& piece : pieces) pieces_.push_back(std::move(piece));
    buffered_ += bytes;
    ended_ = ended_ || end;
  }

  // The batch's lines as text, one piece a line (each sized to fit, so
  // that no piece holds twice its length), each line's bytes let go once
  // encoded; true when the batch is empty, the end. Only one fill runs at
  // a time, so the count and the last id need no lock.
  bool encode(std::vector<ExportedReport>& batch, std::deque<std::string>& pieces, size_t& bytes) {
    if (batch.empty()) {
      if (format_ == ExportFormat::Json) {
        pieces.push_back("]}\n");
        bytes += pieces.back().size();
      }
      return true;
    }
    size_t lineBytes = 0;
    for (auto& r : batch) {
      lineBytes += r.line.size();
      pieces.push_back(encodeLine(r));
      bytes += pieces.back().size();
      lastId_ = r.reportId;
      std::string().swap(r.line);
    }
    // The next batch asks for as many lines as fit the byte bound at this
    // batch's width: the store need not look past them (PostgreSQL sizes
    // every line it is asked for).
    const size_t width = std::max<size_t>(1, lineBytes / batch.size());
    nextLimit_ = std::clamp<int64_t>(static_cast<int64_t>(kExportBatchBytes / width) + 1, 1, kExportBatch);
    return false;
  }

  std::string encodeLine(const ExportedReport& r) {
    const std::string received = isoTime(r.receivedAtMs / 1000, 0), utc = isoTime(r.lineTime, 0),
                      local = isoTime(r.lineTime, zone_), pattern = catalog_.patternName(r.language, r.patternId),
                      text = renderLine(r.line);
    std::string out;
    out.reserve((r.line.size() + 2) / 3 * 4 + 2 * (text.size() + pattern.size() + r.language.size()) + 256);
    if (format_ == ExportFormat::Csv) {
      out += std::to_string(r.reportId) + "," + received + "," + utc + "," + local + "," + csvField(r.language) +
             "," + std::to_string(r.patternId) + "," + csvField(pattern, true) + "," + std::to_string(r.code) + "," +
             std::to_string(r.ordinal) + "," + (r.present ? "1" : "0") + "," + csvField(text, true) + ",";
      out += base64(r.line);
      out += "\r\n";
    } else {
      out += std::string(written_++ ? "," : "") + "\n{\"id\":" + std::to_string(r.reportId) +
             ",\"received_utc\":" + jsonString(received) + ",\"time_utc\":" + jsonString(utc) +
             ",\"time_local\":" + jsonString(local) + ",\"language\":" + jsonString(renderLine(r.language)) +
             ",\"pattern_id\":" + std::to_string(r.patternId) + ",\"pattern\":" + jsonString(renderLine(pattern)) +
             ",\"code\":" + std::to_string(r.code) + ",\"line_number\":" + std::to_string(r.ordinal) +
             ",\"present\":" + (r.present ? "true" : "false") + ",\"text\":" + jsonString(text) +
             ",\"bytes_base64\":\"";
      out += base64(r.line);
      out += "\"}";
    }
    return out;
  }

  ReportStore& store_;
  const Catalog& catalog_;
  const std::string token_;
  const ExportFormat format_;
  const int zone_;
  const DownloadRunner runner_;
  const std::shared_ptr<void> slot_;  // the download's place, held to the end
  int64_t lastId_ = 0;
  int64_t written_ = 0;
  int64_t nextLimit_ = kExportBatch;

  std::mutex mutex_;
  std::deque<std::string> pieces_;  // the text waiting for the client
  size_t frontSent_ = 0;            // of the first piece
  size_t buffered_ = 0;             // bytes waiting in all
  bool filling_ = false, ended_ = false, failed_ = false, closed_ = false;
  std::function<void()> ready_;
};

}  // namespace

Reply servePlayerExport(ReportStore& store, const Catalog& catalog, std::string_view token, std::string_view target,
                        ExportFormat format, DownloadRunner runner, std::shared_ptr<void> slot) {
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
  // 404 (and a database that cannot be read a 503) and not an empty file.
  auto source = std::make_shared<ExportSource>(store, catalog, std::string(token), format, zone, std::move(runner),
                                               std::move(slot));
  if (!source->begin()) return missingOrUnreadable(store, token);
  Reply reply;
  reply.contentType = format == ExportFormat::Csv ? "text/csv; charset=utf-8" : "application/json; charset=utf-8";
  reply.headers = pageHeaders();
  reply.headers.emplace_back("Content-Disposition", format == ExportFormat::Csv
                                                        ? "attachment; filename=\"tidemark-lines.csv\""
                                                        : "attachment; filename=\"tidemark-lines.json\"");
  reply.stream = std::move(source);
  return reply;
}

}  // namespace tidemark
