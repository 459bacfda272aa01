// What a report's answer changes, and the queue of reports that wait for the
// server.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture/report_effects.h"
#include "capture/report_queue.h"
#include "fakes/fake_settings_store.h"
#include "texts/texts.h"

namespace tidemark {
namespace {

ReportAnswer objectAnswer() {
    ReportAnswer answer;
    answer.outcome = ReportAnswer::Outcome::Object;
    return answer;
}

class ReportEffects : public ::testing::Test {
protected:
    void apply(const ReportAnswer& answer) {
        applyReportAnswer(answer, record, session.resetGeneration(), session, identifiers, &settings);
    }
    std::vector<std::u16string> texts() const {
        std::vector<std::u16string> out;
        for (const LogRecord& r : session.messages()) out.push_back(r.text);
        return out;
    }

    CaptureSession session;
    ServerIdentifiers identifiers;
    FakeSettingsStore settings;
    LogRecord record;
};

TEST_F(ReportEffects, MembersApplyInOrderAndAGoodPlayerIdIsSavedAtOnce) {
    ReportAnswer answer = objectAnswer();
    answer.log = "listed \xE6\x97\xA5";
    answer.msg = "hello";
    answer.sid = "s1";
    answer.fid = "f1";
    answer.aid = "ab12";

    apply(answer);

    EXPECT_EQ(texts(), (std::vector<std::u16string>{u"listed 日", u"* hello"}));
    EXPECT_EQ(identifiers.sid, "s1");
    EXPECT_EQ(identifiers.fid, "f1");
    EXPECT_EQ(session.playerId(), "ab12");
    EXPECT_EQ(settings.value("general", "wader"), "ab12");
}

TEST_F(ReportEffects, AnswersThatAreNotObjectsAreListedAsServerTextAndNotSentOnesChangeNothing) {
    ReportAnswer text;
    text.outcome = ReportAnswer::Outcome::NotAnObject;
    text.text = "server busy";
    apply(text);
    apply(ReportAnswer{});  // not sent

    EXPECT_EQ(texts(), std::vector<std::u16string>{u"server busy"});
    EXPECT_TRUE(settings.writes().empty());
}

// A player id that would not read back as sent: new lines and sections in
// the settings file, a value cut at 511, blanks or quotes stripped.
TEST_F(ReportEffects, APlayerIdThatCannotBeKeptIsRefusedAndToldAndALaterGoodOneIsSaved) {
    session.setPlayerId("known");
    for (const std::string& hostile :
         {std::string("ab12\r\n[window]\r\npos_x=-32000"), std::string(512, 'a'), std::string("ab 12"),
          std::string("\"ab12\""), std::string("ab12'"), std::string(), std::string("\xE6\x97\xA5")}) {
        ReportAnswer answer = objectAnswer();
        answer.aid = hostile;
        apply(answer);
        EXPECT_EQ(session.playerId(), "known") << hostile;
    }
    EXPECT_TRUE(settings.writes().empty());
    EXPECT_EQ(texts().size(), 7u);
    EXPECT_EQ(texts().front(), u"* " + LoadTextW(kTextPlayerIdRefused));

    ReportAnswer good = objectAnswer();
    good.aid = std::string(511, 'b');
    apply(good);
    EXPECT_EQ(settings.value("general", "wader"), std::string(511, 'b'));
}

TEST_F(ReportEffects, WorkBegunBeforeAResetListsNothing) {
    const std::uint64_t before = session.resetGeneration();
    session.reset();
    ReportAnswer answer = objectAnswer();
    answer.log = "late";
    answer.msg = "late too";
    answer.sid = "s2";
    answer.aid = "bad\r\nid";
    applyReportAnswer(answer, record, before, session, identifiers, &settings);

    EXPECT_TRUE(session.messages().empty());
    EXPECT_EQ(identifiers.sid, "s2") << "the server's identifiers hold for the whole run";
}

PendingReport pending(const std::string& line) {
    LogRecord record;
    record.raw = reinterpret_cast<const std::uint8_t*>(line.data());
    record.rawLength = static_cast<std::uint32_t>(line.size());
    return pendingReportOf(record, "en", 1);
}

TEST(ReportQueue, KeepsItsBoundByDroppingTheOldestAndOwnsTheLineBytes) {
    ReportQueue byCount(3, 1000);
    std::size_t dropped = 0;
    for (int i = 0; i < 5; ++i) dropped += byCount.push(pending("line " + std::to_string(i)));
    EXPECT_EQ(dropped, 2u);
    ASSERT_EQ(byCount.size(), 3u);
    ASSERT_NE(byCount.next(0), nullptr);
    const LogRecord first = byCount.next(0)->recordForSending();
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(first.raw), first.rawLength), "line 2");

    ReportQueue byBytes(100, 10);
    byBytes.push(pending("123456"));
    EXPECT_EQ(byBytes.push(pending("7890ab")), 1u);
    EXPECT_EQ(byBytes.size(), 1u);
}

TEST(ReportQueue, BacksOffFromOneSecondDoublingToAMinuteAndStartsOverOnSuccess) {
    ReportQueue queue;
    EXPECT_TRUE(queue.due(0));
    std::uint64_t now = 0;
    std::vector<std::uint64_t> delays;
    for (int i = 0; i < 8; ++i) {
        queue.attemptFailed(now);
        std::uint64_t next = now;
        while (!queue.due(next)) next += 500;
        delays.push_back(next - now);
        now = next;
    }
    EXPECT_EQ(delays, (std::vector<std::uint64_t>{1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000}));
    queue.attemptSucceeded(now);
    queue.attemptFailed(now);
    EXPECT_FALSE(queue.due(now + 999));
    EXPECT_TRUE(queue.due(now + 1000));
}

// The server's Retry-After holds when it is longer than the back-off, within
// a bound; a "too many" answer slows the backlog, and a run of successes
// brings it back up to the documented 20 a second, never beyond.
TEST(ReportQueue, HonoursRetryAfterAndPacesTheBacklogSlowerAfterTooMany) {
    ReportQueue queue;
    queue.attemptSucceeded(0);
    EXPECT_EQ(queue.nextSendMs(), 50u);

    queue.attemptFailed(1000, 30u);
    EXPECT_EQ(queue.nextSendMs(), 31000u);
    queue.attemptFailed(31000, 0u);
    EXPECT_EQ(queue.nextSendMs(), 33000u) << "the back-off when longer";
    queue.attemptFailed(33000, 4000000000u);
    EXPECT_EQ(queue.nextSendMs(), 33000u + ReportQueue::kLongestRetryAfterMs);

    ReportQueue paced;
    for (std::uint64_t expected : {100u, 200u, 400u, 800u, 1000u, 1000u}) {
        paced.attemptFailed(0, std::nullopt, /*tooMany=*/true);
        EXPECT_EQ(paced.paceMs(), expected);
    }
    std::uint64_t now = 0;
    for (int i = 0; i < 10 * ReportQueue::kRecoveryReports; ++i) {
        const std::uint64_t pace = paced.paceMs();
        paced.attemptSucceeded(now);
        EXPECT_EQ(paced.nextSendMs(), now + pace);
        now = paced.nextSendMs();
    }
    EXPECT_EQ(paced.paceMs(), ReportQueue::kFastestPaceMs);
}

}  // namespace
}  // namespace tidemark
