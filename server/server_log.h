#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

namespace tidemark {

// One line per event in logfmt ("time=… level=… event=… key=value …") on
// the given stream, whole lines only even from many threads. Refusals by a
// limit can come by the thousand a second from one attacker: past
// kRefusalLinesPerSecond a second they are counted, and the count is logged
// with the next line that gets through.
class ServerLog {
 public:
  using Fields = std::initializer_list<std::pair<std::string_view, std::string>>;
  static constexpr int kRefusalLinesPerSecond = 50;

  explicit ServerLog(std::FILE* stream = stdout) : stream_(stream) {}

  void info(std::string_view event, Fields fields) { write("info", event, fields); }
  void error(std::string_view event, Fields fields) { write("error", event, fields); }
  void refusal(Fields fields);

 private:
  void write(std::string_view level, std::string_view event, Fields fields, int64_t suppressed = 0);

  std::FILE* stream_;
  std::mutex mutex_;
  int64_t refusalSecond_ = 0;
  int refusalsThisSecond_ = 0;
  int64_t suppressed_ = 0;
};

// A value quoted for logfmt when it needs to be.
std::string logValue(std::string_view value);

}  // namespace tidemark
