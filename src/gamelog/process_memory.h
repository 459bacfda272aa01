#pragma once
// Read-only access to another process's memory, and the byte search that is
// the only matching primitive of the game log access.

#include <cstddef>
#include <cstdint>
#include <optional>

namespace tidemark {

// The fields of the platform's region record that the locator uses.
struct MemoryRegion {
    std::uint64_t BaseAddress = 0;
    std::uint64_t RegionSize = 0;
    std::uint32_t Protect = 0;
    std::uint32_t Type = 0;
    std::uint32_t State = 0;
};

inline constexpr std::uint32_t kPageReadWrite = 0x04;
inline constexpr std::uint32_t kPageGuard = 0x100;
inline constexpr std::uint32_t kMemPrivate = 0x20000;
inline constexpr std::uint32_t kMemMapped = 0x40000;
inline constexpr std::uint32_t kMemImage = 0x1000000;
inline constexpr std::uint32_t kMemCommit = 0x1000;
inline constexpr std::uint32_t kMemReserve = 0x2000;
inline constexpr std::uint32_t kMemFree = 0x10000;

// Which process this is. Process ids are reused once a process has ended; an
// id together with the process's creation time names one process only.
struct ProcessIdentity {
    std::uint32_t processId = 0;
    std::uint64_t creationTime = 0;  // in the platform's units

    friend bool operator==(const ProcessIdentity&, const ProcessIdentity&) = default;
};

// One opened process, readable and queryable. Implementations own their
// platform handle and release it when destroyed. Nothing here ever writes.
class ProcessMemory {
public:
    virtual ~ProcessMemory() = default;

    virtual std::uint64_t minimumApplicationAddress() const = 0;
    virtual std::uint64_t maximumApplicationAddress() const = 0;
    // The region containing `address` (free and reserved areas included);
    // false past the last region or on failure.
    virtual bool queryRegion(std::uint64_t address, MemoryRegion& region) const = 0;
    // One raw read; the number of leading bytes actually copied.
    virtual std::uint64_t readMemory(std::uint64_t address, void* buffer, std::uint64_t size) const = 0;
    // Nothing when the platform cannot tell (then nothing learnt about this
    // process can be matched to it later).
    virtual std::optional<ProcessIdentity> identity() const { return std::nullopt; }

    // -1 when fewer than 4 bytes could be read.
    std::int32_t readU32(std::uint64_t address) const;
    // All ones when fewer than 8 bytes could be read.
    std::uint64_t readPointer(std::uint64_t address) const;
};

inline constexpr std::size_t kNotFound = static_cast<std::size_t>(-1);

// Lowest position of `pattern` in `data`, or kNotFound. An empty pattern
// occurs at position 0.
std::size_t findBytes(const std::uint8_t* pattern, std::size_t patternLength,
                      const std::uint8_t* data, std::size_t dataLength);

}  // namespace tidemark
