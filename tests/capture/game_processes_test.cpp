#include <gtest/gtest.h>

#include "capture/game_processes.h"
#include "fakes/fake_process_system.h"

namespace tidemark {
namespace {

using Started = FakeProcessSystem::StartedProgram;

class GameProcesses : public ::testing::Test {
protected:
    std::unique_ptr<ProcessMemory> open(const std::string& name) {
        return openProcessByName(system, name, [this] { return stopRequested; });
    }
    std::uint32_t openedId(const std::string& name) { return FakeProcessSystem::processIdOf(open(name).get()); }

    FakeProcessSystem system;
    bool stopRequested = false;
};

TEST_F(GameProcesses, NameMatchesWhateverTheLetterCase) {
    system.addProcess(4, "explorer.exe");
    system.addProcess(7, "FFXIV_DX11.EXE");
    EXPECT_EQ(openedId("ffxiv_dx11.exe"), 7u);
    EXPECT_EQ(openedId("Ffxiv_Dx11.Exe"), 7u);
    EXPECT_EQ(system.openedProcessIds(), (std::vector<std::uint32_t>{7, 7}));
}

TEST_F(GameProcesses, NamesThatOnlyContainOrStartLikeTheWantedOneDoNotMatch) {
    system.addProcess(1, "ffxiv_dx11.exe.bak");
    system.addProcess(2, "ffxiv_dx11.ex");
    system.addProcess(3, "xffxiv_dx11.exe");
    system.addProcess(4, "ffxiv.exe");
    EXPECT_EQ(open("ffxiv_dx11.exe"), nullptr);
    EXPECT_TRUE(system.openedProcessIds().empty());
    EXPECT_EQ(openedId("ffxiv.exe"), 4u);
}

TEST_F(GameProcesses, OfTwoProcessesWithTheNameTheFirstListedIsOpened) {
    system.addProcess(30, "ffxiv_dx11.exe");
    system.addProcess(20, "ffxiv_dx11.exe");
    EXPECT_EQ(openedId("ffxiv_dx11.exe"), 30u);
}

TEST_F(GameProcesses, AFirstMatchThatCannotBeOpenedGivesNullWithoutTryingTheNext) {
    system.addProcess(30, "ffxiv_dx11.exe");
    system.addProcess(20, "ffxiv_dx11.exe");
    system.refuseToOpen(30);
    EXPECT_EQ(open("ffxiv_dx11.exe"), nullptr);
    EXPECT_EQ(system.openedProcessIds(), (std::vector<std::uint32_t>{30}));
}

TEST_F(GameProcesses, AStopRequestEndsTheWalkBeforeAnyMatchIsOpened) {
    system.addProcess(7, "ffxiv_dx11.exe");
    stopRequested = true;
    EXPECT_EQ(open("ffxiv_dx11.exe"), nullptr);
    EXPECT_TRUE(system.openedProcessIds().empty());
}

TEST_F(GameProcesses, EachSearchSeesTheProcessesRunningAtThatMoment) {
    EXPECT_EQ(open("ffxiv_dx11.exe"), nullptr);
    system.addProcess(9, "ffxiv_dx11.exe");
    EXPECT_EQ(openedId("ffxiv_dx11.exe"), 9u);
    system.removeProcess(9);
    EXPECT_EQ(open("ffxiv_dx11.exe"), nullptr);
    EXPECT_EQ(system.snapshotsTaken(), 3);
}

TEST_F(GameProcesses, LaunchStartsTheBootProgramInItsOwnFolder) {
    system.setInstallLocation("C:\\Games");
    EXPECT_TRUE(launchGame(system));
    EXPECT_EQ(system.startedPrograms(),
              (std::vector<Started>{{"C:\\Games\\FINAL FANTASY XIV - A Realm Reborn\\boot\\ffxivboot.exe",
                                     "C:\\Games\\FINAL FANTASY XIV - A Realm Reborn\\boot\\"}}));
}

TEST_F(GameProcesses, LaunchJoinsALocationEndingInABackslashAsItIs) {
    system.setInstallLocation("D:\\SquareEnix\\");
    EXPECT_TRUE(launchGame(system));
    ASSERT_EQ(system.startedPrograms().size(), 1u);
    EXPECT_EQ(system.startedPrograms()[0].program,
              "D:\\SquareEnix\\\\FINAL FANTASY XIV - A Realm Reborn\\boot\\ffxivboot.exe");
}

TEST_F(GameProcesses, LaunchWithoutARecordedLocationFailsAndStartsNothing) {
    system.setInstallLocation(std::nullopt);
    EXPECT_FALSE(launchGame(system));
    EXPECT_TRUE(system.startedPrograms().empty());
}

}  // namespace
}  // namespace tidemark
