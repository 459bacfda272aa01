#include "base/server_log.h"

#include <ctime>

namespace tidemark {

std::string logValue(std::string_view value) {
  bool plain = !value.empty();
  for (unsigned char c : value)
    if (c <= ' ' || c == '"' || c == '=' || c == '\\' || c >= 0x7F) plain = false;
  if (plain) return std::string(value);
  std::string out = "\"";
  for (unsigned char c : value) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < ' ' || c == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::optional<int64_t> ServerLog::spend(Budget& budget, int perSecond) {
  std::lock_guard lock(mutex_);
  const int64_t second = std::time(nullptr);
  if (second != budget.second) {
    budget.second = second;
    budget.usedThisSecond = 0;
  }
  if (++budget.usedThisSecond > perSecond) {
    ++budget.suppressed;
    return std::nullopt;
  }
  return std::exchange(budget.suppressed, 0);
}

void ServerLog::refusal(Fields fields) {
  if (const auto suppressed = spend(refusals_, kRefusalLinesPerSecond)) write("warn", "refused", fields, *suppressed);
}

void ServerLog::error(std::string_view event, Fields fields) {
  if (const auto suppressed = spend(errors_, kErrorLinesPerSecond)) write("error", event, fields, *suppressed);
}

void ServerLog::write(std::string_view level, std::string_view event, Fields fields, int64_t suppressed) {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm parts{};
  gmtime_r(&seconds, &parts);
  char stamp[80];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", parts.tm_year + 1900,
                parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                static_cast<int>(millis));
  std::string line = "time=" + std::string(stamp) + " level=" + std::string(level) +
                     " event=" + logValue(event);
  for (const auto& [key, value] : fields) line += " " + std::string(key) + "=" + logValue(value);
  if (suppressed > 0) line += " suppressed_before=" + std::to_string(suppressed);
  line += "\n";
  std::lock_guard lock(mutex_);
  std::fwrite(line.data(), 1, line.size(), stream_);
  std::fflush(stream_);
}

}  // namespace tidemark
