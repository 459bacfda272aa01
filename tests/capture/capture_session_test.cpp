#include "capture/capture_session.h"

#include <gtest/gtest.h>

#include "shell/texts.h"

namespace tidemark {
namespace {

LogRecord message(const std::u16string& text) {
    LogRecord record;
    record.text = text;
    return record;
}

TEST(MessageLog, HundredAndFirstMessageDropsTheOldestAndMarksTheLogChanged) {
    CaptureSession session;
    for (int i = 0; i < 101; ++i) {
        session.appendMessage(message(u"m" + std::u16string(1, static_cast<char16_t>(u'0' + i % 10)) +
                                      (i >= 100 ? u"last" : u"")));
    }
    auto guard = session.lock();
    ASSERT_EQ(session.messages.size(), 100u);
    EXPECT_EQ(session.messages.front().text, u"m1");
    EXPECT_EQ(session.messages.back().text, u"m0last");
    EXPECT_EQ(session.messagesChanged, 1);
}

TEST(MessageLog, ReportStatusPrefixesTheTableTextAndMarksAMessage) {
    CaptureSession session;
    session.reportStatus(kTextDirectX9Unsupported);
    auto guard = session.lock();
    ASSERT_EQ(session.messages.size(), 1u);
    EXPECT_EQ(session.messages[0].text, u"* " + LoadTextW(kTextDirectX9Unsupported));
    EXPECT_EQ(session.messages[0].patternId, -1);
    EXPECT_EQ(session.messages[0].kind, 0);
    EXPECT_GT(session.messages[0].time, 0);
}

TEST(MessageLog, EmptyServerTextsAddNothingAndLeaveTheFlag) {
    CaptureSession session;
    session.reportServerText("");
    session.reportServerText(nullptr);
    session.reportText("");
    auto guard = session.lock();
    EXPECT_TRUE(session.messages.empty());
    EXPECT_EQ(session.messagesChanged, 0);
}

TEST(MessageLog, ServerTextIsConvertedFromUtf8Unprefixed) {
    CaptureSession session;
    session.reportServerText("\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E ok");
    auto guard = session.lock();
    ASSERT_EQ(session.messages.size(), 1u);
    EXPECT_EQ(session.messages[0].text, u"日本語 ok");
}

TEST(MessageLog, RecordsKeptInTheLogNeverPointIntoAReadPassBuffer) {
    CaptureSession session;
    const std::uint8_t bytes[] = {1, 2, 3};
    LogRecord line = message(u"line");
    line.raw = bytes;
    line.rawLength = 3;
    session.appendMessage(line);
    auto guard = session.lock();
    EXPECT_EQ(session.messages[0].raw, nullptr);
}

TEST(MessageLog, TakeMessagesRendersOnlyWhenChangedOrForced) {
    CaptureSession session;
    EXPECT_FALSE(session.takeMessagesIfChanged(false).has_value());
    auto forced = session.takeMessagesIfChanged(true);
    ASSERT_TRUE(forced.has_value());
    EXPECT_TRUE(forced->empty());
    session.reportText("a");
    auto changed = session.takeMessagesIfChanged(false);
    ASSERT_TRUE(changed.has_value());
    EXPECT_EQ(*changed, std::vector<std::u16string>{u"a"});
    EXPECT_FALSE(session.takeMessagesIfChanged(false).has_value());
}

TEST(SessionReset, KeepsStopRequestIdentitiesAndDoesNotMarkTheLog) {
    CaptureSession session;
    session.setLanguage("ja");
    session.setPlayerId("12ab");
    session.setExecGame(1);
    session.sid = "s";
    session.fid = "f";
    session.launchConsidered = 1;
    session.dx9Reported = 1;
    session.startCount = 77;
    session.textBufferSlot = 0x1000;
    session.offsetTableSlot = 0x0FE8;
    session.entryCountAddress = 0x0FB4;
    session.readCount = 12;
    session.abortCode = 5;
    session.patternsLoaded = 1;
    session.reportText("x");
    session.messagesChanged = 0;
    session.stopRequested = 1;

    session.reset();

    auto guard = session.lock();
    EXPECT_EQ(session.stopRequested, 1);
    EXPECT_EQ(session.language(), "ja");
    EXPECT_EQ(session.playerId(), "12ab");
    EXPECT_EQ(session.execGame(), 1);
    EXPECT_EQ(session.sid, "s");
    EXPECT_EQ(session.fid, "f");
    EXPECT_EQ(session.launchConsidered, 1);
    EXPECT_EQ(session.dx9Reported, 1);
    EXPECT_EQ(session.startCount, 77u);
    EXPECT_EQ(session.textBufferSlot, 0u);
    EXPECT_EQ(session.offsetTableSlot, 0u);
    EXPECT_EQ(session.entryCountAddress, 0u);
    EXPECT_EQ(session.readCount, 0);
    EXPECT_EQ(session.abortCode, 0);
    EXPECT_EQ(session.patternsLoaded, 0);
    EXPECT_TRUE(session.messages.empty());
    EXPECT_EQ(session.messagesChanged, 0);
}

TEST(SessionReset, NewSessionIsInTheResetState) {
    CaptureSession session;
    auto guard = session.lock();
    EXPECT_EQ(session.gameProcess, nullptr);
    EXPECT_EQ(session.textBufferSlot, 0u);
    EXPECT_EQ(session.readCount, 0);
    EXPECT_EQ(session.patternsLoaded, 0);
    EXPECT_TRUE(session.messages.empty());
    EXPECT_EQ(session.httpClient, nullptr);
    EXPECT_TRUE(session.patterns.IsObject());
    EXPECT_TRUE(session.language().empty());
}

}  // namespace
}  // namespace tidemark
