#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <vector>

#include "store/report_store.h"

namespace tidemark {

struct PendingReport {
  ReportFields fields;
  std::string sessionId;
  ReportStore::StoreDone done;
};

// Reports waiting for a store's writer threads, taken in batches so that one
// commit (one sync) serves many of them.
class PendingReports {
 public:
  // False when closed: the caller answers the report itself.
  bool push(PendingReport& report) {
    {
      std::lock_guard lock(mutex_);
      if (closed_) return false;
      queue_.push_back(std::move(report));
    }
    changed_.notify_one();
    return true;
  }

  // Waits for reports and moves up to `most` into `batch`. False once closed
  // and empty: every report pushed before closing is taken first.
  bool take(std::vector<PendingReport>& batch, size_t most) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return closed_ || !queue_.empty(); });
    if (queue_.empty()) return false;
    while (!queue_.empty() && batch.size() < most) {
      batch.push_back(std::move(queue_.front()));
      queue_.pop_front();
    }
    return true;
  }

  void close() {
    {
      std::lock_guard lock(mutex_);
      closed_ = true;
    }
    changed_.notify_all();
  }

  size_t size() const {
    std::lock_guard lock(mutex_);
    return queue_.size();
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<PendingReport> queue_;
  bool closed_ = false;
};

}  // namespace tidemark
