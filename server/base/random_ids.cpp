#include "base/random_ids.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdint>
#include <stdexcept>

namespace tidemark {

std::string newIssuedId() {
  uint8_t bytes[kIssuedIdLength / 2];
  size_t filled = 0;
  while (filled < sizeof bytes) {
    const ssize_t got = getrandom(bytes + filled, sizeof bytes - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error("the kernel's random generator failed");
    }
    filled += static_cast<size_t>(got);
  }
  static const char kDigits[] = "0123456789abcdef";
  std::string id;
  id.reserve(kIssuedIdLength);
  for (uint8_t b : bytes) {
    id.push_back(kDigits[b >> 4]);
    id.push_back(kDigits[b & 15]);
  }
  return id;
}

}  // namespace tidemark
