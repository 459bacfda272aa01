#pragma once
// Private read-write regions below the log, full of log-like text, so that
// a search has to read through them before it reaches the log: for
// measuring the search, never needed by a test of its correctness.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "arena.h"

namespace gamesim {

class Ballast {
public:
    // `smallRegions` regions of one page each come first, as the many small
    // heaps of a real client do, then `regions` of `regionBytes`.
    bool carve(Arena& arena, std::size_t smallRegions, std::size_t regions, std::size_t regionBytes);
    static constexpr std::size_t kSmallRegionBytes = 0x1000;
    // Text with the separator 0x1F about every 64 bytes, and never the
    // marker's 0x1F 0x1F.
    void fill();

private:
    std::vector<std::uint8_t*> smallRegions_;
    std::vector<std::uint8_t*> regions_;
    std::size_t regionBytes_ = 0;
};

}  // namespace gamesim
