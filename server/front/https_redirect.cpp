#include "front/https_redirect.h"

#include <microhttpd.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cctype>
#include <string_view>

#include "base/address_ranges.h"
#include "front/connection_caps.h"
#include "front/request_deadlines.h"

namespace tidemark {

namespace {
// Plain clients only ever need the one answer; they get it and go.
constexpr unsigned kTimeoutSeconds = 10;
const AddressRanges kNoneUncapped;

std::string addressText(const sockaddr* address) {
  char text[INET6_ADDRSTRLEN] = "";
  if (address && address->sa_family == AF_INET)
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
  else if (address && address->sa_family == AF_INET6)
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text, sizeof text);
  return text[0] ? text : "unknown";
}
}  // namespace

struct HttpsRedirect::Connection {
  Connection(std::string address, int fd) : watch(std::move(address), fd) {}
  RequestDeadlines::Entry watch;
};

HttpsRedirect::HttpsRedirect(int httpsPort)
    : httpsPort_(httpsPort),
      caps_(std::make_unique<ConnectionCaps>(kMostConnections, kMostPerAddress, kNoneUncapped)),
      deadlines_(std::make_unique<RequestDeadlines>(std::chrono::seconds(kTimeoutSeconds),
                                                    std::chrono::seconds(kTimeoutSeconds))) {}

std::string HttpsRedirect::location(const std::string& host, const std::string& target, int httpsPort) {
  std::string_view name = host;
  if (!name.empty() && name.front() == '[') {
    const size_t close = name.find(']');
    if (close == std::string_view::npos) return {};
    name = name.substr(0, close + 1);
  } else if (const size_t colon = name.find(':'); colon != std::string_view::npos) {
    name = name.substr(0, colon);
  }
  if (name.empty() || name.size() > 255) return {};
  for (unsigned char c : name)
    if (!std::isalnum(c) && c != '.' && c != '-' && c != '[' && c != ']' && c != ':') return {};
  if (target.empty() || target.front() != '/') return {};
  std::string out = "https://" + std::string(name);
  if (httpsPort != 443) out += ":" + std::to_string(httpsPort);
  return out + target;
}

struct HttpsRedirect::Callbacks {
  static Connection* connectionOf(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info ? static_cast<Connection*>(info->socket_context) : nullptr;
  }

  static void onConnection(void* cls, MHD_Connection* connection, void** context,
                           MHD_ConnectionNotificationCode code) {
    auto& self = *static_cast<HttpsRedirect*>(cls);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
      const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
      const MHD_ConnectionInfo* socket = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
      auto* state = new Connection(addressText(info ? info->client_addr : nullptr), socket ? socket->connect_fd : -1);
      *context = state;
      const char* over = self.caps_->opened(state->watch.address(), self.deadlines_->leaving());
      if (self.caps_->crowded() && over != ConnectionCaps::kPerAddress && self.deadlines_->evictOldestIdleHead() &&
          over == ConnectionCaps::kTotal)
        over = nullptr;
      // Beyond a cap: dropped unless it asks at once.
      if (over) MHD_set_connection_option(connection, MHD_CONNECTION_OPTION_TIMEOUT, 1u);
      self.deadlines_->connectionOpened(state->watch);
    } else if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
      auto* state = static_cast<Connection*>(*context);
      if (!state) return;
      *context = nullptr;
      self.deadlines_->connectionClosed(state->watch);
      self.caps_->closed(state->watch.address());
      delete state;
    }
  }

  // The raw request target, query included (the library's own copy drops it).
  static void* onRequestLine(void* cls, const char* uri, MHD_Connection* connection) {
    auto& self = *static_cast<HttpsRedirect*>(cls);
    if (Connection* state = connectionOf(connection))
      self.deadlines_->requestStarted(state->watch, RequestDeadlines::Clock::now());
    return new std::string(uri ? uri : "");
  }

  static void onCompleted(void*, MHD_Connection*, void** state, MHD_RequestTerminationCode) {
    delete static_cast<std::string*>(*state);
    *state = nullptr;
  }

  static MHD_Result onRequest(void* cls, MHD_Connection* connection, const char*, const char*, const char*,
                              const char*, size_t* uploadSize, void** state) {
    // A body is never wanted: it is skipped, and the answer goes out at once.
    *uploadSize = 0;
    auto& self = *static_cast<HttpsRedirect*>(cls);
    // The head is in; the body is never read: the answer goes, and the
    // connection closes after it.
    if (Connection* state = connectionOf(connection)) self.deadlines_->requestRead(state->watch);
    const char* host = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Host");
    const auto* target = static_cast<std::string*>(*state);
    const std::string to = location(host ? host : "", target ? *target : "", self.httpsPort_);
    const std::string body = to.empty() ? "This server answers over HTTPS only.\n" : "Moved to " + to + "\n";
    MHD_Response* response =
        MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (!response) return MHD_NO;
    MHD_add_response_header(response, "Content-Type", "text/plain; charset=utf-8");
    if (!to.empty()) MHD_add_response_header(response, "Location", to.c_str());
    MHD_add_response_header(response, "Connection", "close");
    // 308 keeps the method and the body on the way to the HTTPS port.
    const MHD_Result queued = MHD_queue_response(connection, to.empty() ? 400 : 308, response);
    MHD_destroy_response(response);
    return queued;
  }
};

HttpsRedirect::~HttpsRedirect() { stop(); }

bool HttpsRedirect::start(const std::string& address, int port, std::string& error) {
  sockaddr_storage bind{};
  auto* v4 = reinterpret_cast<sockaddr_in*>(&bind);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&bind);
  unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD;
  if (inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<uint16_t>(port));
  } else if (inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<uint16_t>(port));
    flags |= MHD_USE_IPv6;
  } else {
    error = "cannot use the address " + address + " for the redirect port";
    return false;
  }
  deadlines_->start([](const char*, const std::string&) {});
  daemon_ = MHD_start_daemon(flags, static_cast<uint16_t>(port), nullptr, nullptr, &Callbacks::onRequest, this,
                             MHD_OPTION_SOCK_ADDR, reinterpret_cast<sockaddr*>(&bind),
                             MHD_OPTION_CONNECTION_LIMIT, kMostConnections + kMostPerAddress,
                             MHD_OPTION_PER_IP_CONNECTION_LIMIT, kMostPerAddress,
                             MHD_OPTION_CONNECTION_TIMEOUT, kTimeoutSeconds,
                             MHD_OPTION_NOTIFY_CONNECTION, &Callbacks::onConnection, this,
                             MHD_OPTION_URI_LOG_CALLBACK, &Callbacks::onRequestLine, this,
                             MHD_OPTION_NOTIFY_COMPLETED, &Callbacks::onCompleted, this,
                             MHD_OPTION_END);
  if (!daemon_) {
    error = "cannot listen on " + address + ":" + std::to_string(port) + " for the redirect to HTTPS";
    return false;
  }
  return true;
}

void HttpsRedirect::stop() {
  if (daemon_) MHD_stop_daemon(daemon_);
  daemon_ = nullptr;
  deadlines_->stop();
}

}  // namespace tidemark
