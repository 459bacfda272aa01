#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "capture/game_processes.h"
#include "capture/game_processes_win32.h"
#include "support/gamesim_control.h"

namespace tidemark {
namespace {

constexpr const char* kInstallerKey =
    "SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
    "{2B41E132-07DF-4925-A3D3-F2D1765CCDFE}";

// The simulator's entry count read through `process`: tells apart two
// running copies started with different histories.
std::int32_t countSeenThrough(const ProcessMemory& process, const GameSimulator& game) {
    return process.readU32(game.state().entryCountAddress);
}

TEST(GameDiscoveryOnWine, FindsTheRunningClientByItsNameInAnyLetterCase) {
    GameSimulator dx11(GameSimulatorOptions().exe("ffxiv_dx11.exe").add("--history", "3"));
    GameSimulator dx9(GameSimulatorOptions().exe("ffxiv.exe").add("--history", "7"));
    ASSERT_TRUE(dx11.start());
    ASSERT_TRUE(dx9.start());
    Win32ProcessSystem system;

    for (const char* name : {"ffxiv_dx11.exe", "FFXIV_DX11.EXE", "Ffxiv_Dx11.Exe"}) {
        std::unique_ptr<ProcessMemory> game = openProcessByName(system, name);
        ASSERT_NE(game, nullptr) << name;
        EXPECT_EQ(countSeenThrough(*game, dx11), 4) << name;
    }
    std::unique_ptr<ProcessMemory> dx9Client = openProcessByName(system, "ffxiv.exe");
    ASSERT_NE(dx9Client, nullptr);
    EXPECT_EQ(countSeenThrough(*dx9Client, dx9), 8);
    EXPECT_EQ(openProcessByName(system, "ffxivupdater.exe"), nullptr);
}

TEST(GameDiscoveryOnWine, AnExitedClientIsNoLongerFound) {
    GameSimulator game;
    ASSERT_TRUE(game.start());
    Win32ProcessSystem system;
    ASSERT_NE(openProcessByName(system, "ffxiv_dx11.exe"), nullptr);
    ASSERT_TRUE(game.exit());
    EXPECT_EQ(openProcessByName(system, "ffxiv_dx11.exe"), nullptr);
}

// What tells a game that still runs from one started since: its id and its
// creation time, the same through every handle to it.
TEST(GameDiscoveryOnWine, AnOpenedProcessIsKnownByItsIdAndCreationTime) {
    GameSimulator first;
    ASSERT_TRUE(first.start());
    Win32ProcessSystem system;
    const auto identityOf = [&](std::uint32_t processId) {
        const std::unique_ptr<ProcessMemory> opened = system.openForReading(processId);
        return opened ? opened->identity() : std::nullopt;
    };
    const auto seen = identityOf(first.processId());
    ASSERT_TRUE(seen.has_value());
    EXPECT_EQ(seen->processId, first.processId());
    EXPECT_NE(seen->creationTime, 0u);
    EXPECT_EQ(identityOf(first.processId()), seen);

    GameSimulator second(GameSimulatorOptions().exe("ffxiv.exe"));
    ASSERT_TRUE(second.start());
    const auto other = identityOf(second.processId());
    ASSERT_TRUE(other.has_value());
    EXPECT_NE(other, seen);
}

TEST(GameDiscoveryOnWine, TheSnapshotListsProcessesWithTheirIdsAndBareNames) {
    GameSimulator game(GameSimulatorOptions().exe("ffxivlauncher.exe"));
    ASSERT_TRUE(game.start());
    Win32ProcessSystem system;
    std::vector<ProcessEntry> entries = system.listProcesses();
    auto launcher = std::find_if(entries.begin(), entries.end(),
                                 [](const ProcessEntry& e) { return e.exeFile == "ffxivlauncher.exe"; });
    ASSERT_NE(launcher, entries.end());
    EXPECT_EQ(launcher->processId, game.processId());
    EXPECT_EQ(system.openForReading(0xFFFFFFF0u), nullptr);
}

// The installer's key, created for a test and removed afterwards.
class InstallerKey {
public:
    InstallerKey() {
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, kInstallerKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_, nullptr);
    }
    ~InstallerKey() {
        if (key_ != nullptr) RegCloseKey(key_);
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, kInstallerKey);
    }
    bool valid() const { return key_ != nullptr; }
    void setLocation(const std::string& bytes) {
        RegSetValueExA(key_, "InstallLocation", 0, REG_SZ, reinterpret_cast<const BYTE*>(bytes.data()),
                       static_cast<DWORD>(bytes.size()));
    }
    void removeLocation() { RegDeleteValueA(key_, "InstallLocation"); }

private:
    HKEY key_ = nullptr;
};

TEST(GameLaunchOnWine, InstallLocationIsReadFromTheInstallersKey) {
    InstallerKey key;
    ASSERT_TRUE(key.valid());
    Win32ProcessSystem system;
    key.setLocation(std::string("C:\\Games\\SE", 12));  // with its terminating zero
    EXPECT_EQ(system.readInstallLocation(), "C:\\Games\\SE");
    key.setLocation("C:\\NoZero");  // stored without one
    EXPECT_EQ(system.readInstallLocation(), "C:\\NoZero");
    key.setLocation(std::string(300, 'x') + '\0');  // longer than the 260-byte buffer
    EXPECT_EQ(system.readInstallLocation(), std::nullopt);
    key.removeLocation();
    EXPECT_EQ(system.readInstallLocation(), std::nullopt);
}

TEST(GameLaunchOnWine, WithoutTheRecordedLocationNothingIsLaunched) {
    {
        InstallerKey key;
        ASSERT_TRUE(key.valid());
        Win32ProcessSystem system;
        EXPECT_FALSE(launchGame(system));  // key without the value
    }
    Win32ProcessSystem system;
    EXPECT_FALSE(launchGame(system));  // no key at all
}

// A fake installation: the simulator copied to where the boot program lies.
class FakeInstallation {
public:
    FakeInstallation() {
        char temp[MAX_PATH] = "";
        GetTempPathA(sizeof temp, temp);
        root_ = std::string(temp) + "tidemark-install-" + std::to_string(GetCurrentProcessId());
        game_ = root_ + "\\FINAL FANTASY XIV - A Realm Reborn";
        boot_ = game_ + "\\boot";
        CreateDirectoryA(root_.c_str(), nullptr);
        CreateDirectoryA(game_.c_str(), nullptr);
        CreateDirectoryA(boot_.c_str(), nullptr);
        copied_ = CopyFileA((GameSimulator::simulatorFolder() + "\\gamesim.exe").c_str(), bootProgram().c_str(),
                            FALSE) != 0;
    }
    ~FakeInstallation() {
        GameSimulatorControl(boot_).removeFiles();  // the boot program's own control files
        DeleteFileA(bootProgram().c_str());
        RemoveDirectoryA(boot_.c_str());
        RemoveDirectoryA(game_.c_str());
        RemoveDirectoryA(root_.c_str());
    }
    bool ready() const { return copied_; }
    const std::string& location() const { return root_; }
    const std::string& bootFolder() const { return boot_; }
    std::string bootProgram() const { return boot_ + "\\ffxivboot.exe"; }

private:
    std::string root_, game_, boot_;
    bool copied_ = false;
};

TEST(GameLaunchOnWine, StartsTheBootProgramInTheBootFolder) {
    FakeInstallation installation;
    ASSERT_TRUE(installation.ready());
    InstallerKey key;
    ASSERT_TRUE(key.valid());
    key.setLocation(installation.location() + '\0');
    HWND ownerAsked = reinterpret_cast<HWND>(1);
    Win32ProcessSystem system([&] {
        ownerAsked = nullptr;
        return ownerAsked;
    });

    ASSERT_TRUE(launchGame(system));
    EXPECT_EQ(ownerAsked, nullptr);

    // Run without arguments, the copy publishes its state in its own folder.
    GameSimulatorControl boot(installation.bootFolder());
    std::optional<GameSimulatorState> state = boot.waitForState([](const GameSimulatorState&) { return true; });
    ASSERT_TRUE(state.has_value());
    EXPECT_EQ(lstrcmpiA(state->cwd.c_str(), installation.bootFolder().c_str()), 0) << state->cwd;
    EXPECT_NE(openProcessByName(system, "ffxivboot.exe"), nullptr);

    HANDLE started = OpenProcess(SYNCHRONIZE, FALSE, state->processId);
    ASSERT_NE(started, nullptr);
    boot.append("exit");
    EXPECT_EQ(WaitForSingleObject(started, 10000), WAIT_OBJECT_0);
    CloseHandle(started);
}

}  // namespace
}  // namespace tidemark
