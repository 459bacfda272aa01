#include "arena.h"

namespace gamesim {

bool Arena::reserve(std::size_t size) {
    size_ = roundUp(size);
    base_ = static_cast<std::uint8_t*>(VirtualAlloc(nullptr, size_, MEM_RESERVE, PAGE_NOACCESS));
    used_ = kGap;  // nothing at the very start: the first span is a region of its own too
    return base_ != nullptr;
}

std::uint8_t* Arena::carve(std::size_t size) {
    std::size_t span = roundUp(size) + kGap;
    if (base_ == nullptr || used_ + span > size_) return nullptr;
    std::uint8_t* at = base_ + used_;
    used_ += span;
    return at;
}

std::uint8_t* Arena::commitNew(std::size_t size) {
    std::uint8_t* at = carve(size);
    return at != nullptr && commit(at, size) ? at : nullptr;
}

bool Arena::commit(std::uint8_t* at, std::size_t size) {
    return VirtualAlloc(at, size, MEM_COMMIT, PAGE_READWRITE) != nullptr;
}

void Arena::decommit(std::uint8_t* at, std::size_t size) {
    VirtualFree(at, size, MEM_DECOMMIT);
}

}  // namespace gamesim
