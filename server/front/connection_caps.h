#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <unordered_map>

#include "base/address_ranges.h"
#include "base/rate_limiter.h"

namespace tidemark {

// The count of open connections, in all and per client address, and which
// cap a new connection is beyond; over TLS, the handshakes each address may
// start a second.
class ConnectionCaps {
 public:
  // The caps a new connection can be beyond, compared by address: one
  // object each (a constexpr pointer would be folded into each user as
  // its own copy of the literal).
  static const char* const kTotal;
  static const char* const kPerAddress;
  // A TLS handshake costs the server a signature: one address gets this
  // many a second, and a burst of this many at once.
  static constexpr double kHandshakesPerSecond = 10;
  static constexpr double kHandshakeBurst = 40;

  ConnectionCaps(unsigned maxConnections, unsigned maxPerAddress, const AddressRanges& uncapped);
  // Counts a new connection; the cap it is beyond (kTotal, kPerAddress), or
  // null. `leaving` connections already shut down do not take a place.
  // Each call is matched by `closed`.
  const char* opened(const std::string& address, int leaving = 0);
  void closed(const std::string& address);
  // Near the cap: the connections that hold a place without using it
  // should make room.
  bool crowded() const { return open_.load() > maxConnections_ - headroom_; }
  // Whether `address` may start one more TLS handshake now.
  bool mayHandshake(const std::string& address);

 private:
  const int maxConnections_;
  const int maxPerAddress_;
  const int headroom_;
  const AddressRanges& uncapped_;
  std::atomic<int> open_{0};
  std::mutex perAddressMutex_;
  std::unordered_map<std::string, int> perAddress_;
  RateLimiter handshakes_{kHandshakesPerSecond, kHandshakeBurst};
};

}  // namespace tidemark
