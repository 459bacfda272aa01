#include "base/field_values.h"

#include <charconv>
#include <limits>

#include "base/random_ids.h"

namespace tidemark {

std::optional<int64_t> parseInt64(std::string_view text) {
  if (text.empty()) return std::nullopt;
  // from_chars accepts a leading '-' only, which is what the client writes.
  int64_t value = 0;
  const char* first = text.data();
  const char* last = text.data() + text.size();
  const auto [end, error] = std::from_chars(first, last, value);
  if (error != std::errc() || end != last) return std::nullopt;
  return value;
}

std::optional<int32_t> parseInt32(std::string_view text) {
  const auto wide = parseInt64(text);
  if (!wide || *wide < std::numeric_limits<int32_t>::min() ||
      *wide > std::numeric_limits<int32_t>::max())
    return std::nullopt;
  return static_cast<int32_t>(*wide);
}

bool isIssuedId(std::string_view text) {
  if (text.size() != kIssuedIdLength) return false;
  for (char c : text)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

}  // namespace tidemark
