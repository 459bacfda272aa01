#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "base/server_log.h"
#include "store/report_store.h"

namespace tidemark {

// Removes players' data off the event loops, on one thread of its own:
// erasures asked for from a player's page, erasures a stop cut short, and,
// with a retention of N days, the lines received before it, in batches
// with a pause between them so that reports keep their pace.
class PlayerDataKeeper {
 public:
  using Erased = std::function<void(EraseOutcome)>;

  // keepDays 0 keeps every line. A sweep runs at the start and then every
  // `sweepEvery`.
  PlayerDataKeeper(ReportStore& store, ServerLog& log, int keepDays, std::chrono::milliseconds sweepEvery);
  ~PlayerDataKeeper();
  PlayerDataKeeper(const PlayerDataKeeper&) = delete;
  PlayerDataKeeper& operator=(const PlayerDataKeeper&) = delete;

  // Runs on the keeper's thread; `done` too, once the player is forgotten
  // (with `failed` when the keeper stops first), before the lines go.
  void erase(std::string token, Erased done);
  // Lets the erasure in progress finish, answers those not begun, and
  // joins the thread: the store may go after this.
  void stop();

 private:
  void run();
  // False when cut short by an erasure or the stop.
  bool sweep();

  ReportStore& store_;
  ServerLog& log_;
  const int keepDays_;
  const std::chrono::milliseconds sweepEvery_;

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::pair<std::string, Erased>> erasures_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace tidemark
