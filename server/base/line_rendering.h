#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tidemark {

// Rendered lines are cut at this many bytes (plus an ellipsis) so that a
// report answer, JSON escapes included, stays far below the 4095 bytes the
// client reads.
inline constexpr size_t kRenderedLineLimit = 1200;

// Turns the raw bytes of a game log line into readable, valid UTF-8:
// fields separated by 0x1F are joined with ": " (empty fields dropped, so the
// empty sender of a system line leaves no trace); the game's embedded control
// sequences (0x02, type, length, payload, 0x03) are dropped, since they carry
// colours and links rather than text; tab and line breaks become spaces;
// every other control byte and every byte that is not valid UTF-8 becomes
// U+FFFD.
std::string renderLine(std::string_view raw);

}  // namespace tidemark
