// The read pass, two ways:
// - half the inputs drive a game that writes its log as the game does
//   (blocks of 1000 entries in alternating buffers, or each block over the
//   last one's buffers; lines of any length up to past the 64 KiB cut), with
//   read passes in between; every line of a pattern's code up to the cut
//   must be reported once, in order, and no other, but for lines of a block
//   the game wrote over before a pass could read them, which the pass must
//   tell as passed over;
// - the others script a game image freely: a log header, two offset tables
//   and two text buffers, changed between passes and during them (the game
//   writes while the pass copies). Checks what every pass must keep whatever
//   the image holds: no read outside the copies, a position that moves only
//   forward within a block, and only matches the patterns allow.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>
#include <fuzzer/FuzzedDataProvider.h>
#include <rapidjson/document.h>

#include "fakes/fake_process_image.h"
#include "gamelog/chat_log.h"
#include "gamelog/compiled_patterns.h"
#include "gamelog/log_reader.h"

namespace tidemark {
namespace {

constexpr std::uint64_t kHeaderRegion = 0x100000;
constexpr std::uint64_t kSlot = kHeaderRegion + 0x800;
constexpr std::uint64_t kTables = 0x200000;  // two tables of one block each
constexpr std::uint64_t kTableSize = 0x1000;
constexpr std::uint64_t kTexts = 0x300000;   // two text buffers
constexpr std::uint64_t kTextSize = 0x1000;
constexpr int kMaxPasses = 12;
constexpr int kMaxChangesPerStep = 6;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

const CompiledPatterns& patterns() {
    static const CompiledPatterns compiled = [] {
        rapidjson::Document document;
        document.Parse(R"({"1":{"code":"0","keyword":["\u001f\u001fhello"]},)"
                       R"("2":{"code":"12","keyword":["ab","cd"],"trace":true},)"
                       R"("3":{"code":"0","keyword":["zz",""]},)"
                       R"("4":{"code":"-7"},"5":{"code":"0","keyword":[]}})");
        return compilePatterns(document);
    }();
    return compiled;
}

// Addresses the script picks from: the real buffers, the second copy of
// each, nothing, a page the game never mapped, or anything at all.
std::uint64_t pickAddress(FuzzedDataProvider& input, std::uint64_t first, std::uint64_t size) {
    switch (input.ConsumeIntegralInRange(0, 5)) {
        case 0: return first;
        case 1: return first + size;
        case 2: return 0;
        case 3: return 0x7000000;
        case 4: return first + input.ConsumeIntegralInRange<std::uint64_t>(0, 2 * size);
        default: return input.ConsumeIntegral<std::uint64_t>();
    }
}

std::uint32_t pickOffset(FuzzedDataProvider& input) {
    // Mostly offsets within the buffers; now and then any 32-bit value (each
    // such end offset costs an allocation of up to 64 MiB).
    std::uint32_t value = input.ConsumeIntegral<std::uint32_t>();
    return input.ConsumeIntegralInRange(0, 15) == 0 ? value : value & 0x1FFF;
}

// A block the game could have written: `n` entries from offset 0, lines
// built from pieces of the keywords so that patterns match now and then.
void writeBlock(FuzzedDataProvider& input, FakeProcessImage& image, std::uint64_t table, std::uint64_t text) {
    static const char* const pieces[] = {"\x1f\x1fhello", "ab", "cd", "zz", "\x1f", "x", "\x02\x05\x03"};
    const std::uint32_t n = input.ConsumeIntegralInRange<std::uint32_t>(0, 40);
    const std::uint32_t first = input.ConsumeIntegralInRange<std::uint32_t>(0, 999);
    std::uint32_t offset = 0;
    for (std::uint32_t k = 0; k < n && first + k < 1000; ++k) {
        std::string entry(8, '\0');
        const std::uint32_t time = input.ConsumeIntegral<std::uint32_t>();
        const std::int32_t code = input.ConsumeIntegralInRange<std::int32_t>(-8, 13);
        std::memcpy(entry.data(), &time, 4);
        std::memcpy(entry.data() + 4, &code, 4);
        for (int p = input.ConsumeIntegralInRange(0, 4); p > 0; --p)
            entry += pieces[input.ConsumeIntegralInRange<std::size_t>(0, std::size(pieces) - 1)];
        if (offset + entry.size() > kTextSize) break;
        image.writeBytes(text + offset, entry.data(), entry.size());
        offset += static_cast<std::uint32_t>(entry.size());
        image.writeU32(table + 4 * (first + k), offset);
    }
}

std::uint32_t gCount = 0;  // the count the script last wrote

// One change of the game's memory, as the script says.
void change(FuzzedDataProvider& input, FakeProcessImage& image) {
    const std::uint64_t table = kTables + kTableSize * input.ConsumeIntegralInRange(0, 1);
    const std::uint64_t text = kTexts + kTextSize * input.ConsumeIntegralInRange(0, 1);
    switch (input.ConsumeIntegralInRange(0, 8)) {
        case 0:
            gCount = input.ConsumeBool() ? input.ConsumeIntegral<std::uint32_t>()
                                         : gCount + input.ConsumeIntegralInRange<std::uint32_t>(0, 1100);
            image.writeU32(chatLogAt(kSlot).entryCountAddress, gCount);
            break;
        case 1: image.writeU64(chatLogAt(kSlot).offsetTableSlot, pickAddress(input, kTables, kTableSize)); break;
        case 2: image.writeU64(kSlot, pickAddress(input, kTexts, kTextSize)); break;
        case 3: {
            std::uint32_t index = input.ConsumeIntegralInRange<std::uint32_t>(0, 999);
            for (int n = input.ConsumeIntegralInRange(1, 16); n > 0 && index < 1000; --n, ++index)
                image.writeU32(table + 4 * index, pickOffset(input));
            break;
        }
        case 4: {
            const std::uint64_t at = input.ConsumeIntegralInRange<std::uint64_t>(0, kTextSize - 1);
            std::string bytes = input.ConsumeBytesAsString(
                input.ConsumeIntegralInRange<std::size_t>(0, std::min<std::uint64_t>(64, kTextSize - at)));
            image.writeBytes(text + at, bytes.data(), bytes.size());
            break;
        }
        case 5: writeBlock(input, image, table, text); break;
        case 6: {
            static const std::uint64_t places[] = {kHeaderRegion, kTables, kTexts};
            const std::uint64_t at = places[input.ConsumeIntegralInRange(0, 2)] +
                                     input.ConsumeIntegralInRange<std::uint64_t>(0, 2 * kTextSize);
            image.markUnreadable(at, input.ConsumeIntegralInRange<std::uint64_t>(1, 0x2000));
            break;
        }
        case 7:
            if (input.ConsumeIntegralInRange(0, 15) == 0) image.exitProcess();
            break;
        default: image.writeU32(chatLogAt(kSlot).entryCountAddress, gCount = 1000 * input.ConsumeIntegralInRange(0, 5));
    }
}

class CheckingSink : public MatchSink {
public:
    explicit CheckingSink(FuzzedDataProvider& input) : input_(input) {}

    bool onMatch(LogRecord& record) override {
        if (record.ordinal != matches_) fail("ordinals not consecutive");
        ++matches_;
        const CompiledPattern* pattern = nullptr;
        for (const CompiledPattern& p : patterns().patterns)
            if (p.id == record.patternId) pattern = &p;
        if (pattern == nullptr) fail("match of an unknown pattern");
        if (record.present > 1 || (!record.present && !pattern->trace)) fail("history line without trace");
        if (pattern->code != 0 && pattern->code != record.code) fail("code does not match");
        if (record.rawLength > 0 && record.raw == nullptr) fail("no line bytes");
        const void* line = record.raw != nullptr ? static_cast<const void*>(record.raw) : "";
        for (std::uint32_t k = 0; k < pattern->keywordCount; ++k) {
            const KeywordSpan& span = patterns().keywords[pattern->firstKeyword + k];
            if (span.length > 0 && memmem(line, record.rawLength, patterns().keywordData(span), span.length) == nullptr)
                fail("line lacks a keyword of its pattern");
        }
        // The poster reads every byte of the line.
        volatile std::uint8_t sum = 0;
        for (std::uint32_t i = 0; i < record.rawLength; ++i) sum = sum + record.raw[i];
        // The poster may ask the pass to stop.
        return input_.remaining_bytes() == 0 || input_.ConsumeIntegralInRange(0, 15) != 0;
    }
    bool onLinesPassedOver(std::uint32_t lines) override {
        if (lines == 0) fail("nothing told as passed over");
        told_ = true;
        return input_.remaining_bytes() == 0 || input_.ConsumeIntegralInRange(0, 15) != 0;
    }

    std::int32_t matches() const { return matches_; }
    bool told() const { return told_; }

private:
    FuzzedDataProvider& input_;
    std::int32_t matches_ = 0;
    bool told_ = false;
};

void checkPass(std::int32_t result, const ReadPosition& before, const ReadPosition& after, std::int32_t matches,
               bool told) {
    auto same = [](const ReadPosition& a, const ReadPosition& b) {
        return a.readCount == b.readCount && a.startCount == b.startCount && a.lastBlock.valid == b.lastBlock.valid &&
               a.lastBlock.base == b.lastBlock.base && a.lastBlock.offsetTable == b.lastBlock.offsetTable &&
               a.lastBlock.textBuffer == b.lastBlock.textBuffer;
    };
    if (result == kReadFailed || result == 0) {
        if (!same(before, after)) fail("a pass that read nothing moved the position");
        if ((matches != 0 || told) && result == kReadFailed) fail("a failed pass reported lines");
        return;
    }
    if (result < 0 || result > 1000) fail("block size out of range");
    if (matches > result) fail("more matches than entries");
    const ReadPosition& p = after;
    if (!p.lastBlock.valid || p.lastBlock.base % 1000 != 0) fail("block base not a block start");
    const auto count = static_cast<std::uint32_t>(p.readCount);
    if (count < p.lastBlock.base || count - p.lastBlock.base > 1000) fail("count outside its block");
    if (p.startCount != before.startCount && p.startCount != 0) fail("start count changed");
}

// Every line of code -7 is one the reader must report; code 5 never.
const CompiledPatterns& writerPatterns() {
    static const CompiledPatterns compiled = [] {
        rapidjson::Document document;
        document.Parse(R"({"1":{"code":"0","keyword":["\u001f\u001fhello"]},"2":{"code":"-7"}})");
        return compilePatterns(document);
    }();
    return compiled;
}

constexpr std::uint32_t kLineCut = 64u << 10;  // longer lines are no chat lines

// The game's side: appends entries to its current block and starts the
// next block in the other pair of buffers when one is full, or in the same
// pair with `reuse`.
class LogWriter {
public:
    static constexpr std::uint64_t kText = 0x1000000, kTextBytes = 0x28000, kTable = 0x2000000;

    // The log starts with `history` empty entries of its current block:
    // only their ends in the table matter, and they are never reported.
    LogWriter(FakeProcessImage& image, std::uint32_t firstCount, std::uint32_t history, bool reuse)
        : image_(image), count_(firstCount + history), first_(firstCount), reuse_(reuse) {
        image.addRegion(kHeaderRegion, 0x1000);
        image.addRegion(kTable, 2 * 0x1000);
        image.addRegion(kText, 2 * kTextBytes);
        std::vector<std::uint32_t> ends(history);
        for (std::uint32_t k = 0; k < history; ++k) ends[k] = 8 * (k + 1);
        if (history > 0) image.writeBytes(kTable, ends.data(), 4 * history);
        used_ = 8 * history;
        image.writeU32(chatLogAt(kSlot).entryCountAddress, count_);
        pointAtSlot(0);
    }

    std::uint32_t count() const { return count_; }
    std::uint32_t inBlock() const { return count_ % 1000; }

    // The entry's bytes, or nothing when it did not fit its buffer.
    void append(std::int32_t code, std::string_view line, std::vector<std::string>& expected) {
        if (count_ % 1000 == 0 && count_ != firstCount()) {
            if (!reuse_) slot_ ^= 1;
            used_ = 0;
        }
        std::string entry(8, '\0');
        const std::uint32_t time = count_;  // tells the entries apart
        std::memcpy(entry.data(), &time, 4);
        std::memcpy(entry.data() + 4, &code, 4);
        if (used_ + 8 + line.size() <= kTextBytes) entry += line;
        image_.writeBytes(kText + slot_ * kTextBytes + used_, entry.data(), entry.size());
        used_ += entry.size();
        image_.writeU32(kTable + slot_ * 0x1000 + 4 * (count_ % 1000), static_cast<std::uint32_t>(used_));
        if (count_ % 1000 == 0) pointAtSlot(slot_);
        ++count_;
        image_.writeU32(chatLogAt(kSlot).entryCountAddress, count_);
        if (code == -7 && entry.size() - 8 <= kLineCut) expected.push_back(entry);
    }

private:
    std::uint32_t firstCount() const { return first_; }
    void pointAtSlot(int slot) {
        image_.writeU64(chatLogAt(kSlot).offsetTableSlot, kTable + slot * 0x1000);
        image_.writeU64(kSlot, kText + slot * kTextBytes);
    }

    FakeProcessImage& image_;
    std::uint32_t count_;
    std::uint32_t first_;
    bool reuse_;
    int slot_ = 0;
    std::uint64_t used_ = 0;
};

std::uint32_t indexOf(const std::string& entry) {
    std::uint32_t time = 0;
    std::memcpy(&time, entry.data(), 4);
    return time;
}

// `firstUnread`: the index of the first present entry the pass has not
// handled yet. Lines passed over must be the next ones from there.
class OracleSink : public MatchSink {
public:
    OracleSink(std::vector<std::string>& expected, std::size_t& next, std::uint32_t firstUnread)
        : expected_(expected), next_(next), firstUnread_(firstUnread) {}
    bool onLinesPassedOver(std::uint32_t lines) override {
        if (told_) fail("passed-over lines told twice in a pass");
        told_ = true;
        const std::uint32_t end = firstUnread_ + lines;
        for (; next_ < expected_.size() && indexOf(expected_[next_]) < end; ++next_)
            if (indexOf(expected_[next_]) < firstUnread_) fail("a line passed over before the pass's position");
        return true;
    }
    bool onMatch(LogRecord& record) override {
        if (!record.present) fail("a line written while monitoring came as history");
        if (next_ >= expected_.size()) fail("a line reported that should not be, or twice");
        const std::string& entry = expected_[next_++];
        std::uint32_t time = 0;
        std::memcpy(&time, entry.data(), 4);
        if (record.time != time || record.code != -7 || record.rawLength != entry.size() - 8 ||
            std::memcmp(record.raw, entry.data() + 8, record.rawLength) != 0)
            fail("a line reported out of order or changed");
        return true;
    }

    bool told() const { return told_; }

private:
    std::vector<std::string>& expected_;
    std::size_t& next_;
    std::uint32_t firstUnread_;
    bool told_ = false;
};

void fuzzWriter(FuzzedDataProvider& input) {
    FakeProcessImage image;
    const std::uint32_t firstCount = 1000 * input.ConsumeIntegralInRange<std::uint32_t>(0, 2);
    const std::uint32_t history = input.ConsumeBool() ? 0 : input.ConsumeIntegralInRange<std::uint32_t>(0, 999);
    const bool reuse = input.ConsumeIntegralInRange(0, 3) == 0;
    LogWriter writer(image, firstCount, history, reuse);
    ReadPosition position;
    position.startCount = writer.count();
    std::vector<std::string> expected;
    std::size_t reported = 0;
    std::uint32_t seenBase = ~0u;  // the block a pass has read part of
    static const char* const pieces[] = {"ab", "x", "\x1f", "\x1f\x1f", "hel", "\x02\x05"};
    for (int step = 0; step < 24 && input.remaining_bytes() > 0; ++step) {
        // In alternating buffers, a block seen in part by an earlier pass is
        // finished from its own buffers while the game writes the next one:
        // a burst may fill the rest of it and all but the last entry of the
        // next. A block written whole between two passes is gone by design.
        // Over reused buffers anything goes, but a count left on a block's
        // end, where a pass waits for the next entry before it tells what
        // was passed over.
        const std::uint32_t room = 1000 - writer.inBlock();
        const bool seen = writer.inBlock() != 0 && seenBase == writer.count() - writer.inBlock();
        const std::uint32_t most = reuse ? 2100 : seen ? room + 999 : room - 1;
        const bool burst = input.ConsumeIntegralInRange(0, 15) == 0;
        std::uint32_t n = input.ConsumeIntegralInRange<std::uint32_t>(0, burst ? most : std::min(most, 6u));
        if (reuse && (writer.count() + n) % 1000 == 0) ++n;
        for (std::uint32_t k = 0; k < n; ++k) {
            static const std::string kLong(kLineCut + 4000, 'z');
            std::string line;
            std::string_view written;
            if (input.ConsumeIntegralInRange(0, 31) == 0) {
                static const std::uint32_t around[] = {kLineCut - 1, kLineCut, kLineCut + 1, kLineCut + 4000};
                written = std::string_view(kLong).substr(0, around[input.ConsumeIntegralInRange(0, 3)]);
            } else {
                for (int p = input.ConsumeIntegralInRange(0, 3); p > 0; --p)
                    line += pieces[input.ConsumeIntegralInRange<std::size_t>(0, std::size(pieces) - 1)];
                written = line;
            }
            writer.append(input.ConsumeBool() ? -7 : 5, written, expected);
        }
        const auto readCount = static_cast<std::uint32_t>(position.readCount);
        OracleSink sink(expected, reported, std::max(readCount, position.startCount));
        const std::int32_t result = readNewEntries(image, chatLogAt(kSlot), position, writerPatterns(), sink);
        if (result < 0) fail("a pass failed");
        if (sink.told() && !reuse) fail("a line passed over in buffers the game had not written over");
        if (result > 0 && writer.inBlock() != 0) seenBase = writer.count() - writer.inBlock();
        if (reported != expected.size()) fail("a written line was not reported");
    }
}

}  // namespace
}  // namespace tidemark

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tidemark;
    FuzzedDataProvider input(data, size);
    if (input.ConsumeBool()) {
        fuzzWriter(input);
        return 0;
    }
    FakeProcessImage image;
    image.addRegion(kHeaderRegion, 0x1000);
    image.addRegion(kTables, 2 * kTableSize);
    image.addRegion(kTexts, 2 * kTextSize);
    gCount = 0;
    image.writeU64(chatLogAt(kSlot).offsetTableSlot, kTables);
    image.writeU64(kSlot, kTexts);

    const ChatLogAddresses log = chatLogAt(kSlot);
    ReadPosition position;
    position.startCount = input.ConsumeBool() ? input.ConsumeIntegral<std::uint32_t>()
                                              : input.ConsumeIntegralInRange<std::uint32_t>(0, 3000);

    for (int pass = 0; pass < kMaxPasses && input.remaining_bytes() > 0; ++pass) {
        for (int n = input.ConsumeIntegralInRange(0, kMaxChangesPerStep); n > 0; --n) change(input, image);
        // The game may write once while the pass copies: before its k-th read.
        const int changeAt = input.ConsumeIntegralInRange(-1, 3);
        int reads = 0;
        image.beforeRead = [&](std::uint64_t, std::uint64_t) {
            if (reads++ == changeAt) change(input, image);
        };
        CheckingSink sink(input);
        const ReadPosition before = position;
        const std::int32_t result = readNewEntries(image, log, position, patterns(), sink);
        image.beforeRead = nullptr;
        checkPass(result, before, position, sink.matches(), sink.told());
    }
    return 0;
}
