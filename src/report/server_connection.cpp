#include "report/server_connection.h"

#include <array>
#include <utility>

namespace tidemark {

ServerConnection::ServerConnection(HttpClientFactory factory, std::string host, std::uint16_t port, bool secure)
    : factory_(std::move(factory)), host_(std::move(host)), port_(port), secure_(secure) {}

HttpClient* ServerConnection::client() {
    if (client_) return client_.get();
    if (!factory_) return nullptr;
    client_ = factory_();
    if (!client_) return nullptr;
    if (!client_->connect(host_, port_, requestFlags())) return nullptr;
    return client_.get();
}

std::optional<CertificateRefusal> ServerConnection::freshCertificateRefusal() {
    const std::optional<CertificateRefusal> refusal = client_ ? client_->certificateRefusal() : std::nullopt;
    if (refusal == told_) return std::nullopt;
    told_ = refusal;
    return refusal;
}

AnswerText readAnswerText(HttpClient& client) {
    std::array<char, kAnswerCapacity> buffer;
    std::size_t total = 0;
    bool whole = true;
    while (total < buffer.size()) {
        std::uint32_t got = 0;
        auto room = static_cast<std::uint32_t>(buffer.size() - total);
        if (!client.read(buffer.data() + total, room, got)) {
            whole = false;
            break;
        }
        if (got == 0) break;
        total += got > room ? room : got;
    }
    AnswerText answer{std::string(buffer.data(), total), whole};
    std::size_t nul = answer.text.find('\0');
    if (nul != std::string::npos) answer.text.resize(nul);
    return answer;
}

std::string readAnswer(HttpClient& client) { return readAnswerText(client).text; }

}  // namespace tidemark
