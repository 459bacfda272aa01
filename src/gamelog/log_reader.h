#pragma once
// The read pass: copies the game's current log block, walks the entries that
// are new since the last pass, and hands every entry that a pattern accepts
// to a sink.

#include <cstdint>

#include "gamelog/chat_log.h"
#include "gamelog/compiled_patterns.h"
#include "gamelog/process_memory.h"
#include "session/log_record.h"

namespace tidemark {

// The block the last read pass copied. Once the count has left that block
// with entries of it unread, a pass copies it again from these addresses to
// finish it, provided it still holds what the last pass saw there: the end
// offset of the last entry copied, and that entry's time and code.
struct LogBlockSeen {
    bool valid = false;
    std::uint32_t base = 0;         // index of the block's first entry
    std::uint64_t offsetTable = 0;  // game addresses of its two buffers
    std::uint64_t textBuffer = 0;
    std::uint32_t entries = 0;      // how many of its entries were copied
    std::uint32_t lastEnd = 0;      // the end offset of the last of them
    std::uint64_t lastHead = 0;     // its time and code, as read
};

// How far the capture has read the game's log.
struct ReadPosition {
    std::int32_t readCount = 0;   // entries handled so far
    std::uint32_t startCount = 0; // entries below it were there before monitoring began
    LogBlockSeen lastBlock;
};

class MatchSink {
public:
    virtual ~MatchSink() = default;
    // One matching entry; `record.raw` is valid during the call only. False
    // ends the walk: the pass handles no further entry, and the position
    // stops before this one, so the next pass reads it and the rest again.
    virtual bool onMatch(LogRecord& record) = 0;
    // `lines` entries written while monitoring were gone before a pass could
    // read them: the game had reused their block's memory, or what lies
    // there no longer holds together. False ends the pass before them, as
    // a refused match does, and the next pass meets them again.
    virtual bool onLinesPassedOver(std::uint32_t lines) = 0;
};

inline constexpr std::int32_t kReadNotLocated = -1;
inline constexpr std::int32_t kReadFailed = -4;

// One pass: the number of entries in the block read (0 when nothing was to
// be read), kReadNotLocated, or kReadFailed when a read of the game's memory
// came back short; the position moves only when the pass did not fail. A
// count below the position means the game started its log over: every entry
// of the new log is then handled as present. When the count has left the
// block the position stands in, the rest of that block is handled first,
// copied from where the last pass found it while the game has moved on to
// other memory, else told to the sink as passed over.
std::int32_t readNewEntries(const ProcessMemory& process, const ChatLogAddresses& log, ReadPosition& position,
                            const CompiledPatterns& patterns, MatchSink& sink);

}  // namespace tidemark
