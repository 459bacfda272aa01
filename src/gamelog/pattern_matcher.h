#pragma once
// Matching one chat log line against the compiled patterns: plain byte
// substrings of the raw line, no decoding, no case folding.

#include <cstddef>
#include <cstdint>

#include "gamelog/compiled_patterns.h"

namespace tidemark {

// The first pattern in document order that accepts the line, or null.
// History lines (`present` false) are tried only against "trace" patterns.
const CompiledPattern* findMatchingPattern(const CompiledPatterns& patterns, bool present,
                                           std::int32_t code, const std::uint8_t* line,
                                           std::size_t lineLength);

}  // namespace tidemark
