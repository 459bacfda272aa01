// Finding the game's chat log: walk the game's address space, find the marker
// line in a private read-write region, then the header pointer that points at
// that line's entry.

#include <atomic>
#include <ctime>
#include <functional>
#include <optional>
#include <vector>

#include "capture/capture_session.h"
#include "gamelog/region_search.h"
#include "shell/texts.h"

namespace tidemark {

std::int32_t searchCounter = 0;

namespace {

// Distances in the game's chat log header from the text-buffer pointer.
constexpr std::uint64_t kOffsetTableDistance = 0x18;
constexpr std::uint64_t kEntryCountDistance = 0x4C;
// An entry's time and code stand in front of its line.
constexpr std::size_t kEntryHeadSize = 8;
constexpr std::uint8_t kSeparator = 0x1F;
constexpr std::uint32_t kPauseAfterRegionMs = 10;
constexpr int kRegionsPerProgressStep = 10;
constexpr int kProgressSteps = 10;

// 0x1F 0x1F and the first keyword of pattern "1"; nothing when the document
// does not hold one, and then there is nothing to search for.
std::optional<std::vector<std::uint8_t>> markerPattern(const PatternDocument& patterns) {
    if (!patterns.IsObject()) return std::nullopt;
    auto pattern = patterns.FindMember("1");
    if (pattern == patterns.MemberEnd() || !pattern->value.IsObject()) return std::nullopt;
    auto keywords = pattern->value.FindMember("keyword");
    if (keywords == pattern->value.MemberEnd() || !keywords->value.IsArray() ||
        keywords->value.Empty() || !keywords->value[0].IsString())
        return std::nullopt;
    const auto& keyword = keywords->value[0];
    std::vector<std::uint8_t> bytes{kSeparator, kSeparator};
    const auto* text = reinterpret_cast<const std::uint8_t*>(keyword.GetString());
    bytes.insert(bytes.end(), text, text + keyword.GetStringLength());
    return bytes;
}

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

// The private read-write regions of the process, in address order, up to
// the first region that reaches above the highest application address.
void listCandidateRegions(const ProcessMemory& process, const std::atomic<int>& stopRequested,
                          std::vector<MemoryRegion>& regions) {
    const std::uint64_t highest = process.maximumApplicationAddress();
    std::uint64_t address = process.minimumApplicationAddress();
    MemoryRegion region;
    while (stopRequested == 0 && process.queryRegion(address, region)) {
        std::uint64_t end = region.BaseAddress + region.RegionSize;
        // A record that does not move the walk forward would repeat forever.
        if (end > highest || end <= address) break;
        address = end;
        if (isCandidateRegion(region)) regions.push_back(region);
    }
}

// The search shows it is alive: one more full stop every tenth region,
// starting again with none after a hundred.
void countSearchedRegion(StatusSink& status) {
    ++searchCounter;
    if (searchCounter % kRegionsPerProgressStep != 0) return;
    int dots = searchCounter / kRegionsPerProgressStep % kProgressSteps;
    status.setStatus(LoadTextW(kTextSearchingLogs) + std::u16string(static_cast<std::size_t>(dots), u'.'));
}

// Where the game stores a pointer to `entry`: the first place, in region
// order, that holds its 8 bytes.
std::optional<std::uint64_t> findPointerTo(std::uint64_t entry, const ProcessMemory& process,
                                           const std::vector<MemoryRegion>& regions, RegionSearch& search,
                                           const std::function<bool()>& keepSearching) {
    std::uint8_t pointer[8];
    storeU64(pointer, entry);
    for (const MemoryRegion& region : regions) {
        if (!keepSearching()) break;
        RegionHit hit = search.find(process, region, pointer, sizeof pointer);
        if (hit.found()) return region.BaseAddress + hit.offset;
    }
    return std::nullopt;
}

}  // namespace

std::int32_t CaptureSession::locateChatLog() {
    std::shared_ptr<ProcessMemory> process;
    std::uint64_t generation = 0;
    {
        auto guard = lock();
        process = gameProcess;
        generation = resetGeneration;
    }

    regions.clear();
    if (process) listCandidateRegions(*process, stopRequested, regions);

    // Searching goes on only while nobody wants it ended and no reset has
    // replaced the game under it.
    const std::function<bool()> keepSearching = [&] {
        if (stopRequested != 0) return false;
        auto guard = lock();
        return abortCode == 0 && textBufferSlot == 0 && resetGeneration == generation;
    };

    const auto marker = markerPattern(patterns);
    if (process && marker) {
        const std::int64_t earliest = earliestEntryTime();
        RegionSearch search;

        // The first marker line of each region, checked for the head of a
        // plausible entry, then the pointer to that entry.
        for (const MemoryRegion& region : regions) {
            if (!keepSearching()) break;
            if (statusWindow != nullptr) countSearchedRegion(*statusWindow);

            RegionHit hit = search.find(*process, region, marker->data(), marker->size(), kEntryHeadSize);
            if (!hit.readable) continue;

            if (hit.found() && hit.offset >= kEntryHeadSize) {
                std::int64_t entryTime = loadU32(hit.bytes - kEntryHeadSize);
                if (entryTime >= earliest && entryTime <= clock().now()) {
                    // The only pointer the game keeps to this entry is the
                    // header's text-buffer pointer, if the entry is the first
                    // of the current buffer.
                    std::uint64_t entry = region.BaseAddress + hit.offset - kEntryHeadSize;
                    if (auto slot = findPointerTo(entry, *process, regions, search, keepSearching)) {
                        auto guard = lock();
                        if (resetGeneration == generation) {
                            textBufferSlot = *slot;
                            offsetTableSlot = *slot - kOffsetTableDistance;
                            entryCountAddress = *slot - kEntryCountDistance;
                        }
                    }
                }
            }
            clock().sleepMs(kPauseAfterRegionMs);
        }
    }

    auto guard = lock();
    return abortCode == 0 ? 1 : 0;
}

std::int32_t CaptureSession::entryCount() {
    std::shared_ptr<ProcessMemory> process;
    std::uint64_t address = 0;
    {
        auto guard = lock();
        process = gameProcess;
        address = entryCountAddress;
    }
    if (address == 0) return 0;
    if (!process) return -1;
    return process->readU32(address);
}

}  // namespace tidemark
