#pragma once
// The search of one region of another process for a byte pattern, as if the
// whole region had been read in one read, while holding at most a bounded
// piece of it in memory: whatever the size of a region, the search needs no
// more than one piece of `pieceSize` bytes plus the overlap.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "gamelog/process_memory.h"
#include "gamelog/small_region_cache.h"

namespace tidemark {

// Small enough that the piece a read has just written is still in the
// core's cache when it is searched (a piece far larger than the cache is
// fetched from memory twice, by the copy and by the search), large enough
// that the fixed cost of a read (a round trip to the wineserver under Wine)
// stays a few per cent of its copying.
inline constexpr std::size_t kRegionPieceSize = std::size_t{1} << 20;

struct RegionHit {
    bool readable = false;             // at least one byte of the region from `from` on could be read
    std::uint64_t offset = kNotFound;  // offset in the region of the first occurrence
    // The occurrence inside the search's buffer, valid until its next call;
    // the `lead` bytes in front of it are there too when offset >= from + lead.
    const std::uint8_t* bytes = nullptr;

    bool found() const { return offset != kNotFound; }
};

class RegionSearch {
public:
    explicit RegionSearch(std::size_t pieceSize = kRegionPieceSize)
        : pieceSize_(pieceSize > 0 ? pieceSize : 1) {}

    // The lowest occurrence at or after region offset `from` of the pattern
    // in the readable bytes that follow it, as if they had been read in one
    // read from `from`. Pieces are read one after another while each comes
    // back whole (a short piece ends the region, as it would end one big
    // read) and overlap by patternLength - 1 + lead bytes, so that an
    // occurrence straddling two pieces is found, and found with its lead
    // bytes. A search that goes on past the occurrence the previous call
    // found in the same region continues in the piece that call ended in,
    // without reading it again, so walking every occurrence of a region
    // (each search from one past the last) reads it once; any other search
    // reads afresh.
    RegionHit find(const ProcessMemory& memory, const MemoryRegion& region, const std::uint8_t* pattern,
                   std::size_t patternLength, std::size_t lead = 0, std::uint64_t from = 0);

    // From now on small regions read whole are kept in `cache`, and a region
    // found there is searched in what was kept instead of being read again;
    // null: every search reads.
    void useCache(SmallRegionCache* cache) { cache_ = cache; }

    // Frees the buffer; the next search allocates anew.
    void release();

private:
    // The piece of a region the buffer holds after a call.
    struct HeldPiece {
        std::uint64_t regionBase = 0;
        std::uint64_t regionSize = 0;
        std::uint64_t start = 0;  // region offset of buffer[0]
        std::size_t length = 0;   // 0: nothing held
        bool regionEnded = false; // no byte after the piece can be read
        std::uint64_t lastHit = kNotFound;  // region offset of the occurrence found in it
    };

    // Reads the piece after the `kept` bytes at the front of the buffer;
    // false when not a byte came back.
    bool readPiece(const ProcessMemory& memory, const MemoryRegion& region, std::size_t kept);
    std::uint8_t* bufferFor(std::size_t size);

    RegionHit findKept(const SmallRegionCache::Bytes& kept, const std::uint8_t* pattern, std::size_t patternLength,
                       std::uint64_t from);

    std::size_t pieceSize_;
    SmallRegionCache* cache_ = nullptr;
    std::unique_ptr<std::uint8_t[]> buffer_;
    std::size_t capacity_ = 0;
    HeldPiece held_;
};

}  // namespace tidemark
