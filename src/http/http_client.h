#pragma once
// The system's one HTTP client: synchronous, one connection, one request at a
// time. The production implementation is WinInet (http_client_win32.cpp);
// native tests use a scripted fake.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "http/certificate_refusal.h"
#include "http/form.h"

namespace tidemark {

inline constexpr std::uint32_t kRequestFlags = 0xA4000000;  // RELOAD | EXISTING_CONNECT | NO_CACHE_WRITE
// Added to every flag set when the server is reached over HTTPS.
inline constexpr std::uint32_t kSecureFlag = 0x00800000;  // INTERNET_FLAG_SECURE

// A header added to one request. Neither part may hold a line break.
struct HttpHeader {
    std::string name;
    std::string value;
};

// The head of the answer to the request just sent: its status code (0 when
// it could not be read) and its Retry-After in seconds, when the server gave
// one as a number.
struct AnswerStatus {
    std::uint32_t code = 0;
    std::optional<std::uint32_t> retryAfterSeconds;
};

class HttpClient {
public:
    virtual ~HttpClient() = default;
    // Closes any request and connection, then connects (service HTTP).
    virtual bool connect(const std::string& host, std::uint16_t port, std::uint32_t flags) = 0;
    virtual bool isConnected() const = 0;
    // GET with the fields percent-encoded into the query string. Without a
    // connection the path is taken as a full URL. False when the request
    // target would pass kMaxRequestTargetLength.
    virtual bool get(const std::string& path, std::span<const FormField> fields,
                     std::uint32_t flags) = 0;
    // POST of the form as an urlencoded body with the system's four headers
    // and `extraHeaders`; false, without sending, when a header holds a line
    // break.
    virtual bool postForm(const std::string& path, const FormData& form, std::uint32_t flags,
                          std::span<const HttpHeader> extraHeaders = {}) = 0;
    // The status of the answer to the request just sent.
    virtual AnswerStatus answerStatus() const = 0;
    // One read of at most `size` bytes of the current answer; 0 bytes with
    // true is the end of the answer.
    virtual bool read(void* buffer, std::uint32_t size, std::uint32_t& bytesRead) = 0;
    // Why the last request failed over the server's certificate; nothing
    // when it did not fail, or failed for another reason.
    virtual std::optional<CertificateRefusal> certificateRefusal() const { return std::nullopt; }
};

// Whether the header can go on the wire as given: a name of token bytes and a
// value without control bytes, so nothing can be smuggled into the request.
bool isSendableHeader(const HttpHeader& header);

// The seconds of a Retry-After value in its number form; nothing for the
// date form or anything unreadable.
std::optional<std::uint32_t> parseRetryAfter(std::string_view value);

using HttpClientFactory = std::function<std::unique_ptr<HttpClient>()>;

}  // namespace tidemark
