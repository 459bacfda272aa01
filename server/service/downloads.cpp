#include "service/downloads.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>

namespace tidemark {

std::shared_ptr<void> DownloadSlots::take(const std::string& player, const std::string& address,
                                          const char*& refusal) {
  {
    std::lock_guard lock(mutex_);
    refusal = nullptr;
    if (perPlayer_[player] >= limits_.perPlayer) refusal = "download_player";
    else if (perAddress_[address] >= limits_.perAddress) refusal = "download_address";
    else if (running_ >= limits_.total) refusal = "downloads";
    if (refusal) {
      // Nothing counted: no key kept for it.
      if (perPlayer_[player] == 0) perPlayer_.erase(player);
      if (perAddress_[address] == 0) perAddress_.erase(address);
      return nullptr;
    }
    ++perPlayer_[player];
    ++perAddress_[address];
    ++running_;
  }
  // The place itself is only its release.
  struct Place {
    Place(DownloadSlots* slots, std::string player, std::string address)
        : slots(slots), player(std::move(player)), address(std::move(address)) {}
    Place(const Place&) = delete;
    ~Place() { slots->giveBack(player, address); }
    DownloadSlots* slots;
    std::string player, address;
  };
  return std::make_shared<Place>(this, player, address);
}

void DownloadSlots::giveBack(const std::string& player, const std::string& address) {
  std::lock_guard lock(mutex_);
  if (--perPlayer_[player] == 0) perPlayer_.erase(player);
  if (--perAddress_[address] == 0) perAddress_.erase(address);
  --running_;
}

size_t DownloadSlots::running() const {
  std::lock_guard lock(mutex_);
  return running_;
}

DownloadThreads::DownloadThreads(unsigned threads, double bytesPerSecond) : bytesPerSecond_(bytesPerSecond) {
  for (unsigned i = 0; i < threads; ++i) threads_.emplace_back([this] { work(); });
}

void DownloadThreads::stop() {
  std::deque<std::function<size_t()>> dropped;  // let go outside the lock
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    dropped.swap(jobs_);
  }
  arrived_.notify_all();
  stopped_.notify_all();
  for (auto& thread : threads_)
    if (thread.joinable()) thread.join();
}

void DownloadThreads::run(std::function<size_t()> job) {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;  // `job` goes when this returns
    jobs_.push_back(std::move(job));
  }
  arrived_.notify_one();
}

void DownloadThreads::work() {
  // Linux gives each thread a nice value of its own.
  setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 19);
  for (;;) {
    std::function<size_t()> job;
    {
      std::unique_lock lock(mutex_);
      arrived_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
      if (stopping_) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    pace(job());
  }
}

void DownloadThreads::pace(size_t bytes) {
  using Clock = std::chrono::steady_clock;
  std::unique_lock lock(mutex_);
  const auto now = Clock::now();
  // A second's worth may be made at once; beyond, each byte waits its turn.
  paidUntil_ = std::max(paidUntil_, now - std::chrono::seconds(1)) +
               std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(bytes / bytesPerSecond_));
  stopped_.wait_until(lock, paidUntil_, [&] { return stopping_; });
}

}  // namespace tidemark
