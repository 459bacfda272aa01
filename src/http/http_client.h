#pragma once
// The system's one HTTP client: synchronous, one connection, one request at a
// time. The production implementation is WinInet (http_client_win32.cpp);
// native tests use a scripted fake.

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "http/form.h"

namespace tidemark {

inline constexpr std::uint32_t kRequestFlags = 0xA4000000;  // RELOAD | EXISTING_CONNECT | NO_CACHE_WRITE

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
    // POST of the form as an urlencoded body with the system's four headers.
    virtual bool postForm(const std::string& path, const FormData& form, std::uint32_t flags) = 0;
    // One read of at most `size` bytes of the current answer; 0 bytes with
    // true is the end of the answer.
    virtual bool read(void* buffer, std::uint32_t size, std::uint32_t& bytesRead) = 0;
};

using HttpClientFactory = std::function<std::unique_ptr<HttpClient>()>;

}  // namespace tidemark
