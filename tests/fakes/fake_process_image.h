#pragma once
// A process address space in memory, for tests of everything that reads the
// game through ProcessMemory. Regions carry the attributes the locator
// filters on and their bytes; spans can be made unreadable so that partial
// reads (which Wine never produces) can be tested. Gaps between regions are
// answered as free regions, so a walk from the minimum address covers the
// whole range as it does on Windows.

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iterator>
#include <map>
#include <stdexcept>
#include <utility>
#include <vector>

#include "gamelog/process_memory.h"

namespace tidemark {

class FakeProcessImage : public ProcessMemory {
public:
    struct Region {
        MemoryRegion record;
        std::vector<std::uint8_t> bytes;  // empty until written: reads as zeros
    };

    FakeProcessImage() = default;

    void setAddressRange(std::uint64_t minimum, std::uint64_t maximum) {
        minimum_ = minimum;
        maximum_ = maximum;
    }

    // A committed region; overlapping an existing one is a test bug.
    Region& addRegion(std::uint64_t base, std::uint64_t size, std::uint32_t protect = kPageReadWrite,
                      std::uint32_t type = kMemPrivate, std::uint32_t state = kMemCommit) {
        if (size == 0) throw std::logic_error("empty region");
        auto next = regions_.lower_bound(base);
        if ((next != regions_.end() && next->first < base + size) ||
            (next != regions_.begin() && endOf(std::prev(next)->second) > base))
            throw std::logic_error("overlapping regions");
        Region& region = regions_[base];
        region.record = MemoryRegion{base, size, protect, type, state};
        return region;
    }

    // Reads stop at the first byte of this span.
    void markUnreadable(std::uint64_t address, std::uint64_t size) {
        unreadable_.emplace_back(address, address + size);
    }

    void writeBytes(std::uint64_t address, const void* data, std::size_t size) {
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        while (size > 0) {
            Region* region = regionAt(address);
            if (region == nullptr) throw std::logic_error("write outside every region");
            std::uint64_t offset = address - region->record.BaseAddress;
            if (region->bytes.empty()) region->bytes.resize(region->record.RegionSize);
            std::size_t n = static_cast<std::size_t>(
                std::min<std::uint64_t>(size, region->record.RegionSize - offset));
            std::memcpy(region->bytes.data() + offset, bytes, n);
            address += n;
            bytes += n;
            size -= n;
        }
    }
    void writeU32(std::uint64_t address, std::uint32_t value) { writeLittleEndian(address, value, 4); }
    void writeU64(std::uint64_t address, std::uint64_t value) { writeLittleEndian(address, value, 8); }

    // The game has gone: every read copies nothing and every query fails.
    void exitProcess() { exited_ = true; }

    // Called before every read; lets a test act "during" a search.
    std::function<void(std::uint64_t address, std::uint64_t size)> beforeRead;

    std::uint64_t readCalls() const { return readCalls_; }
    std::uint64_t bytesRead() const { return bytesRead_; }

    std::uint64_t minimumApplicationAddress() const override { return minimum_; }
    std::uint64_t maximumApplicationAddress() const override { return maximum_; }

    bool queryRegion(std::uint64_t address, MemoryRegion& out) const override {
        if (exited_) return false;
        if (const Region* region = regionAt(address)) {
            out = region->record;
            return true;
        }
        // Free space up to the next region, or up to the end of the user
        // address space, just past the maximum application address.
        auto next = regions_.upper_bound(address);
        std::uint64_t start = next == regions_.begin() ? 0 : endOf(std::prev(next)->second);
        std::uint64_t end = next != regions_.end() ? next->first : maximum_ + 1;
        if (address >= end) return false;
        out = MemoryRegion{start, end - start, 0x01, 0, kMemFree};
        return true;
    }

    std::uint64_t readMemory(std::uint64_t address, void* buffer, std::uint64_t size) const override {
        if (beforeRead) beforeRead(address, size);
        ++readCalls_;
        if (exited_) return 0;
        auto* out = static_cast<std::uint8_t*>(buffer);
        std::uint64_t done = 0;
        while (done < size) {
            std::uint64_t at = address + done;
            const Region* region = regionAt(at);
            if (region == nullptr) break;
            std::uint64_t limit = std::min(endOf(*region), address + size);
            for (const auto& [from, to] : unreadable_) {
                if (from <= at && at < to) limit = at;
                else if (at < from && from < limit) limit = from;
            }
            if (limit == at) break;
            std::uint64_t n = limit - at;
            std::uint64_t offset = at - region->record.BaseAddress;
            if (region->bytes.empty())
                std::memset(out + done, 0, n);
            else
                std::memcpy(out + done, region->bytes.data() + offset, n);
            done += n;
        }
        bytesRead_ += done;
        return done;
    }

private:
    static std::uint64_t endOf(const Region& region) {
        return region.record.BaseAddress + region.record.RegionSize;
    }

    const Region* regionAt(std::uint64_t address) const {
        auto it = regions_.upper_bound(address);
        if (it == regions_.begin()) return nullptr;
        --it;
        return address < endOf(it->second) ? &it->second : nullptr;
    }
    Region* regionAt(std::uint64_t address) {
        return const_cast<Region*>(std::as_const(*this).regionAt(address));
    }

    void writeLittleEndian(std::uint64_t address, std::uint64_t value, int width) {
        std::uint8_t bytes[8];
        for (int i = 0; i < width; ++i) bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
        writeBytes(address, bytes, static_cast<std::size_t>(width));
    }

    std::uint64_t minimum_ = 0x10000;
    std::uint64_t maximum_ = 0x7FFFFFFEFFFF;
    std::map<std::uint64_t, Region> regions_;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> unreadable_;
    bool exited_ = false;
    mutable std::atomic<std::uint64_t> readCalls_{0};
    mutable std::atomic<std::uint64_t> bytesRead_{0};
};

}  // namespace tidemark
