#include "http/http_client_win32.h"

#include <algorithm>
#include <array>
#include <optional>

namespace tidemark {

namespace {
constexpr DWORD kHeaderModifiers = HTTP_ADDREQ_FLAG_REPLACE | HTTP_ADDREQ_FLAG_ADD;  // 0xA0000000

// Sent with every form, in this order.
constexpr std::array<const char*, 4> kFormHeaders = {
    "Accept:*/*\r\n",
    "Accept-Language: ja-JP\r\n",
    "Connection: Keep-Alive\r\n",
    "Cache-Control: no-cache\r\n",
};
constexpr char kFormContentType[] = "Content-Type: application/x-www-form-urlencoded\r\n";
}  // namespace

WinInetHttpClient::WinInetHttpClient(std::chrono::milliseconds stepTimeout)
    : stepTimeoutMs_(static_cast<DWORD>(stepTimeout.count())) {
    open(nullptr, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
}

WinInetHttpClient::~WinInetHttpClient() { closeAll(); }

bool WinInetHttpClient::open(const char* agent, DWORD accessType, const char* proxy,
                             const char* proxyBypass, DWORD openFlags) {
    closeAll();
    if (InternetAttemptConnect(0) != ERROR_SUCCESS) return false;
    session_.reset(InternetOpenA(agent, accessType, proxy, proxyBypass, openFlags));
    return static_cast<bool>(session_);
}

void WinInetHttpClient::closeRequestAndConnection() {
    request_.reset();
    connection_.reset();
}

void WinInetHttpClient::closeAll() {
    closeRequestAndConnection();
    session_.reset();
}

bool WinInetHttpClient::connect(const std::string& host, std::uint16_t port, std::uint32_t flags) {
    return connect(host.c_str(), port, nullptr, nullptr, INTERNET_SERVICE_HTTP, flags, 0);
}

bool WinInetHttpClient::connect(const char* host, INTERNET_PORT port, const char* user,
                                const char* password, DWORD service, DWORD flags, DWORD_PTR context) {
    if (!session_) return false;
    closeRequestAndConnection();
    connection_.reset(InternetConnectA(session_.get(), host, port, user, password, service, flags, context));
    return static_cast<bool>(connection_);
}

bool WinInetHttpClient::crackUrl(const char* url) {
    URL_COMPONENTSA parts{};
    parts.dwStructSize = sizeof parts;
    parts.lpszScheme = url_.scheme;
    parts.dwSchemeLength = sizeof url_.scheme;
    parts.lpszHostName = url_.host;
    parts.dwHostNameLength = sizeof url_.host;
    parts.lpszUserName = url_.user;
    parts.dwUserNameLength = sizeof url_.user;
    parts.lpszPassword = url_.password;
    parts.dwPasswordLength = sizeof url_.password;
    parts.lpszUrlPath = url_.path;
    parts.dwUrlPathLength = sizeof url_.path;
    parts.lpszExtraInfo = url_.extra;
    parts.dwExtraInfoLength = sizeof url_.extra;
    if (!InternetCrackUrlA(url, 0, 0, &parts)) return false;
    url_.schemeNumber = parts.nScheme;
    url_.port = parts.nPort;
    return true;
}

bool WinInetHttpClient::openRequest(const char* objectName, const char* verb, DWORD flags,
                                    DWORD_PTR context) {
    if (!connection_) return false;
    request_.reset();
    request_.reset(HttpOpenRequestA(connection_.get(), verb, objectName, nullptr, nullptr, nullptr,
                                    flags, context));
    if (!request_) return false;
    applyTimeouts();
    return true;
}

// Timeouts belong on the request handle: Wine ignores those of the session.
void WinInetHttpClient::applyTimeouts() {
    DWORD timeout = stepTimeoutMs_;
    for (DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                         INTERNET_OPTION_RECEIVE_TIMEOUT, INTERNET_OPTION_DATA_SEND_TIMEOUT,
                         INTERNET_OPTION_DATA_RECEIVE_TIMEOUT})
        InternetSetOptionA(request_.get(), option, &timeout, sizeof timeout);
    readDeadline_ = GetTickCount64() + 2ull * stepTimeoutMs_;
}

bool WinInetHttpClient::addHeaders(const char* headers, DWORD length, DWORD modifiers) {
    if (!request_) return false;
    return HttpAddRequestHeadersA(request_.get(), headers, length, modifiers) != FALSE;
}

bool WinInetHttpClient::send(const char* headers, const void* body, DWORD bodyLength) {
    if (!request_) return false;
    if (body != nullptr && bodyLength == static_cast<DWORD>(-1))
        bodyLength = static_cast<DWORD>(std::char_traits<char>::length(static_cast<const char*>(body)));
    DWORD headersLength = headers != nullptr ? static_cast<DWORD>(-1) : 0;
    // The TLS handshake, and so the check of the certificate, happens here.
    const bool sent =
        HttpSendRequestA(request_.get(), headers, headersLength, const_cast<void*>(body), bodyLength) != FALSE;
    sendError_ = sent ? 0 : GetLastError();
    return sent;
}

std::optional<CertificateRefusal> WinInetHttpClient::certificateRefusal() const {
    return certificateRefusalOf(sendError_);
}

bool WinInetHttpClient::read(void* buffer, std::uint32_t size, std::uint32_t& bytesRead) {
    bytesRead = 0;
    if (!request_) return false;
    // A server that trickles its answer must not hold the exchange for ever.
    // A read waits until it has `size` bytes (Wine) or some bytes (Windows),
    // so ask only for what has arrived: then each read returns within one
    // step and the deadline is checked between reads.
    if (GetTickCount64() > readDeadline_) return false;
    DWORD available = 0;
    if (!InternetQueryDataAvailable(request_.get(), &available, 0, 0)) return false;
    if (available == 0) return true;  // end of the answer
    if (GetTickCount64() > readDeadline_) return false;
    DWORD got = 0;
    if (!InternetReadFile(request_.get(), buffer, std::min<DWORD>(size, available), &got)) return false;
    bytesRead = got;
    return true;
}

bool WinInetHttpClient::connectFromUrl(const std::string& path, DWORD flags, bool keepExtra,
                                       std::string& target) {
    if (!crackUrl(path.c_str())) return false;
    if (!connect(url_.host, url_.port, url_.user, url_.password, INTERNET_SERVICE_HTTP, flags, 0))
        return false;
    target = url_.path;
    if (keepExtra) target += url_.extra;
    return true;
}

bool WinInetHttpClient::get(const std::string& path, std::span<const FormField> fields,
                            std::uint32_t flags) {
    sendError_ = 0;
    if (path.empty()) return false;
    std::string objectPath = path;
    if (!connection_ && !connectFromUrl(path, flags, false, objectPath)) return false;
    std::optional<std::string> target = buildRequestTarget(objectPath, fields);
    if (!target) return false;
    if (!openRequest(target->c_str(), "GET", flags, 0)) return false;
    return send(nullptr, nullptr, 0);
}

bool WinInetHttpClient::postForm(const std::string& path, const FormData& form, std::uint32_t flags,
                                 std::span<const HttpHeader> extraHeaders) {
    sendError_ = 0;
    if (path.empty()) return false;
    for (const HttpHeader& header : extraHeaders)
        if (!isSendableHeader(header)) return false;
    std::string target = path;
    if (!connection_ && !connectFromUrl(path, flags, true, target)) return false;
    if (target.size() > kMaxRequestTargetLength) return false;
    if (!openRequest(target.c_str(), "POST", flags, 0)) return false;
    for (const char* header : kFormHeaders) addHeaders(header, static_cast<DWORD>(-1), kHeaderModifiers);
    for (const HttpHeader& header : extraHeaders) {
        const std::string line = header.name + ": " + header.value + "\r\n";
        if (!addHeaders(line.c_str(), static_cast<DWORD>(line.size()), kHeaderModifiers)) return false;
    }
    std::string body = buildUrlencodedBody(form.fields());
    return send(kFormContentType, body.data(), static_cast<DWORD>(body.size()));
}

AnswerStatus WinInetHttpClient::answerStatus() const {
    AnswerStatus status;
    if (!request_) return status;
    DWORD code = 0;
    DWORD size = sizeof code;
    if (HttpQueryInfoA(request_.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &code, &size, nullptr))
        status.code = code;
    char retryAfter[64] = {};
    size = sizeof retryAfter - 1;
    if (HttpQueryInfoA(request_.get(), HTTP_QUERY_RETRY_AFTER, retryAfter, &size, nullptr))
        status.retryAfterSeconds = parseRetryAfter(std::string_view(retryAfter, size));
    return status;
}

HttpClientFactory winInetClientFactory(std::chrono::milliseconds stepTimeout) {
    return [stepTimeout]() -> std::unique_ptr<HttpClient> {
        return std::make_unique<WinInetHttpClient>(stepTimeout);
    };
}

}  // namespace tidemark
