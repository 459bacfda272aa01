// The read pass: copies the game's current log block, walks the entries that
// are new since the last pass, and hands every entry that a pattern accepts
// to the sink.

#include "gamelog/log_reader.h"

#include <cstdint>
#include <memory>
#include <vector>

#include "gamelog/pattern_matcher.h"

namespace tidemark {

namespace {

constexpr std::uint32_t kEntryHeaderSize = 8;  // time, code
// The game's own chat lines are far shorter; an entry beyond this is no chat
// line, and posting it would send a body of that size.
constexpr std::uint32_t kMaxLineLength = 64u << 10;

std::uint32_t loadU32(const std::uint8_t* at) {
    return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
           static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

// The block position of the first entry to handle. Entries before the block
// base are gone with their block; of the new block, history entries (below
// `startCount`) are not caught up, but every present one is handled, so a
// burst that crosses a multiple of 1000 between two polls loses no line of
// the new block.
std::uint32_t firstPosition(std::uint32_t readCount, std::uint32_t base, std::uint32_t startCount) {
    if (readCount >= base) return readCount - base;
    return startCount > base ? startCount - base : 0;
}

}  // namespace

std::int32_t readNewEntries(const ProcessMemory& process, const ChatLogAddresses& log, ReadPosition& position,
                            const CompiledPatterns& patterns, MatchSink& sink) {
    if (!log.located()) return kReadNotLocated;

    const std::int32_t count = entryCount(process, log);
    // A count that cannot be read is a failed read, not a count of 2^32 - 1
    // whose block arithmetic would walk garbage.
    if (count < 0) return kReadFailed;
    if (count == position.readCount) return 0;
    // A count that went back means the game began its log anew: whatever it
    // holds now was written after the drop, so all of it is new and present,
    // and nothing of the old log can be met again.
    const ReadPosition from = count < position.readCount ? ReadPosition{} : position;

    const std::uint32_t n = static_cast<std::uint32_t>(count);
    std::uint32_t b = n % kEntriesPerBlock;
    std::uint32_t base = n - b;
    const std::uint64_t tableAddress = process.readPointer(log.offsetTableSlot);
    const std::uint64_t textAddress = process.readPointer(log.textBufferSlot);
    if (b == 0) {
        // The count stands on the end of a block. Its last entry can be read
        // in no other pass (the next count already lies in the next block),
        // so finish the block the last pass read, but only while the game
        // still points at the same buffers: a block it has moved on from may
        // hold anything.
        const LogBlockSeen& seen = from.lastBlock;
        const auto readCount = static_cast<std::uint32_t>(from.readCount);
        if (n == 0 || !seen.valid || seen.base != n - kEntriesPerBlock || readCount < seen.base ||
            readCount >= n || seen.offsetTable != tableAddress || seen.textBuffer != textAddress)
            return 0;
        b = kEntriesPerBlock;
        base = seen.base;
    }

    std::vector<std::uint32_t> table(b);
    const std::uint64_t tableBytes = std::uint64_t{b} * 4;
    {
        std::vector<std::uint8_t> raw(tableBytes);
        if (process.readMemory(tableAddress, raw.data(), tableBytes) < tableBytes) return kReadFailed;
        for (std::uint32_t k = 0; k < b; ++k) table[k] = loadU32(raw.data() + 4 * k);
    }

    const std::uint32_t textSize = table[b - 1];
    if (textSize > kMaxBlockTextSize) return kReadFailed;
    // Not zero-filled first: the read overwrites all of it or the pass fails.
    const auto text = std::make_unique_for_overwrite<std::uint8_t[]>(textSize);
    if (textSize > 0 && process.readMemory(textAddress, text.get(), textSize) < textSize) return kReadFailed;

    std::int32_t matches = 0;
    std::int32_t readTo = count;
    for (std::uint32_t p = firstPosition(static_cast<std::uint32_t>(from.readCount), base, from.startCount);
         p < b; ++p) {
        const std::uint32_t start = p == 0 ? 0 : table[p - 1];
        const std::uint32_t end = table[p];
        // Offsets that do not fit together (the game changed blocks between
        // the two copies) leave the entry out rather than read past the copy.
        if (start > end || end - start < kEntryHeaderSize || end > textSize) continue;

        const std::uint8_t* entry = text.get() + start;
        const std::int32_t code = static_cast<std::int32_t>(loadU32(entry + 4));
        const bool present = base + p >= from.startCount;
        const std::uint8_t* line = entry + kEntryHeaderSize;
        const std::uint32_t lineLength = end - start - kEntryHeaderSize;
        if (lineLength > kMaxLineLength) continue;

        const CompiledPattern* pattern = findMatchingPattern(patterns, present, code, line, lineLength);
        if (pattern == nullptr) continue;

        LogRecord record;
        record.kind = 0;
        record.time = static_cast<std::int64_t>(loadU32(entry));
        record.ordinal = matches++;
        record.patternId = pattern->id;
        record.code = code;
        record.raw = line;
        record.rawLength = lineLength;
        record.present = present ? 1 : 0;
        if (!sink.onMatch(record)) {
            readTo = static_cast<std::int32_t>(base + p);
            break;
        }
    }

    position = from;
    position.readCount = readTo;
    position.lastBlock = LogBlockSeen{true, base, tableAddress, textAddress};
    return static_cast<std::int32_t>(b);
}

}  // namespace tidemark
