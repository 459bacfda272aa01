#pragma once
// The plain HTTP port of a server that serves TLS: every request there is
// sent on to the same host and target over HTTPS, and nothing else is
// served, so no report or page ever travels in the clear.

#include <memory>
#include <string>

struct MHD_Daemon;

namespace tidemark {

class ConnectionCaps;
class RequestDeadlines;

// Held as the main port is: each connection gets one answer and is closed,
// its head due within 10 s of the accept whatever trickles in; one address
// holds at most kMostPerAddress connections, and near the cap the
// connections that have not sent a head make room for new ones.
class HttpsRedirect {
 public:
  static constexpr unsigned kMostConnections = 1024;
  static constexpr unsigned kMostPerAddress = 64;

  explicit HttpsRedirect(int httpsPort);
  ~HttpsRedirect();
  HttpsRedirect(const HttpsRedirect&) = delete;
  HttpsRedirect& operator=(const HttpsRedirect&) = delete;

  bool start(const std::string& address, int port, std::string& error);
  void stop();

  // The address a request for `target` on `host` (as its Host header gave
  // it, perhaps with a port) is sent on to; empty when the host is not a
  // plain name or address, which could only be a forgery.
  static std::string location(const std::string& host, const std::string& target, int httpsPort);

 private:
  struct Callbacks;
  struct Connection;
  const int httpsPort_;
  MHD_Daemon* daemon_ = nullptr;
  std::unique_ptr<ConnectionCaps> caps_;
  std::unique_ptr<RequestDeadlines> deadlines_;
};

}  // namespace tidemark
