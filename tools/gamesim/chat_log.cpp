#include "chat_log.h"

#include <cstring>
#include <ctime>

namespace gamesim {

namespace {

constexpr std::size_t kHeaderRegionBytes = 0x1000;
constexpr std::size_t kHeaderOffset = 0x100;
constexpr std::size_t kEntryCountBeforeT = 0x4C;
constexpr std::size_t kOffsetTableBeforeT = 0x18;
constexpr std::size_t kBlockSlotBytes = ChatLog::kTableBytes + ChatLog::kTextCapacity;

// Keeps the compiler from folding a sum back into the entry's address.
template <typename T>
T opaque(T value) {
    asm("" : "+r"(value));
    return value;
}

void compilerBarrier() { asm volatile("" ::: "memory"); }

}  // namespace

bool ChatLog::layOut(Arena& arena, const std::string& marker, bool oddHeader) {
    marker_ = marker;
    std::uint8_t* header = arena.commitNew(kHeaderRegionBytes);
    blockSlots_[0] = arena.carve(kBlockSlotBytes);
    blockSlots_[1] = arena.carve(kBlockSlotBytes);
    if (header == nullptr || blockSlots_[0] == nullptr || blockSlots_[1] == nullptr) return false;
    textBufferSlot_ = header + kHeaderOffset + (oddHeader ? 1 : 0);
    return true;
}

void ChatLog::start(std::uint32_t firstEntry) { beginBlock(firstEntry - firstEntry % kBlockEntries); }

bool ChatLog::append(std::uint32_t time, std::int32_t code, const void* line, std::size_t length) {
    if (current_ < 0) return false;  // not started: there is no block to write to
    if (8 + length > kTextCapacity - (2 + marker_.size() + 8)) return false;
    if (count_ - blockBase_ == kBlockEntries) beginBlock(count_);
    if (textEnd_ + 8 + length > kTextCapacity) return false;
    writeEntry(count_ - blockBase_, textEnd_, time, code, line, length);
    ++count_;
    publishCount();
    return true;
}

void ChatLog::beginBlock(std::uint32_t base) {
    // The slot of the block before last is reused; the last block stays
    // readable meanwhile, as a reader may still be copying it. A game that
    // keeps one slot writes the new block over the last one's table and
    // text, whatever a reader had not read yet.
    if (current_ < 0 || !reuseSlot_) {
        current_ = current_ < 0 ? 0 : 1 - current_;
        Arena::decommit(blockSlots_[current_], kBlockSlotBytes);
        Arena::commit(blockSlots_[current_], kBlockSlotBytes);
    }
    std::uint8_t* slot = blockSlots_[current_];
    blockBase_ = base;
    textEnd_ = 0;

    // The marker line is put together in place: a copy of it elsewhere in
    // memory would be one more hit for a keyword search.
    writeEntry(0, 0, static_cast<std::uint32_t>(std::time(nullptr)), 0, "\x1F\x1F", 2);
    std::uint8_t* line = lineAt(0);
    std::memcpy(line + 2, marker_.data(), marker_.size());
    finishEntry(0, 8 + 2 + marker_.size());

    std::memcpy(textBufferSlot_ - kOffsetTableBeforeT, &slot, sizeof slot);
    storeFirstEntryAddress(textBufferSlot_);
    count_ = base + 1;
    publishCount();
}

std::uint8_t* ChatLog::lineAt(std::uint32_t offset) const {
    return blockSlots_[current_] + opaque<std::size_t>(kTableBytes + offset + 8);
}

void ChatLog::writeEntry(std::uint32_t index, std::uint32_t offset, std::uint32_t time, std::int32_t code,
                         const void* line, std::size_t length) {
    std::uint8_t* at = lineAt(offset);
    std::memcpy(at - 8, &time, 4);
    std::memcpy(at - 4, &code, 4);
    std::memcpy(at, line, length);
    finishEntry(index, offset + 8 + length);
}

void ChatLog::finishEntry(std::uint32_t index, std::size_t endOffset) {
    textEnd_ = static_cast<std::uint32_t>(endOffset);
    compilerBarrier();  // the entry is complete before its end offset is
    std::memcpy(blockSlots_[current_] + 4 * index, &textEnd_, 4);
}

void ChatLog::publishCount() {
    compilerBarrier();  // the game raises its count after the entry is written
    std::int32_t count = static_cast<std::int32_t>(count_);
    std::memcpy(textBufferSlot_ - kEntryCountBeforeT, &count, 4);
    compilerBarrier();
}

void ChatLog::storeFirstEntryAddress(std::uint8_t* slot) const {
    std::uint8_t* line = lineAt(0);
    asm volatile(
        "lea -8(%1), %%rax\n\t"
        "mov %%rax, (%0)\n\t"
        "xor %%eax, %%eax"
        :
        : "r"(slot), "r"(line)
        : "rax", "memory");
}

}  // namespace gamesim
