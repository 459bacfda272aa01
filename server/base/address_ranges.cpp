#include "base/address_ranges.h"

#include <arpa/inet.h>

#include <cstring>

namespace tidemark {
namespace {

// The address as 16 bytes, IPv4 mapped into IPv6; `v4` tells which it was.
std::optional<std::array<uint8_t, 16>> addressBytes(std::string_view text, bool& v4) {
  const std::string copy(text);
  std::array<uint8_t, 16> bytes{};
  in_addr four{};
  if (inet_pton(AF_INET, copy.c_str(), &four) == 1) {
    v4 = true;
    bytes[10] = bytes[11] = 0xFF;
    std::memcpy(bytes.data() + 12, &four, 4);
    return bytes;
  }
  in6_addr six{};
  if (inet_pton(AF_INET6, copy.c_str(), &six) == 1) {
    v4 = false;
    std::memcpy(bytes.data(), &six, 16);
    return bytes;
  }
  return std::nullopt;
}

}  // namespace

std::optional<AddressRange> AddressRange::parse(std::string_view text) {
  const size_t slash = text.find('/');
  bool v4 = false;
  const auto bytes = addressBytes(text.substr(0, slash), v4);
  if (!bytes) return std::nullopt;
  AddressRange range;
  range.bytes_ = *bytes;
  if (slash == std::string_view::npos) return range;
  const std::string_view prefix = text.substr(slash + 1);
  const int familyBits = v4 ? 32 : 128;
  if (prefix.empty() || prefix.size() > 3 || prefix.find_first_not_of("0123456789") != std::string_view::npos)
    return std::nullopt;
  const int bits = std::stoi(std::string(prefix));
  if (bits > familyBits) return std::nullopt;
  range.prefixBits_ = bits + (128 - familyBits);
  // Host bits set ("10.1.2.3/8") are cleared: the operator meant the network.
  for (int bit = range.prefixBits_; bit < 128; ++bit) range.bytes_[bit / 8] &= ~(0x80 >> (bit % 8));
  return range;
}

bool AddressRange::contains(std::string_view address) const {
  bool v4 = false;
  const auto bytes = addressBytes(address, v4);
  if (!bytes) return false;
  const int whole = prefixBits_ / 8;
  if (std::memcmp(bytes->data(), bytes_.data(), static_cast<size_t>(whole)) != 0) return false;
  const int rest = prefixBits_ % 8;
  if (rest == 0) return true;
  const uint8_t mask = static_cast<uint8_t>(0xFF << (8 - rest));
  return ((*bytes)[whole] & mask) == (bytes_[whole] & mask);
}

AddressRanges::AddressRanges(std::initializer_list<std::string> texts)
    : AddressRanges(std::vector<std::string>(texts)) {}

AddressRanges::AddressRanges(const std::vector<std::string>& texts) {
  for (const auto& text : texts)
    if (auto range = AddressRange::parse(text)) ranges_.push_back(*range);
}

bool AddressRanges::contains(std::string_view address) const {
  for (const auto& range : ranges_)
    if (range.contains(address)) return true;
  return false;
}

}  // namespace tidemark
