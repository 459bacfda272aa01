#include "shell/settings.h"

#include <gtest/gtest.h>

#include "session/capture_session.h"
#include "fakes/fake_settings_store.h"

namespace tidemark {
namespace {

TEST(SettingsPath, ExtensionOfTheFileNameIsReplaced) {
    EXPECT_EQ(settingsPathFor("C:\\Games\\Tidemark\\Tidemark.exe"), "C:\\Games\\Tidemark\\Tidemark.ini");
    EXPECT_EQ(settingsPathFor("C:\\tools\\a.b.exe"), "C:\\tools\\a.b.ini");
    EXPECT_EQ(settingsPathFor("C:\\tools\\tidemark.e"), "C:\\tools\\tidemark.ini");
    EXPECT_EQ(settingsPathFor("C:\\tools\\name."), "C:\\tools\\name.ini");
}

// The journal and the log's last place sit beside the settings file, named
// the same way.
TEST(SettingsPath, TheJournalAndTheLogsPlaceAreTheSettingsFileWithTheirExtensions) {
    for (const char* exe : {"C:\\Games\\Tidemark.exe", "/opt/app.v2/tidemark", "C:\\x\\name. b"}) {
        std::string stem = settingsPathFor(exe);
        stem.resize(stem.size() - 4);
        EXPECT_EQ(journalPathFor(exe).string(), stem + ".queue") << exe;
        EXPECT_EQ(knownLogPathFor(exe).string(), stem + ".log-address") << exe;
    }
    EXPECT_TRUE(journalPathFor("").empty()) << "no executable path: in memory only";
    EXPECT_TRUE(knownLogPathFor("").empty()) << "no executable path: always searched for";
}

TEST(SettingsPath, FileNameWithoutExtensionGetsIniAppended) {
    EXPECT_EQ(settingsPathFor("C:\\tools\\Tidemark"), "C:\\tools\\Tidemark.ini");
    EXPECT_EQ(settingsPathFor("Tidemark"), "Tidemark.ini");
    EXPECT_EQ(settingsPathFor(""), ".ini");
}

TEST(SettingsPath, DotsInFolderNamesAreNeverTouched) {
    EXPECT_EQ(settingsPathFor("C:\\app.v2\\Tidemark"), "C:\\app.v2\\Tidemark.ini");
    EXPECT_EQ(settingsPathFor("C:\\app.v2\\sub.d\\Tidemark.exe"), "C:\\app.v2\\sub.d\\Tidemark.ini");
    EXPECT_EQ(settingsPathFor("/opt/app.v2/tidemark"), "/opt/app.v2/tidemark.ini");
}

TEST(SettingsPath, DotFollowedBySpaceIsNoExtensionAsOnThePlatform) {
    EXPECT_EQ(settingsPathFor("C:\\My Games\\Tide mark.exe"), "C:\\My Games\\Tide mark.ini");
    EXPECT_EQ(settingsPathFor("C:\\tools\\a.b c"), "C:\\tools\\a.b c.ini");
}

class LoadSettings : public ::testing::Test {
protected:
    void SetUp() override {
        // Values that a previous load left behind must not survive.
        execOnTray = 1;
        exitToTray = 1;
        settingsPath.clear();
    }
    CaptureSession session;
    FakeSettingsStore store;
};

TEST_F(LoadSettings, WithoutAFileEverythingIsOffAndEmptyAndNothingIsWritten) {
    loadSettings(session, store);
    EXPECT_EQ(session.language(), "");
    EXPECT_EQ(session.playerId(), "");
    EXPECT_EQ(session.execGame(), 0);
    EXPECT_EQ(execOnTray, 0);
    EXPECT_EQ(exitToTray, 0);
    EXPECT_TRUE(store.writes().empty());
    EXPECT_FALSE(store.fileExists());
}

TEST_F(LoadSettings, PathIsDerivedFromTheRunningExecutable) {
    loadSettings(session, store);
    ASSERT_FALSE(executablePath().empty());
    EXPECT_EQ(settingsPath, settingsPathFor(executablePath()));
    EXPECT_TRUE(settingsPath.ends_with(".ini"));
}

TEST_F(LoadSettings, ReadsTheFiveGeneralValuesWhateverTheirCase) {
    store.preset("GENERAL", "Language", "ja");
    store.preset("general", "WADER", "p-1234");
    store.preset("General", "execgame", "1");
    store.preset("general", "EXECONTRAY", "1");
    store.preset("general", "exittotray", "1");
    store.preset("window", "language", "fr");  // another section is not read
    loadSettings(session, store);
    EXPECT_EQ(session.language(), "ja");
    EXPECT_EQ(session.playerId(), "p-1234");
    EXPECT_EQ(session.execGame(), 1);
    EXPECT_EQ(execOnTray, 1);
    EXPECT_EQ(exitToTray, 1);
    EXPECT_TRUE(store.writes().empty());
}

TEST_F(LoadSettings, AnyNonZeroNumberIsOnAndTextThatIsNoNumberIsOff) {
    store.preset("general", "ExecGame", "2");
    store.preset("general", "ExecOnTray", "-1");
    store.preset("general", "ExitToTray", "yes");
    loadSettings(session, store);
    EXPECT_EQ(session.execGame(), 1);
    EXPECT_EQ(execOnTray, 1);
    EXPECT_EQ(exitToTray, 0);
    EXPECT_TRUE(store.writes().empty());
}

TEST_F(LoadSettings, TextValuesAreCutToTheirFirst511Characters) {
    std::string longId(600, 'x');
    longId[510] = 'A';
    longId[511] = 'B';
    store.preset("general", "wader", longId);
    store.preset("general", "language", std::string(512, 'l'));
    loadSettings(session, store);
    EXPECT_EQ(session.playerId(), longId.substr(0, 511));
    EXPECT_EQ(session.playerId().back(), 'A');
    EXPECT_EQ(session.language(), std::string(511, 'l'));
}

}  // namespace
}  // namespace tidemark
