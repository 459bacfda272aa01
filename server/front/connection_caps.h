#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <unordered_map>

#include "base/address_ranges.h"

namespace tidemark {

// The count of open connections, in all and per client address, and which
// cap a new connection is beyond.
class ConnectionCaps {
 public:
  ConnectionCaps(unsigned maxConnections, unsigned maxPerAddress, const AddressRanges& uncapped);
  // Counts a new connection; the cap it is beyond ("connections",
  // "connections_per_address"), or null. Each call is matched by `closed`.
  const char* opened(const std::string& address);
  void closed(const std::string& address);

 private:
  const int maxConnections_;
  const int maxPerAddress_;
  const AddressRanges& uncapped_;
  std::atomic<int> open_{0};
  std::mutex perAddressMutex_;
  std::unordered_map<std::string, int> perAddress_;
};

}  // namespace tidemark
