#include "gamelog/process_memory_win32.h"

#include <gtest/gtest.h>

#include <cstring>

namespace tidemark {
namespace {

// The test reads its own memory through a real process handle, as the
// capture reads the game's.
std::unique_ptr<ProcessMemory> openSelf() {
    return makeWin32ProcessMemory(
        OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, GetCurrentProcessId()));
}

class OwnAllocation {
public:
    explicit OwnAllocation(SIZE_T size, DWORD protect = PAGE_READWRITE)
        : size_(size), bytes_(static_cast<std::uint8_t*>(VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, protect))) {}
    ~OwnAllocation() { VirtualFree(bytes_, 0, MEM_RELEASE); }
    std::uint8_t* bytes() const { return bytes_; }
    std::uint64_t address() const { return reinterpret_cast<std::uint64_t>(bytes_); }
    SIZE_T size() const { return size_; }

private:
    SIZE_T size_;
    std::uint8_t* bytes_;
};

TEST(Win32ProcessMemory, DescribesAPrivateReadWriteRegion) {
    auto memory = openSelf();
    ASSERT_TRUE(memory);
    OwnAllocation allocation(0x30000);
    MemoryRegion region;
    const std::uint64_t inside = allocation.address() + 0x1234;
    ASSERT_TRUE(memory->queryRegion(inside, region));
    // Wine may split an allocation into several records; the one given
    // must hold the address and lie within the allocation.
    EXPECT_LE(allocation.address(), region.BaseAddress);
    EXPECT_LE(region.BaseAddress, inside);
    EXPECT_GT(region.BaseAddress + region.RegionSize, inside);
    EXPECT_LE(region.BaseAddress + region.RegionSize, allocation.address() + allocation.size());
    EXPECT_EQ(region.Protect, kPageReadWrite);
    EXPECT_EQ(region.Type, kMemPrivate);
    EXPECT_EQ(region.State, kMemCommit);

    OwnAllocation readOnly(0x10000, PAGE_READONLY);
    ASSERT_TRUE(memory->queryRegion(readOnly.address(), region));
    EXPECT_EQ(region.Protect, static_cast<std::uint32_t>(PAGE_READONLY));
}

TEST(Win32ProcessMemory, ReadsBytesAndValues) {
    auto memory = openSelf();
    ASSERT_TRUE(memory);
    OwnAllocation allocation(0x10000);
    const std::uint8_t pattern[] = {0x78, 0x56, 0x34, 0x12, 0xF0, 0xDE, 0xBC, 0x9A};
    std::memcpy(allocation.bytes() + 0x101, pattern, sizeof pattern);

    std::uint8_t copy[sizeof pattern] = {};
    EXPECT_EQ(memory->readMemory(allocation.address() + 0x101, copy, sizeof copy), sizeof copy);
    EXPECT_EQ(std::memcmp(copy, pattern, sizeof pattern), 0);
    EXPECT_EQ(memory->readU32(allocation.address() + 0x101), 0x12345678);
    EXPECT_EQ(memory->readPointer(allocation.address() + 0x101), 0x9ABCDEF012345678u);
}

TEST(Win32ProcessMemory, UnreadableAddressesGiveTheFailureValues) {
    auto memory = openSelf();
    ASSERT_TRUE(memory);
    // The page at address zero is never mapped.
    const std::uint64_t gone = 0x100;
    std::uint8_t byte = 0;
    EXPECT_EQ(memory->readMemory(gone, &byte, 1), 0u);
    EXPECT_EQ(memory->readU32(gone), -1);
    EXPECT_EQ(memory->readPointer(gone), ~std::uint64_t{0});
    EXPECT_EQ(memory->readMemory(~std::uint64_t{0}, &byte, 1), 0u);
}

TEST(Win32ProcessMemory, WalksTheWholeRangeWithoutGaps) {
    auto memory = openSelf();
    ASSERT_TRUE(memory);
    OwnAllocation allocation(0x20000);
    std::uint64_t address = memory->minimumApplicationAddress();
    MemoryRegion region;
    bool sawAllocation = false;
    int regions = 0;
    while (memory->queryRegion(address, region) && address <= memory->maximumApplicationAddress()) {
        ASSERT_LE(region.BaseAddress, address);
        ASSERT_GT(region.BaseAddress + region.RegionSize, address);
        sawAllocation = sawAllocation || region.BaseAddress == allocation.address();
        address = region.BaseAddress + region.RegionSize;
        ++regions;
    }
    EXPECT_TRUE(sawAllocation);
    EXPECT_GT(regions, 10);
}

}  // namespace
}  // namespace tidemark
