#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tidemark {

// One address or a CIDR range ("10.0.0.0/8", "2001:db8::/32"), IPv4 or
// IPv6. IPv4 is kept as its IPv4-mapped IPv6 form, so a dual-stack socket's
// "::ffff:10.1.2.3" falls in "10.0.0.0/8".
class AddressRange {
 public:
  // Nothing when `text` is not an address, or its prefix is not a decimal
  // number within the family's bits.
  static std::optional<AddressRange> parse(std::string_view text);
  bool contains(std::string_view address) const;

 private:
  std::array<uint8_t, 16> bytes_{};
  int prefixBits_ = 128;
};

// The ranges an operator listed; an address matches when any holds it.
class AddressRanges {
 public:
  AddressRanges() = default;
  // Entries that do not parse are dropped: check them with
  // AddressRange::parse first where a fault must be reported.
  AddressRanges(std::initializer_list<std::string> texts);
  explicit AddressRanges(const std::vector<std::string>& texts);

  bool empty() const { return ranges_.empty(); }
  bool contains(std::string_view address) const;

 private:
  std::vector<AddressRange> ranges_;
};

}  // namespace tidemark
