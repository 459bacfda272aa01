#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <string_view>
#include <thread>
#include <vector>

#include <httplib.h>

#include "protocol/catalog.h"
#include "http/form.h"
#include "front/http_front.h"
#include "service/report_service.h"
#include "store/report_store.h"
#include "base/server_log.h"

namespace tidemark::testing {

// A fresh folder under the system's temporary folder, removed at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// A loopback port in 18000-18999 that nothing listened on a moment ago.
int pickFreePort();

// Runs the server program in `folder` to its end, which a start that fails
// reaches at once (one that wrongly starts is killed after 5 s): its exit
// code, -1 when killed, and all it wrote.
std::pair<int, std::string> runServerToExit(const std::string& args, const std::filesystem::path& folder);

// A report form as the client builds it: ten fields in order, every byte
// encoded. Tests change single values before calling `body`.
struct ReportForm {
  std::string lang = "en", sid, fid, aid, pid = "2", code = "29";
  std::string log = std::string("\x1F" "Alice\x1F" "Alice waves.");
  std::string line = "0", ltime = "1796000000", present = "1";

  std::string body() const;
};

std::string getTarget(const std::vector<std::pair<std::string, std::string>>& fields);

const Catalog& bundledCatalog();

// The server in this process, on an ephemeral loopback port, with its own
// database (a file path or a PostgreSQL address).
class LocalServer {
 public:
  explicit LocalServer(const std::filesystem::path& database, ServiceLimits serviceLimits = {},
                       HttpLimits httpLimits = {});
  LocalServer(const std::string& database, ServiceLimits serviceLimits = {}, HttpLimits httpLimits = {});
  LocalServer(std::unique_ptr<ReportStore> store, ServiceLimits serviceLimits = {}, HttpLimits httpLimits = {});
  ~LocalServer();

  int port() const { return port_; }
  ReportStore& store() { return *store_; }
  const ReportService& service() const { return *service_; }
  httplib::Client client() const;
  std::string baseUrl() const;

  // Posts a report and returns the answer's JSON text; fails the test when
  // the answer is not 200.
  std::string report(const ReportForm& form) const;
  // Every log line written so far.
  std::string logText() const;

 private:
  std::unique_ptr<ReportStore> store_;
  std::unique_ptr<ServerLog> log_;
  std::unique_ptr<ReportService> service_;
  std::unique_ptr<HttpFront> front_;
  std::FILE* logFile_ = nullptr;
  int port_ = 0;
};

// The server program in a process of its own, on a free loopback port. The
// tests' clients register players by the hundred from one address: the
// registration limit is lifted unless `extraArgs` set it.
class ServerProcess {
 public:
  explicit ServerProcess(const std::string& database, std::vector<std::string> extraArgs = {});
  explicit ServerProcess(const std::filesystem::path& database) : ServerProcess(database.string()) {}
  ~ServerProcess();
  void kill(int signal);  // and reap it
  // Sends `signal` and waits for the exit up to `bound`: false when it took
  // longer, and then the process is killed outright.
  bool stopsWithin(int signal, std::chrono::milliseconds bound);
  int port() const { return port_; }
  pid_t pid() const { return pid_; }

 private:
  bool start(const std::string& database);

  std::vector<std::string> extraArgs_;

  pid_t pid_ = -1;
  int port_ = 0;
};

// Number of rows in a table of a database file, read with a connection of
// its own; -1 when it cannot be read.
long long countRows(const std::filesystem::path& database, const std::string& table);

}  // namespace tidemark::testing
