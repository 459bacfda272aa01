#pragma once
// One address-space reservation that the simulator lays out itself, so the
// order of its regions (decoys, ballast, the log) is known. Every span
// carved from it is followed by a reserved gap, so each committed span shows
// as a region of its own to anyone walking the address space.

#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace gamesim {

class Arena {
public:
    static constexpr std::size_t kGap = 0x10000;

    bool reserve(std::size_t size);
    // The next `size` bytes (rounded up to whole gaps), reserved but not
    // committed; null when the reservation is exhausted.
    std::uint8_t* carve(std::size_t size);
    // carve() and commit read-write.
    std::uint8_t* commitNew(std::size_t size);

    static bool commit(std::uint8_t* at, std::size_t size);
    static void decommit(std::uint8_t* at, std::size_t size);
    static std::size_t roundUp(std::size_t size) { return (size + kGap - 1) / kGap * kGap; }

private:
    std::uint8_t* base_ = nullptr;
    std::size_t size_ = 0;
    std::size_t used_ = 0;
};

}  // namespace gamesim
