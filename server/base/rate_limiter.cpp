#include "base/rate_limiter.h"

#include <algorithm>
#include <cmath>

namespace tidemark {

double RateLimiter::refilled(const Bucket& bucket, Clock::time_point now) const {
  const double seconds = std::chrono::duration<double>(now - bucket.updated).count();
  return std::min(burst_, bucket.tokens + std::max(0.0, seconds) * perSecond_);
}

bool RateLimiter::allow(std::string_view key, Clock::time_point now) {
  std::lock_guard lock(mutex_);
  auto found = buckets_.find(std::string(key));
  if (found == buckets_.end()) {
    if (buckets_.size() >= kPruneAbove) prune(now);
    buckets_.emplace(std::string(key), Bucket{burst_ - 1, now});
    return true;
  }
  Bucket& bucket = found->second;
  bucket.tokens = refilled(bucket, now);
  bucket.updated = now;
  if (bucket.tokens < 1) return false;
  bucket.tokens -= 1;
  return true;
}

bool RateLimiter::available(std::string_view key, Clock::time_point now) const {
  std::lock_guard lock(mutex_);
  const auto found = buckets_.find(std::string(key));
  return found == buckets_.end() || refilled(found->second, now) >= 1;
}

void RateLimiter::giveBack(std::string_view key, Clock::time_point now) {
  std::lock_guard lock(mutex_);
  // A key pruned meanwhile had a full bucket: nothing to give back.
  const auto found = buckets_.find(std::string(key));
  if (found == buckets_.end()) return;
  Bucket& bucket = found->second;
  bucket.tokens = std::min(burst_, refilled(bucket, now) + 1);
  bucket.updated = now;
}

int RateLimiter::secondsUntilAvailable(std::string_view key, Clock::time_point now) const {
  std::lock_guard lock(mutex_);
  const auto found = buckets_.find(std::string(key));
  const double missing = found == buckets_.end() ? 0 : 1 - refilled(found->second, now);
  return std::max(1, static_cast<int>(std::ceil(missing / perSecond_)));
}

size_t RateLimiter::keys() const {
  std::lock_guard lock(mutex_);
  return buckets_.size();
}

void RateLimiter::prune(Clock::time_point now) {
  for (auto it = buckets_.begin(); it != buckets_.end();)
    it = refilled(it->second, now) >= burst_ ? buckets_.erase(it) : std::next(it);
  // Every key busy at once: forgetting them all is the bounded choice; it can
  // only let a key through early, never shut one out.
  if (buckets_.size() >= kPruneAbove) buckets_.clear();
}

}  // namespace tidemark
