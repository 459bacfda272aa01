// The read pass against a chat log in a fake game image, with every report
// caught by a scripted server.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "capture/capture_session.h"
#include "fakes/fake_clock.h"
#include "fakes/fake_http_client.h"
#include "fakes/fake_process_image.h"
#include "gamelog/compiled_patterns.h"
#include "support/fake_chat_log.h"

namespace tidemark {
namespace {

using testing::FakeChatLog;
using testing::FakeHttpServer;
using testing::FakeRequest;

constexpr std::uint32_t kTime = 1700001234;

class ReadPass : public ::testing::Test {
protected:
    ReadPass() {
        SessionServices services;
        services.clock = &clock;
        services.httpClientFactory = server.factory();
        session = std::make_unique<CaptureSession>(std::move(services));
        session->setLanguage("en");
        log.attachTo(*session);
    }

    void usePatterns(const char* json) {
        session->patterns.Parse(json);
        ASSERT_FALSE(session->patterns.HasParseError());
        session->compiledPatterns = compilePatterns(session->patterns);
    }

    void setPosition(std::int32_t readCount, std::uint32_t startCount) {
        auto guard = session->lock();
        session->readCount = readCount;
        session->startCount = startCount;
    }
    std::int32_t readCount() {
        auto guard = session->lock();
        return session->readCount;
    }

    std::vector<FakeRequest> reports() const {
        std::vector<FakeRequest> posts;
        for (const FakeRequest& request : server.requests())
            if (request.verb == "POST") posts.push_back(request);
        return posts;
    }
    std::vector<std::string> reportedLines() const {
        std::vector<std::string> lines;
        for (const FakeRequest& r : reports()) lines.push_back(r.field("log").value_or("<none>"));
        return lines;
    }

    FakeHttpServer server;
    FakeClock clock;
    std::shared_ptr<FakeProcessImage> image = std::make_shared<FakeProcessImage>();
    FakeChatLog log{image};
    std::unique_ptr<CaptureSession> session;
};

constexpr const char* kEveryLine = R"({"1": {"keyword": ["marker"], "code": "0"}, "4": {"code": "0"}})";

TEST_F(ReadPass, HandlesTheEntriesFromReadCountToTheCountAsPresent) {
    usePatterns(kEveryLine);
    log.appendFiller(1003);
    log.append(kTime, 57, "line 1003");
    log.append(kTime + 1, -2, std::string("raw\0\x1F" "bytes", 10));
    setPosition(1003, 1000);

    EXPECT_EQ(session->readNewEntries(), 5);
    EXPECT_EQ(readCount(), 1005);

    auto posts = reports();
    ASSERT_EQ(posts.size(), 2u);
    EXPECT_EQ(posts[0].field("pid"), "4");
    EXPECT_EQ(posts[0].field("code"), "57");
    EXPECT_EQ(posts[0].field("log"), "line 1003");
    EXPECT_EQ(posts[0].field("line"), "0");
    EXPECT_EQ(posts[0].field("ltime"), "1700001234");
    EXPECT_EQ(posts[0].field("present"), "1");
    EXPECT_EQ(posts[1].field("code"), "-2");
    EXPECT_EQ(posts[1].field("log"), std::string("raw\0\x1F" "bytes", 10)) << "the line's bytes, not up to a NUL";
    EXPECT_EQ(posts[1].field("line"), "1");
}

TEST_F(ReadPass, UnlocatedLogGivesMinusOneAndSameCountGivesZeroWithoutReadingBlocks) {
    usePatterns(kEveryLine);
    log.appendFiller(3);
    {
        auto guard = session->lock();
        session->textBufferSlot = 0;
    }
    EXPECT_EQ(session->readNewEntries(), -1);

    log.attachTo(*session);
    setPosition(3, 0);
    const auto readsBefore = image->readCalls();
    EXPECT_EQ(session->readNewEntries(), 0);
    EXPECT_EQ(image->readCalls() - readsBefore, 1u) << "only the count is read";
}

TEST_F(ReadPass, ACompletePassMakesFiveReadsWhateverTheNumberOfNewEntries) {
    usePatterns(kEveryLine);
    log.appendFiller(700);
    setPosition(0, 0);
    const auto readsBefore = image->readCalls();
    EXPECT_EQ(session->readNewEntries(), 700);
    EXPECT_EQ(image->readCalls() - readsBefore, 5u);
}

TEST_F(ReadPass, CountOnABlockEndMetFirstHandlesNothingAndTheNextBlockIsHandledFromItsBase) {
    usePatterns(kEveryLine);
    log.appendFiller(2000);
    setPosition(1998, 1000);

    EXPECT_EQ(session->readNewEntries(), 0);
    EXPECT_EQ(readCount(), 1998);
    EXPECT_TRUE(reports().empty());

    log.append(kTime, 3, "first of the new block");
    EXPECT_EQ(session->readNewEntries(), 1);
    EXPECT_EQ(readCount(), 2001);
    // Entries 1998 and 1999 went with their block; entry 2000 is still there
    // and was written while monitoring, so it must not be lost.
    EXPECT_EQ(reportedLines(), std::vector<std::string>{"first of the new block"});
    EXPECT_EQ(reports()[0].field("present"), "1");
}

TEST_F(ReadPass, CountOnABlockEndFinishesTheBlockTheLastPassRead) {
    usePatterns(kEveryLine);
    log.appendFiller(1990);
    setPosition(1000, 1000);
    ASSERT_EQ(session->readNewEntries(), 990);
    const auto postsBefore = reports().size();
    for (int i = 0; i < 10; ++i) log.append(kTime + i, 1, "end " + std::to_string(i));

    // Entry 1999 can be read only now: any later count lies in the next block.
    EXPECT_EQ(session->readNewEntries(), 1000);
    EXPECT_EQ(readCount(), 2000);
    auto lines = reportedLines();
    ASSERT_EQ(lines.size() - postsBefore, 10u);
    EXPECT_EQ(lines.back(), "end 9");

    log.append(kTime, 1, "next block");
    EXPECT_EQ(session->readNewEntries(), 1);
    EXPECT_EQ(reportedLines().back(), "next block");
    EXPECT_EQ(readCount(), 2001);
}

TEST_F(ReadPass, CountOnABlockEndIsLeftAloneOnceTheGameHasMovedToOtherBuffers) {
    usePatterns(kEveryLine);
    log.appendFiller(1995);
    setPosition(1000, 1000);
    ASSERT_EQ(session->readNewEntries(), 995);
    const auto postsBefore = reports().size();
    log.appendFiller(5);
    // The game switched blocks as soon as the old one was full.
    log.pointAtOtherBuffers();

    EXPECT_EQ(session->readNewEntries(), 0);
    EXPECT_EQ(readCount(), 1995);
    EXPECT_EQ(reports().size(), postsBefore);
}

TEST_F(ReadPass, CountOnABlockEndWithoutAnEarlierPassOfThatBlockHandlesNothing) {
    usePatterns(kEveryLine);
    log.appendFiller(1000);
    setPosition(0, 1000);  // the first pass after the log was found
    EXPECT_EQ(session->readNewEntries(), 0);
    EXPECT_EQ(readCount(), 0);
    EXPECT_TRUE(reports().empty());
}

TEST_F(ReadPass, BurstAcrossABlockChangeLosesNoPresentLineOfTheNewBlock) {
    usePatterns(kEveryLine);
    log.appendFiller(995);
    setPosition(995, 10);
    for (int i = 0; i < 12; ++i) log.append(kTime + i, 1, "burst " + std::to_string(i));
    ASSERT_EQ(log.written(), 1007u);

    EXPECT_EQ(session->readNewEntries(), 7);
    EXPECT_EQ(readCount(), 1007);
    std::vector<std::string> expected;
    for (int i = 5; i < 12; ++i) expected.push_back("burst " + std::to_string(i));
    EXPECT_EQ(reportedLines(), expected);
}

TEST_F(ReadPass, FirstPassInTheFirstBlockHandlesEveryEntryAsHistoryAgainstTracePatternsOnly) {
    usePatterns(R"({
        "1": {"keyword": ["marker"], "code": "0"},
        "2": {"code": "0"},
        "3": {"keyword": ["traced"], "code": "0", "trace": true}
    })");
    for (int i = 0; i < 500; ++i) log.append(kTime + i, 1, i % 100 == 0 ? "traced line" : "plain line");
    setPosition(0, 500);

    EXPECT_EQ(session->readNewEntries(), 500);
    EXPECT_EQ(readCount(), 500);
    auto posts = reports();
    ASSERT_EQ(posts.size(), 5u);
    for (std::size_t i = 0; i < posts.size(); ++i) {
        EXPECT_EQ(posts[i].field("pid"), "3");
        EXPECT_EQ(posts[i].field("present"), "0");
        EXPECT_EQ(posts[i].field("line"), std::to_string(i));
    }
}

TEST_F(ReadPass, FirstPassBeyondTheFirstBlockCatchesUpNoHistory) {
    usePatterns(kEveryLine);
    log.appendFiller(1500);
    setPosition(0, 1500);
    EXPECT_EQ(session->readNewEntries(), 500);
    EXPECT_EQ(readCount(), 1500);
    EXPECT_TRUE(reports().empty());
}

TEST_F(ReadPass, FirstPassBeyondTheFirstBlockStillReportsLinesWrittenSinceTheStart) {
    usePatterns(kEveryLine);
    log.appendFiller(1500);
    log.append(kTime, 1, "said after the start");
    setPosition(0, 1500);
    EXPECT_EQ(session->readNewEntries(), 501);
    EXPECT_EQ(reportedLines(), std::vector<std::string>{"said after the start"});
}

TEST_F(ReadPass, OrdinalsCountMatchesOnlyAndRestartEveryPass) {
    usePatterns(R"({"8": {"keyword": ["hit"], "code": "0"}})");
    log.append(kTime, 1, "hit a");
    log.append(kTime, 1, "miss");
    log.append(kTime, 1, "hit b");
    log.append(kTime, 1, "hit c");
    setPosition(0, 0);
    session->readNewEntries();
    log.append(kTime, 1, "hit d");
    session->readNewEntries();

    std::vector<std::string> ordinals;
    for (const FakeRequest& r : reports()) ordinals.push_back(*r.field("line"));
    EXPECT_EQ(ordinals, (std::vector<std::string>{"0", "1", "2", "0"}));
    EXPECT_EQ(reportedLines(), (std::vector<std::string>{"hit a", "hit b", "hit c", "hit d"}));
}

TEST_F(ReadPass, ShortOffsetTableReadFailsThePassAndKeepsThePosition) {
    usePatterns(kEveryLine);
    log.appendFiller(10);
    setPosition(4, 0);
    image->markUnreadable(log.currentTableAddress() + 16, 4);
    EXPECT_EQ(session->readNewEntries(), -4);
    EXPECT_EQ(readCount(), 4);
    EXPECT_TRUE(reports().empty());
}

TEST_F(ReadPass, ShortTextReadFailsThePassAndKeepsThePosition) {
    usePatterns(kEveryLine);
    log.appendFiller(10);
    setPosition(4, 0);
    image->markUnreadable(log.currentTextAddress() + 20, 1);
    EXPECT_EQ(session->readNewEntries(), -4);
    EXPECT_EQ(readCount(), 4);
    EXPECT_TRUE(reports().empty());
}

TEST_F(ReadPass, UnreadableCountFailsThePassInsteadOfWalkingGarbage) {
    usePatterns(kEveryLine);
    log.appendFiller(10);
    setPosition(4, 0);
    image->markUnreadable(FakeChatLog::entryCountAddress(), 4);
    EXPECT_EQ(session->readNewEntries(), -4);
    EXPECT_EQ(readCount(), 4);
    EXPECT_TRUE(reports().empty());
}

TEST_F(ReadPass, StopInTheMiddleEndsTheWalkButStillAdvancesToTheCount) {
    usePatterns(kEveryLine);
    for (int i = 0; i < 6; ++i) log.append(kTime, 1, "line " + std::to_string(i));
    setPosition(0, 0);
    int seen = 0;
    server.onRequest([this, &seen](const FakeRequest&) {
        if (++seen == 2) session->stopRequested = 1;
    });
    EXPECT_EQ(session->readNewEntries(), 6);
    EXPECT_EQ(reportedLines(), (std::vector<std::string>{"line 0", "line 1"}));
    EXPECT_EQ(readCount(), 6);
}

TEST_F(ReadPass, ResetDuringThePassKeepsTheResetPosition) {
    usePatterns(kEveryLine);
    for (int i = 0; i < 3; ++i) log.append(kTime, 1, "line");
    setPosition(0, 0);
    server.onRequest([this](const FakeRequest&) { session->reset(); });
    EXPECT_EQ(session->readNewEntries(), 3);
    EXPECT_EQ(readCount(), 0);
    auto guard = session->lock();
    EXPECT_EQ(session->textBufferSlot, 0u);
}

TEST_F(ReadPass, EntriesWhoseOffsetsDoNotFitAreSkippedWithoutReadingOutsideTheCopy) {
    usePatterns(kEveryLine);
    for (int i = 0; i < 6; ++i) log.append(kTime, 1, "entry " + std::to_string(i));
    // Entry lengths are 15 bytes each; the copy holds 90 bytes.
    log.setEndOffset(1, 15 + 7);    // shorter than its time and code
    log.setEndOffset(2, 4000);      // beyond the copied text
    log.setEndOffset(3, 10);        // before its own start
    setPosition(0, 0);

    EXPECT_EQ(session->readNewEntries(), 6);
    EXPECT_EQ(readCount(), 6);
    // Entry 4 starts where entry 3 ends by its table: offset 10, which is not
    // where the game wrote it, yet it lies inside the copy and is handled.
    auto lines = reportedLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "entry 0");
    EXPECT_EQ(lines[1].size(), 75u - 10u - 8u);
    EXPECT_EQ(lines[2], "entry 5");
}

TEST_F(ReadPass, LastOffsetBeyondAnyBlockIsAFailedReadNotAHugeCopy) {
    usePatterns(kEveryLine);
    log.appendFiller(3);
    log.setEndOffset(2, 0xFFFFFFF0u);
    setPosition(0, 0);
    EXPECT_EQ(session->readNewEntries(), -4);
    EXPECT_EQ(readCount(), 0);
}

TEST_F(ReadPass, KeywordNeverMatchesAcrossIntoTheNextEntry) {
    usePatterns(R"({"1": {"keyword": ["tail"], "code": "0"}})");
    log.append(kTime, 1, "ta");
    log.append(0x6C69, 1, "");  // the next entry's time begins with the bytes "il"
    setPosition(0, 0);
    session->readNewEntries();
    EXPECT_TRUE(reports().empty());
}

}  // namespace
}  // namespace tidemark
