#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "base/reply.h"

namespace tidemark {

// Builds the answers that read the database (a player's page, a page
// token) on a few threads of their own, so that the event loops only move
// bytes and one slow page holds up nothing but the pages behind it. Every
// job has a deadline: one not answered by then gets 503, one still waiting
// then is never started, and one that arrives while `maxWaiting` wait gets
// 503 at once.
class PagePool {
 public:
  using Build = std::function<Reply()>;
  using Respond = std::function<void(Reply)>;

  PagePool(unsigned threads, size_t maxWaiting, std::chrono::milliseconds deadline);
  // Lets the running jobs finish; the waiting ones get 503.
  ~PagePool();
  PagePool(const PagePool&) = delete;
  PagePool& operator=(const PagePool&) = delete;

  // `respond` runs once, on a page thread or the deadline's.
  void submit(Build build, Respond respond);

 private:
  using Clock = std::chrono::steady_clock;
  // Whoever answers first (the job or its deadline) answers alone.
  struct Answer {
    std::mutex mutex;
    Respond respond;
    void operator()(Reply reply);
  };
  struct Job {
    Build build;
    std::shared_ptr<Answer> answer;
    Clock::time_point deadline;
  };
  void work();
  void watchDeadlines();

  const size_t maxWaiting_;
  const std::chrono::milliseconds deadline_;
  std::mutex mutex_;
  std::condition_variable jobArrived_, deadlineAdded_;
  bool stopping_ = false;
  std::deque<Job> waiting_;
  // Every job's answer by deadline, oldest first (all deadlines are equally far).
  std::deque<std::pair<Clock::time_point, std::shared_ptr<Answer>>> deadlines_;
  std::vector<std::thread> threads_;
  std::thread deadlineThread_;
};

}  // namespace tidemark
