#include "front/body_reading.h"

#include <algorithm>
#include <string>

namespace tidemark {

LargeBodyBudget::LargeBodyBudget(const HttpLimits& limits)
    : share_(limits.maxReportBodyBytes - std::min(limits.maxReportBodyBytes, limits.maxBodyBytes)),
      total_(limits.maxLargeBodyBytes) {}

bool LargeBodyBudget::take() {
  if (held_.fetch_add(share_) + share_ > total_) {
    held_.fetch_sub(share_);
    return false;
  }
  return true;
}

void LargeBodyBudget::giveBack() { held_.fetch_sub(share_); }

BodyReader::~BodyReader() {
  if (budgetHeld_) budget_.giveBack();
}

void BodyReader::append(HttpRequest& request, const char* bytes, size_t size) {
  if (tooLarge_ || budgetRefused_) return;
  const size_t arrived = request.body.size() + size;
  if (arrived > bodyCap(limits_, request)) {
    tooLarge_ = true;
    std::string().swap(request.body);
  } else if (arrived > limits_.maxBodyBytes && !budgetHeld_ && !(budgetHeld_ = budget_.take())) {
    budgetRefused_ = true;
    std::string().swap(request.body);
  } else {
    request.body.append(bytes, size);
  }
}

std::optional<Refusal> BodyReader::refusal() const {
  if (tooLarge_) return Refusal{400, "body_too_large", "request body too large"};
  if (budgetRefused_) return Refusal{503, "large_bodies", "The server is busy. Please try again in a few seconds."};
  return std::nullopt;
}

}  // namespace tidemark
