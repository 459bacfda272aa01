// The read pass against a chat log in a fake game image, with every match
// the pass hands on kept by a recording sink.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "fakes/fake_process_image.h"
#include "gamelog/compiled_patterns.h"
#include "gamelog/log_reader.h"
#include "support/fake_chat_log.h"

namespace tidemark {
namespace {

using testing::FakeChatLog;

constexpr std::uint32_t kTime = 1700001234;

// A match as the sink saw it, the line's bytes copied while they were valid.
struct Match {
    std::int32_t patternId = 0;
    std::int32_t code = 0;
    std::string line;
    std::int32_t ordinal = 0;
    std::int64_t time = 0;
    std::uint32_t present = 0;
};

class RecordingSink : public MatchSink {
public:
    bool onMatch(LogRecord& record) override {
        matches.push_back({record.patternId, record.code,
                           std::string(reinterpret_cast<const char*>(record.raw), record.rawLength), record.ordinal,
                           record.time, record.present});
        return !keepWalking || keepWalking();
    }
    bool onLinesPassedOver(std::uint32_t lines) override {
        if (!acceptTelling) return false;
        passedOver.push_back(lines);
        return true;
    }
    std::vector<std::string> lines() const {
        std::vector<std::string> out;
        for (const Match& m : matches) out.push_back(m.line);
        return out;
    }

    std::vector<Match> matches;
    std::function<bool()> keepWalking;  // empty: always
    std::vector<std::uint32_t> passedOver;
    bool acceptTelling = true;
};

class ReadPass : public ::testing::Test {
protected:
    void usePatterns(const char* json) {
        rapidjson::Document document;
        document.Parse(json);
        ASSERT_FALSE(document.HasParseError());
        patterns = compilePatterns(document);
    }

    void setPosition(std::int32_t readCount, std::uint32_t startCount) {
        position.readCount = readCount;
        position.startCount = startCount;
    }

    std::int32_t pass() { return readNewEntries(*image, FakeChatLog::addresses(), position, patterns, sink); }

    std::shared_ptr<FakeProcessImage> image = std::make_shared<FakeProcessImage>();
    FakeChatLog log{image};
    CompiledPatterns patterns;
    ReadPosition position;
    RecordingSink sink;
};

constexpr const char* kEveryLine = R"({"1": {"keyword": ["marker"], "code": "0"}, "4": {"code": "0"}})";

TEST_F(ReadPass, HandlesTheEntriesFromReadCountToTheCountAsPresent) {
    usePatterns(kEveryLine);
    log.appendFiller(1003);
    log.append(kTime, 57, "line 1003");
    log.append(kTime + 1, -2, std::string("raw\0\x1F" "bytes", 10));
    setPosition(1003, 1000);

    EXPECT_EQ(pass(), 5);
    EXPECT_EQ(position.readCount, 1005);

    ASSERT_EQ(sink.matches.size(), 2u);
    const Match& first = sink.matches[0];
    EXPECT_EQ(first.patternId, 4);
    EXPECT_EQ(first.code, 57);
    EXPECT_EQ(first.line, "line 1003");
    EXPECT_EQ(first.ordinal, 0);
    EXPECT_EQ(first.time, 1700001234);
    EXPECT_EQ(first.present, 1u);
    EXPECT_EQ(sink.matches[1].code, -2);
    EXPECT_EQ(sink.matches[1].line, std::string("raw\0\x1F" "bytes", 10)) << "the line's bytes, not up to a NUL";
    EXPECT_EQ(sink.matches[1].ordinal, 1);
}

TEST_F(ReadPass, UnlocatedLogGivesNotLocatedAndSameCountGivesZeroWithoutReadingBlocks) {
    usePatterns(kEveryLine);
    log.appendFiller(3);
    EXPECT_EQ(readNewEntries(*image, ChatLogAddresses{}, position, patterns, sink), kReadNotLocated);

    setPosition(3, 0);
    const auto readsBefore = image->readCalls();
    EXPECT_EQ(pass(), 0);
    EXPECT_EQ(image->readCalls() - readsBefore, 1u) << "only the count is read";
}

TEST_F(ReadPass, ACompletePassMakesFiveReadsWhateverTheNumberOfNewEntries) {
    usePatterns(kEveryLine);
    log.appendFiller(700);
    const auto readsBefore = image->readCalls();
    EXPECT_EQ(pass(), 700);
    EXPECT_EQ(image->readCalls() - readsBefore, 5u);
}

TEST_F(ReadPass, CountOnABlockEndMetFirstHandlesNothingAndTheNextBlockIsHandledFromItsBase) {
    usePatterns(kEveryLine);
    log.appendFiller(2000);
    setPosition(1998, 1000);

    EXPECT_EQ(pass(), 0);
    EXPECT_EQ(position.readCount, 1998);
    EXPECT_TRUE(sink.matches.empty());

    log.append(kTime, 3, "first of the new block");
    EXPECT_EQ(pass(), 1);
    EXPECT_EQ(position.readCount, 2001);
    // Entries 1998 and 1999 went with their block; entry 2000 is still there
    // and was written while monitoring, so it must not be lost.
    EXPECT_EQ(sink.lines(), std::vector<std::string>{"first of the new block"});
    EXPECT_EQ(sink.matches[0].present, 1u);
    EXPECT_EQ(sink.passedOver, std::vector<std::uint32_t>{2});
}

TEST_F(ReadPass, CountOnABlockEndFinishesTheBlockTheLastPassRead) {
    usePatterns(kEveryLine);
    log.appendFiller(1990);
    setPosition(1000, 1000);
    ASSERT_EQ(pass(), 990);
    const auto matchesBefore = sink.matches.size();
    for (int i = 0; i < 10; ++i) log.append(kTime + i, 1, "end " + std::to_string(i));

    // Entry 1999 can be read only now: any later count lies in the next block.
    EXPECT_EQ(pass(), 1000);
    EXPECT_EQ(position.readCount, 2000);
    ASSERT_EQ(sink.matches.size() - matchesBefore, 10u);
    EXPECT_EQ(sink.lines().back(), "end 9");

    log.append(kTime, 1, "next block");
    EXPECT_EQ(pass(), 1);
    EXPECT_EQ(sink.lines().back(), "next block");
    EXPECT_EQ(position.readCount, 2001);
}

TEST_F(ReadPass, CountOnABlockEndFinishesTheBlockFromItsOwnBuffersOnceTheGameHasMovedToOthers) {
    usePatterns(kEveryLine);
    log.appendFiller(1995);
    setPosition(1000, 1000);
    ASSERT_EQ(pass(), 995);
    const auto matchesBefore = sink.matches.size();
    for (int i = 0; i < 5; ++i) log.append(kTime + i, 1, "end " + std::to_string(i));
    // The game switched blocks as soon as the old one was full.
    log.pointAtOtherBuffers();

    const auto readsBefore = image->readCalls();
    EXPECT_EQ(pass(), 1000);
    EXPECT_EQ(image->readCalls() - readsBefore, 5u) << "the count, two pointers and the old block";
    EXPECT_EQ(position.readCount, 2000);
    ASSERT_EQ(sink.matches.size() - matchesBefore, 5u);
    EXPECT_EQ(sink.lines().back(), "end 4");
    EXPECT_TRUE(sink.passedOver.empty());
}

TEST_F(ReadPass, CountOnABlockEndWithoutAnEarlierPassOfThatBlockHandlesNothing) {
    usePatterns(kEveryLine);
    log.appendFiller(1000);
    setPosition(0, 1000);  // the first pass after the log was found
    EXPECT_EQ(pass(), 0);
    EXPECT_EQ(position.readCount, 0);
    EXPECT_TRUE(sink.matches.empty());
}

TEST_F(ReadPass, BurstAcrossABlockChangeLosesNoPresentLineOfTheNewBlock) {
    usePatterns(kEveryLine);
    log.appendFiller(995);
    setPosition(995, 10);
    for (int i = 0; i < 12; ++i) log.append(kTime + i, 1, "burst " + std::to_string(i));
    ASSERT_EQ(log.written(), 1007u);

    EXPECT_EQ(pass(), 7);
    EXPECT_EQ(position.readCount, 1007);
    std::vector<std::string> expected;
    for (int i = 5; i < 12; ++i) expected.push_back("burst " + std::to_string(i));
    EXPECT_EQ(sink.lines(), expected);
    EXPECT_EQ(sink.passedOver, std::vector<std::uint32_t>{5}) << "no pass saw that block: its tail is told";
}

// The game starting its log over: the count falls below what was read, and
// every line of the new log is handled once, as present, in this pass and
// the ones after it, with nothing of the old log met again.
TEST_F(ReadPass, ACountThatGoesBackReportsEveryLineWrittenAfterTheDropExactlyOnce) {
    usePatterns(kEveryLine);
    for (int i = 0; i < 30; ++i) log.append(kTime, 1, "old " + std::to_string(i));
    setPosition(0, 0);
    ASSERT_EQ(pass(), 30);
    ASSERT_EQ(sink.matches.size(), 30u);
    sink.matches.clear();

    log.startOver();
    std::vector<std::string> written;
    auto write = [&](int n) {
        for (int k = 0; k < n; ++k) {
            written.push_back("new " + std::to_string(written.size()));
            log.append(kTime, 1, written.back());
        }
    };
    // Below the old position, again below it, then beyond it.
    for (int n : {5, 5, 40}) {
        write(n);
        EXPECT_EQ(pass(), static_cast<std::int32_t>(written.size()));
        EXPECT_EQ(position.readCount, static_cast<std::int32_t>(written.size()));
    }
    EXPECT_EQ(pass(), 0) << "a pass with nothing new handles nothing";
    EXPECT_EQ(sink.lines(), written);
    for (const Match& m : sink.matches) EXPECT_EQ(m.present, 1u) << m.line;
}

TEST_F(ReadPass, FirstPassInTheFirstBlockHandlesEveryEntryAsHistoryAgainstTracePatternsOnly) {
    usePatterns(R"({
        "1": {"keyword": ["marker"], "code": "0"},
        "2": {"code": "0"},
        "3": {"keyword": ["traced"], "code": "0", "trace": true}
    })");
    for (int i = 0; i < 500; ++i) log.append(kTime + i, 1, i % 100 == 0 ? "traced line" : "plain line");
    setPosition(0, 500);

    EXPECT_EQ(pass(), 500);
    EXPECT_EQ(position.readCount, 500);
    ASSERT_EQ(sink.matches.size(), 5u);
    for (std::size_t i = 0; i < sink.matches.size(); ++i) {
        EXPECT_EQ(sink.matches[i].patternId, 3);
        EXPECT_EQ(sink.matches[i].present, 0u);
        EXPECT_EQ(sink.matches[i].ordinal, static_cast<std::int32_t>(i));
    }
}

TEST_F(ReadPass, FirstPassBeyondTheFirstBlockCatchesUpNoHistoryButReportsLinesWrittenSinceTheStart) {
    usePatterns(kEveryLine);
    log.appendFiller(1500);
    setPosition(0, 1500);
    EXPECT_EQ(pass(), 500);
    EXPECT_EQ(position.readCount, 1500);
    EXPECT_TRUE(sink.matches.empty());
    EXPECT_TRUE(sink.passedOver.empty()) << "history is not caught up, not passed over";

    setPosition(0, 1500);
    log.append(kTime, 1, "said after the start");
    EXPECT_EQ(pass(), 501);
    EXPECT_EQ(sink.lines(), std::vector<std::string>{"said after the start"});
}

TEST_F(ReadPass, OrdinalsCountMatchesOnlyAndRestartEveryPass) {
    usePatterns(R"({"8": {"keyword": ["hit"], "code": "0"}})");
    log.append(kTime, 1, "hit a");
    log.append(kTime, 1, "miss");
    log.append(kTime, 1, "hit b");
    log.append(kTime, 1, "hit c");
    pass();
    log.append(kTime, 1, "hit d");
    pass();

    std::vector<std::int32_t> ordinals;
    for (const Match& m : sink.matches) ordinals.push_back(m.ordinal);
    EXPECT_EQ(ordinals, (std::vector<std::int32_t>{0, 1, 2, 0}));
    EXPECT_EQ(sink.lines(), (std::vector<std::string>{"hit a", "hit b", "hit c", "hit d"}));
}

TEST_F(ReadPass, AShortReadOfTheCountTableOrTextFailsThePassAndKeepsThePosition) {
    struct Case {
        const char* what;
        std::uint64_t (*address)(const FakeChatLog&);
        std::uint64_t size;
    } cases[] = {
        {"count", [](const FakeChatLog&) { return FakeChatLog::entryCountAddress(); }, 4},
        {"offset table", [](const FakeChatLog& l) { return l.currentTableAddress() + 16; }, 4},
        {"text", [](const FakeChatLog& l) { return l.currentTextAddress() + 20; }, 1},
    };
    usePatterns(kEveryLine);
    for (const Case& c : cases) {
        auto game = std::make_shared<FakeProcessImage>();
        FakeChatLog chat(game);
        chat.appendFiller(10);
        ReadPosition at;
        at.readCount = 4;
        RecordingSink seen;
        game->markUnreadable(c.address(chat), c.size);
        EXPECT_EQ(readNewEntries(*game, FakeChatLog::addresses(), at, patterns, seen), kReadFailed) << c.what;
        EXPECT_EQ(at.readCount, 4) << c.what;
        EXPECT_TRUE(seen.matches.empty()) << c.what;
    }
}

// A line the sink refuses (the patterns it was matched with are no longer
// current) is read again by the next pass, with the lines after it.
TEST_F(ReadPass, ASinkThatEndsTheWalkLeavesTheLineItRefusedAndTheRestToTheNextPass) {
    usePatterns(kEveryLine);
    for (int i = 0; i < 6; ++i) log.append(kTime, 1, "line " + std::to_string(i));
    sink.keepWalking = [this] { return sink.matches.size() < 2; };
    EXPECT_EQ(pass(), 6);
    EXPECT_EQ(sink.lines(), (std::vector<std::string>{"line 0", "line 1"}));
    EXPECT_EQ(position.readCount, 1);

    sink.keepWalking = [] { return true; };
    EXPECT_EQ(pass(), 6);
    EXPECT_EQ(sink.lines(), (std::vector<std::string>{"line 0", "line 1", "line 1", "line 2", "line 3", "line 4",
                                                      "line 5"}));
    EXPECT_EQ(position.readCount, 6);
}

TEST_F(ReadPass, EntriesWhoseOffsetsDoNotFitAreSkippedWithoutReadingOutsideTheCopy) {
    usePatterns(kEveryLine);
    for (int i = 0; i < 6; ++i) log.append(kTime, 1, "entry " + std::to_string(i));
    // Entry lengths are 15 bytes each; the copy holds 90 bytes.
    log.setEndOffset(1, 15 + 7);    // shorter than its time and code
    log.setEndOffset(2, 4000);      // beyond the copied text
    log.setEndOffset(3, 10);        // before its own start

    EXPECT_EQ(pass(), 6);
    EXPECT_EQ(position.readCount, 6);
    // Entry 4 starts where entry 3 ends by its table: offset 10, which is not
    // where the game wrote it, yet it lies inside the copy and is handled.
    const auto lines = sink.lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "entry 0");
    EXPECT_EQ(lines[1].size(), 75u - 10u - 8u);
    EXPECT_EQ(lines[2], "entry 5");
}

TEST_F(ReadPass, LastOffsetBeyondAnyBlockIsAFailedReadNotAHugeCopy) {
    usePatterns(kEveryLine);
    log.appendFiller(3);
    log.setEndOffset(2, 0xFFFFFFF0u);
    EXPECT_EQ(pass(), kReadFailed);
    EXPECT_EQ(position.readCount, 0);
}

TEST_F(ReadPass, KeywordNeverMatchesAcrossIntoTheNextEntry) {
    usePatterns(R"({"1": {"keyword": ["tail"], "code": "0"}})");
    log.append(kTime, 1, "ta");
    log.append(0x6C69, 1, "");  // the next entry's time begins with the bytes "il"
    ASSERT_EQ(pass(), 2);
    EXPECT_TRUE(sink.matches.empty());
}

TEST_F(ReadPass, AnEntryTooLongToBeAChatLineIsReadButNeverHandedOn) {
    usePatterns(kEveryLine);
    log.appendFiller(1);
    log.append(kTime, 57, std::string(64 * 1024, 'a'));
    log.append(kTime, 57, std::string(64 * 1024 + 1, 'b'));
    log.append(kTime, 57, "after");
    setPosition(1, 0);

    EXPECT_EQ(pass(), 4);

    EXPECT_EQ(position.readCount, 4);
    ASSERT_EQ(sink.matches.size(), 2u);
    EXPECT_EQ(sink.matches[0].line.size(), 64u * 1024);
    EXPECT_EQ(sink.matches[1].line, "after");
}


constexpr const char* kBurstLines = R"({"1": {"keyword": ["marker"], "code": "0"}, "4": {"keyword": ["burst"], "code": "0"}})";

// A block read by a pass up to entry 980, then lines written from there past
// the block's end before the next pass: the tail of the old block (980 to
// 999) is what the next pass can only get from where the last one found it.
class BlockTail : public ReadPass {
protected:
    void SetUp() override {
        usePatterns(kBurstLines);
        log.appendFiller(980);
        ASSERT_EQ(pass(), 980);
        ASSERT_EQ(position.readCount, 980);
    }

    std::vector<std::string> burst(int n, int first = 0) {
        std::vector<std::string> written;
        for (int i = first; i < first + n; ++i) {
            written.push_back("burst " + std::to_string(i));
            log.append(kTime + static_cast<std::uint32_t>(i), 1, written.back());
        }
        return written;
    }
    static std::vector<std::string> from(const std::vector<std::string>& lines, std::size_t first) {
        return {lines.begin() + static_cast<std::ptrdiff_t>(first), lines.end()};
    }
};

TEST_F(BlockTail, ABurstAcrossTheBlockChangeIsReadWholeFromTheOldBlocksBuffers) {
    const auto written = burst(30);
    const auto readsBefore = image->readCalls();
    EXPECT_EQ(pass(), 10);
    EXPECT_EQ(image->readCalls() - readsBefore, 7u) << "the usual five and the old block's two";

    EXPECT_EQ(sink.lines(), written);
    for (std::size_t i = 0; i < sink.matches.size(); ++i) {
        EXPECT_EQ(sink.matches[i].ordinal, static_cast<std::int32_t>(i));
        EXPECT_EQ(sink.matches[i].present, 1u);
        EXPECT_EQ(sink.matches[i].time, kTime + i);
    }
    EXPECT_TRUE(sink.passedOver.empty());
    EXPECT_EQ(position.readCount, 1010);

    // From here on the new block is read as usual.
    log.append(kTime, 1, "burst after");
    const auto readsThen = image->readCalls();
    EXPECT_EQ(pass(), 11);
    EXPECT_EQ(image->readCalls() - readsThen, 5u);
    EXPECT_EQ(sink.lines().back(), "burst after");
    EXPECT_EQ(sink.matches.size(), 31u);
}

// Monitoring began at entry 985 and the catch-up of the history before it
// had got to 980: the tail's entries keep their status by their index.
TEST_F(BlockTail, TheTailsEntriesAreHistoryOrPresentByTheirIndex) {
    position.startCount = 985;
    const auto written = burst(30);
    EXPECT_EQ(pass(), 10);
    EXPECT_EQ(sink.lines(), from(written, 5)) << "history only for patterns that trace";
}

// One short line of the new block leaves the old block's table and tail
// looking whole in the shared buffers, but the game writes there next.
TEST_F(BlockTail, ABlockWrittenOverTheOldOnesBuffersHasItsTailToldOnceAsPassedOver) {
    log.reuseBuffers();
    const auto written = burst(21);
    EXPECT_EQ(pass(), 1);
    EXPECT_EQ(sink.lines(), from(written, 20));
    EXPECT_EQ(sink.passedOver, std::vector<std::uint32_t>{20});
    EXPECT_EQ(position.readCount, 1001);

    log.append(kTime, 1, "burst after");
    EXPECT_EQ(pass(), 2);
    EXPECT_EQ(sink.lines().back(), "burst after");
    EXPECT_EQ(sink.passedOver, std::vector<std::uint32_t>{20}) << "told once";
}

TEST_F(BlockTail, ACountTwoBlocksOnTellsEveryPresentLineLeftBehind) {
    const auto written = burst(1030);
    EXPECT_EQ(pass(), 10);
    EXPECT_EQ(sink.lines(), from(written, 1020));
    EXPECT_EQ(sink.passedOver, std::vector<std::uint32_t>{1020});
}

// The sink ends the walk halfway through the tail (a stop, or a reset that
// makes the worker read again under other patterns) while the game goes on
// writing the new block: the next pass takes up the tail at the refused line.
TEST_F(BlockTail, AWalkEndedInTheTailGoesOnFromTheRefusedLineInTheNextPass) {
    const auto written = burst(30);
    sink.keepWalking = [this] { return sink.matches.size() < 5; };
    EXPECT_EQ(pass(), 10);
    EXPECT_EQ(position.readCount, 984);
    const auto more = burst(5, 30);

    sink.keepWalking = {};
    EXPECT_EQ(pass(), 15);
    std::vector<std::string> expected(written.begin(), written.begin() + 5);
    expected.insert(expected.end(), written.begin() + 4, written.end());
    expected.insert(expected.end(), more.begin(), more.end());
    EXPECT_EQ(sink.lines(), expected);
    EXPECT_TRUE(sink.passedOver.empty());
    EXPECT_EQ(position.readCount, 1015);
}

TEST_F(BlockTail, ATellingTheSinkRefusesMovesNothingAndTheNextPassTellsItAgain) {
    log.reuseBuffers();
    const auto written = burst(30);
    sink.acceptTelling = false;
    EXPECT_EQ(pass(), 0);
    EXPECT_EQ(position.readCount, 980);
    EXPECT_TRUE(sink.matches.empty());

    sink.acceptTelling = true;
    EXPECT_EQ(pass(), 10);
    EXPECT_EQ(sink.passedOver, std::vector<std::uint32_t>{20});
    EXPECT_EQ(sink.lines(), from(written, 20));
}

TEST_F(BlockTail, AShortReadOfTheNewBlockHandlesNothingOfTheTailEither) {
    burst(30);
    image->markUnreadable(log.currentTextAddress() + 20, 1);
    EXPECT_EQ(pass(), kReadFailed);
    EXPECT_TRUE(sink.matches.empty());
    EXPECT_EQ(position.readCount, 980);
}

// What the old block's buffers may hold once the game has let go of them.
struct TailDamage {
    const char* name;
    void (*damage)(FakeChatLog& log);
};

void PrintTo(const TailDamage& damage, std::ostream* out) { *out << damage.name; }

std::uint64_t oldEnd(FakeChatLog& log, std::uint32_t k) { return log.otherTableAddress() + 4 * k; }
std::uint32_t oldEndValue(FakeChatLog& log, std::uint32_t k) {
    return static_cast<std::uint32_t>(log.image().readU32(oldEnd(log, k)));
}

class DamagedTail : public BlockTail, public ::testing::WithParamInterface<TailDamage> {};

TEST_P(DamagedTail, IsNotTrustedAndItsLinesAreToldAsPassedOver) {
    const auto written = burst(30);
    GetParam().damage(log);
    EXPECT_EQ(pass(), 10);
    EXPECT_EQ(sink.lines(), from(written, 20)) << "the new block's lines only";
    EXPECT_EQ(sink.passedOver, std::vector<std::uint32_t>{20});
    EXPECT_EQ(position.readCount, 1010);
}

INSTANTIATE_TEST_SUITE_P(
    ReadPass, DamagedTail,
    ::testing::Values(
        TailDamage{"EndOffsetGoesBack", [](FakeChatLog& log) { log.image().writeU32(oldEnd(log, 990), 0); }},
        TailDamage{"EntryShorterThanItsTimeAndCode",
                   [](FakeChatLog& log) { log.image().writeU32(oldEnd(log, 995), oldEndValue(log, 994) + 4); }},
        TailDamage{"LastEndBeyondAnyBlock",
                   [](FakeChatLog& log) { log.image().writeU32(oldEnd(log, 999), 0xFFFFFFF0u); }},
        TailDamage{"TextShortOfTheLastEnd",
                   [](FakeChatLog& log) {
                       log.image().markUnreadable(log.otherTextAddress() + oldEndValue(log, 999) - 1, 1);
                   }},
        TailDamage{"TableUnreadable",
                   [](FakeChatLog& log) { log.image().markUnreadable(oldEnd(log, 999), 4); }},
        TailDamage{"LastEntryReadEndsElsewhere",
                   [](FakeChatLog& log) { log.image().writeU32(oldEnd(log, 979), oldEndValue(log, 979) + 1); }},
        TailDamage{"LastEntryReadHasAnotherTime",
                   [](FakeChatLog& log) {
                       log.image().writeU32(log.otherTextAddress() + oldEndValue(log, 978), kTime);
                   }},
        TailDamage{"FreedToZeros",
                   [](FakeChatLog& log) {
                       const std::vector<std::uint8_t> zeros(4000);
                       log.image().writeBytes(log.otherTableAddress(), zeros.data(), zeros.size());
                   }}),
    [](const ::testing::TestParamInfo<TailDamage>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tidemark
