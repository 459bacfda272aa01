#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace tidemark {

// How many downloads of a player's lines may run at once. Each holds at
// most kDownloadMemory (page/player_export.h) while it runs, so the total
// bounds what all of them hold together.
struct DownloadLimits {
  unsigned perPlayer = 2;
  unsigned perAddress = 4;
  unsigned total = 32;
  // The text all downloads together make a second (a burst of a second's
  // worth at once): what they take from the machine, the database's
  // reads included, stays a small share beside the reports.
  double bytesPerSecond = 8.0 * 1024 * 1024;
};

// The downloads running now, counted per player, per address and in all.
class DownloadSlots {
 public:
  explicit DownloadSlots(DownloadLimits limits) : limits_(limits) {}
  // A place for one download, given back when the last copy of it goes;
  // null with `refusal` ("download_player", "download_address",
  // "downloads") when a limit is reached.
  std::shared_ptr<void> take(const std::string& player, const std::string& address, const char*& refusal);
  size_t running() const;

 private:
  void giveBack(const std::string& player, const std::string& address);

  const DownloadLimits limits_;
  mutable std::mutex mutex_;
  std::unordered_map<std::string, unsigned> perPlayer_, perAddress_;
  unsigned running_ = 0;
};

// The threads that read and encode downloads' batches, never an event
// loop's: jobs run in the order they come, and a download queues one
// batch at a time, so that many downloads share them in turns. They run at
// the lowest CPU priority, and together make at most `bytesPerSecond` of
// text (a job's bytes are paid for before the next job starts): reports
// and pages go first.
class DownloadThreads {
 public:
  DownloadThreads(unsigned threads, double bytesPerSecond);
  ~DownloadThreads() { stop(); }
  DownloadThreads(const DownloadThreads&) = delete;
  DownloadThreads& operator=(const DownloadThreads&) = delete;

  // Dropped once stopped.
  void run(std::function<size_t()> job);
  // Lets the running jobs finish and drops the waiting ones: before the
  // store closes.
  void stop();

 private:
  void work();
  // Waits (unless stopping) until `bytes` more are within the pace.
  void pace(size_t bytes);

  const double bytesPerSecond_;
  std::mutex mutex_;
  std::condition_variable arrived_, stopped_;
  bool stopping_ = false;
  std::deque<std::function<size_t()>> jobs_;
  // The pace: when the bytes made so far are paid for.
  std::chrono::steady_clock::time_point paidUntil_ = std::chrono::steady_clock::now();
  std::vector<std::thread> threads_;
};

}  // namespace tidemark
