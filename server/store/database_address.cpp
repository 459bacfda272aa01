#include "store/database_address.h"

#include <algorithm>
#include <vector>

namespace tidemark {
namespace {

// The spans of `address` that hold a password, as [begin, end) offsets.
std::vector<std::pair<size_t, size_t>> passwordSpans(std::string_view address) {
  std::vector<std::pair<size_t, size_t>> spans;
  const size_t scheme = address.find("://");
  if (scheme == std::string_view::npos) return spans;
  const size_t authority = scheme + 3;
  const size_t authorityEnd = std::min(address.find_first_of("/?", authority), address.size());
  const size_t at = address.rfind('@', authorityEnd);
  if (at != std::string_view::npos && at >= authority) {
    const size_t colon = address.find(':', authority);
    if (colon < at) spans.emplace_back(colon + 1, at);
  }
  for (size_t from = address.find('?'); from != std::string_view::npos && from < address.size();) {
    const size_t begin = from + 1;
    const size_t end = std::min(address.find('&', begin), address.size());
    constexpr std::string_view kKey = "password=";
    if (address.substr(begin, kKey.size()) == kKey) spans.emplace_back(begin + kKey.size(), end);
    from = end < address.size() ? end : std::string_view::npos;
  }
  return spans;
}

}  // namespace

std::string withoutPassword(std::string_view address) {
  std::string out;
  size_t copied = 0;
  for (const auto& [begin, end] : passwordSpans(address)) {
    out.append(address.substr(copied, begin - copied));
    out += "***";
    copied = end;
  }
  out.append(address.substr(copied));
  return out;
}

std::string scrubPassword(std::string text, std::string_view address) {
  for (const auto& [begin, end] : passwordSpans(address)) {
    const std::string password(address.substr(begin, end - begin));
    if (password.empty()) continue;
    for (size_t at = text.find(password); at != std::string::npos; at = text.find(password, at + 3))
      text.replace(at, password.size(), "***");
  }
  return text;
}

}  // namespace tidemark
