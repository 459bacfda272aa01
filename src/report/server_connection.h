#pragma once
// The rules every exchange with the report server shares: one client per
// owner, connected once, and how an answer is read. A connection is used by
// one thread at a time; its owner makes sure of that.

#include <cstddef>
#include <cstdint>
#include <memory>
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
    ServerConnection(HttpClientFactory factory, std::string host, std::uint16_t port);

    // The client, created and connected on first use. Null when this exchange
    // must end as a connect failure: the first connect failed, or no client
    // can be made. A client whose first connect failed is kept and never
    // connected again; later exchanges on it fail at their request.
    HttpClient* client();

    const std::string& host() const { return host_; }
    std::uint16_t port() const { return port_; }

private:
    HttpClientFactory factory_;
    std::string host_;
    std::uint16_t port_;
    std::unique_ptr<HttpClient> client_;
};

// The answer of the request just sent: read until the end of the answer or
// kAnswerCapacity bytes, since one read may return only part of what the
// server sent. The text ends at the first NUL byte, as a C string would.
std::string readAnswer(HttpClient& client);

}  // namespace tidemark
