#include "front/request_deadlines.h"

#include <sys/socket.h>

#include <utility>
#include <vector>

namespace tidemark {

RequestDeadlines::List& RequestDeadlines::listOf(Entry::Part part) {
  switch (part) {
    case Entry::Part::FirstHead: return firstHeads_;
    case Entry::Part::Idle: return idleConnections_;
    default: return reading_;
  }
}

void RequestDeadlines::link(Entry& entry, Entry::Part part, Clock::time_point since) {
  unlink(entry);
  if (entry.fd_ < 0) return;  // nothing to shut down
  List& list = listOf(part);
  entry.part_ = part;
  entry.since_ = since;
  entry.next_ = nullptr;
  entry.previous_ = list.last;
  (list.last ? list.last->next_ : list.first) = &entry;
  list.last = &entry;
}

void RequestDeadlines::unlink(Entry& entry) {
  if (entry.part_ == Entry::Part::None) return;
  List& list = listOf(entry.part_);
  (entry.previous_ ? entry.previous_->next_ : list.first) = entry.next_;
  (entry.next_ ? entry.next_->previous_ : list.last) = entry.previous_;
  entry.previous_ = entry.next_ = nullptr;
  entry.part_ = Entry::Part::None;
}

void RequestDeadlines::shutDown(Entry& entry) {
  unlink(entry);
  shutdown(entry.fd_, SHUT_RDWR);
  if (!entry.cut_) ++leaving_;
  entry.cut_ = true;
}

void RequestDeadlines::connectionClosed(Entry& entry) {
  std::lock_guard lock(mutex_);
  unlink(entry);
  if (entry.cut_) --leaving_;
  entry.cut_ = false;
}

void RequestDeadlines::connectionOpened(Entry& entry, Clock::time_point now) {
  std::lock_guard lock(mutex_);
  link(entry, Entry::Part::FirstHead, now);
}

void RequestDeadlines::requestStarted(Entry& entry, Clock::time_point when) {
  std::lock_guard lock(mutex_);
  // The first request keeps the clock of the accept; a later one starts its
  // own, unless its connection's own deadline is nearer.
  if (entry.part_ == Entry::Part::FirstHead || entry.part_ == Entry::Part::Reading) return;
  if (entry.part_ == Entry::Part::Idle && entry.since_ + idle_ < when) {
    link(entry, Entry::Part::Reading, entry.since_ + idle_);
    return;
  }
  link(entry, Entry::Part::Reading, when);
}

void RequestDeadlines::headRead(Entry& entry) {
  std::lock_guard lock(mutex_);
  if (entry.part_ == Entry::Part::FirstHead) link(entry, Entry::Part::Reading, entry.since_);
}

void RequestDeadlines::requestRead(Entry& entry) {
  std::lock_guard lock(mutex_);
  unlink(entry);
}

void RequestDeadlines::requestAnswered(Entry& entry, Clock::time_point now) {
  std::lock_guard lock(mutex_);
  link(entry, Entry::Part::Idle, now);
}

bool RequestDeadlines::evictOldestIdleHead(std::chrono::milliseconds minimumAge) {
  std::string address;
  {
    std::lock_guard lock(mutex_);
    Entry* oldest = firstHeads_.first;
    if (!oldest || Clock::now() - oldest->since_ < minimumAge) return false;
    shutDown(*oldest);
    address = oldest->address_;
  }
  if (onCut_) onCut_("evicted", address);
  return true;
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
    std::vector<std::pair<const char*, std::string>> cut;
    const auto cutIfDue = [&](Entry& entry, std::chrono::seconds allowed, const char* reason) {
      if (now - entry.since_ <= allowed) return false;
      shutDown(entry);
      cut.emplace_back(reason, entry.address_);
      return true;
    };
    // In deadline order: the scan ends at the first not yet due.
    while (firstHeads_.first && cutIfDue(*firstHeads_.first, limit_, "head_timeout")) {
    }
    while (idleConnections_.first && cutIfDue(*idleConnections_.first, idle_ + limit_, "head_timeout")) {
    }
    for (Entry *entry = reading_.first, *next = nullptr; entry; entry = next) {
      next = entry->next_;
      cutIfDue(*entry, limit_, "request_timeout");
    }
    lock.unlock();
    for (const auto& [reason, address] : cut) onCut_(reason, address);
    lock.lock();
  }
}

}  // namespace tidemark
