#pragma once
// The plain HTTP port of a server that serves TLS: every request there is
// sent on to the same host and target over HTTPS, and nothing else is
// served, so no report or page ever travels in the clear.

#include <string>

struct MHD_Daemon;

namespace tidemark {

class HttpsRedirect {
 public:
  explicit HttpsRedirect(int httpsPort) : httpsPort_(httpsPort) {}
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
  const int httpsPort_;
  MHD_Daemon* daemon_ = nullptr;
};

}  // namespace tidemark
