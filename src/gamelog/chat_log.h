#pragma once
// Where the game keeps its chat log, once the locator has found it, and the
// entry count that tells how far the game has written.

#include <cstdint>

#include "gamelog/process_memory.h"

namespace tidemark {

// Game addresses of the header members the capture reads; all 0 while the
// log has not been located.
struct ChatLogAddresses {
    std::uint64_t textBufferSlot = 0;
    std::uint64_t offsetTableSlot = 0;
    std::uint64_t entryCountAddress = 0;

    bool located() const { return textBufferSlot != 0; }
};

// Distances in the game's chat log header from the text-buffer pointer.
inline constexpr std::uint64_t kOffsetTableDistance = 0x18;
inline constexpr std::uint64_t kEntryCountDistance = 0x4C;

// The header whose text-buffer pointer lies at `slot`.
inline ChatLogAddresses chatLogAt(std::uint64_t slot) {
    return {slot, slot - kOffsetTableDistance, slot - kEntryCountDistance};
}

// The game's total number of entries: 0 while the log is not located, -1
// when the counter cannot be read (the game has gone).
std::int32_t entryCount(const ProcessMemory& process, const ChatLogAddresses& log);

}  // namespace tidemark
