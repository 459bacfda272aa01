// The token of the player's own page on the report server's web site.
#include "report/page_token.h"

#include <rapidjson/document.h>

#include "http/form.h"
#include "texts/texts.h"

namespace tidemark {

PageTokenAnswer fetchPageToken(ServerConnection& connection, const std::string& playerId) {
    PageTokenAnswer result;
    HttpClient* client = connection.client();
    if (client == nullptr) return result;

    if (playerId.empty()) {
        result.notice = LoadTextW(kTextAuthenticationRequired);
        return result;
    }
    const FormField fields[] = {{"get", "token"}, {"wader", playerId.c_str()}};
    if (!client->get(kReportGetPath, fields, connection.requestFlags())) {
        result.notice = LoadTextW(kTextConnectionFailed);
        return result;
    }
    std::string answer = readAnswer(*client);
    rapidjson::Document document;
    document.Parse(answer.c_str());
    if (document.HasParseError() || !document.IsObject()) {
        // The server's own error texts reach the player this way.
        result.notice = Utf8ToWide(answer);
        return result;
    }
    auto member = document.FindMember("token");
    if (member != document.MemberEnd() && member->value.IsString())
        result.token.assign(member->value.GetString(), member->value.GetStringLength());
    return result;
}

}  // namespace tidemark
