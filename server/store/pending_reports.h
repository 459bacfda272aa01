#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

#include "store/report_store.h"

namespace tidemark {

struct PendingReport {
  ReportFields fields;
  std::string sessionId;
  ReportStore::StoreDone done;
  // Past this the report is answered "busy" rather than written: its own
  // wait bound, whatever it waited behind.
  std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::now() + kDatabaseWait;
};

// Reports waiting for a store's writer threads, taken in batches so that one
// commit (one sync) serves many of them.
class PendingReports {
 public:
  // False when closed: the caller answers the report itself.
  bool push(PendingReport& report) {
    bool wake = true;
    {
      std::lock_guard lock(mutex_);
      if (closed_) return false;
      queue_.push_back(std::move(report));
      // A writer gathering a batch sleeps on until it is full: waking it for
      // each report would cost a switch per report, what gathering saves.
      if (gathering_ > 0) wake = queue_.size() >= gathering_;
    }
    if (wake) changed_.notify_one();
    return true;
  }

  // Waits for reports and moves up to `most` into `batch`. False once closed
  // and empty: every report pushed before closing is taken first. With a
  // `gather` time, the first report waits that long for others to join its
  // batch (one commit, one sync for them all), unless `most` come sooner.
  // With an `idle` time, none coming for that long returns true with
  // `batch` empty, so that the caller can do what waits for a quiet moment.
  bool take(std::vector<PendingReport>& batch, size_t most,
            std::chrono::microseconds gather = std::chrono::microseconds(0),
            std::optional<std::chrono::milliseconds> idle = std::nullopt) {
    std::unique_lock lock(mutex_);
    const auto ready = [&] { return closed_ || !queue_.empty(); };
    if (!idle)
      changed_.wait(lock, ready);
    else if (!changed_.wait_for(lock, *idle, ready))
      return true;
    if (queue_.empty()) return false;
    if (gather.count() > 0 && !closed_ && queue_.size() < most) {
      // Pushes meanwhile wake this wait only once the batch is full.
      gathering_ = most;
      changed_.wait_for(lock, gather, [&] { return closed_ || queue_.size() >= most; });
      gathering_ = 0;
    }
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
  size_t gathering_ = 0;  // a writer gathers a batch of this many
};

}  // namespace tidemark
