#include "gamelog/region_search.h"

#include <algorithm>
#include <cstring>

namespace tidemark {

RegionHit RegionSearch::find(const ProcessMemory& memory, const MemoryRegion& region,
                             const std::uint8_t* pattern, std::size_t patternLength, std::size_t lead) {
    RegionHit hit;
    const std::uint64_t regionSize = region.RegionSize;
    if (regionSize == 0 || patternLength == 0) return hit;

    // Carried from one piece into the next: an occurrence that does not fit
    // wholly (with its lead) into one piece starts inside this tail.
    const std::size_t overlap = patternLength - 1 + lead;
    std::uint8_t* buffer = bufferFor(static_cast<std::size_t>(
        std::min<std::uint64_t>(regionSize, std::uint64_t{pieceSize_} + overlap)));

    std::uint64_t bufferStart = 0;  // region offset of buffer[0]
    std::size_t kept = 0;           // bytes carried over at the front of the buffer
    for (;;) {
        std::uint64_t readFrom = bufferStart + kept;
        std::size_t wanted = static_cast<std::size_t>(
            std::min<std::uint64_t>(regionSize - readFrom, capacity_ - kept));
        std::size_t got = static_cast<std::size_t>(
            memory.readMemory(region.BaseAddress + readFrom, buffer + kept, wanted));
        if (got > wanted) got = wanted;  // a misbehaving platform must not push us past the buffer
        if (got == 0) return hit;
        hit.readable = true;

        std::size_t length = kept + got;
        std::size_t position = findBytes(pattern, patternLength, buffer, length);
        if (position != kNotFound) {
            hit.offset = bufferStart + position;
            hit.bytes = buffer + position;
            return hit;
        }
        if (got < wanted || readFrom + got >= regionSize) return hit;

        kept = std::min(overlap, length);
        std::memmove(buffer, buffer + length - kept, kept);
        bufferStart += length - kept;
    }
}

void RegionSearch::release() {
    buffer_.reset();
    capacity_ = 0;
}

std::uint8_t* RegionSearch::bufferFor(std::size_t size) {
    if (size > capacity_) {
        buffer_.reset();  // never hold the old and the new buffer at once
        buffer_ = std::make_unique_for_overwrite<std::uint8_t[]>(size);
        capacity_ = size;
    }
    return buffer_.get();
}

}  // namespace tidemark
