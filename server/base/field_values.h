#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tidemark {

// Decimal numbers as the client writes them: an optional '-' and digits,
// nothing else, within range. Anything else is not a number.
std::optional<int32_t> parseInt32(std::string_view text);
std::optional<int64_t> parseInt64(std::string_view text);

// The ids this server hands out: lower-case hexadecimal of a fixed length.
bool isIssuedId(std::string_view text);

}  // namespace tidemark
