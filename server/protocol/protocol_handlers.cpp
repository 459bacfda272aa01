#include "protocol/protocol_handlers.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "base/field_values.h"
#include "base/form_decoding.h"
#include "base/line_rendering.h"

namespace tidemark {
namespace {

// Error texts reach the user through MessageBoxA or the Log tab as they are:
// short, and plain ASCII so that no code page can garble them.
constexpr const char* kUnknownPlayer = "This player id is not known to the server.";
constexpr const char* kDatabaseUnreadable = "The server cannot read its database just now. Please try again later.";
// The database's locks outlast kDatabaseWait only briefly in ordinary
// operation (a backup, a migration, a vacuum).
constexpr const char* kBusyRetrySeconds = "2";
// What an erased player's id and token start with until the lines are gone.
constexpr std::string_view kErasedPrefix = "erased-";

struct Messages {
  const char* registered;
  const char* replaced;
};

const Messages& messagesFor(std::string_view language) {
  static const Messages english{
      "You are now registered as a player. Your reported lines are listed on your page: "
      "\"Jump to mypage\" in the Config tab.",
      "This server did not know your player id, so it has given you a new one."};
  static const Messages japanese{
      "プレイヤーとして登録しました。報告したログは設定タブの「マイページに移動」から見られます。",
      "このサーバーはあなたのプレイヤーIDを知らなかったため、新しいIDを発行しました。"};
  return language == "ja" ? japanese : english;
}

std::string fullReportAnswer(const std::string& log, const StoredReport& stored,
                             const std::string& language) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  const auto member = [&](const char* name, const std::string& value) {
    writer.Key(name);
    writer.String(value.data(), static_cast<rapidjson::SizeType>(value.size()));
  };
  writer.StartObject();
  member("log", log);
  if (stored.newPlayer) {
    const Messages& messages = messagesFor(language);
    member("msg", stored.replacedUnknownPlayer ? messages.replaced : messages.registered);
  }
  member("sid", stored.sessionId);
  member("fid", std::to_string(stored.reportId));
  if (stored.newPlayer) member("aid", stored.playerId);
  writer.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize());
}

// The client reads at most this many bytes of an answer; anything cut off
// is lost to it, and a cut JSON object does not parse at all, so a long
// line's "aid" would never reach a new player.
constexpr std::size_t kClientAnswerCapacity = 4095;

// `text` cut to at most `bytes`, never inside a UTF-8 sequence.
std::string utf8Prefix(const std::string& text, std::size_t bytes) {
  if (bytes >= text.size()) return text;
  while (bytes > 0 && (static_cast<unsigned char>(text[bytes]) & 0xC0) == 0x80) --bytes;
  return text.substr(0, bytes);
}

// The answer as it fits the client: a "log" text too long for that is
// shortened and ends in an ellipsis (the line itself is stored whole).
std::string reportAnswer(const std::string& log, const StoredReport& stored, const std::string& language) {
  std::string answer = fullReportAnswer(log, stored, language);
  if (answer.size() <= kClientAnswerCapacity) return answer;
  static const std::string kEllipsis = "\xE2\x80\xA6";
  std::size_t fits = 0, tooLong = log.size();
  while (tooLong - fits > 1) {  // the longest prefix whose answer fits
    const std::size_t middle = fits + (tooLong - fits) / 2;
    if (fullReportAnswer(utf8Prefix(log, middle) + kEllipsis, stored, language).size() <= kClientAnswerCapacity)
      fits = middle;
    else
      tooLong = middle;
  }
  return fullReportAnswer(utf8Prefix(log, fits) + kEllipsis, stored, language);
}

template <typename Number>
bool readNumber(const FieldLookup& fields, const char* name, Number& out, std::string& error) {
  std::string text;
  if (!fields.single(name, text, error)) return false;
  std::optional<Number> value;
  if constexpr (sizeof(Number) == 8)
    value = parseInt64(text);
  else
    value = parseInt32(text);
  if (!value) {
    error = std::string("field ") + name + " is not a number";
    return false;
  }
  out = *value;
  return true;
}

}  // namespace

bool ProtocolHandlers::readsStore(std::string_view target) {
  const FieldList query = decodeFieldList(queryOfTarget(target));
  if (!query.ok()) return false;
  std::string what, ignored;
  return FieldLookup(query.fields).single("get", what, ignored) && what == "token";
}

Reply ProtocolHandlers::get(std::string_view target) const {
  const FieldList query = decodeFieldList(queryOfTarget(target));
  if (!query.ok()) return Reply::text(400, query.error);
  const FieldLookup fields(query.fields);
  std::string what, error;
  if (!fields.single("get", what, error)) return Reply::text(400, error);

  if (what == "lang") {
    // The client sends an empty "lang" with this request; it means nothing,
    // but twice is still malformed.
    std::string ignored;
    if (fields.has("lang") && !fields.single("lang", ignored, error)) return Reply::text(400, error);
    return Reply::json(catalog_.languageAnswer());
  }
  if (what == "pattern") {
    std::string code;
    if (!fields.single("lang", code, error)) return Reply::text(400, error);
    const Catalog::Language* language = catalog_.find(code);
    if (!language) return Reply::text(400, "unknown language");
    return Reply::json(language->patternAnswer);
  }
  if (what == "token") {
    std::string playerId;
    if (!fields.single("wader", playerId, error)) return Reply::text(400, error);
    const TokenLookup lookup = isIssuedId(playerId) ? store_.tokenOf(playerId) : TokenLookup{};
    // A database that cannot be read must not tell a known player that the
    // server does not know him.
    if (lookup.failed) return Reply::text(503, kDatabaseUnreadable);
    if (!lookup) return Reply::text(404, kUnknownPlayer);
    return Reply::json("{\"token\":\"" + *lookup + "\"}");
  }
  return Reply::text(400, "unknown request");
}

std::variant<Reply, ProtocolHandlers::CheckedReport> ProtocolHandlers::checkReport(
    std::string_view body, const std::optional<std::string>& reportId) const {
  const FieldList form = decodeFieldList(body);
  if (!form.ok()) return Reply::text(400, form.error);
  const FieldLookup fields(form.fields);
  std::string error, languageCode, present;
  ReportFields report;
  if (!fields.single("lang", languageCode, error) || !fields.single("sid", report.sid, error) ||
      !fields.single("fid", report.fid, error) || !fields.single("aid", report.aid, error) ||
      !readNumber(fields, "pid", report.patternId, error) ||
      !readNumber(fields, "code", report.code, error) ||
      !fields.single("log", report.line, error) ||
      !readNumber(fields, "line", report.ordinal, error) ||
      !readNumber(fields, "ltime", report.lineTime, error) ||
      !fields.single("present", present, error))
    return Reply::text(400, error);
  if (present != "0" && present != "1") return Reply::text(400, "field present is not 0 or 1");
  // Refused here, for every store alike, rather than failing in one.
  if (report.lineTime < -kMaxLineTimeMagnitude || report.lineTime > kMaxLineTimeMagnitude)
    return Reply::text(400, "field ltime is out of range");
  report.present = present == "1";

  const Catalog::Language* language = catalog_.find(languageCode);
  if (!language) return Reply::text(400, "unknown language");
  report.language = language->code;
  // Only what the language's patterns can match is stored: any other pid
  // would grow the player's totals without bound.
  if (!language->canMatch(report.patternId, report.code))
    return Reply::text(400, "pid and code match no pattern of this language");
  // Session ids come only from this server; anything else starts a new one.
  if (!isIssuedId(report.sid)) report.sid.clear();
  if (reportId) {
    // Compared as text in the store: one spelling per id.
    std::string id = *reportId;
    for (char& c : id)
      if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    if (!isIssuedId(id)) return Reply::text(400, "Tidemark-Report-Id must be 32 hexadecimal digits");
    report.reportId = std::move(id);
  }

  CheckedReport checked;
  checked.log = renderLine(report.line);
  checked.fields = std::move(report);
  return checked;
}

Reply ProtocolHandlers::answerReport(const CheckedReport& report, const std::optional<StoredReport>& stored) {
  if (!stored) return Reply::text(500, "The report could not be stored. Please try again later.");
  if (stored->databaseBusy) {
    Reply busy = Reply::text(503, "The server is busy. Please try again in a few seconds.");
    busy.headers.emplace_back("Retry-After", kBusyRetrySeconds);
    return busy;
  }
  // Plain text, like every refusal the client shows: it ends the report.
  if (stored->reportIdConflict)
    return Reply::text(409, "This report id was sent before with another line.");
  // A retry of a report whose player has since been erased (the store
  // renames an erased player "erased-…" until the lines are gone): gone,
  // and nothing of the erased player goes out. The client drops it; its
  // next report, with the old id, registers anew.
  if (stored->playerId.rfind(kErasedPrefix, 0) == 0)
    return Reply::text(410, "This player's lines have been deleted. The report is not stored.");
  if (stored->repeated) return Reply::json(reportAnswer(renderLine(stored->line), *stored, stored->language));
  return Reply::json(reportAnswer(report.log, *stored, report.fields.language));
}

}  // namespace tidemark
