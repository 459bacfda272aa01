#pragma once

#include <chrono>
#include <string>

namespace tidemark::testing {

// A bare TCP client for requests no ordinary HTTP client would send, from a
// chosen loopback source address (the server caps connections per address).
class RawConnection {
 public:
  RawConnection(int port, const std::string& from = "127.0.0.1");
  ~RawConnection();
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  bool connected() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  // False once the server has closed or reset the connection.
  bool send(const std::string& bytes);

  struct Answer {
    int status = 0;  // 0: none (closed, or no answer in time)
    std::string body;
    bool closes = false;  // the answer said "Connection: close"
    std::string head;     // status line and headers
  };
  // One whole answer (by its Content-Length), waiting at most `wait`.
  Answer read(std::chrono::milliseconds wait = std::chrono::seconds(5));
  // Whether the server closed the connection within `wait`.
  bool closedWithin(std::chrono::milliseconds wait);

 private:
  int fd_ = -1;
  std::string buffer_;
};

// One language-list request on a fresh connection from `from`: the time it
// took, or a negative time when no 200 came within `wait`.
std::chrono::milliseconds timeOrdinaryRequest(int port, const std::string& from,
                                              std::chrono::milliseconds wait = std::chrono::seconds(2));

}  // namespace tidemark::testing
