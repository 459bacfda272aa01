#include "gamelog/small_region_cache.h"

#include <algorithm>
#include <cstring>

namespace tidemark {

namespace {
constexpr std::size_t kBlockBytes = std::size_t{1} << 20;
}

SmallRegionCache::SmallRegionCache(std::size_t budget, std::size_t largestRegion)
    : budget_(budget), largest_(largestRegion), blockSize_(std::max(kBlockBytes, largestRegion)) {}

void SmallRegionCache::keep(const MemoryRegion& region, const std::uint8_t* bytes, std::size_t length) {
    if (region.RegionSize > largest_ || length > region.RegionSize || used_ + length > budget_) return;
    // Address order keeps the lookup a binary search; a region out of order
    // (the walk never gives one) is simply not kept.
    if (!kept_.empty() && kept_.back().base + kept_.back().size > region.BaseAddress) return;
    std::uint8_t* copy = room(length);
    if (length > 0) std::memcpy(copy, bytes, length);
    used_ += length;
    kept_.push_back(Kept{region.BaseAddress, region.RegionSize, Bytes{copy, length}});
}

const SmallRegionCache::Bytes* SmallRegionCache::find(const MemoryRegion& region) const {
    auto it = std::lower_bound(kept_.begin(), kept_.end(), region.BaseAddress,
                               [](const Kept& kept, std::uint64_t base) { return kept.base < base; });
    if (it == kept_.end() || it->base != region.BaseAddress || it->size != region.RegionSize) return nullptr;
    return &it->bytes;
}

void SmallRegionCache::clear() {
    kept_.clear();
    used_ = 0;
    blocksInUse_ = blockUsed_ = 0;
}

void SmallRegionCache::release() {
    clear();
    blocks_.clear();
    blocks_.shrink_to_fit();
    kept_.shrink_to_fit();
}

std::uint8_t* SmallRegionCache::room(std::size_t length) {
    if (blocksInUse_ == 0 || blockSize_ - blockUsed_ < length) {
        if (blocksInUse_ == blocks_.size()) blocks_.push_back(std::make_unique_for_overwrite<std::uint8_t[]>(blockSize_));
        ++blocksInUse_;
        blockUsed_ = 0;
    }
    std::uint8_t* at = blocks_[blocksInUse_ - 1].get() + blockUsed_;
    blockUsed_ += length;
    return at;
}

}  // namespace tidemark
