// Posting one matched game log line and reading the server's answer.
#include "report/line_report.h"

#include <utility>
#include <vector>

#include <rapidjson/document.h>

#include "http/form.h"

namespace tidemark {

namespace {
// The member's string value; nothing when absent or not a string, since the
// server never sends other types there.
std::optional<std::string> stringMember(const rapidjson::Document& answer, const char* name) {
    auto member = answer.FindMember(name);
    if (member == answer.MemberEnd() || !member->value.IsString()) return std::nullopt;
    return std::string(member->value.GetString(), member->value.GetStringLength());
}
}  // namespace

ReportAnswer postLine(ServerConnection& connection, const ReportIdentity& identity, const LogRecord& record,
                      std::string_view reportId) {
    ReportAnswer result;
    HttpClient* client = connection.client();
    if (client == nullptr) return result;

    const std::string pid = std::to_string(record.patternId);
    const std::string code = std::to_string(record.code);
    const std::string line = std::to_string(record.ordinal);
    const std::string ltime = std::to_string(record.time);
    const FormField fields[] = {
        {"lang", identity.language.c_str()},
        {"sid", identity.sid.c_str()},
        {"fid", identity.fid.c_str()},
        {"aid", identity.playerId.c_str()},
        {"pid", pid.c_str()},
        {"code", code.c_str()},
        {"log", record.raw, record.rawLength},
        {"line", line.c_str()},
        {"ltime", ltime.c_str()},
        {"present", record.present != 0 ? "1" : "0"},
    };
    std::vector<HttpHeader> headers;
    if (!reportId.empty()) headers.push_back({kReportIdHeader, std::string(reportId)});
    if (!client->postForm(kReportPostPath, FormData(fields), connection.requestFlags(), headers)) return result;

    result.status = client->answerStatus();
    AnswerText read = readAnswerText(*client);
    result.text = std::move(read.text);
    if (!read.whole) {
        result.outcome = ReportAnswer::Outcome::Lost;
        return result;
    }
    rapidjson::Document answer;
    answer.Parse(result.text.c_str());
    if (answer.HasParseError() || !answer.IsObject()) {
        result.outcome = ReportAnswer::Outcome::NotAnObject;
        return result;
    }
    result.outcome = ReportAnswer::Outcome::Object;
    result.log = stringMember(answer, "log");
    result.msg = stringMember(answer, "msg");
    result.sid = stringMember(answer, "sid");
    result.fid = stringMember(answer, "fid");
    result.aid = stringMember(answer, "aid");
    return result;
}

}  // namespace tidemark

namespace tidemark {

bool endsReport(const ReportAnswer& answer) {
    if (answer.outcome == ReportAnswer::Outcome::NotSent || answer.outcome == ReportAnswer::Outcome::Lost)
        return false;
    const std::uint32_t code = answer.status.code;
    return code != 408 && code != 429 && code < 500;
}

}  // namespace tidemark
