#pragma once
// Copies of the log's first-entry address left where the game once kept a
// header and has since freed it: the count and offset-table fields around
// each copy are zero, as released vector storage reads. They lie below the
// real header, two in one region and one in the next, so a search that took
// the first copy of the address would end at a dead header, and one that
// passed over a copy must go on in the same region and then in the next.

#include <cstdint>

#include "arena.h"
#include "chat_log.h"

namespace gamesim {

class StaleCopies {
public:
    // Takes their spans from the arena, after the ballast and before the log.
    bool carve(Arena& arena);
    // Writes the copies once the log has its first block.
    void write(const ChatLog& log);

private:
    std::uint8_t* regions_[2] = {nullptr, nullptr};
};

}  // namespace gamesim
