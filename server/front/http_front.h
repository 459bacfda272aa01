#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/address_ranges.h"
#include "base/reply.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace tidemark {

class ConnectionCaps;
class RequestDeadlines;
class LargeBodyBudget;
class AnswerSlots;
class TlsCredentials;

// Limits the HTTP front holds for every request, however it is framed.
struct HttpLimits {
  unsigned threads = 2;
  unsigned maxConnections = 16000;          // beyond: 503 and close
  unsigned maxConnectionsPerAddress = 256;  // beyond: 503 and close
  unsigned idleTimeoutSeconds = 30;         // between requests on one connection
  // A new connection's first request, head and body, from the accept; a
  // later one's from its first line.
  unsigned requestTimeoutSeconds = 10;
  size_t maxBodyBytes = 8192;
  // POST "/rep/post.php": a 64 KiB line percent-encoded (192 KiB) and the
  // other fields fit.
  size_t maxReportBodyBytes = 256 * 1024;
  // Bodies past maxBodyBytes each hold (maxReportBodyBytes - maxBodyBytes) of
  // this while they are read, so that many at once cannot exhaust memory:
  // beyond it such a body gets 503.
  size_t maxLargeBodyBytes = 64 * 1024 * 1024;
  size_t maxHeaderBytes = 16384;
  unsigned listenBacklog = 4096;
  // Addresses whose connections are not capped per address: a proxy in front
  // carries many clients.
  AddressRanges uncappedAddresses;
};

// The headers by which a browser says where a request comes from, for the
// requests that must come from the server's own pages.
struct SiteHeaders {
  std::string host;
  std::optional<std::string> origin, referer, fetchSite;
};

struct HttpRequest {
  std::string method;
  std::string target;  // raw, as sent: path and query, not decoded
  std::string path;    // the target up to '?'
  std::string body;
  std::string peerAddress;
  std::string forwardedFor;  // X-Forwarded-For as sent, empty when absent
  std::optional<std::string> reportId;  // Tidemark-Report-Id as sent (repeats joined by ',')
  std::string cookies;  // Cookie as sent (repeats joined by "; ")
  SiteHeaders site;
};

// What serves the requests the front lets through, and hears of the rest.
class HttpService {
 public:
  using Respond = std::function<void(Reply)>;
  virtual ~HttpService() = default;
  // Runs on an event-loop thread; must answer by calling `respond` once, at
  // once or later from any thread, and must not block for long.
  virtual void handle(const HttpRequest& request, Respond respond) = 0;
  // A request refused by the front itself (`reason` a short token).
  virtual void refused(std::string_view reason, const std::string& peerAddress, int status) = 0;
  // Every answer sent, after the handler's or the front's.
  virtual void answered(const HttpRequest& request, int status, size_t bodyBytes, double seconds) = 0;
  virtual void connectionsChanged(int delta) = 0;
};

// The HTTP side on libmicrohttpd: epoll event loops in a small pool, each
// serving any number of connections.
class HttpFront {
 public:
  HttpFront(HttpService& service, HttpLimits limits);
  ~HttpFront();
  HttpFront(const HttpFront&) = delete;
  HttpFront& operator=(const HttpFront&) = delete;

  // Binds and starts serving; false with `error` when the address is taken or
  // invalid (the port is never shared with another server).
  bool start(const std::string& address, int port, std::string& error);
  // Before start: serve HTTPS with these credentials (they must outlive the
  // front), and tell browsers to keep to HTTPS.
  void serveTls(TlsCredentials& credentials) { tls_ = &credentials; }
  // Stops accepting, lets requests in flight finish (within `grace`), closes.
  void stop(std::chrono::milliseconds grace = std::chrono::milliseconds(1500));
  bool running() const { return daemon_ != nullptr; }
  int port() const { return port_; }

  // Internal, public for the library's C callbacks.
  struct Callbacks;
  struct ConnectionState;

 private:
  struct RequestState;

  HttpService& service_;
  const HttpLimits limits_;
  MHD_Daemon* daemon_ = nullptr;
  TlsCredentials* tls_ = nullptr;
  int port_ = 0;
  std::atomic<int> liveRequests_{0};
  // One owner each: the connection counts, the deadline watch, the large
  // bodies' memory, the requests waiting for their answer.
  std::unique_ptr<ConnectionCaps> caps_;
  std::unique_ptr<RequestDeadlines> deadlines_;
  std::unique_ptr<LargeBodyBudget> largeBodies_;
  std::unique_ptr<AnswerSlots> answers_;
};

}  // namespace tidemark
