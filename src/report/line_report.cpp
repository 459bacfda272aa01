// Posting one matched game log line and acting on the server's answer.
#include <mutex>
#include <string>

#include <rapidjson/document.h>

#include "capture/capture_session.h"
#include "http/form.h"
#include "report/server_exchange.h"
#include "shell/texts.h"

namespace tidemark {

namespace {
// The member's string value; null when absent or not a string, since the
// server never sends other types there.
const rapidjson::Value* stringMember(const rapidjson::Document& answer, const char* name) {
    auto member = answer.FindMember(name);
    if (member == answer.MemberEnd() || !member->value.IsString()) return nullptr;
    return &member->value;
}

std::string stringOf(const rapidjson::Value& value) {
    return std::string(value.GetString(), value.GetStringLength());
}
}  // namespace

void CaptureSession::postLine(LogRecord& record) {
    std::lock_guard exchange(exchangeMutex);
    HttpClient* client = clientForExchange(*this);
    if (client == nullptr) return;

    const std::string lang = language();
    const std::string player = playerId();
    const std::string pid = std::to_string(record.patternId);
    const std::string code = std::to_string(record.code);
    const std::string line = std::to_string(record.ordinal);
    const std::string ltime = std::to_string(record.time);
    const FormField fields[] = {
        {"lang", lang.c_str()},
        {"sid", sid.c_str()},
        {"fid", fid.c_str()},
        {"aid", player.c_str()},
        {"pid", pid.c_str()},
        {"code", code.c_str()},
        {"log", record.raw, record.rawLength},
        {"line", line.c_str()},
        {"ltime", ltime.c_str()},
        {"present", record.present != 0 ? "1" : "0"},
    };
    if (!client->postForm(kReportPostPath, FormData(fields), kRequestFlags)) return;

    const std::string answerText = readAnswer(*client);
    rapidjson::Document answer;
    answer.Parse(answerText.c_str());
    if (answer.HasParseError() || !answer.IsObject()) {
        reportServerText(answerText.c_str());
        return;
    }

    if (const rapidjson::Value* log = stringMember(answer, "log")) {
        record.text = Utf8ToWide(std::string_view(log->GetString(), log->GetStringLength()));
        appendMessage(record);
    }
    if (const rapidjson::Value* msg = stringMember(answer, "msg")) reportText("* " + stringOf(*msg));
    if (const rapidjson::Value* value = stringMember(answer, "sid")) sid = stringOf(*value);
    if (const rapidjson::Value* value = stringMember(answer, "fid")) fid = stringOf(*value);
    if (const rapidjson::Value* aid = stringMember(answer, "aid")) {
        std::string id = stringOf(*aid);
        setPlayerId(id);
        if (services.settings != nullptr) services.settings->writeText("general", "wader", id);
    }
}

}  // namespace tidemark
