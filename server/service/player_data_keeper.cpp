#include "service/player_data_keeper.h"

namespace tidemark {
namespace {

// Between two retention batches: the writers take the lock meanwhile.
constexpr auto kBatchPause = std::chrono::milliseconds(5);

int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

PlayerDataKeeper::PlayerDataKeeper(ReportStore& store, ServerLog& log, int keepDays,
                                   std::chrono::milliseconds sweepEvery)
    : store_(store), log_(log), keepDays_(keepDays), sweepEvery_(sweepEvery), thread_([this] { run(); }) {}

PlayerDataKeeper::~PlayerDataKeeper() { stop(); }

void PlayerDataKeeper::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void PlayerDataKeeper::erase(std::string token, Erased done) {
  {
    std::lock_guard lock(mutex_);
    if (!stopping_) {
      erasures_.emplace_back(std::move(token), std::move(done));
      wake_.notify_all();
      return;
    }
  }
  EraseOutcome stopped;
  stopped.failed = true;
  done(stopped);
}

void PlayerDataKeeper::run() {
  auto nextSweep = std::chrono::steady_clock::now();
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    if (!erasures_.empty()) {
      auto [token, done] = std::move(erasures_.front());
      erasures_.pop_front();
      lock.unlock();
      // Answered as soon as the page and the id are gone: removing many
      // lines takes minutes, longer than a browser or a proxy waits.
      const EraseOutcome outcome = store_.forgetPlayer(token);
      done(outcome);
      if (outcome.found) {
        const int64_t lines = store_.removeErasedPlayers();
        log_.info("player_erased", {{"lines", std::to_string(lines)}, {"complete", lines < 0 ? "no" : "yes"}});
      }
      lock.lock();
      continue;
    }
    if (std::chrono::steady_clock::now() >= nextSweep) {
      lock.unlock();
      const bool whole = sweep();
      lock.lock();
      // A sweep an erasure cut short carries on right after it.
      nextSweep = std::chrono::steady_clock::now() + (whole ? sweepEvery_ : std::chrono::milliseconds(0));
      continue;
    }
    wake_.wait_until(lock, nextSweep);
  }
  // Erasures not yet begun are answered; their pages stay as they were.
  for (auto& [token, done] : erasures_) {
    EraseOutcome stopped;
    stopped.failed = true;
    done(stopped);
  }
}

bool PlayerDataKeeper::sweep() {
  const int64_t finished = store_.removeErasedPlayers();
  if (finished > 0) log_.info("erasure_finished", {{"lines", std::to_string(finished)}});
  if (keepDays_ <= 0) return true;
  const int64_t before = nowMs() - int64_t{keepDays_} * 86'400'000;
  int64_t removed = 0;
  bool whole = true;
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      // An erasure asked for meanwhile, or a stop, goes first; the next
      // sweep carries on.
      if (stopping_ || !erasures_.empty()) {
        whole = false;
        break;
      }
    }
    const int64_t batch = store_.removeLinesReceivedBefore(before);
    if (batch <= 0) {
      if (batch < 0) log_.error("retention_failed", {{"removed_before", std::to_string(removed)}});
      break;
    }
    removed += batch;
    std::this_thread::sleep_for(kBatchPause);
  }
  if (removed > 0) log_.info("retention", {{"keep_days", std::to_string(keepDays_)}, {"removed", std::to_string(removed)}});
  return whole;
}

}  // namespace tidemark
