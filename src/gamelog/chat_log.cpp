#include "gamelog/chat_log.h"

#include <algorithm>
#include <vector>

namespace tidemark {

namespace {

// Checking a text buffer as large as the cap holds no more than this.
constexpr std::uint64_t kCheckPieceSize = 1u << 20;
constexpr std::uint32_t kEntryHeadSize = 8;  // time, code

std::uint32_t loadU32(const std::uint8_t* at) {
    return std::uint32_t{at[0]} | std::uint32_t{at[1]} << 8 | std::uint32_t{at[2]} << 16 |
           std::uint32_t{at[3]} << 24;
}

bool readableFor(const ProcessMemory& process, std::uint64_t address, std::uint64_t size) {
    std::vector<std::uint8_t> piece(static_cast<std::size_t>(std::min(size, kCheckPieceSize)));
    for (std::uint64_t done = 0; done < size;) {
        const std::uint64_t n = std::min(size - done, kCheckPieceSize);
        if (process.readMemory(address + done, piece.data(), n) < n) return false;
        done += n;
    }
    return true;
}

}  // namespace

std::int32_t entryCount(const ProcessMemory& process, const ChatLogAddresses& log) {
    if (log.entryCountAddress == 0) return 0;
    return process.readU32(log.entryCountAddress);
}

bool readsAsLogHeader(const ProcessMemory& process, const ChatLogAddresses& log) {
    const std::int32_t count = entryCount(process, log);
    if (count <= 0) return false;
    const std::uint64_t tableAddress = process.readPointer(log.offsetTableSlot);
    const std::uint64_t textAddress = process.readPointer(log.textBufferSlot);
    // All ones is what an unreadable pointer reads as.
    if (tableAddress == 0 || tableAddress == ~std::uint64_t{0} || textAddress == ~std::uint64_t{0}) return false;

    // A count on a block's end means that block is full.
    const std::uint32_t inBlock = static_cast<std::uint32_t>(count) % kEntriesPerBlock;
    const std::uint32_t entries = inBlock == 0 ? kEntriesPerBlock : inBlock;
    std::vector<std::uint8_t> table(std::size_t{entries} * 4);
    if (process.readMemory(tableAddress, table.data(), table.size()) < table.size()) return false;
    // The first entry, the one the text-buffer pointer points at, holds at
    // least its time and code: a table of zeros is freed storage.
    if (loadU32(table.data()) < kEntryHeadSize) return false;
    std::uint32_t end = 0;
    for (std::uint32_t k = 0; k < entries; ++k) {
        const std::uint32_t next = loadU32(table.data() + 4 * k);
        if (next < end) return false;
        end = next;
    }
    return end <= kMaxBlockTextSize && readableFor(process, textAddress, end);
}

}  // namespace tidemark
