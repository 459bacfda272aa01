#include "session/capture_session.h"

#include <gtest/gtest.h>

#include "texts/texts.h"

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
    auto messages = session.messages();
    ASSERT_EQ(messages.size(), 100u);
    EXPECT_EQ(messages.front().text, u"m1");
    EXPECT_EQ(messages.back().text, u"m0last");
    EXPECT_TRUE(session.takeMessagesIfChanged(false).has_value()) << "marked changed";
}

TEST(MessageLog, ReportStatusPrefixesTheTableTextAndMarksAMessage) {
    CaptureSession session;
    session.reportStatus(kTextDirectX9Unsupported);
    auto messages = session.messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, u"* " + LoadTextW(kTextDirectX9Unsupported));
    EXPECT_EQ(messages[0].patternId, -1);
    EXPECT_EQ(messages[0].kind, 0);
    EXPECT_GT(messages[0].time, 0);
}

TEST(MessageLog, EmptyServerTextsAddNothingAndLeaveTheFlag) {
    CaptureSession session;
    session.reportServerText("");
    session.reportServerText(nullptr);
    session.reportText("");
    EXPECT_TRUE(session.messages().empty());
    EXPECT_FALSE(session.takeMessagesIfChanged(false).has_value());
}

TEST(MessageLog, ServerTextIsConvertedFromUtf8Unprefixed) {
    CaptureSession session;
    session.reportServerText("\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E ok");
    auto messages = session.messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, u"日本語 ok");
}

TEST(MessageLog, RecordsKeptInTheLogNeverPointIntoAReadPassBuffer) {
    CaptureSession session;
    const std::uint8_t bytes[] = {1, 2, 3};
    LogRecord line = message(u"line");
    line.raw = bytes;
    line.rawLength = 3;
    session.appendMessage(line);
    ASSERT_EQ(session.messages().size(), 1u);
    EXPECT_EQ(session.messages()[0].raw, nullptr);
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

TEST(SessionReset, KeepsStopRequestAndSettingsEmptiesTheLogWithoutMarkingItAndMovesTheGeneration) {
    CaptureSession session;
    session.setLanguage("ja");
    session.setPlayerId("12ab");
    session.setExecGame(1);
    session.setAbortCode(5);
    session.reportText("x");
    session.takeMessagesIfChanged(false);
    session.requestStop();
    const std::uint64_t before = session.resetGeneration();

    EXPECT_EQ(session.reset(), before + 1);

    EXPECT_EQ(session.resetGeneration(), before + 1);
    EXPECT_TRUE(session.stopRequested());
    EXPECT_EQ(session.language(), "ja");
    EXPECT_EQ(session.playerId(), "12ab");
    EXPECT_EQ(session.execGame(), 1);
    EXPECT_EQ(session.abortCode(), 0);
    EXPECT_TRUE(session.messages().empty());
    EXPECT_FALSE(session.takeMessagesIfChanged(false).has_value());
}

TEST(SessionReset, ChoosingALanguageResetsInTheSameStep) {
    CaptureSession session;
    session.setLanguage("en");
    session.reportText("old");
    const std::uint64_t before = session.resetGeneration();

    session.chooseLanguage("ja");

    const CaptureSession::LanguageSnapshot snapshot = session.languageSnapshot();
    EXPECT_EQ(snapshot.language, "ja");
    EXPECT_EQ(snapshot.generation, before + 1);
    EXPECT_TRUE(session.messages().empty());
}

TEST(SessionReset, RecordsOfWorkBegunBeforeAResetAreDropped) {
    CaptureSession session;
    const std::uint64_t begun = session.resetGeneration();
    LogRecord line = message(u"line");
    EXPECT_TRUE(session.appendMessageIfCurrent(line, begun));
    session.reset();

    EXPECT_FALSE(session.appendMessageIfCurrent(line, begun));
    EXPECT_FALSE(session.reportTextIfCurrent("* msg", begun));
    EXPECT_FALSE(session.reportServerTextIfCurrent("error", begun));
    EXPECT_TRUE(session.messages().empty());
    EXPECT_TRUE(session.appendMessageIfCurrent(line, session.resetGeneration()));
}

}  // namespace
}  // namespace tidemark
