#include "front/request_deadlines.h"

#include <sys/socket.h>

#include <vector>

namespace tidemark {

void RequestDeadlines::requestStarted(Entry& entry, Clock::time_point when) {
  std::lock_guard lock(mutex_);
  entry.requestStarted_ = when;
  if (entry.reading_) return;
  entry.reading_ = true;
  entry.previous_ = nullptr;
  entry.next_ = firstReading_;
  if (firstReading_) firstReading_->previous_ = &entry;
  firstReading_ = &entry;
}

void RequestDeadlines::requestRead(Entry& entry) {
  std::lock_guard lock(mutex_);
  unlink(entry);
}

void RequestDeadlines::unlink(Entry& entry) {
  if (!entry.reading_) return;
  entry.reading_ = false;
  (entry.previous_ ? entry.previous_->next_ : firstReading_) = entry.next_;
  if (entry.next_) entry.next_->previous_ = entry.previous_;
  entry.previous_ = entry.next_ = nullptr;
}

void RequestDeadlines::start(OnCut onCut) {
  stop();
  onCut_ = std::move(onCut);
  stopping_ = false;
  watcher_ = std::thread([this] { watch(); });
}

void RequestDeadlines::stop() {
  if (!watcher_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  watcher_.join();
}

void RequestDeadlines::watch() {
  std::unique_lock lock(mutex_);
  while (!wake_.wait_for(lock, std::chrono::milliseconds(250), [&] { return stopping_; })) {
    const auto now = Clock::now();
    std::vector<std::string> cut;
    for (Entry *entry = firstReading_, *next = nullptr; entry; entry = next) {
      next = entry->next_;
      if (now - entry->requestStarted_ <= limit_ || entry->fd_ < 0) continue;
      unlink(*entry);
      shutdown(entry->fd_, SHUT_RDWR);
      cut.push_back(entry->address_);
    }
    lock.unlock();
    for (const auto& address : cut) onCut_(address);
    lock.lock();
  }
}

}  // namespace tidemark
