#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>

namespace tidemark {

// Counters for /metrics, in the Prometheus text format. Safe from any thread.
class ServerMetrics {
 public:
  void countRequest(const std::string& route, int status, double seconds);
  void countRejected(const std::string& reason);
  void countStored() { stored_.fetch_add(1, std::memory_order_relaxed); }
  void connectionOpened() { open_.fetch_add(1, std::memory_order_relaxed); }
  void connectionClosed() { open_.fetch_sub(1, std::memory_order_relaxed); }
  int64_t openConnections() const { return open_.load(std::memory_order_relaxed); }
  int64_t rejected(const std::string& reason) const;

  // `queueDepth` is read at rendering time.
  std::string render(size_t queueDepth) const;

 private:
  static constexpr std::array<double, 12> kBuckets = {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05,
                                                       0.1,   0.25,   0.5,   1,    2.5,   10};
  mutable std::mutex mutex_;
  std::map<std::pair<std::string, int>, int64_t> requests_;
  std::map<std::string, int64_t> rejected_;
  std::array<int64_t, kBuckets.size()> bucketCounts_{};
  int64_t latencyCount_ = 0;
  double latencySum_ = 0;
  std::atomic<int64_t> stored_{0};
  std::atomic<int64_t> open_{0};
};

}  // namespace tidemark
