// What the code relies on of a settings store, run against the in-memory
// fake and, in the Windows build, against the real INI file store: the fake
// is only worth its tests while it behaves as the platform does.
#include <gtest/gtest.h>

#include "fakes/fake_settings_store.h"

#ifdef _WIN32
#include "settings/temp_folder_win32.h"
#include "shell/ini_settings_store_win32.h"
#endif

namespace tidemark {
namespace {

class FakeStoreHarness {
public:
    SettingsStore& store() { return store_; }
    bool fileExists() const { return store_.fileExists(); }

private:
    FakeSettingsStore store_;
};

#ifdef _WIN32
class IniFileHarness {
public:
    SettingsStore& store() { return store_; }
    bool fileExists() const { return folder_.exists("settings.ini"); }

private:
    TempFolder folder_;
    IniSettingsStore store_{folder_.path("settings.ini")};
};
#endif

template <typename Harness>
class SettingsStoreContract : public ::testing::Test {
protected:
    Harness harness;
    SettingsStore& store = harness.store();
};

#ifdef _WIN32
using Harnesses = ::testing::Types<FakeStoreHarness, IniFileHarness>;
#else
using Harnesses = ::testing::Types<FakeStoreHarness>;
#endif
TYPED_TEST_SUITE(SettingsStoreContract, Harnesses);

TYPED_TEST(SettingsStoreContract, ReadingAMissingFileGivesDefaultsAndNeverCreatesIt) {
    EXPECT_EQ(this->store.readText("general", "language", "", 512), "");
    EXPECT_EQ(this->store.readText("general", "language", "fallback", 512), "fallback");
    EXPECT_EQ(this->store.readInt("general", "ExecGame", 0), 0);
    EXPECT_EQ(this->store.readInt("window", "pos_x", -7), -7);
    EXPECT_FALSE(this->harness.fileExists());
}

TYPED_TEST(SettingsStoreContract, WrittenValuesReadBackWithNamesInAnyCase) {
    ASSERT_TRUE(this->store.writeText("general", "ExecGame", "1"));
    ASSERT_TRUE(this->store.writeText("general", "language", "ja"));
    EXPECT_TRUE(this->harness.fileExists());
    EXPECT_EQ(this->store.readInt("GENERAL", "execgame", 0), 1);
    EXPECT_EQ(this->store.readText("General", "LANGUAGE", "", 512), "ja");
    EXPECT_EQ(this->store.readText("window", "language", "none", 512), "none");
}

TYPED_TEST(SettingsStoreContract, AWriteReplacesTheValueAndKeepsTheOthers) {
    this->store.writeText("general", "language", "en");
    this->store.writeText("general", "wader", "id-1");
    this->store.writeText("window", "pos_x", "12");
    this->store.writeText("GENERAL", "Language", "ja");
    EXPECT_EQ(this->store.readText("general", "language", "", 512), "ja");
    EXPECT_EQ(this->store.readText("general", "wader", "", 512), "id-1");
    EXPECT_EQ(this->store.readInt("window", "pos_x", 0), 12);
}

TYPED_TEST(SettingsStoreContract, IntegersAreTheLeadingSignedDecimalNumber) {
    this->store.writeText("window", "pos_x", "-1234");
    this->store.writeText("window", "pos_y", "56px");
    this->store.writeText("general", "ExecGame", "2");
    this->store.writeText("general", "ExecOnTray", "on");
    this->store.writeText("general", "ExitToTray", "");
    EXPECT_EQ(this->store.readInt("window", "pos_x", 0), -1234);
    EXPECT_EQ(this->store.readInt("window", "pos_y", 0), 56);
    EXPECT_EQ(this->store.readInt("general", "ExecGame", 0), 2);
    EXPECT_EQ(this->store.readInt("general", "ExecOnTray", 5), 0);
    EXPECT_EQ(this->store.readInt("general", "ExitToTray", 5), 5);
}

TYPED_TEST(SettingsStoreContract, TextReadsKeepAtMostOneCharacterLessThanTheBuffer) {
    std::string value(600, 'v');
    value[510] = 'L';
    this->store.writeText("general", "wader", value);
    const std::string read = this->store.readText("general", "wader", "", 512);
    EXPECT_EQ(read.size(), 511u);
    EXPECT_EQ(read, value.substr(0, 511));
    EXPECT_EQ(this->store.readText("general", "wader", "", 4), "vvv");
}

}  // namespace
}  // namespace tidemark
