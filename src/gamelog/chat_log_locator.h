#pragma once
// Finding the game's chat log: walk the game's address space, find the
// marker line in a private read-write region, then the header pointer that
// points at that line's entry.

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "gamelog/chat_log.h"
#include "gamelog/process_memory.h"
#include "gamelog/region_search.h"
#include "gamelog/search_pacer.h"
#include "gamelog/small_region_cache.h"
#include "platform/clock.h"
#include "session/status_sink.h"

namespace tidemark {

// Regions examined while a status line was given, over the whole run; its
// tens drive the search's progress dots.
extern std::int32_t searchCounter;

// The private read-write regions of the process, in address order, up to the
// first region that reaches above the highest application address. The walk
// ends early when `keepGoing` says so.
std::vector<MemoryRegion> listCandidateRegions(const ProcessMemory& process,
                                               const std::function<bool()>& keepGoing);

struct LocatorInputs {
    // The bytes to look for: 0x1F 0x1F and the marker keyword.
    std::string_view marker;
    // Progress dots go here; null: no progress and no count.
    StatusSink* status = nullptr;
    // Checked before every region of both searches; false ends the search
    // with nothing found.
    std::function<bool()> keepSearching;
    Clock* clock = nullptr;  // the newest entry time; null: the system clock
    // Paces the search (its listing, both searches); null: a pacer with the
    // default rule on `clock`.
    SearchPacer* pacer = nullptr;
    // How much of a region is held at once.
    std::size_t pieceSize = kRegionPieceSize;
    // Where the search keeps small regions' bytes for its pointer search:
    // given, its memory serves search after search while no log is found
    // and is freed once one is; null: the search's own.
    SmallRegionCache* kept = nullptr;
};

// The header whose text-buffer pointer lies at `slot`, when it passes every
// check the search makes of the header it ends at, the marker line aside:
// the slot lies in a region the search looks in, the header reads as a log
// header, and its text buffer begins with an entry whose time is one the
// search accepts, in a region it looks in. Once the game has begun a block
// after the marker's, a header learnt earlier can be confirmed this way
// though no search could find it again. `clock` null: the system clock.
std::optional<ChatLogAddresses> confirmChatLogAt(const ProcessMemory& process, std::uint64_t slot,
                                                 Clock* clock = nullptr);

// Where the game's chat log header lies, or nothing when no region holds the
// marker line behind a plausible entry head with a pointer to that entry
// that reads as a log header.
std::optional<ChatLogAddresses> locateChatLog(const ProcessMemory& process, const LocatorInputs& inputs);

}  // namespace tidemark
