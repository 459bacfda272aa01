#pragma once
// The window's own exchanges with the report server (the language list and
// the page token), on a connection of their own so that they never wait
// behind the worker's reports. One exchange at a time, from any thread.

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "http/http_client.h"
#include "report/page_token.h"
#include "report/server_connection.h"

namespace tidemark {

// The language list's answer text (see fetchPatterns), and the refused
// certificate that made the request fail, if one did.
struct LanguageListAnswer {
    std::string text;
    std::optional<CertificateRefusal> refusal;
};

class WindowExchanges {
public:
    WindowExchanges(HttpClientFactory factory, std::string host, std::uint16_t port, bool secure = false);

    LanguageListAnswer fetchLanguageList();
    PageTokenAnswer fetchPageToken(const std::string& playerId);

    const std::string& host() const { return connection_.host(); }
    std::uint16_t port() const { return connection_.port(); }
    bool secure() const { return connection_.secure(); }

private:
    std::mutex mutex_;
    ServerConnection connection_;
};

}  // namespace tidemark
