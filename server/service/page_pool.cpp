#include "service/page_pool.h"

namespace tidemark {
namespace {

Reply tooLate() {
  Reply reply = Reply::text(503, "The page took too long to build. Please try again in a moment.");
  reply.headers.emplace_back("Retry-After", "2");
  return reply;
}

}  // namespace

void PagePool::Answer::operator()(Reply reply) {
  Respond once;
  {
    std::lock_guard lock(mutex);
    once.swap(respond);
  }
  if (once) once(std::move(reply));
}

PagePool::PagePool(unsigned threads, size_t maxWaiting, std::chrono::milliseconds deadline)
    : maxWaiting_(maxWaiting), deadline_(deadline) {
  for (unsigned i = 0; i < threads; ++i) threads_.emplace_back([this] { work(); });
  deadlineThread_ = std::thread([this] { watchDeadlines(); });
}

PagePool::~PagePool() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  jobArrived_.notify_all();
  deadlineAdded_.notify_all();
  for (auto& thread : threads_) thread.join();
  deadlineThread_.join();
  for (auto& [deadline, answer] : deadlines_) (*answer)(Reply::text(503, "The server is stopping. Please try again later."));
}

void PagePool::submit(Build build, Respond respond) {
  auto answer = std::make_shared<Answer>();
  answer->respond = std::move(respond);
  {
    std::lock_guard lock(mutex_);
    if (!stopping_ && waiting_.size() < maxWaiting_) {
      const auto deadline = Clock::now() + deadline_;
      waiting_.push_back({std::move(build), answer, deadline});
      deadlines_.emplace_back(deadline, answer);
      answer = nullptr;
    }
  }
  if (answer) {
    Reply reply = Reply::text(503, "The server is busy. Please try again in a few seconds.");
    reply.headers.emplace_back("Retry-After", "2");
    return (*answer)(std::move(reply));
  }
  jobArrived_.notify_one();
  deadlineAdded_.notify_one();
}

void PagePool::work() {
  for (;;) {
    Job job;
    {
      std::unique_lock lock(mutex_);
      jobArrived_.wait(lock, [&] { return stopping_ || !waiting_.empty(); });
      if (stopping_) return;
      job = std::move(waiting_.front());
      waiting_.pop_front();
    }
    // Past its deadline it has been answered already: nobody waits for it.
    if (Clock::now() >= job.deadline) continue;
    (*job.answer)(job.build());
  }
}

void PagePool::watchDeadlines() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    if (deadlines_.empty()) {
      deadlineAdded_.wait(lock);
      continue;
    }
    const auto [deadline, answer] = deadlines_.front();
    if (Clock::now() < deadline) {
      deadlineAdded_.wait_until(lock, deadline);
      continue;
    }
    deadlines_.pop_front();
    lock.unlock();
    (*answer)(tooLate());
    lock.lock();
  }
}

}  // namespace tidemark
