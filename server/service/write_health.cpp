#include "service/write_health.h"

namespace tidemark {

void WriteHealth::succeeded() {
  std::lock_guard lock(mutex_);
  failuresInARow_ = 0;
}

void WriteHealth::failed() {
  std::lock_guard lock(mutex_);
  ++failuresInARow_;
  lastFailure_ = Clock::now();
}

std::optional<std::string> WriteHealth::problem(Clock::time_point now) const {
  std::lock_guard lock(mutex_);
  if (failuresInARow_ == 0 || now - lastFailure_ >= kHold) return std::nullopt;
  const auto ago = std::chrono::duration_cast<std::chrono::seconds>(now - lastFailure_).count();
  return "the last " + std::to_string(failuresInARow_) + " writes to the database failed, the latest " +
         std::to_string(ago) + " s ago";
}

}  // namespace tidemark
