#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "catalog.h"
#include "report_store.h"

namespace httplib {
class Server;
}

namespace tidemark {

// The client's report bodies are at most 2083 characters when it cuts long
// lines, and three characters per line byte when it sends them whole. The
// HTTP library refuses urlencoded bodies over 8192 bytes in any case, so the
// limit is that: room for lines of about 2700 bytes.
inline constexpr size_t kMaxBodyBytes = 8192;

// The report server's HTTP side: the protocol endpoints and the player pages.
class HttpServer {
 public:
  HttpServer(const Catalog& catalog, ReportStore& store, int threads = 16);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  bool bind(const std::string& address, int port);
  // Serves until `stop`; returns false when it could not serve at all.
  bool run();
  void stop();
  bool running() const;

 private:
  std::unique_ptr<httplib::Server> server_;
};

}  // namespace tidemark
