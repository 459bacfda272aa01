#pragma once
// The bytes of small regions, kept from one pass of a search for the next:
// under Wine every read is a round trip to the wineserver, and a game holds
// thousands of regions of a page or two that the pointer search would read
// again one by one. Large regions are read again instead; they cost their
// copying, not their round trips.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "gamelog/process_memory.h"

namespace tidemark {

// Together with the search's piece, well within the memory a search may hold.
inline constexpr std::size_t kSmallRegionCacheBytes = std::size_t{32} << 20;
inline constexpr std::size_t kLargestCachedRegion = std::size_t{64} << 10;

class SmallRegionCache {
public:
    explicit SmallRegionCache(std::size_t budget = kSmallRegionCacheBytes,
                              std::size_t largestRegion = kLargestCachedRegion);

    // Keeps what one read from the start of `region` returned (its readable
    // front, all of it or less) when the region is small and the budget
    // allows; otherwise keeps nothing. Regions are kept in address order.
    void keep(const MemoryRegion& region, const std::uint8_t* bytes, std::size_t length);

    struct Bytes {
        const std::uint8_t* data = nullptr;  // valid until clear()
        std::size_t length = 0;
    };
    // What was kept for a region of the same base and size, or nothing.
    const Bytes* find(const MemoryRegion& region) const;

    // Forgets what was kept; the memory stays for the next search, which
    // then copies into pages the process already has.
    void clear();
    // Forgets what was kept and frees the memory.
    void release();
    std::size_t memoryHeld() const { return blocks_.size() * blockSize_; }

private:
    struct Kept {
        std::uint64_t base;
        std::uint64_t size;
        Bytes bytes;
    };
    // Blocks of at least the largest region, never moved once allocated, so
    // the bytes handed out stay where they are while more are kept.
    std::uint8_t* room(std::size_t length);

    std::size_t budget_;
    std::size_t largest_;
    std::size_t used_ = 0;
    std::vector<std::unique_ptr<std::uint8_t[]>> blocks_;  // each blockSize_ long
    std::size_t blockSize_;
    std::size_t blocksInUse_ = 0;
    std::size_t blockUsed_ = 0;  // of the last block in use
    std::vector<Kept> kept_;  // by base address
};

}  // namespace tidemark
