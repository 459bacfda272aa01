// The chat log locator, two ways:
// - most inputs build a game that has a valid log, with traps around it (a
//   marker too early in its region, markers of impossible times with
//   headers pointing at them, stale copies of the entry's address, good
//   entries and pointers in regions the search must not take), in regions
//   several pieces long, so that entries and pointers straddle piece
//   boundaries: the search must find exactly the real header;
// - the others script an address space freely: regions of any kind, marker
//   lines behind times of any value, copies of pointers to them (right,
//   near misses, stale), unreadable spans, a search that is told to stop.
//   Whatever it finds must be a pointer to a marker entry of a plausible
//   time, and the search must end within a bounded number of reads.

#include <algorithm>
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

std::string littleEndian(std::uint64_t value, int width) {
    std::string bytes(static_cast<std::size_t>(width), '\0');
    for (int i = 0; i < width; ++i) bytes[static_cast<std::size_t>(i)] = static_cast<char>(value >> (8 * i));
    return bytes;
}

// A game with one valid log and traps around it; the locator must find the
// log's header and nothing else.
void fuzzValidLog(FuzzedDataProvider& input) {
    constexpr std::int64_t kNow = 1700000000;
    constexpr std::uint64_t kCell = 0x80;  // every laid-out thing gets a cell of its own
    constexpr std::uint64_t kTable = 0x7000000;
    static const std::string kMarkers[] = {"\x1f\x1fhello", "\x1f\x1fLogStart", "\x1f\x1f" "A1"};
    const std::string& marker = kMarkers[input.ConsumeIntegralInRange(0, 2)];
    FakeClock clock(kNow);
    FakeProcessImage image;
    image.addRegion(kTable, 0x10000, 0x02).bytes.assign(0x10000, 0);

    // Candidate regions, with now and then one the search must pass over.
    struct Candidate {
        std::uint64_t base, cells;
        std::vector<bool> used;
    };
    std::vector<Candidate> regions;
    std::vector<std::uint64_t> forbidden;  // bases of regions that are not private read-write
    std::uint64_t next = 0x10000;
    for (int n = input.ConsumeIntegralInRange(1, 6); n > 0; --n) {
        if (input.ConsumeIntegralInRange(0, 3) == 0) {
            static const std::pair<std::uint32_t, std::uint32_t> kinds[] = {
                {kPageReadWrite | kPageGuard, kMemPrivate}, {kPageReadWrite, kMemMapped}, {kPageReadWrite, kMemImage}};
            const auto& [protect, type] = kinds[input.ConsumeIntegralInRange(0, 2)];
            image.addRegion(next, 4 * kCell, protect, type).bytes.assign(4 * kCell, 0x5A);
            forbidden.push_back(next);
            next += 4 * kCell + kPage;
        }
        const std::uint64_t cells = input.ConsumeIntegralInRange<std::uint64_t>(2, 40);
        image.addRegion(next, cells * kCell).bytes.assign(cells * kCell, 0x5A);
        regions.push_back({next, cells, std::vector<bool>(cells, false)});
        next += cells * kCell + kPage * input.ConsumeIntegralInRange(0, 2);
    }
    // A free cell of region `r` at or after cell `from`; 0 when none.
    auto takeCell = [&](std::size_t r, std::uint64_t from = 0) -> std::uint64_t {
        Candidate& region = regions[r];
        for (std::uint64_t i = 0; i < region.cells; ++i) {
            const std::uint64_t cell = (from + i * 7 + input.ConsumeIntegralInRange<std::uint64_t>(0, 3)) % region.cells;
            if (cell < from || region.used[cell]) continue;
            region.used[cell] = true;
            return region.base + cell * kCell;
        }
        return 0;
    };
    auto pick = [&] { return input.ConsumeIntegralInRange<std::size_t>(0, regions.size() - 1); };

    // The log: its marker entry (first occurrence of its region), its table
    // and its header; the slot at any byte of its cell that leaves room.
    const std::size_t logRegion = pick();
    const std::uint64_t entryCell = takeCell(logRegion);
    const std::uint64_t entry = entryCell + input.ConsumeIntegralInRange<std::uint64_t>(0, kCell - 8 - marker.size());
    const std::uint32_t time = input.ConsumeBool() ? static_cast<std::uint32_t>(kNow)
                                                   : input.ConsumeIntegralInRange<std::uint32_t>(1381000000, kNow);
    const std::string entryBytes = littleEndian(time, 4) + littleEndian(57, 4) + marker;
    image.writeBytes(entry, entryBytes.data(), entryBytes.size());
    const std::uint32_t room = static_cast<std::uint32_t>(regions[logRegion].base + regions[logRegion].cells * kCell - entry);
    const std::uint32_t entries = input.ConsumeIntegralInRange<std::uint32_t>(1, 8);
    const std::uint32_t firstEnd = static_cast<std::uint32_t>(entryBytes.size());
    const std::uint32_t lastEnd = std::min(room, firstEnd + 8 * (entries - 1));
    for (std::uint32_t k = 0; k < entries; ++k) image.writeU32(kTable + 4 * k, std::min(lastEnd, firstEnd + 8 * k));
    const std::int32_t count = static_cast<std::int32_t>(1000 * input.ConsumeIntegralInRange(0, 3) + entries);
    auto writeHeader = [&](std::uint64_t slot, std::int32_t headerCount, std::uint64_t table, std::uint64_t pointee) {
        image.writeU32(slot - 0x4C, static_cast<std::uint32_t>(headerCount));
        image.writeU64(slot - 0x18, table);
        image.writeU64(slot, pointee);
    };
    auto slotIn = [&](std::uint64_t cell) { return cell + 0x4C + input.ConsumeIntegralInRange<std::uint64_t>(0, kCell - 0x4C - 8); };
    const std::size_t headerRegion = pick();
    const std::uint64_t headerCell = takeCell(headerRegion);
    if (entryCell == 0 || headerCell == 0) return;
    const std::uint64_t slot = slotIn(headerCell);
    writeHeader(slot, count, kTable, entry);

    // The traps.
    for (int n = input.ConsumeIntegralInRange(0, 12); n > 0 && input.remaining_bytes() > 0; --n) {
        const std::size_t r = pick();
        switch (input.ConsumeIntegralInRange(0, 4)) {
            case 0: {  // a marker of an impossible time, with a good header pointing at it
                if (r == logRegion) break;  // it would hide the real one
                const std::uint64_t cell = takeCell(r), holder = takeCell(pick());
                if (cell == 0 || holder == 0) break;
                const std::uint32_t bad = input.ConsumeBool()
                                              ? static_cast<std::uint32_t>(kNow + input.ConsumeIntegralInRange(1, 100000))
                                              : input.ConsumeIntegralInRange<std::uint32_t>(0, 1380000000);
                const std::string bytes = littleEndian(bad, 4) + littleEndian(57, 4) + marker;
                image.writeBytes(cell, bytes.data(), bytes.size());
                writeHeader(slotIn(holder), count, kTable, cell);
                break;
            }
            case 1: {  // a marker less than a head from its region's start: that region is done with
                if (r == logRegion || regions[r].used[0]) break;
                regions[r].used[0] = true;
                image.writeBytes(regions[r].base + input.ConsumeIntegralInRange(0, 7), marker.data(), marker.size());
                break;
            }
            case 2: {  // a stale copy of the entry's address: count 0, no table, or a table of zeros
                const std::uint64_t cell = takeCell(r);
                if (cell == 0) break;
                switch (input.ConsumeIntegralInRange(0, 2)) {
                    case 0: writeHeader(slotIn(cell), 0, kTable, entry); break;
                    case 1: writeHeader(slotIn(cell), count, 0, entry); break;
                    default: writeHeader(slotIn(cell), count, kTable + 0x8000, entry);
                }
                break;
            }
            case 3: {  // a good entry and pointer where the search must not look
                if (forbidden.empty()) break;
                const std::uint64_t at = forbidden[input.ConsumeIntegralInRange<std::size_t>(0, forbidden.size() - 1)];
                const std::string bytes = littleEndian(kNow, 4) + littleEndian(57, 4) + marker;
                image.writeBytes(at + kCell, bytes.data(), bytes.size());
                writeHeader(at + 2 * kCell + 0x4C, count, kTable, at + kCell);
                writeHeader(at + 3 * kCell + 0x4C, count, kTable, entry);
                break;
            }
            default: {  // a second good-looking marker after the first in the log's region
                const std::uint64_t cell = takeCell(logRegion, (entryCell - regions[logRegion].base) / kCell + 1);
                if (cell != 0) image.writeBytes(cell, entryBytes.data(), entryBytes.size());
            }
        }
    }

    LocatorInputs inputs;
    inputs.marker = marker;
    inputs.clock = &clock;
    inputs.pieceSize = input.ConsumeIntegralInRange<std::size_t>(24, 1024);
    RecordingStatusSink status;
    if (input.ConsumeBool()) inputs.status = &status;
    const std::optional<ChatLogAddresses> found = locateChatLog(image, inputs);
    if (!found) fail("the valid log was not found");
    if (found->textBufferSlot != slot) fail("a trap was taken for the log");
}

}  // namespace
}  // namespace tidemark

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tidemark;
    FuzzedDataProvider input(data, size);
    if (input.ConsumeIntegralInRange(0, 7) != 0) {
        fuzzValidLog(input);
        return 0;
    }
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
