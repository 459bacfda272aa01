#pragma once
// The HttpClient over WinInet: one internet session, at most one connection,
// at most one request at a time. Opening a session closes every handle;
// connecting closes the request and the connection; opening a request closes
// the previous request only, so one connection serves every request in turn.

#include <chrono>
#include <cstdint>
#include <string>

#include "http/http_client.h"
#include "platform/unique_handle.h"

namespace tidemark {

// How long one network step (connect, send, waiting for the answer, one read)
// may block. WinInet's own defaults are far longer, and under Wine a server
// that accepts and never answers holds HttpSendRequestA for over 95 s. The
// answer may only be read for two steps' time after the request was opened,
// so a whole exchange ends within three steps: 30 s at this value.
inline constexpr std::chrono::milliseconds kDefaultStepTimeout{10000};

class WinInetHttpClient final : public HttpClient {
public:
    // Opens a session with no agent name, the system's proxy settings and
    // synchronous operation; a failure leaves a client on which every call
    // fails.
    explicit WinInetHttpClient(std::chrono::milliseconds stepTimeout = kDefaultStepTimeout);
    ~WinInetHttpClient() override;
    WinInetHttpClient(const WinInetHttpClient&) = delete;
    WinInetHttpClient& operator=(const WinInetHttpClient&) = delete;

    bool open(const char* agent, DWORD accessType, const char* proxy, const char* proxyBypass,
              DWORD openFlags);
    void closeRequestAndConnection();
    void closeAll();

    bool connect(const std::string& host, std::uint16_t port, std::uint32_t flags) override;
    bool connect(const char* host, INTERNET_PORT port, const char* user, const char* password,
                 DWORD service, DWORD flags, DWORD_PTR context);
    bool isConnected() const override { return static_cast<bool>(connection_); }
    bool crackUrl(const char* url);
    bool openRequest(const char* objectName, const char* verb, DWORD flags, DWORD_PTR context);
    bool addHeaders(const char* headers, DWORD length, DWORD modifiers);
    bool send(const char* headers, const void* body, DWORD bodyLength);

    bool get(const std::string& path, std::span<const FormField> fields,
             std::uint32_t flags) override;
    bool postForm(const std::string& path, const FormData& form, std::uint32_t flags,
                  std::span<const HttpHeader> extraHeaders = {}) override;
    AnswerStatus answerStatus() const override;
    bool read(void* buffer, std::uint32_t size, std::uint32_t& bytesRead) override;
    std::optional<CertificateRefusal> certificateRefusal() const override;

private:
    // The parts of the last URL split by crackUrl.
    struct UrlParts {
        char scheme[32] = {};
        char host[256] = {};
        char user[128] = {};
        char password[128] = {};
        char path[2048] = {};
        char extra[1024] = {};
        INTERNET_SCHEME schemeNumber = INTERNET_SCHEME_UNKNOWN;
        INTERNET_PORT port = 0;
    };

    // Without a connection, `path` must be a full URL: crack it, connect to
    // its server, and leave the path part (plus its extra information when
    // `keepExtra`) in `target`.
    bool connectFromUrl(const std::string& path, DWORD flags, bool keepExtra, std::string& target);
    void applyTimeouts();

    UniqueInternetHandle session_;
    UniqueInternetHandle connection_;
    UniqueInternetHandle request_;
    UrlParts url_;
    DWORD stepTimeoutMs_;
    ULONGLONG readDeadline_ = 0;  // GetTickCount64 value after which reads fail
    DWORD sendError_ = 0;         // of the last request sent; 0 when it was sent
};

// Makes WinInet clients for the report session.
HttpClientFactory winInetClientFactory(std::chrono::milliseconds stepTimeout = kDefaultStepTimeout);

}  // namespace tidemark
