#include "shell/window_exchanges.h"

#include <optional>
#include <utility>

#include "report/pattern_fetch.h"

namespace tidemark {

WindowExchanges::WindowExchanges(HttpClientFactory factory, std::string host, std::uint16_t port, bool secure)
    : connection_(std::move(factory), std::move(host), port, secure) {}

LanguageListAnswer WindowExchanges::fetchLanguageList() {
    std::lock_guard exchange(mutex_);
    LanguageListAnswer answer;
    answer.text = fetchPatterns(connection_, std::nullopt);
    answer.refusal = connection_.freshCertificateRefusal();
    return answer;
}

PageTokenAnswer WindowExchanges::fetchPageToken(const std::string& playerId) {
    std::lock_guard exchange(mutex_);
    return tidemark::fetchPageToken(connection_, playerId);
}

}  // namespace tidemark
