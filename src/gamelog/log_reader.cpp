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
constexpr std::uint64_t kNoHead = ~std::uint64_t{0};

std::uint32_t loadU32(const std::uint8_t* at) {
    return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
           static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

// One block as a pass copied it: the end offsets of its first entries and
// the text up to the last of them.
struct BlockCopy {
    std::vector<std::uint32_t> ends;
    std::unique_ptr<std::uint8_t[]> text;
    std::uint32_t textSize = 0;

    std::uint32_t entries() const { return static_cast<std::uint32_t>(ends.size()); }
    std::uint32_t startOf(std::uint32_t k) const { return k == 0 ? 0 : ends[k - 1]; }

    // Entry k's time and code as one value, or kNoHead when its offsets do
    // not hold them.
    std::uint64_t headOf(std::uint32_t k) const {
        const std::uint32_t start = startOf(k);
        if (start > ends[k] || ends[k] - start < kEntryHeaderSize || ends[k] > textSize) return kNoHead;
        return std::uint64_t{loadU32(text.get() + start)} | std::uint64_t{loadU32(text.get() + start + 4)} << 32;
    }
};

using TableCheck = bool (*)(const std::vector<std::uint32_t>& ends);

bool anyTable(const std::vector<std::uint32_t>&) { return true; }

// The first `entries` end offsets from `tableAddress` and the text they
// cover from `textAddress`, in one read each. False when a read came back
// short, or the table was beyond the block-text cap or refused by `accept`
// (then its text is not read).
bool copyBlock(const ProcessMemory& process, std::uint64_t tableAddress, std::uint64_t textAddress,
               std::uint32_t entries, BlockCopy& copy, TableCheck accept) {
    copy.ends.resize(entries);
    const std::uint64_t tableBytes = std::uint64_t{entries} * 4;
    {
        std::vector<std::uint8_t> raw(tableBytes);
        if (process.readMemory(tableAddress, raw.data(), tableBytes) < tableBytes) return false;
        for (std::uint32_t k = 0; k < entries; ++k) copy.ends[k] = loadU32(raw.data() + 4 * k);
    }
    copy.textSize = copy.ends[entries - 1];
    if (copy.textSize > kMaxBlockTextSize || !accept(copy.ends)) return false;
    // Not zero-filled first: the read overwrites all of it or the copy fails.
    copy.text = std::make_unique_for_overwrite<std::uint8_t[]>(copy.textSize);
    return copy.textSize == 0 || process.readMemory(textAddress, copy.text.get(), copy.textSize) == copy.textSize;
}

LogBlockSeen describe(const BlockCopy& copy, std::uint32_t base, std::uint64_t tableAddress,
                      std::uint64_t textAddress) {
    const std::uint32_t last = copy.entries() - 1;
    return {true, base, tableAddress, textAddress, copy.entries(), copy.ends[last], copy.headOf(last)};
}

// A block the game filled and left, copied again: believed only when every
// entry holds at least its time and code, and the entry the last pass read
// last is still where it was, with the same time and code. Memory the game
// freed or filled with something else fails this.
bool stillTheBlockSeen(const BlockCopy& copy, const LogBlockSeen& seen) {
    return seen.entries >= 1 && seen.entries <= copy.entries() && copy.ends[seen.entries - 1] == seen.lastEnd &&
           copy.headOf(seen.entries - 1) == seen.lastHead;
}

bool endsRiseByWholeEntries(const std::vector<std::uint32_t>& ends) {
    std::uint32_t start = 0;
    for (const std::uint32_t end : ends) {
        if (end < start || end - start < kEntryHeaderSize) return false;
        start = end;
    }
    return true;
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

// Present entries from `readCount` up to `end` that no pass will read.
// History entries of blocks left behind are not caught up in any case.
std::uint32_t presentBefore(std::uint32_t end, std::uint32_t readCount, std::uint32_t startCount) {
    const std::uint32_t first = readCount > startCount ? readCount : startCount;
    return end > first ? end - first : 0;
}

// Hands every matching entry of `copy` from block position `first` on to the
// sink. Returns the position of the entry the sink refused, or the number of
// entries when it took them all.
std::uint32_t walkBlock(const BlockCopy& copy, std::uint32_t base, std::uint32_t first, std::uint32_t startCount,
                        const CompiledPatterns& patterns, MatchSink& sink, std::int32_t& matches) {
    for (std::uint32_t p = first; p < copy.entries(); ++p) {
        const std::uint32_t start = copy.startOf(p);
        const std::uint32_t end = copy.ends[p];
        // Offsets that do not fit together (the game changed blocks between
        // the two copies) leave the entry out rather than read past the copy.
        if (start > end || end - start < kEntryHeaderSize || end > copy.textSize) continue;

        const std::uint8_t* entry = copy.text.get() + start;
        const std::int32_t code = static_cast<std::int32_t>(loadU32(entry + 4));
        const bool present = base + p >= startCount;
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
        if (!sink.onMatch(record)) return p;
    }
    return copy.entries();
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
    const std::uint32_t b = n % kEntriesPerBlock;
    const std::uint32_t base = n - b;
    const auto readCount = static_cast<std::uint32_t>(from.readCount);
    const std::uint64_t tableAddress = process.readPointer(log.offsetTableSlot);
    const std::uint64_t textAddress = process.readPointer(log.textBufferSlot);

    // The count has left the block the position stands in (or stands on its
    // end). The rest of that block can be read in this pass only: copy it
    // again from where the last pass found it, unless the game has written
    // the next block into that same memory.
    const LogBlockSeen& seen = from.lastBlock;
    BlockCopy tail;
    bool tailCopied = false;
    if (readCount < base && seen.valid && seen.base + kEntriesPerBlock == base && readCount >= seen.base) {
        const bool sameMemory = seen.offsetTable == tableAddress || seen.textBuffer == textAddress;
        if (b == 0 || !sameMemory)
            tailCopied = copyBlock(process, seen.offsetTable, seen.textBuffer, kEntriesPerBlock, tail,
                                   endsRiseByWholeEntries) &&
                         stillTheBlockSeen(tail, seen);
    }
    if (b == 0) {
        // Nothing of the next block is there yet; what the tail could not
        // give is told by the first pass that meets an entry of it.
        if (!tailCopied) return 0;
        std::int32_t matches = 0;
        const std::uint32_t stop = walkBlock(tail, seen.base, readCount - seen.base, from.startCount, patterns,
                                             sink, matches);
        position = from;
        position.readCount = static_cast<std::int32_t>(seen.base + stop);
        position.lastBlock = describe(tail, seen.base, seen.offsetTable, seen.textBuffer);
        return static_cast<std::int32_t>(kEntriesPerBlock);
    }

    BlockCopy current;
    if (!copyBlock(process, tableAddress, textAddress, b, current, anyTable)) return kReadFailed;

    std::int32_t matches = 0;
    if (tailCopied) {
        const std::uint32_t stop = walkBlock(tail, seen.base, readCount - seen.base, from.startCount, patterns,
                                             sink, matches);
        if (stop < kEntriesPerBlock) {
            // The rest of the old block waits where it is for the next pass.
            position = from;
            position.readCount = static_cast<std::int32_t>(seen.base + stop);
            return static_cast<std::int32_t>(b);
        }
    } else if (const std::uint32_t lost = presentBefore(base, readCount, from.startCount); lost > 0) {
        if (!sink.onLinesPassedOver(lost)) return 0;
    }

    const std::uint32_t stop =
        walkBlock(current, base, firstPosition(readCount, base, from.startCount), from.startCount, patterns, sink,
                  matches);
    position = from;
    position.readCount = stop < b ? static_cast<std::int32_t>(base + stop) : count;
    position.lastBlock = describe(current, base, tableAddress, textAddress);
    return static_cast<std::int32_t>(b);
}

}  // namespace tidemark
