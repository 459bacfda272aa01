#pragma once
// The game's chat log as the game keeps it: a header whose text-buffer
// pointer lies at T, offset-table pointer at T - 0x18 and entry count at
// T - 0x4C; blocks of 1000 entries, each block with a fresh offset table (end
// offsets) and text buffer (entries of time, code and raw line bytes). The
// first entry of every block is the marker line, 0x1F 0x1F and the keyword.
//
// The address of a block's first entry is written into the header and
// nowhere else: a copy left in the simulator's own memory (a spilled
// register, a member variable) would be a second pointer to the entry, and a
// pointer search could find it before the header. So the log keeps offsets,
// never that address, and writes it with one instruction sequence that
// leaves no copy behind.

#include <cstddef>
#include <cstdint>
#include <string>

#include "arena.h"

namespace gamesim {

class ChatLog {
public:
    static constexpr std::uint32_t kBlockEntries = 1000;
    static constexpr std::size_t kTableBytes = 0x1000;  // 1000 end offsets, page-rounded
    static constexpr std::size_t kTextCapacity = 16u << 20;

    // Takes the header and two block slots from `arena`.
    bool layOut(Arena& arena, const std::string& marker, bool oddHeader);
    // Starts the log with the block that holds entry `firstEntry`: its
    // marker line is that block's first entry.
    void start(std::uint32_t firstEntry);

    // From the next block on: each block in the other slot, the last one
    // left readable (false, the default), or each block written over the
    // last one in the same slot.
    void reuseBlockSlot(bool reuse) { reuseSlot_ = reuse; }

    // Appends one entry, first starting a new block when the current one is
    // full. False (and nothing written) before start() or when the line
    // does not fit.
    bool append(std::uint32_t time, std::int32_t code, const void* line, std::size_t length);

    std::uint32_t count() const { return count_; }
    std::uint32_t blockBase() const { return blockBase_; }
    std::uint64_t textBufferSlot() const { return reinterpret_cast<std::uint64_t>(textBufferSlot_); }

    // Stores the address of the current block's first entry at `slot`, as
    // the header holds it (used for decoys that copy it).
    void storeFirstEntryAddress(std::uint8_t* slot) const;

private:
    void beginBlock(std::uint32_t base);
    // The first byte of the line of the entry that starts `offset` bytes into
    // the current text buffer. Never the entry's own address (see above).
    std::uint8_t* lineAt(std::uint32_t offset) const;
    // Entry `index` of the block, starting `offset` bytes into its text.
    void writeEntry(std::uint32_t index, std::uint32_t offset, std::uint32_t time, std::int32_t code,
                    const void* line, std::size_t length);
    void finishEntry(std::uint32_t index, std::size_t endOffset);
    void publishCount();

    std::string marker_;
    std::uint8_t* textBufferSlot_ = nullptr;  // T
    std::uint8_t* blockSlots_[2] = {nullptr, nullptr};
    int current_ = -1;
    bool reuseSlot_ = false;
    std::uint32_t blockBase_ = 0;
    std::uint32_t count_ = 0;
    std::uint32_t textEnd_ = 0;  // end offset of the block's last entry
};

}  // namespace gamesim
