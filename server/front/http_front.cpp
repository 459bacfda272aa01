#include "front/http_front.h"

#include "front/tls_credentials.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

#include "front/answer_slots.h"
#include "front/body_reading.h"
#include "front/connection_caps.h"
#include "front/head_checks.h"
#include "front/request_deadlines.h"

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

std::string addressText(const sockaddr* address) {
  char text[INET6_ADDRSTRLEN] = "";
  if (!address) return "unknown";
  if (address->sa_family == AF_INET)
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
  else if (address->sa_family == AF_INET6)
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text, sizeof text);
  return text[0] ? text : "unknown";
}

}  // namespace

struct HttpFront::ConnectionState {
  ConnectionState(std::string address, int fd) : watch(std::move(address), fd) {}
  const std::string& address() const { return watch.address(); }

  RequestDeadlines::Entry watch;
  const char* overLimit = nullptr;  // the cap this connection is beyond
};

struct HttpFront::RequestState {
  RequestState(HttpFront& front, const char* uri) : body(front.limits_, *front.largeBodies_) {
    request.target = uri ? uri : "";
  }

  Clock::time_point started = Clock::now();
  HttpRequest request;
  BodyReader body;
  bool headChecked = false;
  int status = 0;  // once answered
  size_t bodyBytes = 0;
  std::shared_ptr<AnswerSlots::Slot> slot;  // once the handler has it
};

namespace {

HttpFront::ConnectionState* connectionStateOf(MHD_Connection* connection) {
  const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
  return info ? static_cast<HttpFront::ConnectionState*>(info->socket_context) : nullptr;
}

}  // namespace

// The library's calls, in the order a connection sees them: opened, a
// request line, the head, pieces of the body, the end of the body (until
// answered), the request done; closed.
struct HttpFront::Callbacks {
  static void onConnection(void* cls, MHD_Connection* connection, void** socketContext,
                           MHD_ConnectionNotificationCode code) {
    auto& self = *static_cast<HttpFront*>(cls);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
      const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
      const MHD_ConnectionInfo* socket = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
      auto* state = new ConnectionState(addressText(info ? info->client_addr : nullptr),
                                        socket ? socket->connect_fd : -1);
      *socketContext = state;
      state->overLimit = self.caps_->opened(state->address(), self.deadlines_->leaving());
      // Near the cap, the connection that has waited longest without
      // sending a whole head makes room: holding connections open costs
      // an attacker them, not the next client its answer.
      if (self.caps_->crowded() && state->overLimit != ConnectionCaps::kPerAddress &&
          self.deadlines_->evictOldestIdleHead() && state->overLimit == ConnectionCaps::kTotal)
        state->overLimit = nullptr;
      // A connection over a cap is answered as soon as it asks, or dropped
      // soon when it does not ask at all. Any other keeps the library's
      // default timeout (the idle one): the watch holds its deadlines, and
      // the library scans the connections with a timeout of their own on
      // every turn of its loop.
      if (state->overLimit) MHD_set_connection_option(connection, MHD_CONNECTION_OPTION_TIMEOUT, 1u);
      self.deadlines_->connectionOpened(state->watch);
      self.service_.connectionsChanged(+1);
    } else if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
      auto* state = static_cast<ConnectionState*>(*socketContext);
      if (!state) return;
      *socketContext = nullptr;
      self.deadlines_->connectionClosed(state->watch);
      self.caps_->closed(state->address());
      if (self.tls_) {
        // The certificate set its handshake took may go once no connection uses it.
        const MHD_ConnectionInfo* tls = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_GNUTLS_SESSION);
        if (tls && tls->tls_session) self.tls_->release(tls->tls_session);
      }
      delete state;
      self.service_.connectionsChanged(-1);
    }
  }

  // Over TLS, before the library takes a connection: a handshake costs the
  // server a signature, so one address may start only so many a second.
  static MHD_Result onAccept(void* cls, const sockaddr* address, socklen_t) {
    auto& self = *static_cast<HttpFront*>(cls);
    if (!self.tls_) return MHD_YES;
    const std::string client = addressText(address);
    if (self.caps_->mayHandshake(client)) return MHD_YES;
    self.service_.refused("handshake_rate", client, 0);
    return MHD_NO;
  }

  static void* onRequestLine(void* cls, const char* uri, MHD_Connection* connection) {
    auto& self = *static_cast<HttpFront*>(cls);
    auto* state = new RequestState(self, uri);
    self.liveRequests_.fetch_add(1);
    if (ConnectionState* connectionState = connectionStateOf(connection))
      self.deadlines_->requestStarted(connectionState->watch, state->started);
    return state;
  }

  static MHD_Result onRequest(void* cls, MHD_Connection* connection, const char* url, const char* method,
                              const char* version, const char* upload, size_t* uploadSize, void** reqCls) {
    auto& self = *static_cast<HttpFront*>(cls);
    auto* state = static_cast<RequestState*>(*reqCls);
    if (!state) {  // the library skipped the request-line hook: keep going regardless
      *reqCls = state = new RequestState(self, url);
      self.liveRequests_.fetch_add(1);
    }
    const bool late = Clock::now() - state->started > std::chrono::seconds(self.limits_.requestTimeoutSeconds);
    if (!state->headChecked) return onHead(self, connection, *state, method, version, late);
    if (*uploadSize > 0) {
      if (late) return MHD_NO;
      state->body.append(state->request, upload, *uploadSize);
      *uploadSize = 0;
      return MHD_YES;
    }
    readingDone(self, connection);
    if (const auto refusal = state->body.refusal()) return refuse(self, connection, *state, *refusal);
    return answer(self, connection, *state);
  }

  static void onCompleted(void* cls, MHD_Connection* connection, void** reqCls, MHD_RequestTerminationCode code) {
    auto& self = *static_cast<HttpFront*>(cls);
    auto* state = static_cast<RequestState*>(*reqCls);
    if (!state) return;
    *reqCls = nullptr;
    if (state->status != 0) {
      const double seconds = std::chrono::duration<double>(Clock::now() - state->started).count();
      self.service_.answered(state->request, state->status, state->bodyBytes, seconds);
    }
    // Kept open for the next request, which has a deadline of its own.
    if (code == MHD_REQUEST_TERMINATED_COMPLETED_OK)
      if (ConnectionState* connectionState = connectionStateOf(connection))
        self.deadlines_->requestAnswered(connectionState->watch);
    if (state->slot) self.answers_->close(*state->slot);
    delete state;
    self.liveRequests_.fetch_sub(1);
  }

  // The head is complete.
  static MHD_Result onHead(HttpFront& self, MHD_Connection* connection, RequestState& state, const char* method,
                           const char* version, bool late) {
    state.headChecked = true;
    HttpRequest& request = state.request;
    request.method = method ? method : "";
    request.path = request.target.substr(0, request.target.find('?'));
    ConnectionState* connectionState = connectionStateOf(connection);
    request.peerAddress = connectionState ? connectionState->address() : "unknown";
    if (connectionState) self.deadlines_->headRead(connectionState->watch);
    if (connectionState && connectionState->overLimit)
      return refuse(self, connection, state,
                    {503, connectionState->overLimit, "The server is busy. Please try again later."});
    if (late) return refuse(self, connection, state, {408, "request_timeout", "request took too long"});
    if (const auto refusal = checkHead(connection, version ? version : "", self.limits_, request))
      return refuse(self, connection, state, *refusal);
    // Answering on this first call would close the connection: the answer
    // waits for the next call, when the body (if any) has been read.
    return MHD_YES;
  }

  // The request has been read (or will not be): the deadline no longer
  // applies to it.
  static void readingDone(HttpFront& self, MHD_Connection* connection) {
    if (ConnectionState* connectionState = connectionStateOf(connection))
      self.deadlines_->requestRead(connectionState->watch);
  }

  static MHD_Result queue(HttpFront& self, MHD_Connection* connection, RequestState& state, const Reply& reply,
                          bool close) {
    state.status = reply.status;
    state.bodyBytes = reply.body.size();
    return self.answers_->queue(connection, reply, close) ? MHD_YES : MHD_NO;
  }

  static MHD_Result refuse(HttpFront& self, MHD_Connection* connection, RequestState& state, const Refusal& refusal) {
    readingDone(self, connection);
    self.service_.refused(refusal.reason, state.request.peerAddress, refusal.status);
    return queue(self, connection, state, Reply::text(refusal.status, refusal.text), true);
  }

  // The whole request is in: the handler's answer, now or once it comes.
  static MHD_Result answer(HttpFront& self, MHD_Connection* connection, RequestState& state) {
    if (!state.slot) {
      state.slot = self.answers_->open(connection);
      self.service_.handle(state.request, AnswerSlots::responder(state.slot));
    }
    const Reply* reply = self.answers_->answerOrSuspend(*state.slot);
    return reply ? queue(self, connection, state, *reply, false) : MHD_YES;
  }
};

HttpFront::HttpFront(HttpService& service, HttpLimits limits)
    : service_(service),
      limits_(std::move(limits)),
      caps_(std::make_unique<ConnectionCaps>(limits_.maxConnections, limits_.maxConnectionsPerAddress,
                                             limits_.uncappedAddresses)),
      deadlines_(std::make_unique<RequestDeadlines>(std::chrono::seconds(limits_.requestTimeoutSeconds),
                                                    std::chrono::seconds(limits_.idleTimeoutSeconds))),
      largeBodies_(std::make_unique<LargeBodyBudget>(limits_)),
      answers_(std::make_unique<AnswerSlots>()) {}

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
  std::vector<MHD_OptionItem> tlsOptions{{MHD_OPTION_END, 0, nullptr}};
  if (tls_) {
    flags |= tls_->daemonFlags();
    tlsOptions = tls_->daemonOptions();
  }
  // Watching before the first connection comes.
  deadlines_->start([this](const char* reason, const std::string& address) {
    service_.refused(reason, address, std::string_view(reason) == "evicted" ? 503 : 408);
  });
  const unsigned perAddressHard =
      limits_.uncappedAddresses.empty() ? limits_.maxConnectionsPerAddress + kPerAddressSlack : 0;
  daemon_ = MHD_start_daemon(
      flags, 0, &Callbacks::onAccept, this, &Callbacks::onRequest, this,
      MHD_OPTION_LISTEN_SOCKET, static_cast<MHD_socket>(fd),
      MHD_OPTION_THREAD_POOL_SIZE, static_cast<unsigned>(std::max(1u, limits_.threads)),
      MHD_OPTION_CONNECTION_LIMIT, limits_.maxConnections + kConnectionSlack,
      MHD_OPTION_PER_IP_CONNECTION_LIMIT, perAddressHard,
      // The library scans every connection whose timeout differs from this
      // default on each turn of its loop; an idle keep-alive connection is
      // by far the most common kind, so it keeps the default and costs
      // nothing until it speaks.
      MHD_OPTION_CONNECTION_TIMEOUT, limits_.idleTimeoutSeconds,
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, limits_.maxHeaderBytes + kPoolAboveHeaders,
      MHD_OPTION_NOTIFY_COMPLETED, &Callbacks::onCompleted, this,
      MHD_OPTION_NOTIFY_CONNECTION, &Callbacks::onConnection, this,
      MHD_OPTION_URI_LOG_CALLBACK, &Callbacks::onRequestLine, this,
      MHD_OPTION_ARRAY, tlsOptions.data(),
      MHD_OPTION_END);
  if (!daemon_) {
    deadlines_->stop();
    close(fd);
    error = "the HTTP library did not start on " + address + ":" + service;
    return false;
  }
  return true;
}

void HttpFront::stop(std::chrono::milliseconds grace) {
  if (!daemon_) return;
  deadlines_->stop();
  const MHD_socket listening = MHD_quiesce_daemon(daemon_);
  if (listening != MHD_INVALID_SOCKET) close(listening);
  // Downloads could take minutes: they are cut (the client sees an
  // unfinished body, never a whole one).
  answers_->cutEveryStream();
  const auto deadline = Clock::now() + grace;
  while (liveRequests_.load() > 0 && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  // Whatever still waits for its answer (a database that does not answer).
  answers_->answerEveryWaiting(Reply::text(503, "The server is stopping. Please try again later."));
  MHD_stop_daemon(daemon_);
  daemon_ = nullptr;
}

}  // namespace tidemark
