#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

namespace tidemark {

// Whether the database takes writes, as the last reports found it: a
// database that answers reads but refuses every write (held by an outside
// lock, a full disk) is not healthy. A failure counts for kHold: with no
// reports coming (a proxy took the instance out) the server is offered to
// the proxy again after it, and the next report tells.
class WriteHealth {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::seconds kHold{30};

  void succeeded();
  void failed();
  // Why writes are not healthy; nothing when they are.
  std::optional<std::string> problem(Clock::time_point now = Clock::now()) const;

 private:
  mutable std::mutex mutex_;
  int64_t failuresInARow_ = 0;
  Clock::time_point lastFailure_;
};

}  // namespace tidemark
