#pragma once

#include <atomic>
#include <cstddef>
#include <optional>

#include "front/head_checks.h"
#include "front/http_front.h"

namespace tidemark {

// What bodies past the small cap (HttpLimits::maxBodyBytes) may hold at
// once, so that many long lines together cannot exhaust memory.
class LargeBodyBudget {
 public:
  explicit LargeBodyBudget(const HttpLimits& limits);
  // Each such body holds this much while it is read.
  size_t share() const { return share_; }
  bool take();
  void giveBack();

 private:
  const size_t share_;
  const size_t total_;
  std::atomic<size_t> held_{0};
};

// A request's body as it arrives, held to its cap whatever its framing
// (Content-Length, chunked or neither): the cap holds on the bytes that
// arrive. Past it the rest is read and dropped, since an answer cannot be
// sent in the middle of a chunked body.
class BodyReader {
 public:
  BodyReader(const HttpLimits& limits, LargeBodyBudget& budget) : limits_(limits), budget_(budget) {}
  ~BodyReader();
  BodyReader(const BodyReader&) = delete;
  BodyReader& operator=(const BodyReader&) = delete;

  void append(HttpRequest& request, const char* bytes, size_t size);
  // Once the body is complete: why it will not be handled, if so.
  std::optional<Refusal> refusal() const;

 private:
  const HttpLimits& limits_;
  LargeBodyBudget& budget_;
  bool tooLarge_ = false;
  bool budgetHeld_ = false;
  bool budgetRefused_ = false;  // none was left
};

}  // namespace tidemark
