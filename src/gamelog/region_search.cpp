#include "gamelog/region_search.h"

#include <algorithm>
#include <cstring>

namespace tidemark {

RegionHit RegionSearch::find(const ProcessMemory& memory, const MemoryRegion& region,
                             const std::uint8_t* pattern, std::size_t patternLength, std::size_t lead,
                             std::uint64_t from) {
    RegionHit hit;
    const std::uint64_t regionSize = region.RegionSize;
    if (regionSize == 0 || patternLength == 0 || from >= regionSize) return hit;

    // Carried from one piece into the next: an occurrence that does not fit
    // wholly (with its lead) into one piece starts inside this tail.
    const std::size_t overlap = patternLength - 1 + lead;
    const auto bufferSize = [&](std::uint64_t start) {
        return static_cast<std::size_t>(
            std::min<std::uint64_t>(regionSize - start, std::uint64_t{pieceSize_} + overlap));
    };
    // A search from past the readable front that was kept reads, as it
    // would have then: the bytes after an unreadable span may be readable.
    if (cache_ != nullptr)
        if (const SmallRegionCache::Bytes* kept = cache_->find(region); kept != nullptr && from < kept->length)
            return findKept(*kept, pattern, patternLength, from);

    const bool continuing = held_.lastHit != kNotFound && from > held_.lastHit &&
                            held_.regionBase == region.BaseAddress && held_.regionSize == regionSize &&
                            from - held_.start < held_.length && capacity_ >= bufferSize(held_.start);
    held_.lastHit = kNotFound;
    if (!continuing) {
        held_ = HeldPiece{region.BaseAddress, regionSize, from, 0, false, kNotFound};
        bufferFor(bufferSize(from));
        if (!readPiece(memory, region, 0)) return hit;
        // The first piece from the start held all there is to read of it.
        if (cache_ != nullptr && from == 0 && held_.regionEnded) cache_->keep(region, buffer_.get(), held_.length);
    }
    hit.readable = true;

    std::uint8_t* buffer = buffer_.get();
    for (;;) {
        const std::size_t searchFrom = static_cast<std::size_t>(from > held_.start ? from - held_.start : 0);
        const std::size_t position =
            findBytes(pattern, patternLength, buffer + searchFrom, held_.length - searchFrom);
        if (position != kNotFound) {
            hit.offset = held_.start + searchFrom + position;
            hit.bytes = buffer + searchFrom + position;
            held_.lastHit = hit.offset;
            return hit;
        }
        if (held_.regionEnded) return hit;

        const std::size_t kept = std::min(overlap, held_.length);
        std::memmove(buffer, buffer + held_.length - kept, kept);
        held_.start += held_.length - kept;
        if (!readPiece(memory, region, kept)) return hit;
    }
}

RegionHit RegionSearch::findKept(const SmallRegionCache::Bytes& kept, const std::uint8_t* pattern,
                                 std::size_t patternLength, std::uint64_t from) {
    RegionHit hit;
    held_ = HeldPiece{};  // the buffer no longer follows on from a hit
    hit.readable = true;
    const std::size_t start = static_cast<std::size_t>(from);
    const std::size_t position = findBytes(pattern, patternLength, kept.data + start, kept.length - start);
    if (position != kNotFound) {
        hit.offset = start + position;
        hit.bytes = kept.data + hit.offset;
    }
    return hit;
}

bool RegionSearch::readPiece(const ProcessMemory& memory, const MemoryRegion& region, std::size_t kept) {
    const std::uint64_t readFrom = held_.start + kept;
    const std::size_t wanted =
        static_cast<std::size_t>(std::min<std::uint64_t>(region.RegionSize - readFrom, capacity_ - kept));
    std::size_t got = static_cast<std::size_t>(
        memory.readMemory(region.BaseAddress + readFrom, buffer_.get() + kept, wanted));
    if (got > wanted) got = wanted;  // a misbehaving platform must not push us past the buffer
    held_.length = kept + got;
    held_.regionEnded = got < wanted || readFrom + got >= region.RegionSize;
    return got > 0;
}

void RegionSearch::release() {
    buffer_.reset();
    capacity_ = 0;
    held_ = HeldPiece{};
}

std::uint8_t* RegionSearch::bufferFor(std::size_t size) {
    if (size > capacity_) {
        held_.length = 0;
        buffer_.reset();  // never hold the old and the new buffer at once
        buffer_ = std::make_unique_for_overwrite<std::uint8_t[]>(size);
        capacity_ = size;
    }
    return buffer_.get();
}

}  // namespace tidemark
