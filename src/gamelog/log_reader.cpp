// The read pass: copies the game's current log block, walks the entries that
// are new since the last pass, and posts every entry that a pattern accepts.

#include <cstdint>
#include <memory>
#include <vector>

#include "capture/capture_session.h"
#include "gamelog/pattern_matcher.h"

namespace tidemark {

namespace {

constexpr std::uint32_t kEntriesPerBlock = 1000;
constexpr std::int32_t kNotLocated = -1;
constexpr std::int32_t kShortRead = -4;
constexpr std::uint32_t kEntryHeaderSize = 8;  // time, code
// A block holds 1000 chat lines; an end offset beyond this is not a text
// buffer but garbage met while the game switched blocks, and copying it
// could ask for gigabytes.
constexpr std::uint32_t kMaxBlockTextSize = 64u << 20;

std::uint32_t loadU32(const std::uint8_t* at) {
    return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
           static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

// What the pass takes from the session, so that a reset on the UI thread
// cannot change it half-way.
struct PassSnapshot {
    std::shared_ptr<ProcessMemory> process;
    std::uint64_t textBufferSlot = 0;
    std::uint64_t offsetTableSlot = 0;
    std::uint64_t entryCountAddress = 0;
    std::int32_t readCount = 0;
    std::uint32_t startCount = 0;
    std::uint64_t generation = 0;
    LogBlockSeen lastBlock;
};

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

std::int32_t CaptureSession::readNewEntries() {
    PassSnapshot snap;
    {
        auto guard = lock();
        snap.process = gameProcess;
        snap.textBufferSlot = textBufferSlot;
        snap.offsetTableSlot = offsetTableSlot;
        snap.entryCountAddress = entryCountAddress;
        snap.readCount = readCount;
        snap.startCount = startCount;
        snap.generation = resetGeneration;
        snap.lastBlock = lastBlockSeen;
    }
    if (snap.textBufferSlot == 0) return kNotLocated;
    if (!snap.process) return kShortRead;

    // The count read through the snapshot, as entryCount() reads it, so that
    // the whole pass works on one process and one set of addresses.
    const std::int32_t count =
        snap.entryCountAddress == 0 ? 0 : snap.process->readU32(snap.entryCountAddress);
    if (count == snap.readCount) return 0;
    // A count that cannot be read is a failed read, not a count of 2^32 - 1
    // whose block arithmetic would walk garbage.
    if (count < 0) return kShortRead;

    const std::uint32_t n = static_cast<std::uint32_t>(count);
    std::uint32_t b = n % kEntriesPerBlock;
    std::uint32_t base = n - b;
    const std::uint64_t tableAddress = snap.process->readPointer(snap.offsetTableSlot);
    const std::uint64_t textAddress = snap.process->readPointer(snap.textBufferSlot);
    if (b == 0) {
        // The count stands on the end of a block. Its last entry can be read
        // in no other pass (the next count already lies in the next block),
        // so finish the block the last pass read, but only while the game
        // still points at the same buffers: a block it has moved on from may
        // hold anything.
        const LogBlockSeen& seen = snap.lastBlock;
        const auto position = static_cast<std::uint32_t>(snap.readCount);
        if (n == 0 || !seen.valid || seen.generation != snap.generation || seen.base != n - kEntriesPerBlock ||
            position < seen.base || position >= n || seen.offsetTable != tableAddress ||
            seen.textBuffer != textAddress)
            return 0;
        b = kEntriesPerBlock;
        base = seen.base;
    }

    std::vector<std::uint32_t> table(b);
    const std::uint64_t tableBytes = std::uint64_t{b} * 4;
    {
        std::vector<std::uint8_t> raw(tableBytes);
        if (snap.process->readMemory(tableAddress, raw.data(), tableBytes) < tableBytes) return kShortRead;
        for (std::uint32_t k = 0; k < b; ++k) table[k] = loadU32(raw.data() + 4 * k);
    }

    const std::uint32_t textSize = table[b - 1];
    if (textSize > kMaxBlockTextSize) return kShortRead;
    std::vector<std::uint8_t> text(textSize);
    if (textSize > 0 && snap.process->readMemory(textAddress, text.data(), textSize) < textSize)
        return kShortRead;

    std::int32_t matches = 0;
    for (std::uint32_t p = firstPosition(static_cast<std::uint32_t>(snap.readCount), base, snap.startCount);
         p < b && stopRequested.load() == 0; ++p) {
        const std::uint32_t start = p == 0 ? 0 : table[p - 1];
        const std::uint32_t end = table[p];
        // Offsets that do not fit together (the game changed blocks between
        // the two copies) leave the entry out rather than read past the copy.
        if (start > end || end - start < kEntryHeaderSize || end > textSize) continue;

        const std::uint8_t* entry = text.data() + start;
        const std::int32_t code = static_cast<std::int32_t>(loadU32(entry + 4));
        const bool present = base + p >= snap.startCount;
        const std::uint8_t* line = entry + kEntryHeaderSize;
        const std::uint32_t lineLength = end - start - kEntryHeaderSize;

        const CompiledPattern* pattern =
            findMatchingPattern(compiledPatterns, present, code, line, lineLength);
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
        postLine(record);
    }

    {
        auto guard = lock();
        // A reset during the pass started the session over; the position of
        // the old game's log must not land in it.
        if (resetGeneration == snap.generation) {
            readCount = count;
            lastBlockSeen = LogBlockSeen{true, base, tableAddress, textAddress, snap.generation};
        }
    }
    return static_cast<std::int32_t>(b);
}

}  // namespace tidemark
