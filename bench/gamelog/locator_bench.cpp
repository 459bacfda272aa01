// The chat log locator over a game image of 2 GiB in 4000 private read-write
// regions, with the pauses between regions taken out: how much CPU the
// search adds to the reads it cannot avoid, and how much memory it needs.
//
// The image's bytes come from a 256 MiB store (larger than any cache). Its
// reads either copy with memcpy, the cheapest a read can ever be, or go
// through the system's cross-process read (ReadProcessMemory on Windows,
// process_vm_readv on Linux) on the benchmark's own memory, which is what a
// read of the game costs.

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "bench_clock.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/uio.h>
#include <unistd.h>
#endif
#include "fakes/fake_clock.h"
#include "gamelog/chat_log_locator.h"

using namespace tidemark;
using namespace tidemark::bench;

// ---- heap accounting: the locator's own allocations, byte-exact ----------
namespace {
std::atomic<std::int64_t> liveHeap{0};
std::atomic<std::int64_t> peakHeap{0};

void* allocate(std::size_t size) {
    // The size sits in front of the block so that delete can subtract it.
    auto* block = static_cast<std::size_t*>(std::malloc(size + 16));
    if (block == nullptr) throw std::bad_alloc();
    *block = size;
    std::int64_t live = liveHeap += static_cast<std::int64_t>(size);
    std::int64_t peak = peakHeap.load();
    while (live > peak && !peakHeap.compare_exchange_weak(peak, live)) {
    }
    return reinterpret_cast<char*>(block) + 16;
}
void release(void* pointer) {
    if (pointer == nullptr) return;
    auto* block = reinterpret_cast<std::size_t*>(static_cast<char*>(pointer) - 16);
    liveHeap -= static_cast<std::int64_t>(*block);
    std::free(block);
}
}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }

namespace {

constexpr std::uint64_t kImageSize = std::uint64_t{2} << 30;
constexpr std::uint64_t kRegionCount = 4000;
constexpr std::uint64_t kFirstRegion = 0x10000000;
constexpr std::size_t kStoreSize = std::size_t{256} << 20;
constexpr std::int64_t kNow = 1700000000;
const std::string kKeyword = "LogStart";

// A game image whose bytes come from a shared store of log-like text, with a
// few bytes laid over it (the marker entry and the header pointer).
class SyntheticImage : public ProcessMemory {
public:
    SyntheticImage(std::uint64_t regionCount, std::uint64_t regionSize)
        : regionCount_(regionCount),
          regionSize_(regionSize),
          regionStride_(regionSize + 0x10000),  // free gaps between regions
          store_(std::make_unique_for_overwrite<std::uint8_t[]>(kStoreSize)) {
        std::uint64_t state = 0x2545F4914F6CDD1Du;
        for (std::size_t i = 0; i < kStoreSize; ++i) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            store_[i] = static_cast<std::uint8_t>(0x20 + (state & 0xFF) % 95);
        }
        for (std::size_t i = 0; i < kStoreSize; i += 32 + (i * 2654435761u >> 7) % 64) store_[i] = 0x1F;
    }

    std::uint64_t regionCount() const { return regionCount_; }
    std::uint64_t regionSize() const { return regionSize_; }
    std::uint64_t regionBase(std::uint64_t index) const { return kFirstRegion + index * regionStride_; }

    void useSystemReads(bool on) { systemReads_ = on; }

    void lay(std::uint64_t address, std::string bytes) { overlays_.emplace_back(address, std::move(bytes)); }

    void recordReads(bool on) {
        if (on) reads_.clear();
        recording_ = on;
    }
    const std::vector<std::pair<std::uint64_t, std::uint64_t>>& reads() const { return reads_; }

    std::uint64_t minimumApplicationAddress() const override { return 0x10000; }
    std::uint64_t maximumApplicationAddress() const override { return 0x7FFFFFFEFFFF; }

    bool queryRegion(std::uint64_t address, MemoryRegion& region) const override {
        if (address < kFirstRegion) {
            region = {0, kFirstRegion, 0x01, 0, kMemFree};
            return true;
        }
        std::uint64_t index = (address - kFirstRegion) / regionStride_;
        std::uint64_t base = regionBase(index);
        if (index >= regionCount_) {
            std::uint64_t end = maximumApplicationAddress() + 1;
            if (address >= end) return false;
            region = {regionBase(regionCount_), end - regionBase(regionCount_), 0x01, 0, kMemFree};
        } else if (address < base + regionSize_) {
            region = {base, regionSize_, kPageReadWrite, kMemPrivate, kMemCommit};
        } else {
            region = {base + regionSize_, regionStride_ - regionSize_, 0x01, 0, kMemFree};
        }
        return true;
    }

    // Wall time spent inside reads since the last reset: measured within the
    // same run as the search, so load on the machine affects both alike.
    double readSeconds() const { return readSeconds_; }
    void resetReadSeconds() { readSeconds_ = 0; }

    std::uint64_t readMemory(std::uint64_t address, void* buffer, std::uint64_t size) const override {
        double start = wallSeconds();
        std::uint64_t copied = readAt(address, buffer, size);
        readSeconds_ += wallSeconds() - start;
        return copied;
    }

private:
    std::uint64_t readAt(std::uint64_t address, void* buffer, std::uint64_t size) const {
        if (recording_) reads_.emplace_back(address, size);
        if (address < kFirstRegion) return 0;
        std::uint64_t index = (address - kFirstRegion) / regionStride_;
        std::uint64_t base = regionBase(index);
        if (index >= regionCount_ || address + size > base + regionSize_ || size > kStoreSize / 2) return 0;
        std::uint64_t from = (index * 7919 * 4096 + (address - base)) % (kStoreSize - size);
        if (!copy(buffer, store_.get() + from, size)) return 0;
        for (const auto& [at, bytes] : overlays_) {
            std::uint64_t begin = std::max(at, address), end = std::min(at + bytes.size(), address + size);
            if (begin < end) std::memcpy(static_cast<std::uint8_t*>(buffer) + (begin - address),
                                         bytes.data() + (begin - at), end - begin);
        }
        return size;
    }

    const std::uint64_t regionCount_;
    const std::uint64_t regionSize_;
    const std::uint64_t regionStride_;

    bool copy(void* to, const std::uint8_t* from, std::uint64_t size) const {
        if (!systemReads_) {
            std::memcpy(to, from, size);
            return true;
        }
#if defined(_WIN32)
        SIZE_T copied = 0;
        ReadProcessMemory(GetCurrentProcess(), from, to, size, &copied);
        return copied == size;
#else
        iovec local{to, size};
        iovec remote{const_cast<std::uint8_t*>(from), size};
        return process_vm_readv(getpid(), &local, 1, &remote, 1, 0) == static_cast<ssize_t>(size);
#endif
    }

    bool systemReads_ = false;
    std::unique_ptr<std::uint8_t[]> store_;
    std::vector<std::pair<std::uint64_t, std::string>> overlays_;
    bool recording_ = false;
    mutable std::vector<std::pair<std::uint64_t, std::uint64_t>> reads_;
    mutable double readSeconds_ = 0;
};

std::string littleEndian(std::uint64_t value, int width) {
    std::string bytes(static_cast<std::size_t>(width), '\0');
    for (int i = 0; i < width; ++i) bytes[static_cast<std::size_t>(i)] = static_cast<char>(value >> (8 * i));
    return bytes;
}

void run(const char* title, const std::shared_ptr<SyntheticImage>& image) {
    FakeClock clock(kNow);  // no pauses
    const std::string marker = "\x1F\x1F" + kKeyword;
    LocatorInputs inputs;
    inputs.marker = marker;
    inputs.clock = &clock;

    // Reads of the whole run, recorded up front so that recording costs
    // nothing while the search is timed.
    image->recordReads(true);
    locateChatLog(*image, inputs);
    image->recordReads(false);

    // The region list is working state of the walk, not search memory:
    // its own peak is shown apart.
    std::int64_t heapBefore = liveHeap.load();
    peakHeap = heapBefore;
    const std::size_t regionCount = listCandidateRegions(*image, {}).size();
    const std::int64_t listPeak = peakHeap.load() - heapBefore;

    heapBefore = liveHeap.load();
    peakHeap = heapBefore;
    ResidentMemory residentBefore = residentMemory();
    image->resetReadSeconds();
    double cpuStart = cpuSeconds(), wallStart = wallSeconds();
    const bool located = locateChatLog(*image, inputs).has_value();
    double locateCpu = cpuSeconds() - cpuStart, locateWall = wallSeconds() - wallStart;
    double insideReads = image->readSeconds();
    ResidentMemory residentAfter = residentMemory();
    const std::int64_t heapPeak = peakHeap.load() - heapBefore;

    std::uint64_t largest = 0, total = 0;
    for (const auto& read : image->reads()) {
        largest = std::max(largest, read.second);
        total += read.second;
    }
    auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(largest);
    std::memset(buffer.get(), 0, largest);
    cpuStart = cpuSeconds();
    wallStart = wallSeconds();
    for (const auto& [address, size] : image->reads()) image->readMemory(address, buffer.get(), size);
    double readsCpu = cpuSeconds() - cpuStart, readsWall = wallSeconds() - wallStart;

    std::printf("%s\n", title);
    std::printf("  located: %s, candidate regions: %zu, reads: %zu calls, %.2f GiB\n", located ? "yes" : "no",
                regionCount, image->reads().size(), static_cast<double>(total) / (1u << 30));
    std::printf("  locate: %.3f s CPU, %.3f s wall; reads alone: %.3f s CPU, %.3f s wall\n", locateCpu, locateWall,
                readsCpu, readsWall);
    std::printf("  search overhead: %.1f %% of the read time by CPU (separate runs)\n",
                100.0 * (locateCpu - readsCpu) / readsCpu);
    // Under Wine the copy of a cross-process read runs in wineserver, whose
    // time the process's CPU time does not include; this figure holds there.
    std::printf("  within the locate: %.3f s in reads, %.3f s besides: %.1f %% of the read time\n", insideReads,
                locateWall - insideReads, 100.0 * (locateWall - insideReads) / insideReads);
    std::printf("  peak heap of the search: %.1f MiB (the region list alone: %.2f MiB)",
                static_cast<double>(heapPeak) / (1 << 20), static_cast<double>(listPeak) / (1 << 20));
    if (residentAfter.peak >= residentBefore.current)
        std::printf("; resident peak above idle: %.1f MiB",
                    static_cast<double>(residentAfter.peak - residentBefore.current) / (1 << 20));
    std::printf("\n");
}

void describe(const SyntheticImage& image) {
    std::printf("image: %llu regions of %llu KiB = %.2f GiB\n", static_cast<unsigned long long>(image.regionCount()),
                static_cast<unsigned long long>(image.regionSize() / 1024),
                static_cast<double>(image.regionCount() * image.regionSize()) / (1u << 30));
}

}  // namespace

int main() {
    auto image = std::make_shared<SyntheticImage>(kRegionCount, kImageSize / kRegionCount / 4096 * 4096);
    describe(*image);
    run("marker absent, memcpy reads (every region read and searched once):", image);
    image->useSystemReads(true);
    run("marker absent, system reads:", image);

    // The marker entry and its header pointer both in the last region: the
    // pointer search then reads every region a second time.
    std::uint64_t last = image->regionBase(kRegionCount - 1);
    std::uint64_t entry = last + 0x1000;
    const std::string markerEntry =
        littleEndian(kNow - 60, 4) + littleEndian(57, 4) + "\x1F\x1F" + kKeyword + "\x1F";
    image->lay(entry, markerEntry);
    // A header of one entry: count, offset table (with that entry's end) and
    // the text-buffer pointer.
    const std::uint64_t slot = last + 0x3001, table = last + 0x5000;
    image->lay(slot - 0x4C, littleEndian(1, 4));
    image->lay(slot - 0x18, littleEndian(table, 8));
    image->lay(slot, littleEndian(entry, 8));
    image->lay(table, littleEndian(markerEntry.size(), 4));
    run("marker and pointer in the last region, system reads (every region read twice):", image);

    // Memory stays bounded whatever the size of a region.
    image.reset();
    auto huge = std::make_shared<SyntheticImage>(2, std::uint64_t{1} << 30);
    huge->useSystemReads(true);
    describe(*huge);
    run("marker absent, system reads, regions far larger than one piece:", huge);
    return 0;
}
