#pragma once
// Places that hold the marker line, or a pointer to the log's first entry,
// where a correct search must not take them: each is built so that a search
// that did take it would end at a wrong header.
//
// In address order, below the log:
//   - the marker 5 bytes into a region, with a good entry and a pointer to
//     it further on in the same region;
//   - the marker with a time before 2013, then a good one, both pointed to;
//   - the marker with a time a year ahead, then a good one, both pointed to;
//   - a PAGE_GUARD region with a good entry, a pointer to it and a copy of
//     the real first entry's address;
//   - a mapped (shared-memory) region and a region of the program's own
//     image, each with the same.

#include <cstdint>
#include <string>

#include "arena.h"
#include "chat_log.h"

namespace gamesim {

class Decoys {
public:
    // On the main thread, before the arena is reserved, so the mapped view
    // lies below it.
    bool mapView();
    // Takes the decoys' spans from the arena, before anything else.
    bool carve(Arena& arena);
    // Fills them once the log exists (the guard region last of all: it
    // cannot be written once guarded).
    void write(const std::string& marker, const ChatLog& log);

private:
    std::uint8_t* mapped_ = nullptr;
    std::uint8_t* startsTooSoon_ = nullptr;
    std::uint8_t* tooEarly_ = nullptr;
    std::uint8_t* inFuture_ = nullptr;
    std::uint8_t* guarded_ = nullptr;
};

}  // namespace gamesim
