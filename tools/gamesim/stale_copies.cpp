#include "stale_copies.h"

#include <cstring>

namespace gamesim {

namespace {

constexpr std::size_t kRegionBytes = 0x10000;
// From the entry count at T - 0x4C to the text-buffer pointer's last byte.
constexpr std::size_t kHeaderSpan = 0x4C + 8;

void writeCopy(std::uint8_t* slot, const ChatLog& log) {
    std::memset(slot - 0x4C, 0, kHeaderSpan);
    log.storeFirstEntryAddress(slot);
}

}  // namespace

bool StaleCopies::carve(Arena& arena) {
    regions_[0] = arena.commitNew(kRegionBytes);
    regions_[1] = arena.commitNew(kRegionBytes);
    return regions_[0] != nullptr && regions_[1] != nullptr;
}

void StaleCopies::write(const ChatLog& log) {
    writeCopy(regions_[0] + 0x100, log);
    writeCopy(regions_[0] + 0x2000, log);
    writeCopy(regions_[1] + 0x800, log);
}

}  // namespace gamesim
