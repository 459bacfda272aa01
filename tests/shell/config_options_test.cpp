#include "shell/config_options.h"

#include <gtest/gtest.h>

#include "session/capture_session.h"
#include "fakes/fake_settings_store.h"
#include "shell/settings.h"

namespace tidemark {
namespace {

using Write = FakeSettingsStore::Write;

LanguageList languages(const char* json) {
    LanguageList list;
    EXPECT_TRUE(parseLanguageList(json, list));
    return list;
}

TEST(ConfigOptions, EachCheckBoxWritesItsKeyAtOnceWithItsValue) {
    CaptureSession session;
    FakeSettingsStore settings;
    execOnTray = 0;
    exitToTray = 0;

    chooseExecGame(session, settings, true);
    EXPECT_EQ(session.execGame(), 1);
    chooseExitToTray(settings, true);
    EXPECT_EQ(exitToTray, 1);
    chooseExecOnTray(settings, true);
    EXPECT_EQ(execOnTray, 1);
    chooseExecGame(session, settings, false);
    EXPECT_EQ(session.execGame(), 0);
    chooseExitToTray(settings, false);
    EXPECT_EQ(exitToTray, 0);

    EXPECT_EQ(settings.writes(), (std::vector<Write>{{"general", "ExecGame", "1"},
                                                     {"general", "ExitToTray", "1"},
                                                     {"general", "ExecOnTray", "1"},
                                                     {"general", "ExecGame", "0"},
                                                     {"general", "ExitToTray", "0"}}));
    execOnTray = 0;
}

TEST(ConfigOptions, ChoosingALanguageSetsItResetsTheSessionAndSavesIt) {
    CaptureSession session;
    FakeSettingsStore settings;
    LanguageList list = languages(R"([{"code":"en","name2":"English"},{"code":"ja","name2":"J"}])");
    session.setPlayerId("p1");
    session.reportText("old message");
    session.setAbortCode(-3);
    session.requestStop();
    const std::uint64_t generation = session.resetGeneration();

    EXPECT_TRUE(chooseLanguage(session, settings, list, 1));

    EXPECT_EQ(session.language(), "ja");
    EXPECT_EQ(settings.writes(), (std::vector<Write>{{"general", "language", "ja"}}));
    EXPECT_EQ(session.resetGeneration(), generation + 1);
    EXPECT_TRUE(session.messages().empty());
    EXPECT_EQ(session.abortCode(), 0);
    EXPECT_TRUE(session.stopRequested());
    EXPECT_EQ(session.playerId(), "p1");
}

TEST(ConfigOptions, AnItemWithoutACodeChangesNothing) {
    CaptureSession session;
    FakeSettingsStore settings;
    LanguageList list = languages(R"([{"name2":"no code"},{"code":"en","name2":"English"}])");
    session.setLanguage("en");
    session.reportText("kept");
    const std::uint64_t generation = session.resetGeneration();

    EXPECT_FALSE(chooseLanguage(session, settings, list, 0));
    EXPECT_FALSE(chooseLanguage(session, settings, list, -1));

    EXPECT_EQ(session.language(), "en");
    EXPECT_TRUE(settings.writes().empty());
    EXPECT_EQ(session.resetGeneration(), generation);
    EXPECT_EQ(session.messages().size(), 1u);
}

}  // namespace
}  // namespace tidemark
