#include "base/server_metrics.h"

#include <cstdio>

namespace tidemark {

void ServerMetrics::countRequest(const std::string& route, int status, double seconds) {
  std::lock_guard lock(mutex_);
  ++requests_[{route, status}];
  for (size_t i = 0; i < kBuckets.size(); ++i)
    if (seconds <= kBuckets[i]) ++bucketCounts_[i];
  ++latencyCount_;
  latencySum_ += seconds;
}

void ServerMetrics::countRejected(const std::string& reason) {
  std::lock_guard lock(mutex_);
  ++rejected_[reason];
}

int64_t ServerMetrics::rejected(const std::string& reason) const {
  std::lock_guard lock(mutex_);
  const auto found = rejected_.find(reason);
  return found == rejected_.end() ? 0 : found->second;
}

std::string ServerMetrics::render(size_t queueDepth) const {
  std::string out;
  char number[64];
  const auto format = [&number](double value) {
    std::snprintf(number, sizeof number, "%.6g", value);
    return std::string(number);
  };
  std::lock_guard lock(mutex_);
  out += "# HELP tidemark_requests_total Requests answered, by route and HTTP status.\n"
         "# TYPE tidemark_requests_total counter\n";
  for (const auto& [key, count] : requests_)
    out += "tidemark_requests_total{route=\"" + key.first + "\",status=\"" + std::to_string(key.second) +
           "\"} " + std::to_string(count) + "\n";
  out += "# HELP tidemark_reports_stored_total Reports stored and answered.\n"
         "# TYPE tidemark_reports_stored_total counter\n"
         "tidemark_reports_stored_total " + std::to_string(stored_.load()) + "\n";
  out += "# HELP tidemark_rejected_total Requests refused, by reason.\n"
         "# TYPE tidemark_rejected_total counter\n";
  for (const auto& [reason, count] : rejected_)
    out += "tidemark_rejected_total{reason=\"" + reason + "\"} " + std::to_string(count) + "\n";
  out += "# HELP tidemark_request_duration_seconds Time from a request's first line to its answer.\n"
         "# TYPE tidemark_request_duration_seconds histogram\n";
  for (size_t i = 0; i < kBuckets.size(); ++i)
    out += "tidemark_request_duration_seconds_bucket{le=\"" + format(kBuckets[i]) + "\"} " +
           std::to_string(bucketCounts_[i]) + "\n";
  out += "tidemark_request_duration_seconds_bucket{le=\"+Inf\"} " + std::to_string(latencyCount_) + "\n" +
         "tidemark_request_duration_seconds_sum " + format(latencySum_) + "\n" +
         "tidemark_request_duration_seconds_count " + std::to_string(latencyCount_) + "\n";
  out += "# HELP tidemark_open_connections Client connections open now.\n"
         "# TYPE tidemark_open_connections gauge\n"
         "tidemark_open_connections " + std::to_string(open_.load()) + "\n";
  out += "# HELP tidemark_store_queue_depth Reports waiting for the database.\n"
         "# TYPE tidemark_store_queue_depth gauge\n"
         "tidemark_store_queue_depth " + std::to_string(queueDepth) + "\n";
  return out;
}

}  // namespace tidemark
