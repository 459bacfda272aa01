// The pattern set of a language, or the list of languages the server offers.
#include "report/pattern_fetch.h"

#include "http/form.h"
#include "texts/texts.h"

namespace tidemark {

std::string fetchPatterns(ServerConnection& connection, std::optional<std::string_view> language) {
    HttpClient* client = connection.client();
    if (client == nullptr) return {};

    std::string code(language.value_or(std::string_view()));
    const FormField fields[] = {
        {"get", language ? "pattern" : "lang"},
        {"lang", code.c_str()},
    };
    if (!client->get(kReportGetPath, fields, connection.requestFlags())) return LoadTextA(kTextConnectionFailed);

    std::string answer = readAnswer(*client);
    if (answer.empty()) return LoadTextA(kTextConnectionFailed);
    return answer;
}

}  // namespace tidemark
