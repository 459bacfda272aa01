#pragma once

#include <cstddef>
#include <string>

namespace tidemark {

// 128 bits from the kernel's generator, as 32 lower-case hex digits: player
// ids, page tokens and session ids must not be guessable from one another.
inline constexpr size_t kIssuedIdLength = 32;

std::string newIssuedId();

}  // namespace tidemark
