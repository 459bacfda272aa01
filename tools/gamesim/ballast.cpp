#include "ballast.h"

#include <algorithm>
#include <cstring>

namespace gamesim {

bool Ballast::carve(Arena& arena, std::size_t smallRegions, std::size_t regions, std::size_t regionBytes) {
    for (std::size_t i = 0; i < smallRegions; ++i) {
        std::uint8_t* region = arena.commitNew(kSmallRegionBytes);
        if (region == nullptr) return false;
        smallRegions_.push_back(region);
    }
    regionBytes_ = regionBytes;
    for (std::size_t i = 0; i < regions; ++i) {
        std::uint8_t* region = arena.commitNew(regionBytes);
        if (region == nullptr) return false;
        regions_.push_back(region);
    }
    return true;
}

void Ballast::fill() {
    static const char kLine[] = "The quick brown chocobo jumps over the lazy moogle, again.\x1F";
    constexpr std::size_t kLineLength = sizeof kLine - 1;
    std::uint8_t pattern[0x10000];
    for (std::size_t i = 0; i < sizeof pattern; ++i)
        pattern[i] = static_cast<std::uint8_t>(kLine[i % kLineLength]);
    for (std::uint8_t* region : smallRegions_) std::memcpy(region, pattern, kSmallRegionBytes);
    for (std::uint8_t* region : regions_) {
        for (std::size_t done = 0; done < regionBytes_; done += sizeof pattern)
            std::memcpy(region + done, pattern, std::min(sizeof pattern, regionBytes_ - done));
    }
}

}  // namespace gamesim
