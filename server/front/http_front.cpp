#include "front/http_front.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <thread>

namespace tidemark {
namespace {

using Clock = std::chrono::steady_clock;

// Connections over a cap are taken and answered 503 rather than left in the
// kernel's queue; the library's own hard caps sit this far above ours.
constexpr unsigned kConnectionSlack = 512;
constexpr unsigned kPerAddressSlack = 16;
// libmicrohttpd keeps a request's head, its parsed headers and the answer's
// head in one pool per connection: the header cap plus room for the rest.
constexpr size_t kPoolAboveHeaders = 4096;

std::string lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
  return out;
}

std::string trim(std::string_view text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return std::string(text.substr(first, text.find_last_not_of(" \t") - first + 1));
}

std::string addressText(const sockaddr* address) {
  char text[INET6_ADDRSTRLEN] = "";
  if (!address) return "unknown";
  if (address->sa_family == AF_INET)
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
  else if (address->sa_family == AF_INET6)
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text, sizeof text);
  return text[0] ? text : "unknown";
}

// The request headers that decide how its body is framed and read.
struct HeadFacts {
  size_t bytes = 0;
  int contentLengths = 0;
  bool contentLengthDecimal = true;
  int hosts = 0;
  // A name that is not a token ("Transfer-Encoding :" arrives as the name
  // "Transfer-Encoding "), or a line folded onto the one before.
  bool malformedLine = false;
  std::optional<std::string> transferEncoding, contentEncoding, contentType, reportId;
  std::string forwardedFor;
  SiteHeaders site;
};

bool isToken(std::string_view name) {
  if (name.empty()) return false;
  for (unsigned char c : name)
    if (c == 0 || (!std::isalnum(c) && !std::strchr("!#$%&'*+-.^_`|~", c))) return false;
  return true;
}

// libmicrohttpd splits "Name: value" in place in its read buffer, so the
// value follows the name, its colon and blanks. It joins a folded line
// (obs-fold) by moving the name elsewhere in its pool: the value then no
// longer follows the name, which is how a fold is told apart from a name
// that merely looks odd. The library accepts folds with no setting to
// refuse them.
constexpr size_t kMostBlanksAfterColon = 64;

bool valueFollowsName(const char* key, size_t keySize, const char* value) {
  const auto name = reinterpret_cast<uintptr_t>(key), text = reinterpret_cast<uintptr_t>(value);
  if (text <= name + keySize || text > name + keySize + 1 + kMostBlanksAfterColon) return false;
  for (const char* c = key + keySize + 1; c < value; ++c)
    if (*c != ' ' && *c != '\t') return false;
  return true;
}

MHD_Result collectHead(void* cls, MHD_ValueKind, const char* key, size_t keySize, const char* value,
                       size_t valueSize) {
  auto& facts = *static_cast<HeadFacts*>(cls);
  const std::string_view v = value ? std::string_view(value, valueSize) : std::string_view();
  facts.bytes += keySize + v.size() + 4;
  if (!isToken(std::string_view(key, keySize)) || (value && !valueFollowsName(key, keySize, value)))
    facts.malformedLine = true;
  const std::string name = lower(std::string_view(key, keySize));
  if (name == "host") ++facts.hosts;
  if (name == "content-length") {
    ++facts.contentLengths;
    const std::string number = trim(v);
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos)
      facts.contentLengthDecimal = false;
  } else if (name == "transfer-encoding") {
    facts.transferEncoding = facts.transferEncoding ? *facts.transferEncoding + "," + std::string(v) : std::string(v);
  } else if (name == "content-encoding") {
    facts.contentEncoding = facts.contentEncoding ? *facts.contentEncoding + "," + std::string(v) : std::string(v);
  } else if (name == "content-type") {
    facts.contentType = std::string(v);
  } else if (name == "x-forwarded-for") {
    facts.forwardedFor += (facts.forwardedFor.empty() ? "" : ", ") + std::string(v);
  } else if (name == "host") {
    facts.site.host = std::string(v);
  } else if (name == "origin") {
    facts.site.origin = std::string(v);
  } else if (name == "referer") {
    facts.site.referer = std::string(v);
  } else if (name == "sec-fetch-site") {
    facts.site.fetchSite = std::string(v);
  } else if (name == "tidemark-report-id") {
    facts.reportId = facts.reportId ? *facts.reportId + "," + std::string(v) : std::string(v);
  }
  return MHD_YES;
}

struct Refusal {
  int status;
  const char* reason;  // a token for logs and metrics
  const char* text;    // what the client reads
};

}  // namespace

struct HttpFront::ConnectionState {
  std::string address;
  const char* overLimit = nullptr;  // the cap this connection is beyond
  int fd = -1;
  // Between a request line and the end of its body (under headsMutex_).
  bool reading = false;
  Clock::time_point requestStarted;
};

namespace {

HttpFront::ConnectionState* connectionStateOf(MHD_Connection* connection) {
  const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
  return info ? static_cast<HttpFront::ConnectionState*>(info->socket_context) : nullptr;
}

}  // namespace

// Where a handler's answer meets the event loop. The handler's callback
// holds it too, so an answer that comes after the request is gone (the
// server stopped meanwhile) lands here harmlessly.
struct HttpFront::AnswerSlot {
  std::mutex mutex;
  MHD_Connection* connection = nullptr;  // null once the request is over
  bool suspended = false;
  std::optional<Reply> reply;
};

struct HttpFront::RequestState {
  Clock::time_point started = Clock::now();
  HttpRequest request;
  bool headChecked = false;
  bool bodyTooLarge = false;
  bool largeBodyHeld = false;   // its share of HttpLimits::maxLargeBodyBytes
  bool largeBodyRefused = false;  // none was left
  bool handlerCalled = false;
  int status = 0;
  size_t bodyBytes = 0;

  std::shared_ptr<AnswerSlot> slot;  // once the handler has it
};

struct HttpFront::Callbacks {
  static void* onRequestLine(void* cls, const char* uri, MHD_Connection* connection) {
    auto* self = static_cast<HttpFront*>(cls);
    auto* state = new RequestState();
    state->request.target = uri ? uri : "";
    self->liveRequests_.fetch_add(1);
    // Inside a request the client gets the request timeout; between requests
    // the longer idle timeout (set back when the answer is sent).
    MHD_set_connection_option(connection, MHD_CONNECTION_OPTION_TIMEOUT, self->limits_.requestTimeoutSeconds);
    if (ConnectionState* connectionState = connectionStateOf(connection)) {
      std::lock_guard lock(self->headsMutex_);
      connectionState->reading = true;
      connectionState->requestStarted = state->started;
    }
    return state;
  }

  static void onCompleted(void* cls, MHD_Connection* connection, void** reqCls, MHD_RequestTerminationCode code) {
    auto* self = static_cast<HttpFront*>(cls);
    auto* state = static_cast<RequestState*>(*reqCls);
    if (!state) return;
    *reqCls = nullptr;
    if (state->status != 0) {
      const double seconds = std::chrono::duration<double>(Clock::now() - state->started).count();
      self->service_.answered(state->request, state->status, state->bodyBytes, seconds);
    }
    if (code == MHD_REQUEST_TERMINATED_COMPLETED_OK)
      MHD_set_connection_option(connection, MHD_CONNECTION_OPTION_TIMEOUT, self->limits_.idleTimeoutSeconds);
    if (state->largeBodyHeld) self->largeBodyBytes_.fetch_sub(largeBodyShare(*self));
    if (state->slot) {
      {
        std::lock_guard lock(self->slotsMutex_);
        self->slots_.erase(state->slot.get());
      }
      std::lock_guard lock(state->slot->mutex);
      state->slot->connection = nullptr;
    }
    delete state;
    self->liveRequests_.fetch_sub(1);
  }

  static void onConnection(void* cls, MHD_Connection* connection, void** socketContext,
                           MHD_ConnectionNotificationCode code) {
    auto* self = static_cast<HttpFront*>(cls);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
      auto* state = new ConnectionState();
      const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
      state->address = addressText(info ? info->client_addr : nullptr);
      const MHD_ConnectionInfo* socket = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
      state->fd = socket ? socket->connect_fd : -1;
      *socketContext = state;
      {
        std::lock_guard lock(self->headsMutex_);
        self->connections_.insert(state);
      }
      const int open = self->openConnections_.fetch_add(1) + 1;
      int fromAddress = 0;
      {
        std::lock_guard lock(self->perAddressMutex_);
        fromAddress = ++self->perAddress_[state->address];
      }
      if (open > static_cast<int>(self->limits_.maxConnections))
        state->overLimit = "connections";
      else if (fromAddress > static_cast<int>(self->limits_.maxConnectionsPerAddress) &&
               !self->limits_.uncappedAddresses.contains(state->address))
        state->overLimit = "connections_per_address";
      // A connection over a cap is answered as soon as it asks, or dropped
      // soon when it does not ask at all.
      if (state->overLimit) MHD_set_connection_option(connection, MHD_CONNECTION_OPTION_TIMEOUT, 1u);
      self->service_.connectionsChanged(+1);
    } else if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
      auto* state = static_cast<ConnectionState*>(*socketContext);
      if (!state) return;
      *socketContext = nullptr;
      {
        std::lock_guard lock(self->headsMutex_);
        self->connections_.erase(state);
      }
      self->openConnections_.fetch_sub(1);
      {
        std::lock_guard lock(self->perAddressMutex_);
        auto found = self->perAddress_.find(state->address);
        if (found != self->perAddress_.end() && --found->second <= 0) self->perAddress_.erase(found);
      }
      delete state;
      self->service_.connectionsChanged(-1);
    }
  }

  // A streamed body's pieces, handed to the library as it asks for them.
  struct StreamedBody {
    std::shared_ptr<BodySource> source;
    std::string piece;
    size_t sent = 0;
    bool ended = false, failed = false;
  };

  static ssize_t readStream(void* cls, uint64_t, char* buffer, size_t max) {
    auto& body = *static_cast<StreamedBody*>(cls);
    while (body.sent == body.piece.size()) {
      if (body.ended) return body.failed ? MHD_CONTENT_READER_END_WITH_ERROR : MHD_CONTENT_READER_END_OF_STREAM;
      body.piece.clear();
      body.sent = 0;
      body.ended = !body.source->next(body.piece, body.failed);
    }
    const size_t count = std::min(max, body.piece.size() - body.sent);
    std::memcpy(buffer, body.piece.data() + body.sent, count);
    body.sent += count;
    return static_cast<ssize_t>(count);
  }

  static MHD_Result queue(MHD_Connection* connection, RequestState& state, const Reply& reply, bool close) {
    MHD_Response* response = nullptr;
    if (reply.stream) {
      // The library owns the pieces once the response exists.
      auto body = std::make_unique<StreamedBody>();
      body->source = reply.stream;
      response = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 64 * 1024, readStream, body.get(),
                                                   [](void* cls) { delete static_cast<StreamedBody*>(cls); });
      if (response) body.release();
    } else {
      response = MHD_create_response_from_buffer(reply.body.size(), const_cast<char*>(reply.body.data()),
                                                 MHD_RESPMEM_MUST_COPY);
    }
    if (!response) return MHD_NO;
    if (!reply.contentType.empty()) MHD_add_response_header(response, "Content-Type", reply.contentType.c_str());
    bool retryAfter = false;
    for (const auto& [name, value] : reply.headers) {
      MHD_add_response_header(response, name.c_str(), value.c_str());
      retryAfter = retryAfter || name == "Retry-After";
    }
    // Every "try again" answer says when, so that clients do not retry at once.
    if (!retryAfter && (reply.status == 429 || reply.status == 503))
      MHD_add_response_header(response, "Retry-After", "1");
    if (close) MHD_add_response_header(response, "Connection", "close");
    const MHD_Result queued = MHD_queue_response(connection, static_cast<unsigned>(reply.status), response);
    MHD_destroy_response(response);
    state.status = reply.status;
    state.bodyBytes = reply.body.size();
    return queued;
  }

  // The request has been read (or will not be): the deadline no longer
  // applies to it.
  static void readingDone(HttpFront& self, MHD_Connection* connection) {
    if (ConnectionState* connectionState = connectionStateOf(connection)) {
      std::lock_guard lock(self.headsMutex_);
      connectionState->reading = false;
    }
  }

  static MHD_Result refuse(HttpFront& self, MHD_Connection* connection, RequestState& state, const Refusal& refusal) {
    readingDone(self, connection);
    self.service_.refused(refusal.reason, state.request.peerAddress, refusal.status);
    return queue(connection, state, Reply::text(refusal.status, refusal.text), true);
  }

  static size_t largeBodyShare(const HttpFront& self) {
    return self.limits_.maxReportBodyBytes - std::min(self.limits_.maxReportBodyBytes, self.limits_.maxBodyBytes);
  }

  static bool holdLargeBody(HttpFront& self, RequestState& state) {
    const size_t share = largeBodyShare(self);
    if (self.largeBodyBytes_.fetch_add(share) + share > self.limits_.maxLargeBodyBytes) {
      self.largeBodyBytes_.fetch_sub(share);
      return false;
    }
    state.largeBodyHeld = true;
    return true;
  }

  static size_t bodyCap(const HttpFront& self, const HttpRequest& request) {
    return request.method == "POST" && request.path == "/rep/post.php" ? self.limits_.maxReportBodyBytes
                                                                        : self.limits_.maxBodyBytes;
  }

  // The head is complete: refuse what cannot be read safely before any body.
  static std::optional<Refusal> checkHead(const HttpFront& self, MHD_Connection* connection, RequestState& state,
                                          std::string_view version) {
    HeadFacts facts;
    MHD_get_connection_values_n(connection, MHD_HEADER_KIND, collectHead, &facts);
    state.request.forwardedFor = facts.forwardedFor;
    state.request.reportId = facts.reportId;
    state.request.site = facts.site;
    const HttpLimits& limits = self.limits_;
    if (facts.bytes > limits.maxHeaderBytes)
      return Refusal{431, "headers_too_large", "request headers too large"};
    // A proxy in front may read such a head differently from us, and the
    // difference is where one request hides inside another.
    if (facts.malformedLine)
      return Refusal{400, "malformed_header", "a header line is folded or its name is not a token"};
    if (facts.hosts > 1 || (facts.hosts == 0 && version == "HTTP/1.1"))
      return Refusal{400, "bad_host", "HTTP/1.1 requests need exactly one Host header"};
    if (facts.contentLengths > 1 || !facts.contentLengthDecimal)
      return Refusal{400, "bad_content_length", "Content-Length must be one decimal number"};
    if (facts.transferEncoding) {
      if (lower(trim(*facts.transferEncoding)) != "chunked")
        return Refusal{400, "bad_transfer_encoding", "only the chunked Transfer-Encoding is accepted"};
      if (facts.contentLengths > 0)
        return Refusal{400, "bad_content_length", "Content-Length and Transfer-Encoding together"};
    }
    if (facts.contentEncoding && lower(trim(*facts.contentEncoding)) != "identity")
      return Refusal{415, "content_encoding", "encoded request bodies are not accepted"};
    if (state.request.method == "POST" && state.request.path == "/rep/post.php") {
      const std::string type = facts.contentType ? lower(trim(facts.contentType->substr(0, facts.contentType->find(';')))) : "";
      if (type != "application/x-www-form-urlencoded")
        return Refusal{415, "content_type", "reports must be application/x-www-form-urlencoded"};
    }
    if (facts.contentLengths == 1) {
      const char* declared = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Content-Length");
      std::string number = declared ? trim(declared) : "0";
      // Leading zeros do not make a length large.
      number.erase(0, std::min(number.find_first_not_of('0'), number.size()));
      if (number.size() > 9 || (!number.empty() && std::stoul(number) > bodyCap(self, state.request)))
        return Refusal{400, "body_too_large", "request body too large"};
    }
    return std::nullopt;
  }

  static MHD_Result onRequest(void* cls, MHD_Connection* connection, const char* url, const char* method,
                              const char* version, const char* upload, size_t* uploadSize, void** reqCls) {
    auto& self = *static_cast<HttpFront*>(cls);
    auto* state = static_cast<RequestState*>(*reqCls);
    if (!state) {  // the library skipped the request-line hook: keep going regardless
      state = new RequestState();
      state->request.target = url ? url : "";
      self.liveRequests_.fetch_add(1);
      *reqCls = state;
    }
    const bool late = Clock::now() - state->started > std::chrono::seconds(self.limits_.requestTimeoutSeconds);

    if (!state->headChecked) {
      state->headChecked = true;
      HttpRequest& request = state->request;
      request.method = method ? method : "";
      request.path = request.target.substr(0, request.target.find('?'));
      ConnectionState* connectionState = connectionStateOf(connection);
      request.peerAddress = connectionState ? connectionState->address : "unknown";
      if (connectionState && connectionState->overLimit)
        return refuse(self, connection, *state,
                      {503, connectionState->overLimit, "The server is busy. Please try again later."});
      if (late) return refuse(self, connection, *state, {408, "request_timeout", "request took too long"});
      if (const auto refusal = checkHead(self, connection, *state, version ? version : ""))
        return refuse(self, connection, *state, *refusal);
      // Answering on this first call would close the connection: the answer
      // waits for the next call, when the body (if any) has been read.
      return MHD_YES;
    }

    if (*uploadSize > 0) {
      // A body can arrive chunked or unannounced: the cap is held here, on
      // what actually arrives. Past it the rest is read and dropped, since an
      // answer cannot be sent in the middle of a chunked body.
      if (late) return MHD_NO;
      if (!state->bodyTooLarge && !state->largeBodyRefused) {
        const size_t arrived = state->request.body.size() + *uploadSize;
        if (arrived > bodyCap(self, state->request)) {
          state->bodyTooLarge = true;
          std::string().swap(state->request.body);
        } else if (arrived > self.limits_.maxBodyBytes && !state->largeBodyHeld && !holdLargeBody(self, *state)) {
          state->largeBodyRefused = true;
          std::string().swap(state->request.body);
        } else {
          state->request.body.append(upload, *uploadSize);
        }
      }
      *uploadSize = 0;
      return MHD_YES;
    }

    readingDone(self, connection);
    if (state->bodyTooLarge)
      return refuse(self, connection, *state, {400, "body_too_large", "request body too large"});
    if (state->largeBodyRefused)
      return refuse(self, connection, *state,
                    {503, "large_bodies", "The server is busy. Please try again in a few seconds."});

    if (!state->handlerCalled) {
      state->handlerCalled = true;
      state->slot = std::make_shared<AnswerSlot>();
      state->slot->connection = connection;
      {
        std::lock_guard lock(self.slotsMutex_);
        self.slots_.insert(state->slot.get());
      }
      self.service_.handle(state->request, [slot = state->slot](Reply reply) {
        std::lock_guard lock(slot->mutex);
        if (!slot->connection || slot->reply) return;
        slot->reply = std::move(reply);
        if (slot->suspended) {
          slot->suspended = false;
          MHD_resume_connection(slot->connection);
        }
      });
    }
    AnswerSlot& slot = *state->slot;
    std::lock_guard lock(slot.mutex);
    if (!slot.reply) {
      // Answered later from another thread (a report waits for its commit):
      // the event loop serves other connections meanwhile.
      slot.suspended = true;
      MHD_suspend_connection(connection);
      return MHD_YES;
    }
    return queue(connection, *state, *slot.reply, false);
  }
};

HttpFront::HttpFront(HttpService& service, HttpLimits limits) : service_(service), limits_(std::move(limits)) {}

HttpFront::~HttpFront() { stop(); }

bool HttpFront::start(const std::string& address, int port, std::string& error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  if (const int rc = getaddrinfo(address.c_str(), service.c_str(), &hints, &found); rc != 0) {
    error = "cannot use the address " + address + ": " + gai_strerror(rc);
    return false;
  }
  const int family = found->ai_family;
  const int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  // SO_REUSEADDR lets a restart bind while old connections linger in
  // TIME_WAIT; it never lets two servers listen on one port on Linux.
  const int one = 1;
  bool bound = fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0 &&
               bind(fd, found->ai_addr, found->ai_addrlen) == 0 &&
               listen(fd, static_cast<int>(limits_.listenBacklog)) == 0;
  const int bindError = errno;
  freeaddrinfo(found);
  if (!bound) {
    if (fd >= 0) close(fd);
    error = bindError == EADDRINUSE
                ? "port " + service + " on " + address + " is already in use (is another server running?)"
                : "cannot listen on " + address + ":" + service + ": " + std::strerror(bindError);
    return false;
  }
  sockaddr_storage local{};
  socklen_t length = sizeof local;
  getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
  port_ = ntohs(local.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&local)->sin6_port
                                            : reinterpret_cast<sockaddr_in*>(&local)->sin_port);

  unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME;
  if (family == AF_INET6) flags |= MHD_USE_IPv6;
  const unsigned perAddressHard =
      limits_.uncappedAddresses.empty() ? limits_.maxConnectionsPerAddress + kPerAddressSlack : 0;
  daemon_ = MHD_start_daemon(
      flags, 0, nullptr, nullptr, &Callbacks::onRequest, this,
      MHD_OPTION_LISTEN_SOCKET, static_cast<MHD_socket>(fd),
      MHD_OPTION_THREAD_POOL_SIZE, static_cast<unsigned>(std::max(1u, limits_.threads)),
      MHD_OPTION_CONNECTION_LIMIT, limits_.maxConnections + kConnectionSlack,
      MHD_OPTION_PER_IP_CONNECTION_LIMIT, perAddressHard,
      MHD_OPTION_CONNECTION_TIMEOUT, limits_.requestTimeoutSeconds,
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, limits_.maxHeaderBytes + kPoolAboveHeaders,
      MHD_OPTION_NOTIFY_COMPLETED, &Callbacks::onCompleted, this,
      MHD_OPTION_NOTIFY_CONNECTION, &Callbacks::onConnection, this,
      MHD_OPTION_URI_LOG_CALLBACK, &Callbacks::onRequestLine, this,
      MHD_OPTION_END);
  if (!daemon_) {
    close(fd);
    error = "the HTTP library did not start on " + address + ":" + service;
    return false;
  }
  listenSocket_ = fd;
  stopping_ = false;
  headWatch_ = std::thread([this] { watchDeadlines(); });
  return true;
}

void HttpFront::watchDeadlines() {
  // libmicrohttpd times out silence only: a head dripping in a line at a
  // time, or a chunked body whose size lines, extensions or trailers drip,
  // would never end (the library reads them without calling us). The socket
  // is shut down once the request is past the request timeout, and the
  // library then closes the connection.
  const auto limit = std::chrono::seconds(limits_.requestTimeoutSeconds);
  std::unique_lock lock(headsMutex_);
  while (!headWatchStop_.wait_for(lock, std::chrono::milliseconds(250), [&] { return stopping_; })) {
    const auto now = Clock::now();
    std::vector<std::string> cut;
    for (ConnectionState* connection : connections_) {
      if (!connection->reading || now - connection->requestStarted <= limit || connection->fd < 0) continue;
      connection->reading = false;
      shutdown(connection->fd, SHUT_RDWR);
      cut.push_back(connection->address);
    }
    lock.unlock();
    for (const auto& address : cut) service_.refused("request_timeout", address, 408);
    lock.lock();
  }
}

void HttpFront::stop(std::chrono::milliseconds grace) {
  if (!daemon_) return;
  {
    std::lock_guard lock(headsMutex_);
    stopping_ = true;
  }
  headWatchStop_.notify_all();
  if (headWatch_.joinable()) headWatch_.join();
  const MHD_socket listening = MHD_quiesce_daemon(daemon_);
  if (listening != MHD_INVALID_SOCKET) close(listening);
  const auto deadline = Clock::now() + grace;
  while (liveRequests_.load() > 0 && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  {
    // The library cannot stop with connections suspended: whatever still
    // waits for its answer (a database that does not answer) gets a 503.
    std::lock_guard lock(slotsMutex_);
    for (AnswerSlot* slot : slots_) {
      std::lock_guard slotLock(slot->mutex);
      if (!slot->suspended || slot->reply) continue;
      slot->reply = Reply::text(503, "The server is stopping. Please try again later.");
      slot->suspended = false;
      MHD_resume_connection(slot->connection);
    }
  }
  MHD_stop_daemon(daemon_);
  daemon_ = nullptr;
  listenSocket_ = -1;
}

}  // namespace tidemark
