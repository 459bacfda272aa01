#include "front/connection_caps.h"

namespace tidemark {

ConnectionCaps::ConnectionCaps(unsigned maxConnections, unsigned maxPerAddress, const AddressRanges& uncapped)
    : maxConnections_(static_cast<int>(maxConnections)),
      maxPerAddress_(static_cast<int>(maxPerAddress)),
      uncapped_(uncapped) {}

const char* ConnectionCaps::opened(const std::string& address) {
  const int open = open_.fetch_add(1) + 1;
  int fromAddress = 0;
  {
    std::lock_guard lock(perAddressMutex_);
    fromAddress = ++perAddress_[address];
  }
  if (open > maxConnections_) return "connections";
  if (fromAddress > maxPerAddress_ && !uncapped_.contains(address)) return "connections_per_address";
  return nullptr;
}

void ConnectionCaps::closed(const std::string& address) {
  open_.fetch_sub(1);
  std::lock_guard lock(perAddressMutex_);
  auto found = perAddress_.find(address);
  if (found != perAddress_.end() && --found->second <= 0) perAddress_.erase(found);
}

}  // namespace tidemark
