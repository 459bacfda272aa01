#include "shell/window_position.h"

#include <gtest/gtest.h>

#include "fakes/fake_settings_store.h"

namespace tidemark {
namespace {

TEST(WindowPositionLoad, NoSavedPositionKeepsTheCentring) {
    FakeSettingsStore settings;
    EXPECT_EQ(loadWindowPosition(settings), std::nullopt);
    EXPECT_FALSE(settings.fileExists());
}

TEST(WindowPositionLoad, EitherCoordinateZeroKeepsTheCentring) {
    FakeSettingsStore settings;
    settings.preset("window", "pos_x", "0");
    settings.preset("window", "pos_y", "120");
    EXPECT_EQ(loadWindowPosition(settings), std::nullopt);
    settings.preset("window", "pos_x", "40");
    settings.preset("window", "pos_y", "0");
    EXPECT_EQ(loadWindowPosition(settings), std::nullopt);
}

TEST(WindowPositionLoad, NegativeAndOffScreenPositionsAreRestoredUnchanged) {
    FakeSettingsStore settings;
    settings.preset("WINDOW", "Pos_X", "-1900");
    settings.preset("window", "pos_y", "5000");
    EXPECT_EQ(loadWindowPosition(settings), (ScreenPoint{-1900, 5000}));
}

TEST(WindowPositionSave, WritesTheTopLeftCornerInSignedDecimal) {
    FakeSettingsStore settings;
    EXPECT_TRUE(saveWindowPosition(settings, {-30, 25, 620, 480}));
    EXPECT_EQ(settings.value("window", "pos_x"), "-30");
    EXPECT_EQ(settings.value("window", "pos_y"), "25");
    EXPECT_EQ(loadWindowPosition(settings), (ScreenPoint{-30, 25}));
}

TEST(WindowPositionSave, WindowEndingAtOrLeftOfTheOriginKeepsTheEarlierValues) {
    FakeSettingsStore settings;
    settings.preset("window", "pos_x", "100");
    settings.preset("window", "pos_y", "200");
    EXPECT_FALSE(saveWindowPosition(settings, {-700, 10, 0, 400}));
    EXPECT_FALSE(saveWindowPosition(settings, {10, -600, 600, -1}));
    EXPECT_TRUE(settings.writes().empty());
    EXPECT_EQ(loadWindowPosition(settings), (ScreenPoint{100, 200}));
    EXPECT_TRUE(saveWindowPosition(settings, {-649, -449, 1, 1}));
}

}  // namespace
}  // namespace tidemark
