#include "decoys.h"

#include <windows.h>

#include <cstring>
#include <ctime>

namespace gamesim {

namespace {

constexpr std::size_t kDecoyBytes = 0x10000;
constexpr std::size_t kFirstEntry = 0x100;
constexpr std::size_t kSecondEntry = 0x1000;
constexpr std::size_t kPointers = 0x3000;
constexpr std::uint32_t kBefore2013 = 1000000000;  // 2001-09-09
constexpr std::uint32_t kOneYear = 365u * 24 * 3600;

// Part of the program's image (.bss), so a search that takes image regions
// meets it.
alignas(0x1000) std::uint8_t imageDecoy[kDecoyBytes];

std::uint32_t now() { return static_cast<std::uint32_t>(std::time(nullptr)); }

void writeMarkerEntry(std::uint8_t* at, std::uint32_t time, const std::string& marker) {
    std::memcpy(at, &time, 4);
    std::memset(at + 4, 0, 4);
    at[8] = 0x1F;
    at[9] = 0x1F;
    std::memcpy(at + 10, marker.data(), marker.size());
}

void storePointer(std::uint8_t* at, const std::uint8_t* target) { std::memcpy(at, &target, 8); }

// An entry a correct search would accept, were the region taken.
void writeLookalike(std::uint8_t* region, const std::string& marker, const ChatLog& log) {
    writeMarkerEntry(region + kFirstEntry, now() - 60, marker);
    storePointer(region + kPointers, region + kFirstEntry);
    log.storeFirstEntryAddress(region + kPointers + 0x100);
}

// A first occurrence that must be refused, and a good one behind it that
// must never be looked at.
void writeBadThenGood(std::uint8_t* region, std::uint32_t badTime, const std::string& marker) {
    writeMarkerEntry(region + kFirstEntry, badTime, marker);
    writeMarkerEntry(region + kSecondEntry, now() - 60, marker);
    storePointer(region + kPointers, region + kFirstEntry);
    storePointer(region + kPointers + 8, region + kSecondEntry);
}

}  // namespace

bool Decoys::mapView() {
    HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kDecoyBytes, nullptr);
    if (mapping == nullptr) return false;
    mapped_ = static_cast<std::uint8_t*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, kDecoyBytes));
    CloseHandle(mapping);  // the view keeps the section alive
    return mapped_ != nullptr;
}

bool Decoys::carve(Arena& arena) {
    startsTooSoon_ = arena.commitNew(kDecoyBytes);
    tooEarly_ = arena.commitNew(kDecoyBytes);
    inFuture_ = arena.commitNew(kDecoyBytes);
    guarded_ = arena.commitNew(kDecoyBytes);
    return startsTooSoon_ && tooEarly_ && inFuture_ && guarded_;
}

void Decoys::write(const std::string& marker, const ChatLog& log) {
    // The marker 5 bytes in: no room for an entry head before it.
    startsTooSoon_[5] = 0x1F;
    startsTooSoon_[6] = 0x1F;
    std::memcpy(startsTooSoon_ + 7, marker.data(), marker.size());
    writeMarkerEntry(startsTooSoon_ + kSecondEntry, now() - 60, marker);
    storePointer(startsTooSoon_ + kPointers, startsTooSoon_ + kSecondEntry);

    writeBadThenGood(tooEarly_, kBefore2013, marker);
    writeBadThenGood(inFuture_, now() + kOneYear, marker);

    if (mapped_ != nullptr) writeLookalike(mapped_, marker, log);
    writeLookalike(imageDecoy, marker, log);
    writeLookalike(guarded_, marker, log);
    DWORD previous = 0;
    VirtualProtect(guarded_, kDecoyBytes, PAGE_READWRITE | PAGE_GUARD, &previous);
}

}  // namespace gamesim
