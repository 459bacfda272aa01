#pragma once
// A scripted stand-in for the report server behind the HttpClient interface.
// Tests queue answers on a FakeHttpServer and hand its factory to the
// session; every client the factory makes records into, and answers from,
// that one server. Thread-safe, so a worker thread may run the exchanges
// while the test thread queues and inspects.
//
//   FakeHttpServer server;
//   server.answer(R"({"log":"hi"})");
//   services.httpClientFactory = server.factory();
//   ... session.postLine(record) ...
//   auto requests = server.requests();  // verb, path, fields, flags, target/body
//
// The server must outlive every client it made (so: the session).

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "http/form.h"
#include "http/http_client.h"

namespace tidemark::testing {

struct FakeConnect {
    std::string host;
    std::uint16_t port = 0;
    std::uint32_t flags = 0;
};

struct FakeField {
    std::string name;
    std::string value;  // raw bytes, NUL bytes included
    bool operator==(const FakeField&) const = default;
};

struct FakeRequest {
    std::string verb;                // "GET" or "POST"
    std::string path;                // as given to get/postForm
    std::vector<FakeField> fields;   // in order
    std::uint32_t flags = 0;
    std::string target;              // GET: the encoded request target; POST: the path
    std::string body;                // POST: the encoded urlencoded body
    std::vector<HttpHeader> headers; // POST: the headers added to the system's own

    // The value of the first field with this name; nullopt when absent.
    std::optional<std::string> field(const std::string& name) const {
        for (const FakeField& f : fields)
            if (f.name == name) return f.value;
        return std::nullopt;
    }
    std::optional<std::string> header(const std::string& name) const {
        for (const HttpHeader& h : headers)
            if (h.name == name) return h.value;
        return std::nullopt;
    }
    std::vector<std::string> fieldNames() const {
        std::vector<std::string> names;
        for (const FakeField& f : fields) names.push_back(f.name);
        return names;
    }
};

// One scripted outcome of one request.
struct FakeAnswer {
    enum class Kind { Body, RequestFailure, ReadFailure };
    Kind kind = Kind::Body;
    std::string body;        // Body: the answer bytes (empty: an empty answer)
    std::size_t chunk = 0;   // >0: at most this many bytes per read
    std::size_t failAfter = 0;  // ReadFailure: bytes delivered before read fails
    AnswerStatus status{200, std::nullopt};
    std::optional<CertificateRefusal> refusal{};  // RequestFailure: over the certificate

    static FakeAnswer text(std::string body, std::size_t chunk = 0) {
        return {Kind::Body, std::move(body), chunk, 0};
    }
    static FakeAnswer empty() { return {Kind::Body, {}, 0, 0}; }
    static FakeAnswer requestFailure() { return {Kind::RequestFailure, {}, 0, 0}; }
    // The request fails over the server's certificate.
    static FakeAnswer certificateRefused(CertificateRefusal why) {
        FakeAnswer answer = requestFailure();
        answer.refusal = why;
        return answer;
    }
    static FakeAnswer readFailure(std::string bodyBeforeFailure) {
        std::size_t n = bodyBeforeFailure.size();
        return {Kind::ReadFailure, std::move(bodyBeforeFailure), 0, n};
    }
    // An answer with another status code, and a Retry-After when given.
    static FakeAnswer withStatus(std::uint32_t code, std::string body,
                                 std::optional<std::uint32_t> retryAfter = std::nullopt) {
        FakeAnswer answer = text(std::move(body));
        answer.status = {code, retryAfter};
        return answer;
    }
};

class FakeHttpServer {
public:
    // --- script ------------------------------------------------------------
    void answer(std::string body, std::size_t chunk = 0) { push(FakeAnswer::text(std::move(body), chunk)); }
    void push(FakeAnswer answer) {
        std::lock_guard guard(mutex_);
        answers_.push_back(std::move(answer));
    }
    // Whether connect() succeeds (applies to every later connect).
    void setConnectSucceeds(bool on) {
        std::lock_guard guard(mutex_);
        connectSucceeds_ = on;
    }
    // Called on the requesting thread for each request, before it is answered
    // and without the fake's lock held (to check locks or to block).
    void onRequest(std::function<void(const FakeRequest&)> hook) {
        std::lock_guard guard(mutex_);
        hook_ = std::move(hook);
    }

    // Answers every later request by what it asks instead of by the script.
    // Called on the requesting thread after the onRequest hook, without the
    // fake's lock held.
    void respondWith(std::function<FakeAnswer(const FakeRequest&)> responder) {
        std::lock_guard guard(mutex_);
        responder_ = std::move(responder);
    }

    // --- records -----------------------------------------------------------
    std::vector<FakeRequest> requests() const {
        std::lock_guard guard(mutex_);
        return requests_;
    }
    std::size_t requestCount() const {
        std::lock_guard guard(mutex_);
        return requests_.size();
    }
    std::vector<FakeConnect> connects() const {
        std::lock_guard guard(mutex_);
        return connects_;
    }
    int clientsCreated() const {
        std::lock_guard guard(mutex_);
        return clientsCreated_;
    }
    std::size_t answersLeft() const {
        std::lock_guard guard(mutex_);
        return answers_.size();
    }
    // Waits until `count` requests have arrived; false on timeout.
    bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout) {
        std::unique_lock guard(mutex_);
        return arrived_.wait_for(guard, timeout, [&] { return requests_.size() >= count; });
    }

    HttpClientFactory factory();

private:
    friend class FakeHttpClient;

    bool recordConnect(FakeConnect call) {
        std::lock_guard guard(mutex_);
        connects_.push_back(std::move(call));
        return connectSucceeds_;
    }
    // Records the request and takes the next answer; an empty script fails
    // the request, so an unexpected request shows as a failure.
    std::optional<FakeAnswer> recordRequest(FakeRequest request) {
        std::function<void(const FakeRequest&)> hook;
        std::function<FakeAnswer(const FakeRequest&)> responder;
        {
            std::lock_guard guard(mutex_);
            hook = hook_;
            responder = responder_;
        }
        if (hook) hook(request);
        std::optional<FakeAnswer> chosen;
        if (responder) chosen = responder(request);
        std::lock_guard guard(mutex_);
        requests_.push_back(std::move(request));
        arrived_.notify_all();
        if (chosen) return chosen;
        if (answers_.empty()) return std::nullopt;
        FakeAnswer next = std::move(answers_.front());
        answers_.pop_front();
        return next;
    }

    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<FakeAnswer> answers_;
    std::vector<FakeRequest> requests_;
    std::vector<FakeConnect> connects_;
    std::function<void(const FakeRequest&)> hook_;
    std::function<FakeAnswer(const FakeRequest&)> responder_;
    bool connectSucceeds_ = true;
    int clientsCreated_ = 0;
};

class FakeHttpClient : public HttpClient {
public:
    explicit FakeHttpClient(FakeHttpServer& server) : server_(server) {}

    bool connect(const std::string& host, std::uint16_t port, std::uint32_t flags) override {
        connected_ = false;
        current_.reset();
        refusal_.reset();
        connected_ = server_.recordConnect({host, port, flags});
        return connected_;
    }
    bool isConnected() const override { return connected_; }

    bool get(const std::string& path, std::span<const FormField> fields, std::uint32_t flags) override {
        current_.reset();
        refusal_.reset();
        if (path.empty() || !connected_) return false;
        std::optional<std::string> target = buildRequestTarget(path, fields);
        if (!target) return false;
        FakeRequest request{"GET", path, toFields(fields), flags, *target, {}, {}};
        return take(server_.recordRequest(std::move(request)));
    }

    bool postForm(const std::string& path, const FormData& form, std::uint32_t flags,
                  std::span<const HttpHeader> extraHeaders = {}) override {
        current_.reset();
        refusal_.reset();
        if (path.empty() || !connected_) return false;
        for (const HttpHeader& header : extraHeaders)
            if (!isSendableHeader(header)) return false;
        FakeRequest request{"POST", path, toFields(form.fields()), flags, path,
                            buildUrlencodedBody(form.fields()),
                            std::vector<HttpHeader>(extraHeaders.begin(), extraHeaders.end())};
        return take(server_.recordRequest(std::move(request)));
    }

    AnswerStatus answerStatus() const override { return current_ ? current_->status : AnswerStatus{}; }
    std::optional<CertificateRefusal> certificateRefusal() const override { return refusal_; }

    bool read(void* buffer, std::uint32_t size, std::uint32_t& bytesRead) override {
        bytesRead = 0;
        if (!current_) return false;
        FakeAnswer& answer = *current_;
        std::size_t left = answer.body.size() - offset_;
        if (answer.kind == FakeAnswer::Kind::ReadFailure && offset_ >= answer.failAfter) return false;
        std::size_t n = std::min<std::size_t>(left, size);
        if (answer.chunk > 0) n = std::min(n, answer.chunk);
        if (n > 0) std::memcpy(buffer, answer.body.data() + offset_, n);
        offset_ += n;
        bytesRead = static_cast<std::uint32_t>(n);
        return true;
    }

private:
    static std::vector<FakeField> toFields(std::span<const FormField> fields) {
        std::vector<FakeField> out;
        for (const FormField& f : fields) out.push_back({std::string(f.name), std::string(f.value)});
        return out;
    }
    bool take(std::optional<FakeAnswer> answer) {
        offset_ = 0;
        refusal_ = answer ? answer->refusal : std::nullopt;
        if (!answer || answer->kind == FakeAnswer::Kind::RequestFailure) return false;
        current_ = std::move(answer);
        return true;
    }

    FakeHttpServer& server_;
    bool connected_ = false;
    std::optional<FakeAnswer> current_;
    std::size_t offset_ = 0;
    std::optional<CertificateRefusal> refusal_;
};

inline HttpClientFactory FakeHttpServer::factory() {
    return [this]() -> std::unique_ptr<HttpClient> {
        {
            std::lock_guard guard(mutex_);
            ++clientsCreated_;
        }
        return std::make_unique<FakeHttpClient>(*this);
    };
}

}  // namespace tidemark::testing
