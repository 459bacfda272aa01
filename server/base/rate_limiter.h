#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

namespace tidemark {

// Token buckets by key (an address, a player id): `burst` at once, refilled at
// `perSecond`. Full buckets are forgotten once the table grows past
// kPruneAbove keys, so a flood of one-time keys costs bounded memory.
class RateLimiter {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr size_t kPruneAbove = 100'000;

  RateLimiter(double perSecond, double burst) : perSecond_(perSecond), burst_(burst) {}

  // Takes one token; false when the key has none left.
  bool allow(std::string_view key, Clock::time_point now = Clock::now());
  // Whether `allow` would let one through now, without taking it.
  bool available(std::string_view key, Clock::time_point now = Clock::now()) const;
  // Returns a token `allow` took for something that did not happen after all.
  void giveBack(std::string_view key, Clock::time_point now = Clock::now());
  // Whole seconds until `allow` lets the key through again (at least 1).
  int secondsUntilAvailable(std::string_view key, Clock::time_point now = Clock::now()) const;
  size_t keys() const;

 private:
  struct Bucket {
    double tokens;
    Clock::time_point updated;
  };
  double refilled(const Bucket& bucket, Clock::time_point now) const;
  void prune(Clock::time_point now);

  const double perSecond_;
  const double burst_;
  mutable std::mutex mutex_;
  std::unordered_map<std::string, Bucket> buckets_;
};

}  // namespace tidemark
