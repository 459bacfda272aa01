// Downloads of a player with wide lines against a running report server
// (issue 25, fault 1).
//
//   server_download_load fill DATABASE [LINES] [BYTES]
//       stores one player with LINES lines (default 1,500) of BYTES bytes
//       each (default 250,000) straight into DATABASE (an SQLite file or a
//       postgresql:// address, the schema made by the store) and prints the
//       page token.
//   server_download_load attack --port P --token T [--downloads 8]
//                        [--unread-every-ms 500] [--seconds 30] [--server-pid PID]
//       starts --downloads downloads of the player's CSV at once, each
//       read as fast as it comes (from 127.0.1.N), and every
//       --unread-every-ms one more that is never read past its head (from
//       127.0.2.N), for --seconds; then waits for the read ones to end
//       (2 minutes at most). Prints each read download's status, size and
//       time, the unread ones' statuses, and with --server-pid the server's
//       peak resident memory, sampled every 50 ms.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "loopback_connection.h"
#include "one_player_store.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

bool sendAll(int fd, const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

long rssKiB(int pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

struct Download {
  int status = 0;
  long long bytes = 0;  // of the body, chunk framing included
  bool whole = false;   // ended with the last chunk
  double seconds = 0;
};

// One download read to its end (or until the server closes it).
Download readDownload(int port, const std::string& from, const std::string& token) {
  Download result;
  const auto started = Clock::now();
  const int fd = tidemark::bench::connectFromLoopback(from, port);
  if (fd < 0) return result;
  timeval wait{60, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  if (!sendAll(fd, "GET /" + token + "/lines.csv HTTP/1.1\r\nHost: bench\r\nConnection: close\r\n\r\n")) {
    close(fd);
    return result;
  }
  std::vector<char> buffer(256 * 1024);
  std::string head;
  std::string tail;  // the last bytes, for the final chunk
  bool inBody = false;
  for (;;) {
    const ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
    if (n <= 0) break;
    size_t at = 0;
    if (!inBody) {
      head.append(buffer.data(), static_cast<size_t>(n));
      const size_t end = head.find("\r\n\r\n");
      if (end == std::string::npos) continue;
      result.status = std::atoi(head.c_str() + head.find(' ') + 1);
      inBody = true;
      result.bytes = static_cast<long long>(head.size() - end - 4);
      tail = head.substr(end + 4);
      continue;
    }
    result.bytes += n;
    tail.append(buffer.data() + at, static_cast<size_t>(n));
    if (tail.size() > 16) tail.erase(0, tail.size() - 16);
  }
  close(fd);
  const bool chunked = head.find("chunked") != std::string::npos;
  result.whole = chunked && tail.size() >= 5 && tail.compare(tail.size() - 5, 5, "0\r\n\r\n") == 0;
  result.seconds = std::chrono::duration<double>(Clock::now() - started).count();
  return result;
}

int attack(int argc, char** argv) {
  int port = 0, downloads = 8, unreadEveryMs = 500, seconds = 30, serverPid = 0;
  std::string token;
  for (int i = 2; i + 1 < argc; i += 2) {
    const std::string name = argv[i], value = argv[i + 1];
    if (name == "--port") port = std::stoi(value);
    else if (name == "--token") token = value;
    else if (name == "--downloads") downloads = std::stoi(value);
    else if (name == "--unread-every-ms") unreadEveryMs = std::stoi(value);
    else if (name == "--seconds") seconds = std::stoi(value);
    else if (name == "--server-pid") serverPid = std::stoi(value);
    else {
      std::cerr << "unknown option " << name << "\n";
      return 2;
    }
  }
  if (port <= 0 || token.empty()) {
    std::cerr << "usage: server_download_load attack --port P --token T [--downloads N] [--unread-every-ms MS]"
                 " [--seconds S] [--server-pid PID]\n";
    return 2;
  }
  std::atomic<bool> sampling{true};
  std::atomic<long> peak{0};
  std::thread sampler([&] {
    while (sampling && serverPid > 0) {
      peak = std::max(peak.load(), rssKiB(serverPid));
      std::this_thread::sleep_for(50ms);
    }
  });
  const long rssBefore = serverPid > 0 ? rssKiB(serverPid) : 0;

  std::vector<Download> results(static_cast<size_t>(downloads));
  std::vector<std::thread> readers;
  for (int i = 0; i < downloads; ++i)
    readers.emplace_back([&, i] { results[static_cast<size_t>(i)] = readDownload(port, "127.0.1." + std::to_string(i + 1), token); });

  // The unread ones: the head is read (for its status), nothing more.
  std::vector<int> unread;
  std::map<int, int> unreadStatuses;
  const auto stop = Clock::now() + std::chrono::seconds(seconds);
  int n = 0;
  while (unreadEveryMs > 0 && Clock::now() < stop) {
    const std::string from = "127.0.2." + std::to_string(1 + n % 250);
    ++n;
    const int fd = tidemark::bench::connectFromLoopback(from, port);
    if (fd >= 0 && sendAll(fd, "GET /" + token + "/lines.csv HTTP/1.1\r\nHost: bench\r\n\r\n")) {
      unread.push_back(fd);
    } else {
      ++unreadStatuses[-2];
      if (fd >= 0) close(fd);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(unreadEveryMs));
  }
  int closedByServer = 0;
  for (const int fd : unread) {
    // The status line, peeked at: nothing else is ever read.
    char head[64] = "";
    pollfd p{fd, POLLIN, 0};
    int status = -1;  // no answer at all
    if (poll(&p, 1, 0) == 1 && recv(fd, head, sizeof head - 1, MSG_PEEK | MSG_DONTWAIT) > 12)
      status = std::atoi(head + 9);
    ++unreadStatuses[status];
  }
  for (auto& reader : readers) reader.join();
  for (const int fd : unread) {
    char byte;
    pollfd p{fd, POLLIN, 0};
    // Still open, or closed by the server (its buffer drained here to see).
    while (poll(&p, 1, 0) == 1) {
      char drain[65536];
      const ssize_t got = recv(fd, drain, sizeof drain, MSG_DONTWAIT);
      if (got == 0) {
        ++closedByServer;
        break;
      }
      if (got < 0) break;
    }
    (void)byte;
    close(fd);
  }
  sampling = false;
  sampler.join();

  std::map<int, int> statuses;
  int whole = 0;
  double mostSeconds = 0;
  long long bytes = 0;
  for (const auto& r : results) {
    ++statuses[r.status];
    if (r.status == 200) {
      whole += r.whole;
      bytes += r.bytes;
      mostSeconds = std::max(mostSeconds, r.seconds);
    }
  }
  std::printf("read downloads: %d at once:", downloads);
  for (const auto& [status, count] : statuses) std::printf(" %d x %d", count, status);
  std::printf("; %d of the 200s whole, %.0f MB in all, the longest %.1f s\n", whole, bytes / 1e6, mostSeconds);
  std::printf("unread downloads: %d started:", n);
  for (const auto& [status, count] : unreadStatuses) std::printf(" %d x %d", count, status);
  std::printf("; %d closed by the server by the end\n", closedByServer);
  if (serverPid > 0)
    std::printf("server resident memory: %ld MiB before, peak %ld MiB\n", rssBefore / 1024, peak.load() / 1024);
  return 0;
}

int fill(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: server_download_load fill DATABASE [LINES] [BYTES]\n";
    return 2;
  }
  const long lines = argc > 3 ? std::atol(argv[3]) : 1500;
  const size_t bytes = argc > 4 ? static_cast<size_t>(std::atol(argv[4])) : 250000;
  auto store = tidemark::bench::openStore(argv[2]);
  if (!store) return 1;
  tidemark::ReportFields report;
  report.language = "en";
  report.patternId = 2;
  report.code = 29;
  report.lineTime = 1796000000;
  report.present = true;
  std::string line(bytes, 'x');
  for (size_t i = 0; i < line.size(); i += 97) line[i] = static_cast<char>('a' + i % 26);
  report.line = line;
  const auto started = Clock::now();
  // One at a time: a flight of wide lines would sit in memory whole.
  for (long n = 0; n < lines; ++n) {
    tidemark::ReportFields each = report;
    each.ordinal = static_cast<int32_t>(n);
    each.lineTime += n;
    each.line[0] = static_cast<char>('0' + n % 10);
    const auto stored = store->store(std::move(each));
    if (!stored || stored->databaseBusy) return 1;
    report.aid = stored->playerId;
  }
  const auto token = store->tokenOf(report.aid);
  if (!token) return 1;
  std::fprintf(stderr, "stored %ld lines of %zu bytes in %.1f s\n", lines, bytes,
               std::chrono::duration<double>(Clock::now() - started).count());
  std::printf("%s\n", (*token).c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "fill") return fill(argc, argv);
  if (mode == "attack") return attack(argc, argv);
  std::cerr << "usage: server_download_load fill DATABASE [LINES] [BYTES] | attack --port P --token T ...\n";
  return 2;
}
