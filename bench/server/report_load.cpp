// Sustained line reports against the report server on loopback: several
// clients, each on one keep-alive connection like the real client, post
// reports as fast as answers come back. Prints reports per second and latency
// percentiles, and checks that the database holds exactly the reports that
// were answered.
//
//   server_report_load [--clients N] [--seconds S] [--max-reports N] [--port P]
//
// It starts the server program itself, on a fresh database in a temporary
// folder, and stops it at the end.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "http/form.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  int clients = 8;
  int seconds = 10;
  long maxReports = 200000;
  int port = 0;
};

// A plausible report body: an emote line of the kind the bundled English
// patterns match, with the session and player of this client.
std::string reportBody(const std::string& sid, const std::string& fid, const std::string& aid, long n) {
  const std::string line = "\x1F\x1FYou wave to Alice Bell. (" + std::to_string(n) + ")";
  const std::pair<const char*, std::string> fields[] = {
      {"lang", "en"}, {"sid", sid},  {"fid", fid},  {"aid", aid},
      {"pid", "2"},   {"code", "29"}, {"log", line}, {"line", std::to_string(n % 1000)},
      {"ltime", std::to_string(1796000000 + n)}, {"present", "1"}};
  std::string body;
  for (const auto& [name, value] : fields) {
    if (!body.empty()) body += '&';
    body += tidemark::percentEncode(name) + '=' + tidemark::percentEncode(value);
  }
  return body;
}

// Crude member extraction; the answers are the server's own compact JSON.
std::string member(const std::string& json, const std::string& name) {
  const std::string key = "\"" + name + "\":\"";
  const size_t at = json.find(key);
  if (at == std::string::npos) return {};
  const size_t end = json.find('"', at + key.size());
  return json.substr(at + key.size(), end - at - key.size());
}

int freePort() {
  std::mt19937 random(std::random_device{}());
  for (int attempt = 0; attempt < 200; ++attempt) {
    const int port = 18000 + static_cast<int>(random() % 1000);
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool free = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    if (free) return port;
  }
  return 0;
}

long long countReports(const std::filesystem::path& database) {
  sqlite3* db = nullptr;
  long long count = -1;
  if (sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* query = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT count(*) FROM reports", -1, &query, nullptr) == SQLITE_OK &&
        sqlite3_step(query) == SQLITE_ROW)
      count = sqlite3_column_int64(query, 0);
    sqlite3_finalize(query);
  }
  sqlite3_close(db);
  return count;
}

double percentile(const std::vector<double>& sorted, double p) {
  if (sorted.empty()) return 0;
  const size_t index = std::min(sorted.size() - 1, static_cast<size_t>(p / 100.0 * sorted.size()));
  return sorted[index];
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    const long value = std::stol(argv[i + 1]);
    if (name == "--clients") options.clients = static_cast<int>(value);
    else if (name == "--seconds") options.seconds = static_cast<int>(value);
    else if (name == "--max-reports") options.maxReports = value;
    else if (name == "--port") options.port = static_cast<int>(value);
    else {
      std::cerr << "unknown option " << name << "\n";
      return 2;
    }
  }
  if (options.port == 0) options.port = freePort();

  char folderName[] = "/tmp/tidemark-bench-XXXXXX";
  if (!mkdtemp(folderName)) return 1;
  const std::filesystem::path folder = folderName;
  const auto database = folder / "reports.sqlite3";

  const pid_t server = fork();
  if (server == 0) {
    freopen("/dev/null", "w", stdout);
    const std::string port = std::to_string(options.port);
    execl(TIDEMARK_SERVER_EXECUTABLE, TIDEMARK_SERVER_EXECUTABLE, "--port", port.c_str(),
          "--database", database.c_str(), "--threads", std::to_string(options.clients + 2).c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  {
    httplib::Client probe("127.0.0.1", options.port);
    bool up = false;
    for (int i = 0; i < 500 && !up; ++i) {
      up = static_cast<bool>(probe.Get("/"));
      if (!up) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!up) {
      std::cerr << "the server did not start\n";
      kill(server, SIGKILL);
      return 1;
    }
  }

  std::atomic<long> budget{options.maxReports};
  std::atomic<long> failures{0};
  std::vector<std::vector<double>> latencies(static_cast<size_t>(options.clients));
  const auto start = Clock::now();
  const auto deadline = start + std::chrono::seconds(options.seconds);
  std::vector<std::thread> clients;
  for (int c = 0; c < options.clients; ++c)
    clients.emplace_back([&, c] {
      httplib::Client client("127.0.0.1", options.port);
      client.set_keep_alive(true);
      client.set_tcp_nodelay(true);
      client.set_read_timeout(std::chrono::seconds(10));
      std::string sid, fid, aid;
      auto& mine = latencies[static_cast<size_t>(c)];
      for (long n = 0; Clock::now() < deadline && budget.fetch_sub(1) > 0; ++n) {
        const std::string body = reportBody(sid, fid, aid, n);
        const auto sent = Clock::now();
        const auto answer = client.Post("/rep/post.php", body, "application/x-www-form-urlencoded");
        const auto answered = Clock::now();
        if (!answer || answer->status != 200) {
          ++failures;
          continue;
        }
        mine.push_back(std::chrono::duration<double, std::milli>(answered - sent).count());
        sid = member(answer->body, "sid");
        fid = member(answer->body, "fid");
        if (const std::string newId = member(answer->body, "aid"); !newId.empty()) aid = newId;
      }
    });
  for (auto& client : clients) client.join();
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();

  kill(server, SIGTERM);
  int status = 0;
  waitpid(server, &status, 0);

  std::vector<double> all;
  for (const auto& each : latencies) all.insert(all.end(), each.begin(), each.end());
  std::sort(all.begin(), all.end());
  const long long stored = countReports(database);
  const double rate = static_cast<double>(all.size()) / elapsed;

  std::printf("clients %d, %.1f s, %zu reports answered, %ld failed\n", options.clients, elapsed,
              all.size(), failures.load());
  std::printf("reports/s %.0f\n", rate);
  std::printf("latency ms: p50 %.2f  p90 %.2f  p99 %.2f  p99.9 %.2f  max %.2f\n", percentile(all, 50),
              percentile(all, 90), percentile(all, 99), percentile(all, 99.9), all.empty() ? 0 : all.back());
  std::printf("reports in the database %lld (answered %zu): %s\n", stored, all.size(),
              stored == static_cast<long long>(all.size()) ? "equal" : "DIFFERENT");
  std::printf("target 1000 reports/s: %s\n", rate >= 1000 ? "met" : "NOT met");

  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  return stored == static_cast<long long>(all.size()) && failures == 0 ? 0 : 1;
}
