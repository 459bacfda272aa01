#include "raw_http.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace tidemark::testing {

using Clock = std::chrono::steady_clock;

RawConnection::RawConnection(int port, const std::string& from) {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  inet_pton(AF_INET, from.c_str(), &local.sin_addr);
  sockaddr_in remote{};
  remote.sin_family = AF_INET;
  remote.sin_port = htons(static_cast<uint16_t>(port));
  remote.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int one = 1;
  setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      connect(fd_, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
    close(fd_);
    fd_ = -1;
  }
}

RawConnection::~RawConnection() {
  if (fd_ >= 0) close(fd_);
}

bool RawConnection::send(const std::string& bytes) {
  size_t sent = 0;
  while (fd_ >= 0 && sent < bytes.size()) {
    const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return fd_ >= 0;
}

RawConnection::Answer RawConnection::read(std::chrono::milliseconds wait) {
  Answer answer;
  const auto deadline = Clock::now() + wait;
  while (fd_ >= 0) {
    const size_t headEnd = buffer_.find("\r\n\r\n");
    if (headEnd != std::string::npos) {
      const std::string head = buffer_.substr(0, headEnd);
      size_t length = 0;
      std::string lowered = head;
      for (auto& c : lowered) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      const size_t at = lowered.find("\r\ncontent-length:");
      if (at != std::string::npos) length = std::strtoul(head.c_str() + at + 17, nullptr, 10);
      if (buffer_.size() >= headEnd + 4 + length) {
        answer.status = std::atoi(head.c_str() + head.find(' ') + 1);
        answer.body = buffer_.substr(headEnd + 4, length);
        answer.closes = lowered.find("\r\nconnection: close") != std::string::npos;
        answer.head = head;
        buffer_.erase(0, headEnd + 4 + length);
        return answer;
      }
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return answer;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    char chunk[16384];
    const ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
    if (n <= 0) return answer;
    buffer_.append(chunk, static_cast<size_t>(n));
  }
  return answer;
}

bool RawConnection::closedWithin(std::chrono::milliseconds wait) {
  const auto deadline = Clock::now() + wait;
  for (bool first = true; fd_ >= 0; first = false) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0 && !first) return false;  // looked at least once
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(std::max<long>(left, 0))) <= 0) continue;
    char chunk[16384];
    if (recv(fd_, chunk, sizeof chunk, 0) <= 0) return true;
  }
  return true;
}

std::chrono::milliseconds timeOrdinaryRequest(int port, const std::string& from, std::chrono::milliseconds wait) {
  const auto started = Clock::now();
  RawConnection connection(port, from);
  if (!connection.connected() ||
      !connection.send("GET /rep/get.php?%67%65%74=%6C%61%6E%67&%6C%61%6E%67= HTTP/1.1\r\nHost: tidemark\r\n\r\n"))
    return std::chrono::milliseconds(-1);
  const auto answer = connection.read(wait);
  if (answer.status != 200) return std::chrono::milliseconds(-1);
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
}

}  // namespace tidemark::testing
