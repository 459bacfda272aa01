#pragma once
// Where the read pass last found the game's current log block.

#include <cstdint>

namespace tidemark {

// The block the last read pass copied. A pass that meets the entry count
// standing exactly on that block's end finishes the block only while the
// game still points at the same two buffers.
struct LogBlockSeen {
    bool valid = false;
    std::uint32_t base = 0;         // index of the block's first entry
    std::uint64_t offsetTable = 0;  // game addresses of its two buffers
    std::uint64_t textBuffer = 0;
    std::uint64_t generation = 0;   // the session's resetGeneration at the time
};

}  // namespace tidemark
