// Line reports against a running report server (or a proxy in front of
// several): N keep-alive connections, each a client that registers with its
// first report and then sends its player id, session and previous report id
// like Tidemark does. Either paced (each client posts every --interval-ms,
// first at a random moment within one interval) or closed-loop (each posts
// again as soon as answered). Every report carries a Tidemark-Report-Id as
// Tidemark sends it. One epoll thread drives every connection.
// At the end no new report is sent and every one in flight is waited for,
// so the count answered is exact; with --database it is compared with the
// count stored (exit code 1 when they differ or when anything failed).
// With --tls-ca every connection is HTTPS (OpenSSL, the server's certificate
// checked against that CA for --tls-name), as a client built for TLS talks.
//
//   server_report_load --port P [--clients N] [--seconds S] [--interval-ms MS]
//                      [--database PATH|URL] [--address A] [--tls-ca FILE [--tls-name N]]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <queue>
#include <random>
#include <string>
#include <vector>

#include "http/form.h"
#include "store/report_store.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  std::string address = "127.0.0.1";
  int port = 0;
  int clients = 64;
  int seconds = 10;
  int intervalMs = 0;  // 0: closed loop
  std::string database;
  std::string tlsCa;  // set: HTTPS
  std::string tlsName = "localhost";
};

struct Client {
  int fd = -1;
  SSL* ssl = nullptr;
  bool handshaken = false;
  bool connected = false;
  std::string aid, sid, fid;
  long sentCount = 0;
  std::string out;
  size_t outSent = 0;
  std::string in;
  Clock::time_point sentAt;
  bool waiting = false;  // a report is in flight
};

std::string member(const std::string& json, const std::string& name) {
  const std::string key = "\"" + name + "\":\"";
  const size_t at = json.find(key);
  if (at == std::string::npos) return {};
  const size_t end = json.find('"', at + key.size());
  return json.substr(at + key.size(), end - at - key.size());
}

// 32 hex digits, unique per report and per run.
std::string reportId(long n) {
  static const unsigned long long run = std::random_device{}() * 4294967296ULL + std::random_device{}();
  char id[33];
  std::snprintf(id, sizeof id, "%016llx%016llx", run, static_cast<unsigned long long>(n));
  return id;
}

std::string reportRequest(const Client& client, long n) {
  const std::string line = "\x1F\x1FYou wave to Alice Bell. (" + std::to_string(n) + ")";
  const std::pair<const char*, std::string> fields[] = {
      {"lang", "en"}, {"sid", client.sid}, {"fid", client.fid}, {"aid", client.aid},
      {"pid", "2"},   {"code", "29"},      {"log", line},       {"line", std::to_string(n % 1000)},
      {"ltime", std::to_string(1796000000 + n)}, {"present", "1"}};
  std::string body;
  for (const auto& [name, value] : fields) {
    if (!body.empty()) body += '&';
    body += tidemark::percentEncode(name) + '=' + tidemark::percentEncode(value);
  }
  return "POST /rep/post.php HTTP/1.1\r\nHost: tidemark\r\nAccept:*/*\r\nConnection: Keep-Alive\r\n"
         "Tidemark-Report-Id: " + reportId(n) + "\r\n"
         "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

double percentile(const std::vector<double>& sorted, double p) {
  if (sorted.empty()) return 0;
  return sorted[std::min(sorted.size() - 1, static_cast<size_t>(p / 100.0 * sorted.size()))];
}

class LoadRun {
 public:
  explicit LoadRun(const Options& options) : options_(options), clients_(options.clients) {
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    remote_.sin_family = AF_INET;
    remote_.sin_port = htons(static_cast<uint16_t>(options.port));
    inet_pton(AF_INET, options.address.c_str(), &remote_.sin_addr);
    if (!options.tlsCa.empty()) {
      tls_ = SSL_CTX_new(TLS_client_method());
      SSL_CTX_set_min_proto_version(tls_, TLS1_2_VERSION);
      SSL_CTX_set_verify(tls_, SSL_VERIFY_PEER, nullptr);
      if (SSL_CTX_load_verify_locations(tls_, options.tlsCa.c_str(), nullptr) != 1) {
        std::fprintf(stderr, "cannot read the CA file %s\n", options.tlsCa.c_str());
        std::exit(2);
      }
    }
  }

  int run() {
    const auto start = Clock::now();
    stopSending_ = start + std::chrono::seconds(options_.seconds);
    std::mt19937 random(12345);
    const int spread = std::max(1, options_.intervalMs);
    for (size_t i = 0; i < clients_.size(); ++i)
      timers_.push({start + std::chrono::milliseconds(options_.intervalMs ? random() % spread : 0), i});
    std::vector<epoll_event> events(1024);
    const auto drainDeadline = stopSending_ + std::chrono::seconds(15);
    while (true) {
      const auto now = Clock::now();
      while (!timers_.empty() && timers_.top().first <= now) {
        const size_t index = timers_.top().second;
        timers_.pop();
        if (now < stopSending_) send(index);
      }
      if (now >= stopSending_ && inFlight_ == 0) break;
      if (now >= drainDeadline) break;
      int waitMs = 50;
      if (!timers_.empty())
        waitMs = static_cast<int>(std::clamp<long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(timers_.top().first - now).count(), 0, 50));
      const int n = epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), waitMs);
      for (int e = 0; e < n; ++e) handle(events[e].data.u64, events[e].events);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return report(seconds);
  }

 private:
  bool open(Client& client, size_t index) {
    client.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (client.fd < 0) return false;
    const int one = 1;
    setsockopt(client.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const int rc = connect(client.fd, reinterpret_cast<sockaddr*>(&remote_), sizeof remote_);
    if (rc != 0 && errno != EINPROGRESS) {
      close(client.fd);
      client.fd = -1;
      return false;
    }
    if (tls_) {
      client.ssl = SSL_new(tls_);
      SSL_set_fd(client.ssl, client.fd);
      SSL_set1_host(client.ssl, options_.tlsName.c_str());
      SSL_set_tlsext_host_name(client.ssl, options_.tlsName.c_str());
      SSL_set_connect_state(client.ssl);
      client.handshaken = false;
    }
    epoll_event event{};
    event.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP;
    event.data.u64 = index;
    epoll_ctl(epoll_, EPOLL_CTL_ADD, client.fd, &event);
    return true;
  }

  void send(size_t index) {
    Client& client = clients_[index];
    if (client.fd < 0 && !open(client, index)) {
      ++errors_["connect"];
      timers_.push({Clock::now() + std::chrono::milliseconds(100), index});
      return;
    }
    client.out = reportRequest(client, ++client.sentCount + static_cast<long>(index) * 1'000'000);
    client.outSent = 0;
    client.sentAt = Clock::now();
    client.waiting = true;
    ++inFlight_;
    ++sent_;
    flush(client);
  }

  // False when the connection failed.
  bool handshake(Client& client) {
    if (!client.ssl || client.handshaken) return true;
    const int rc = SSL_do_handshake(client.ssl);
    if (rc == 1) {
      client.handshaken = true;
      return true;
    }
    const int error = SSL_get_error(client.ssl, rc);
    return error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE;
  }

  void flush(Client& client) {
    if (client.ssl) {
      if (!handshake(client)) return;  // the failure shows as a hang-up or at the read
      while (client.handshaken && client.outSent < client.out.size()) {
        const int n = SSL_write(client.ssl, client.out.data() + client.outSent,
                                static_cast<int>(client.out.size() - client.outSent));
        if (n <= 0) return;
        client.outSent += static_cast<size_t>(n);
      }
      return;
    }
    while (client.outSent < client.out.size()) {
      const ssize_t n = ::send(client.fd, client.out.data() + client.outSent, client.out.size() - client.outSent,
                               MSG_NOSIGNAL);
      if (n <= 0) return;  // EAGAIN: EPOLLOUT comes; errors show as hang-ups
      client.outSent += static_cast<size_t>(n);
    }
  }

  void fail(size_t index, const char* why) {
    Client& client = clients_[index];
    ++errors_[why];
    if (client.ssl) SSL_free(client.ssl);
    client.ssl = nullptr;
    if (client.fd >= 0) close(client.fd);
    client.fd = -1;
    client.in.clear();
    if (client.waiting) {
      client.waiting = false;
      --inFlight_;
    }
    timers_.push({Clock::now() + std::chrono::milliseconds(100), index});
  }

  void handle(size_t index, uint32_t events) {
    Client& client = clients_[index];
    if (client.fd < 0) return;
    if (events & EPOLLOUT) flush(client);
    if (events & EPOLLIN && client.ssl) {
      if (!handshake(client)) return fail(index, "tls_handshake");
      if (!client.handshaken) return;
      flush(client);
      char buffer[16384];
      while (true) {
        const int n = SSL_read(client.ssl, buffer, sizeof buffer);
        if (n > 0) {
          client.in.append(buffer, static_cast<size_t>(n));
          continue;
        }
        const int error = SSL_get_error(client.ssl, n);
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) break;
        return fail(index, client.waiting ? "closed_in_flight" : "closed_idle");
      }
      parse(index);
    } else if (events & EPOLLIN) {
      char buffer[16384];
      while (true) {
        const ssize_t n = recv(client.fd, buffer, sizeof buffer, 0);
        if (n > 0) {
          client.in.append(buffer, static_cast<size_t>(n));
          continue;
        }
        if (n == 0) return fail(index, client.waiting ? "closed_in_flight" : "closed_idle");
        break;
      }
      parse(index);
    } else if (events & (EPOLLERR | EPOLLHUP | EPOLLRDHUP)) {
      fail(index, "reset");
    }
  }

  void parse(size_t index) {
    Client& client = clients_[index];
    const size_t headEnd = client.in.find("\r\n\r\n");
    if (headEnd == std::string::npos) return;
    std::string head = client.in.substr(0, headEnd);
    for (auto& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const size_t at = head.find("content-length:");
    const size_t length = at == std::string::npos ? 0 : std::strtoul(head.c_str() + at + 15, nullptr, 10);
    if (client.in.size() < headEnd + 4 + length) return;
    const int status = std::atoi(head.c_str() + head.find(' ') + 1);
    const std::string body = client.in.substr(headEnd + 4, length);
    client.in.erase(0, headEnd + 4 + length);
    if (!client.waiting) return;
    client.waiting = false;
    --inFlight_;
    const auto now = Clock::now();
    latenciesMs_.push_back(std::chrono::duration<double, std::milli>(now - client.sentAt).count());
    ++statuses_[status];
    if (status == 200) {
      ++answered_;
      if (const std::string aid = member(body, "aid"); !aid.empty()) client.aid = aid;
      client.sid = member(body, "sid");
      client.fid = member(body, "fid");
    }
    const auto next = options_.intervalMs ? client.sentAt + std::chrono::milliseconds(options_.intervalMs) : now;
    timers_.push({std::max(next, now), index});
  }

  int report(double seconds) {
    std::sort(latenciesMs_.begin(), latenciesMs_.end());
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("clients %d, %s, %.1f s: sent %ld, answered 200: %ld (%.0f/s)\n", options_.clients,
                options_.intervalMs ? ("one report every " + std::to_string(options_.intervalMs) + " ms each").c_str()
                                    : "closed loop",
                seconds, sent_, answered_, answered_ / seconds);
    std::printf("latency ms: p50 %.2f  p90 %.2f  p99 %.2f  p99.9 %.2f  max %.2f\n", percentile(latenciesMs_, 50),
                percentile(latenciesMs_, 90), percentile(latenciesMs_, 99), percentile(latenciesMs_, 99.9),
                latenciesMs_.empty() ? 0 : latenciesMs_.back());
    long failures = 0;
    for (const auto& [status, count] : statuses_)
      if (status != 200) {
        std::printf("status %d: %ld\n", status, count);
        failures += count;
      }
    for (const auto& [why, count] : errors_) {
      std::printf("error %s: %ld\n", why.c_str(), count);
      failures += count;
    }
    if (inFlight_ > 0) std::printf("unanswered at the end: %ld\n", inFlight_);
    failures += inFlight_;
    std::printf("load generator CPU: %.1f s\n", usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
                                                    (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6);
    bool matches = true;
    if (!options_.database.empty()) {
      std::string error;
      auto store = tidemark::ReportStore::open(options_.database, error);
      const long long stored = store ? store->reportCount() : -1;
      matches = stored == answered_;
      std::printf("stored %lld, answered %ld: %s\n", stored, answered_, matches ? "equal" : "DIFFERENT");
    }
    return failures == 0 && matches ? 0 : 1;
  }

  const Options options_;
  std::vector<Client> clients_;
  int epoll_ = -1;
  SSL_CTX* tls_ = nullptr;
  sockaddr_in remote_{};
  using Timer = std::pair<Clock::time_point, size_t>;
  std::priority_queue<Timer, std::vector<Timer>, std::greater<>> timers_;
  Clock::time_point stopSending_;
  long inFlight_ = 0, sent_ = 0, answered_ = 0;
  std::map<int, long> statuses_;
  std::map<std::string, long> errors_;
  std::vector<double> latenciesMs_;
};

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i], value = argv[i + 1];
    if (name == "--port") options.port = std::stoi(value);
    else if (name == "--address") options.address = value;
    else if (name == "--clients") options.clients = std::stoi(value);
    else if (name == "--seconds") options.seconds = std::stoi(value);
    else if (name == "--interval-ms") options.intervalMs = std::stoi(value);
    else if (name == "--database") options.database = value;
    else if (name == "--tls-ca") options.tlsCa = value;
    else if (name == "--tls-name") options.tlsName = value;
    else {
      std::cerr << "unknown option " << name << "\n";
      return 2;
    }
  }
  if (options.port <= 0 || options.clients < 1 || options.seconds < 1 || options.seconds > 3600) {
    std::cerr << "usage: server_report_load --port P [--clients N] [--seconds S] [--interval-ms MS]"
                 " [--database PATH|URL] [--address A]\n";
    return 2;
  }
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = files.rlim_max;
  setrlimit(RLIMIT_NOFILE, &files);
  return LoadRun(options).run();
}
