// The chat log locator over an address space the input scripts: regions of
// any kind, marker lines behind times of any value, copies of pointers to
// them (right, near misses, stale), unreadable spans, a search that is told
// to stop. Whatever it finds must be a pointer to a marker entry of a
// plausible time, and the search must end within a bounded number of reads.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fuzzer/FuzzedDataProvider.h>
#include <string>
#include <vector>

#include "fakes/fake_clock.h"
#include "fakes/fake_process_image.h"
#include "fakes/recording_status_sink.h"
#include "gamelog/chat_log_locator.h"

namespace tidemark {
namespace {

// Small "pages" keep every execution cheap; the locator does not care about
// the real page size.
constexpr std::uint64_t kPage = 0x100;
constexpr int kMaxRegions = 8;
constexpr int kMaxWrites = 24;
// 2013-09-27, safely before the earliest entry time the locator accepts in
// any time zone.
constexpr std::int64_t kBeforeEarliest = 1380240000;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

std::uint32_t pickTime(FuzzedDataProvider& input, std::int64_t now) {
    switch (input.ConsumeIntegralInRange(0, 3)) {
        case 0: return static_cast<std::uint32_t>(now);
        case 1: return static_cast<std::uint32_t>(static_cast<std::uint64_t>(now) + 1);
        case 2: return 1400000000;
        default: return input.ConsumeIntegral<std::uint32_t>();
    }
}

std::uint32_t readLittleU32(const std::uint8_t* bytes) {
    return std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 | std::uint32_t{bytes[2]} << 16 |
           std::uint32_t{bytes[3]} << 24;
}

std::uint64_t readLittleU64(const std::uint8_t* bytes) {
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = value << 8 | bytes[i];
    return value;
}

}  // namespace
}  // namespace tidemark

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tidemark;
    FuzzedDataProvider input(data, size);
    static const std::string kMarkers[] = {"\x1f\x1fhello", "\x1f\x1f", "\x1f\x1f\x1f\x1f\x1f"};
    const std::string marker = input.ConsumeBool() ? kMarkers[input.ConsumeIntegralInRange(0, 2)]
                                                   : input.ConsumeRandomLengthString(12);
    FakeClock clock(input.ConsumeBool() ? 1700000000 : input.ConsumeIntegral<std::int64_t>());

    FakeProcessImage image;
    if (input.ConsumeIntegralInRange(0, 7) == 0)
        image.setAddressRange(input.ConsumeIntegral<std::uint32_t>(), input.ConsumeIntegral<std::uint32_t>());

    std::vector<MemoryRegion> regions;
    std::uint64_t next = 0x10000;
    for (int n = input.ConsumeIntegralInRange(1, kMaxRegions); n > 0; --n) {
        next += kPage * input.ConsumeIntegralInRange(0, 3);
        const std::uint64_t length = kPage * input.ConsumeIntegralInRange(1, 4);
        static const std::uint32_t protects[] = {kPageReadWrite, 0x02, kPageReadWrite | kPageGuard, 0x40};
        static const std::uint32_t types[] = {kMemPrivate, kMemMapped, kMemImage};
        const std::uint32_t protect = input.ConsumeIntegralInRange(0, 3) == 0 ? protects[input.ConsumeIntegralInRange(1, 3)]
                                                                              : kPageReadWrite;
        const std::uint32_t type = input.ConsumeIntegralInRange(0, 3) == 0 ? types[input.ConsumeIntegralInRange(1, 2)]
                                                                           : kMemPrivate;
        // Live memory is seldom all zeros; zeros would make every position a
        // candidate of the pointer search and slow the fuzzing to a crawl.
        image.addRegion(next, length, protect, type)
            .bytes.assign(length, input.ConsumeIntegralInRange(0, 7) == 0 ? 0 : 0x5A);
        regions.push_back(MemoryRegion{next, length, protect, type, kMemCommit});
        next += length;
    }

    // The script: marker entries, pointers to the last one (or near it),
    // stray bytes and unreadable spans.
    std::uint64_t lastEntry = regions.front().BaseAddress;
    for (int n = input.ConsumeIntegralInRange(0, kMaxWrites); n > 0 && input.remaining_bytes() > 0; --n) {
        const MemoryRegion& region = regions[input.ConsumeIntegralInRange<std::size_t>(0, regions.size() - 1)];
        const std::uint64_t at = region.BaseAddress + input.ConsumeIntegralInRange<std::uint64_t>(0, region.RegionSize - 1);
        const std::uint64_t room = region.BaseAddress + region.RegionSize - at;
        switch (input.ConsumeIntegralInRange(0, 4)) {
            case 0: {
                std::string entry(8, '\0');
                const std::uint32_t time = pickTime(input, clock.now());
                std::memcpy(entry.data(), &time, 4);
                entry += marker;
                entry += input.ConsumeRandomLengthString(8);
                entry.resize(std::min<std::uint64_t>(entry.size(), room));
                image.writeBytes(at, entry.data(), entry.size());
                lastEntry = at;
                break;
            }
            case 1:
            case 2:
                if (room >= 8)
                    image.writeU64(at, lastEntry + input.ConsumeIntegralInRange<std::int64_t>(-1, 1) *
                                                       (input.ConsumeBool() ? 1 : 8));
                break;
            case 3: {
                std::string bytes = input.ConsumeRandomLengthString(32);
                bytes.resize(std::min<std::uint64_t>(bytes.size(), room));
                image.writeBytes(at, bytes.data(), bytes.size());
                break;
            }
            default: image.markUnreadable(at, input.ConsumeIntegralInRange<std::uint64_t>(1, 3 * kPage));
        }
    }

    RecordingStatusSink status;
    const int stopAfter = input.ConsumeBool() ? -1 : input.ConsumeIntegralInRange(0, 40);
    int checks = 0;
    LocatorInputs inputs;
    inputs.marker = marker;
    inputs.status = input.ConsumeBool() ? &status : nullptr;
    inputs.keepSearching = [&] { return stopAfter < 0 || checks++ < stopAfter; };
    inputs.clock = &clock;

    const std::optional<ChatLogAddresses> found = locateChatLog(image, inputs);

    // Every region is listed once, searched once for the marker and at most
    // once per marker region for the pointer; each pointer copy met on the
    // way is checked as a header with at most six reads (count, two
    // pointers, table, and the text up to its first short piece).
    std::uint64_t copies = 0;
    for (const MemoryRegion& region : regions) {
        std::vector<std::uint8_t> bytes(region.RegionSize);
        const std::uint64_t got = image.readMemory(region.BaseAddress, bytes.data(), bytes.size());
        for (std::uint64_t at = 0; at + 8 <= got; ++at) {
            const std::uint64_t value = readLittleU64(bytes.data() + at);
            for (const MemoryRegion& target : regions)
                if (value >= target.BaseAddress && value < target.BaseAddress + target.RegionSize) ++copies;
        }
    }
    const std::uint64_t bound = regions.size() * (regions.size() + 2) + 4 + 6 * regions.size() * copies +
                                regions.size();  // the scan above
    if (image.readCalls() > bound) fail("too many reads");
    if (!found) return 0;
    if (marker.empty()) fail("found a log without a marker");
    if (!found->located() || found->textBufferSlot - found->offsetTableSlot != 0x18 ||
        found->textBufferSlot - found->entryCountAddress != 0x4C)
        fail("header addresses do not fit together");

    std::uint8_t pointer[8];
    if (image.readMemory(found->textBufferSlot, pointer, 8) != 8) fail("slot unreadable");
    const std::uint64_t entry = readLittleU64(pointer);
    std::vector<std::uint8_t> head(8 + marker.size());
    if (image.readMemory(entry, head.data(), head.size()) != head.size()) fail("entry unreadable");
    if (std::memcmp(head.data() + 8, marker.data(), marker.size()) != 0) fail("entry is not the marker");
    const std::int64_t time = readLittleU32(head.data());
    if (time < kBeforeEarliest || time > clock.now()) fail("entry time implausible");
    bool candidate = false;
    for (const MemoryRegion& region : regions)
        if (region.BaseAddress <= found->textBufferSlot &&
            found->textBufferSlot + 8 <= region.BaseAddress + region.RegionSize &&
            region.Protect == kPageReadWrite && region.Type == kMemPrivate)
            candidate = true;
    if (!candidate) fail("pointer outside the private read-write regions");
    return 0;
}
