// Finding the game's chat log: walk the game's address space, find the marker
// line in a private read-write region, then the header pointer that points at
// that line's entry.
#include "gamelog/chat_log_locator.h"

#include <ctime>

#include "gamelog/region_search.h"
#include "texts/texts.h"

namespace tidemark {

std::int32_t searchCounter = 0;

namespace {

// An entry's time and code stand in front of its line.
constexpr std::size_t kEntryHeadSize = 8;
constexpr int kRegionsPerProgressStep = 10;
constexpr int kProgressSteps = 10;

// Entries cannot be older than the game's log format.
std::int64_t earliestEntryTime() {
    std::tm start{};
    start.tm_year = 2013 - 1900;
    start.tm_mon = 9 - 1;
    start.tm_mday = 29;
    start.tm_isdst = 0;
    return static_cast<std::int64_t>(std::mktime(&start));
}

std::uint32_t loadU32(const std::uint8_t* bytes) {
    return std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 | std::uint32_t{bytes[2]} << 16 |
           std::uint32_t{bytes[3]} << 24;
}

void storeU64(std::uint8_t* bytes, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

bool isCandidateRegion(const MemoryRegion& region) {
    return region.Type == kMemPrivate && region.Protect == kPageReadWrite;
}

// Whether `size` bytes from `address` lie in one region the search looks in.
bool inCandidateRegion(const ProcessMemory& process, std::uint64_t address, std::uint64_t size) {
    MemoryRegion region;
    return process.queryRegion(address, region) && isCandidateRegion(region) && address >= region.BaseAddress &&
           address - region.BaseAddress + size <= region.RegionSize;
}

bool acceptedEntryTime(std::int64_t time, std::int64_t earliest, Clock& clock) {
    return time >= earliest && time <= clock.now();
}

// The search shows it is alive: one more full stop every tenth region,
// starting again with none after a hundred.
void countSearchedRegion(StatusSink& status) {
    ++searchCounter;
    if (searchCounter % kRegionsPerProgressStep != 0) return;
    int dots = searchCounter / kRegionsPerProgressStep % kProgressSteps;
    status.setStatus(LoadTextW(kTextSearchingLogs) + std::u16string(static_cast<std::size_t>(dots), u'.'));
}

// Where the game's header holds its pointer to `entry`: the first place, in
// region order, that holds its 8 bytes and reads as a log header. Copies that
// do not (freed storage, temporaries) are passed over; otherwise the same
// stale copy would be found on every search, ahead of the real header.
std::optional<std::uint64_t> findHeaderPointingAt(std::uint64_t entry, const ProcessMemory& process,
                                                  const std::vector<MemoryRegion>& regions, RegionSearch& search,
                                                  const std::function<bool()>& keepSearching, SearchPacer& pacer) {
    std::uint8_t pointer[8];
    storeU64(pointer, entry);
    for (const MemoryRegion& region : regions) {
        pacer.step();
        for (std::uint64_t from = 0;;) {
            if (!keepSearching()) return std::nullopt;
            const RegionHit hit = search.find(process, region, pointer, sizeof pointer, 0, from);
            if (!hit.found()) break;
            const std::uint64_t slot = region.BaseAddress + hit.offset;
            // The bytes may have been kept from the marker search: the
            // pointer must still be there.
            if (process.readPointer(slot) == entry && readsAsLogHeader(process, chatLogAt(slot))) return slot;
            from = hit.offset + 1;
        }
    }
    return std::nullopt;
}

}  // namespace

std::vector<MemoryRegion> listCandidateRegions(const ProcessMemory& process,
                                               const std::function<bool()>& keepGoing) {
    std::vector<MemoryRegion> regions;
    const std::uint64_t highest = process.maximumApplicationAddress();
    std::uint64_t address = process.minimumApplicationAddress();
    MemoryRegion region;
    while ((!keepGoing || keepGoing()) && process.queryRegion(address, region)) {
        std::uint64_t end = region.BaseAddress + region.RegionSize;
        // A record that does not move the walk forward would repeat forever.
        if (end > highest || end <= address) break;
        address = end;
        if (isCandidateRegion(region)) regions.push_back(region);
    }
    return regions;
}

std::optional<ChatLogAddresses> confirmChatLogAt(const ProcessMemory& process, std::uint64_t slot, Clock* clock) {
    if (slot < kEntryCountDistance || !inCandidateRegion(process, slot, 8)) return std::nullopt;
    const ChatLogAddresses log = chatLogAt(slot);
    if (!readsAsLogHeader(process, log)) return std::nullopt;
    const std::uint64_t entry = process.readPointer(slot);
    if (!inCandidateRegion(process, entry, kEntryHeadSize)) return std::nullopt;
    std::uint8_t time[4];
    if (process.readMemory(entry, time, sizeof time) < sizeof time) return std::nullopt;
    if (!acceptedEntryTime(loadU32(time), earliestEntryTime(), clock != nullptr ? *clock : systemClock()))
        return std::nullopt;
    return log;
}

std::optional<ChatLogAddresses> locateChatLog(const ProcessMemory& process, const LocatorInputs& inputs) {
    Clock& clock = inputs.clock != nullptr ? *inputs.clock : systemClock();
    if (inputs.marker.empty()) return std::nullopt;
    std::optional<SearchPacer> ownPacer;
    if (inputs.pacer == nullptr) ownPacer.emplace(clock);
    SearchPacer& pacer = inputs.pacer != nullptr ? *inputs.pacer : *ownPacer;
    pacer.beginSearch();
    const std::function<bool()> keepSearching = [&] { return !inputs.keepSearching || inputs.keepSearching(); };
    // Under Wine every query is a round trip to the game process, so a
    // listing of thousands of regions is work to pace like the reads.
    const std::vector<MemoryRegion> regions = listCandidateRegions(process, [&] {
        pacer.step();
        return keepSearching();
    });
    const auto* marker = reinterpret_cast<const std::uint8_t*>(inputs.marker.data());

    const std::int64_t earliest = earliestEntryTime();
    RegionSearch search(inputs.pieceSize);
    // Small regions are read once per search, whichever pass needs them.
    std::optional<SmallRegionCache> ownKept;
    if (inputs.kept == nullptr) ownKept.emplace();
    SmallRegionCache& kept = inputs.kept != nullptr ? *inputs.kept : *ownKept;
    kept.clear();
    search.useCache(&kept);
    // The first marker line of each region, checked for the head of a
    // plausible entry, then the pointer to that entry.
    for (const MemoryRegion& region : regions) {
        pacer.step();
        if (!keepSearching()) break;
        if (inputs.status != nullptr) countSearchedRegion(*inputs.status);

        RegionHit hit = search.find(process, region, marker, inputs.marker.size(), kEntryHeadSize);
        if (!hit.readable) continue;

        if (hit.found() && hit.offset >= kEntryHeadSize) {
            std::int64_t entryTime = loadU32(hit.bytes - kEntryHeadSize);
            if (acceptedEntryTime(entryTime, earliest, clock)) {
                // The only pointer the game keeps to this entry is the
                // header's text-buffer pointer, if the entry is the first of
                // the current buffer.
                std::uint64_t entry = region.BaseAddress + hit.offset - kEntryHeadSize;
                pacer.hurry(true);
                const auto slot = findHeaderPointingAt(entry, process, regions, search, keepSearching, pacer);
                pacer.hurry(false);
                if (slot) {
                    kept.release();
                    return chatLogAt(*slot);
                }
            }
        }
    }
    return std::nullopt;
}

}  // namespace tidemark
