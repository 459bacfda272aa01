#include "report/server_exchange.h"

#include <array>

namespace tidemark {

HttpClient* clientForExchange(CaptureSession& session) {
    if (session.httpClient) return session.httpClient.get();
    if (!session.services.httpClientFactory) return nullptr;
    session.httpClient = session.services.httpClientFactory();
    if (!session.httpClient) return nullptr;
    if (!session.httpClient->connect(session.services.serverHost, session.services.serverPort,
                                     kRequestFlags))
        return nullptr;
    return session.httpClient.get();
}

std::string readAnswer(HttpClient& client) {
    std::array<char, kAnswerCapacity> buffer;
    std::size_t total = 0;
    while (total < buffer.size()) {
        std::uint32_t got = 0;
        auto room = static_cast<std::uint32_t>(buffer.size() - total);
        if (!client.read(buffer.data() + total, room, got) || got == 0) break;
        total += got > room ? room : got;
    }
    std::string answer(buffer.data(), total);
    std::size_t nul = answer.find('\0');
    if (nul != std::string::npos) answer.resize(nul);
    return answer;
}

}  // namespace tidemark
