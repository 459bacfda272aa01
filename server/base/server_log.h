#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace tidemark {

// One line per event in logfmt ("time=… level=… event=… key=value …") on
// the given stream, whole lines only even from many threads. Refusals by a
// limit can come by the thousand a second from one attacker, and errors by
// the thousand from a full disk: past kRefusalLinesPerSecond (or
// kErrorLinesPerSecond) a second they are counted, and the count is logged
// with the next line of their kind that gets through.
class ServerLog {
 public:
  using Fields = std::initializer_list<std::pair<std::string_view, std::string>>;
  static constexpr int kRefusalLinesPerSecond = 50;
  static constexpr int kErrorLinesPerSecond = 10;

  explicit ServerLog(std::FILE* stream = stdout) : stream_(stream) {}

  void info(std::string_view event, Fields fields) { write("info", event, fields); }
  void error(std::string_view event, Fields fields);
  void refusal(Fields fields);

 private:
  // Lines of one kind allowed a second; the rest counted.
  struct Budget {
    int64_t second = 0;
    int usedThisSecond = 0;
    int64_t suppressed = 0;
  };
  // Nothing when the line is over its budget; else the lines suppressed
  // before it, to log with it.
  std::optional<int64_t> spend(Budget& budget, int perSecond);
  void write(std::string_view level, std::string_view event, Fields fields, int64_t suppressed = 0);

  std::FILE* stream_;
  std::mutex mutex_;
  Budget refusals_;
  Budget errors_;
};

// A value quoted for logfmt when it needs to be.
std::string logValue(std::string_view value);

}  // namespace tidemark
