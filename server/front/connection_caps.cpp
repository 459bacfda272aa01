#include "front/connection_caps.h"

#include <algorithm>

namespace tidemark {

const char* const ConnectionCaps::kTotal = "connections";
const char* const ConnectionCaps::kPerAddress = "connections_per_address";

ConnectionCaps::ConnectionCaps(unsigned maxConnections, unsigned maxPerAddress, const AddressRanges& uncapped)
    : maxConnections_(static_cast<int>(maxConnections)),
      maxPerAddress_(static_cast<int>(maxPerAddress)),
      // Room is made a little before the cap, so that a new client rarely
      // meets it at all.
      headroom_(std::max(1, static_cast<int>(maxConnections / 64))),
      uncapped_(uncapped) {}

const char* ConnectionCaps::opened(const std::string& address, int leaving) {
  const int open = open_.fetch_add(1) + 1;
  int fromAddress = 0;
  {
    std::lock_guard lock(perAddressMutex_);
    fromAddress = ++perAddress_[address];
  }
  if (fromAddress > maxPerAddress_ && !uncapped_.contains(address)) return kPerAddress;
  if (open - leaving > maxConnections_) return kTotal;
  return nullptr;
}

void ConnectionCaps::closed(const std::string& address) {
  open_.fetch_sub(1);
  std::lock_guard lock(perAddressMutex_);
  auto found = perAddress_.find(address);
  if (found != perAddress_.end() && --found->second <= 0) perAddress_.erase(found);
}

bool ConnectionCaps::mayHandshake(const std::string& address) {
  return uncapped_.contains(address) || handshakes_.allow(address);
}

}  // namespace tidemark
