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

inline constexpr std::uint32_t kEntriesPerBlock = 1000;
// A block holds 1000 chat lines; an end offset beyond this is not a text
// buffer but garbage (met while the game switched blocks, or in memory that
// only looks like a header), and copying it could ask for gigabytes.
inline constexpr std::uint32_t kMaxBlockTextSize = 64u << 20;

// The header whose text-buffer pointer lies at `slot`.
inline ChatLogAddresses chatLogAt(std::uint64_t slot) {
    return {slot, slot - kOffsetTableDistance, slot - kEntryCountDistance};
}

// The game's total number of entries: 0 while the log is not located, -1
// when the counter cannot be read (the game has gone).
std::int32_t entryCount(const ProcessMemory& process, const ChatLogAddresses& log);

// Whether the header at `log` holds a block the read pass could copy: a
// positive count, a non-null offset table readable for the count's block
// with end offsets that never go back, the first past an entry's head, the
// last within the block-text cap, and a text buffer readable up to there.
// A stale copy of the text-buffer pointer (freed storage, a temporary)
// fails it.
bool readsAsLogHeader(const ProcessMemory& process, const ChatLogAddresses& log);

}  // namespace tidemark
