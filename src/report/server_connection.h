#pragma once
// The rules every exchange with the report server shares: one client per
// owner, connected once, and how an answer is read. A connection is used by
// one thread at a time; its owner makes sure of that.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "http/http_client.h"

namespace tidemark {

inline constexpr char kReportGetPath[] = "/rep/get.php";
inline constexpr char kReportPostPath[] = "/rep/post.php";

// The most answer bytes an exchange keeps; a longer answer is cut.
inline constexpr std::size_t kAnswerCapacity = 4095;

class ServerConnection {
public:
    // `factory` empty: no client can be made, and every exchange fails as a
    // failed connect.
    // `secure`: the server is reached over HTTPS.
    ServerConnection(HttpClientFactory factory, std::string host, std::uint16_t port, bool secure = false);

    // The client, created and connected on first use. Null when this exchange
    // must end as a connect failure: the first connect failed, or no client
    // can be made. A client whose first connect failed is kept and never
    // connected again; later exchanges on it fail at their request.
    HttpClient* client();

    const std::string& host() const { return host_; }
    std::uint16_t port() const { return port_; }
    bool secure() const { return secure_; }
    // The flags of every connect and request.
    std::uint32_t requestFlags() const { return secure_ ? kRequestFlags | kSecureFlag : kRequestFlags; }

    // Called after every exchange: the certificate refusal that made it fail,
    // when the player has not been told of that refusal since an exchange
    // last ended otherwise. A server whose certificate stays refused is told
    // of once, not at every attempt.
    std::optional<CertificateRefusal> freshCertificateRefusal();

private:
    HttpClientFactory factory_;
    std::string host_;
    std::uint16_t port_;
    bool secure_;
    std::unique_ptr<HttpClient> client_;
    std::optional<CertificateRefusal> told_;
};

// The answer of the request just sent: read until the end of the answer or
// kAnswerCapacity bytes, since one read may return only part of what the
// server sent. The text ends at the first NUL byte, as a C string would.
// `whole` is false when a read failed before either: the answer broke off
// on the way, and what the server meant is not known.
struct AnswerText {
    std::string text;
    bool whole = true;
};
AnswerText readAnswerText(HttpClient& client);
std::string readAnswer(HttpClient& client);

}  // namespace tidemark
