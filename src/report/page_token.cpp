// The token of the player's own page on the report server's web site.
#include <mutex>
#include <optional>

#include <rapidjson/document.h>

#include "capture/capture_session.h"
#include "http/form.h"
#include "report/server_exchange.h"
#include "shell/texts.h"

namespace tidemark {

std::string CaptureSession::fetchPageToken() {
    // Decided under the exchange lock, shown after it is released: a message
    // box waits for the user, and the worker must not wait with it.
    std::optional<std::u16string> notice;
    std::string token;
    {
        std::lock_guard exchange(exchangeMutex);
        HttpClient* client = clientForExchange(*this);
        if (client == nullptr) return {};

        std::string player = playerId();
        if (player.empty()) {
            notice = LoadTextW(kTextAuthenticationRequired);
        } else {
            const FormField fields[] = {{"get", "token"}, {"wader", player.c_str()}};
            if (!client->get(kReportGetPath, fields, kRequestFlags)) {
                notice = LoadTextW(kTextConnectionFailed);
            } else {
                std::string answer = readAnswer(*client);
                rapidjson::Document document;
                document.Parse(answer.c_str());
                if (document.HasParseError() || !document.IsObject()) {
                    // The server's own error texts reach the user this way.
                    notice = Utf8ToWide(answer);
                } else {
                    auto member = document.FindMember("token");
                    if (member != document.MemberEnd() && member->value.IsString())
                        token.assign(member->value.GetString(), member->value.GetStringLength());
                }
            }
        }
    }
    if (notice && services.notice != nullptr) services.notice->showInformation(*notice);
    return token;
}

}  // namespace tidemark
