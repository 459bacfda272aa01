// The pattern set of a language, or the list of languages the server offers.
#include <mutex>

#include "capture/capture_session.h"
#include "http/form.h"
#include "report/server_exchange.h"
#include "shell/texts.h"

namespace tidemark {

std::string CaptureSession::fetchPatterns(std::optional<std::string_view> language) {
    std::lock_guard exchange(exchangeMutex);
    HttpClient* client = clientForExchange(*this);
    if (client == nullptr) return {};

    std::string code(language.value_or(std::string_view()));
    const FormField fields[] = {
        {"get", language ? "pattern" : "lang"},
        {"lang", code.c_str()},
    };
    if (!client->get(kReportGetPath, fields, kRequestFlags)) return LoadTextA(kTextConnectionFailed);

    std::string answer = readAnswer(*client);
    if (answer.empty()) return LoadTextA(kTextConnectionFailed);
    return answer;
}

}  // namespace tidemark
