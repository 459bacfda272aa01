// Connections held by dripping heads against a running report server
// (issue 25, fault 2): --addresses loopback addresses (127.0.20.N) each open
// --per-address connections and send one byte of a request line every
// --drip-ms, never finishing it; a connection the server closes is opened
// again at once, as an attacker would. Once they are all open and
// --settle-s has passed, a new client (127.0.21.1) asks for the language
// list --tries times, a new connection each, one after the other (200 ms
// apart): each try is answered (200) within 1 s or not.
//
//   server_drip_load --port P [--addresses 64] [--per-address 256]
//                    [--drip-ms 5000] [--settle-s 12] [--tries 100]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "loopback_connection.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const std::string kLine = "GET /rep/get.php?get=lang&lang= HTTP/1.1\r\nHost: drip\r\n\r\n";

// One try of the new client: milliseconds to a 200, or -1.
double oneTry(int port, int& status) {
  const auto started = Clock::now();
  status = 0;
  const int fd = tidemark::bench::connectFromLoopback("127.0.21.1", port, true);
  if (fd < 0) return -1;
  timeval wait{2, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  const std::string request = "GET /rep/get.php?get=lang&lang= HTTP/1.1\r\nHost: drip\r\nConnection: close\r\n\r\n";
  if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
    close(fd);
    return -1;
  }
  char buffer[4096];
  std::string answer;
  ssize_t n;
  while (answer.find("\r\n\r\n") == std::string::npos && (n = recv(fd, buffer, sizeof buffer, 0)) > 0)
    answer.append(buffer, static_cast<size_t>(n));
  close(fd);
  if (answer.size() > 12) status = std::atoi(answer.c_str() + 9);
  if (status != 200) return -1;
  return std::chrono::duration<double, std::milli>(Clock::now() - started).count();
}

}  // namespace

int main(int argc, char** argv) {
  int port = 0, addresses = 64, perAddress = 256, dripMs = 5000, settleS = 12, tries = 100;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    const int value = std::atoi(argv[i + 1]);
    if (name == "--port") port = value;
    else if (name == "--addresses") addresses = value;
    else if (name == "--per-address") perAddress = value;
    else if (name == "--drip-ms") dripMs = value;
    else if (name == "--settle-s") settleS = value;
    else if (name == "--tries") tries = value;
    else {
      std::cerr << "unknown option " << name << "\n";
      return 2;
    }
  }
  if (port <= 0 || addresses < 1 || addresses > 250) {
    std::cerr << "usage: server_drip_load --port P [--addresses N] [--per-address N] [--drip-ms MS]"
                 " [--settle-s S] [--tries N]\n";
    return 2;
  }
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = files.rlim_max;
  setrlimit(RLIMIT_NOFILE, &files);

  struct Held {
    int fd = -1;
    size_t sent = 0;
    Clock::time_point next;
    std::string from;
  };
  std::vector<Held> held(static_cast<size_t>(addresses * perAddress));
  long reopened = 0, failedOpens = 0;
  // A connection the server closes (or answers, which it closes after) is
  // seen at once and opened again.
  const int events = epoll_create1(EPOLL_CLOEXEC);
  const auto reopen = [&](size_t index) {
    Held& h = held[index];
    if (h.fd >= 0) close(h.fd);
    h.fd = tidemark::bench::connectFromLoopback(h.from, port, false);
    h.sent = 0;
    h.next = Clock::now() + 100ms;  // the first byte once connected
    if (h.fd < 0) {
      ++failedOpens;
      return;
    }
    epoll_event event{};
    event.events = EPOLLIN | EPOLLRDHUP;
    event.data.u64 = index;
    epoll_ctl(events, EPOLL_CTL_ADD, h.fd, &event);
  };
  const auto started = Clock::now();
  for (size_t i = 0; i < held.size(); ++i) {
    held[i].from = "127.0.20." + std::to_string(1 + i / static_cast<size_t>(perAddress));
    reopen(i);
  }
  std::printf("%zu connections opened from %d addresses in %.1f s (%ld failed)\n", held.size(), addresses,
              std::chrono::duration<double>(Clock::now() - started).count(), failedOpens);

  // The drip, on this thread; the tries on another.
  std::vector<double> times;
  std::map<int, int> statuses;
  std::atomic<bool> triesDone{false};
  std::thread tryer([&] {
    std::this_thread::sleep_for(std::chrono::seconds(settleS));
    for (int t = 0; t < tries; ++t) {
      int status = 0;
      times.push_back(oneTry(port, status));
      ++statuses[status];
      std::this_thread::sleep_for(200ms);
    }
    triesDone = true;
  });
  long dripped = 0;
  std::vector<epoll_event> ready(1024);
  while (!triesDone) {
    const int n = epoll_wait(events, ready.data(), static_cast<int>(ready.size()), 20);
    for (int e = 0; e < n; ++e) {
      ++reopened;
      reopen(static_cast<size_t>(ready[static_cast<size_t>(e)].data.u64));
    }
    const auto now = Clock::now();
    for (size_t i = 0; i < held.size(); ++i) {
      Held& h = held[i];
      if (now < h.next) continue;
      if (h.fd < 0) {
        reopen(i);
        continue;
      }
      const ssize_t sent = send(h.fd, kLine.data() + h.sent % kLine.size(), 1, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (sent == 1) {
        ++h.sent;
        ++dripped;
        h.next = now + std::chrono::milliseconds(dripMs);
      } else if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOTCONN) {
        h.next = now + 50ms;  // still connecting
      } else {
        ++reopened;
        reopen(i);
      }
    }
  }
  tryer.join();
  int open = 0;
  for (auto& h : held) {
    if (h.fd < 0) continue;
    char byte;
    const ssize_t got = recv(h.fd, &byte, 1, MSG_DONTWAIT | MSG_PEEK);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) ++open;
    close(h.fd);
  }
  std::vector<double> answered;
  for (double t : times)
    if (t >= 0) answered.push_back(t);
  std::sort(answered.begin(), answered.end());
  const auto at = [&](double p) {
    return answered.empty() ? 0.0 : answered[std::min(answered.size() - 1, static_cast<size_t>(p / 100 * answered.size()))];
  };
  const long within = std::count_if(answered.begin(), answered.end(), [](double t) { return t < 1000; });
  std::printf("drip: %ld bytes sent, %ld connections opened again after the server closed them, %d open at the end\n",
              dripped, reopened, open);
  std::printf("new client: %ld of %d answered 200 within 1 s; statuses:", within, tries);
  for (const auto& [status, count] : statuses) std::printf(" %d x %d", count, status);
  std::printf("; ms p50 %.1f p99 %.1f max %.1f\n", at(50), at(99), answered.empty() ? 0.0 : answered.back());
  return within == tries ? 0 : 1;
}
