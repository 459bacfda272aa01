// The settings file on the platform: the path the running executable gets,
// and what loading reads from a real INI file written by hand.
#include <windows.h>
#include <shlwapi.h>

#include <fstream>
#include <map>
#include <sstream>

#include <gtest/gtest.h>

#include "capture/report_effects.h"
#include "settings/temp_folder_win32.h"
#include "shell/ini_settings_store_win32.h"
#include "shell/settings.h"

namespace tidemark {
namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void spill(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string probePath() {
    std::string self = executablePath();
    return self.substr(0, self.find_last_of('\\') + 1) + "settings_probe.exe";
}

// Runs a copy of the probe under `exeName` in `folder`; its findings by name.
std::map<std::string, std::string> runProbeAs(const TempFolder& folder, const std::string& exeName) {
    const std::string exe = folder.path(exeName);
    const std::string report = folder.path("probe-report.txt");
    EXPECT_TRUE(CopyFileA(probePath().c_str(), exe.c_str(), FALSE)) << probePath();
    std::string commandLine = "\"" + exe + "\" \"" + report + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        folder.path().c_str(), &startup, &process)) {
        ADD_FAILURE() << "cannot start " << exe << ": error " << GetLastError();
        return {};
    }
    WaitForSingleObject(process.hProcess, 30000);
    DWORD exitCode = 1;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    EXPECT_EQ(exitCode, 0u);
    std::map<std::string, std::string> found;
    std::istringstream lines(slurp(report));
    for (std::string line; std::getline(lines, line);) {
        auto equals = line.find('=');
        if (equals != std::string::npos) found[line.substr(0, equals)] = line.substr(equals + 1);
    }
    DeleteFileA(report.c_str());
    return found;
}

TEST(SettingsPathOnWindows, AgreesWithPathFindExtension) {
    for (std::string path : {"C:\\Games\\Tidemark.exe", "C:\\tools\\a.b.exe", "C:\\app.v2\\Tidemark",
                             "C:\\tools\\name.", "C:\\My Games\\Tide mark.exe", "C:\\tools\\a.b c",
                             "Tidemark", "C:\\x.y\\z.w\\noext"}) {
        const char* extension = PathFindExtensionA(path.c_str());
        std::string expected(path.c_str(), static_cast<std::size_t>(extension - path.c_str()));
        expected += ".ini";
        EXPECT_EQ(settingsPathFor(path), expected) << path;
    }
}

TEST(SettingsFileOnWindows, NamedLikeTheExecutableWithOnlyTheLastExtensionReplaced) {
    TempFolder folder;
    auto found = runProbeAs(folder, "a.b.exe");
    EXPECT_EQ(found["settingsPath"], folder.path("a.b.ini"));
    EXPECT_FALSE(folder.exists("a.b.ini"));
}

TEST(SettingsFileOnWindows, ExecutableWithoutExtensionGetsIniAppended) {
    TempFolder folder;
    spill(folder.path("tidemark.ini"), "[general]\r\nlanguage=en\r\n");
    auto found = runProbeAs(folder, "tidemark");
    EXPECT_EQ(found["settingsPath"], folder.path("tidemark.ini"));
    EXPECT_EQ(found["language"], "en");
}

TEST(SettingsFileOnWindows, LoadReadsAHandWrittenFileWithoutRegardToCase) {
    TempFolder folder;
    const std::string longId(600, 'w');
    spill(folder.path("Tidemark.ini"),
          "[window]\r\npos_x=-20\r\n"
          "[GENERAL]\r\nLANGUAGE=ja\r\nWader=" + longId + "\r\nexecgame=2\r\nExecOnTray=1\r\nexittotray=off\r\n");
    const std::string before = slurp(folder.path("Tidemark.ini"));
    auto found = runProbeAs(folder, "Tidemark.exe");
    EXPECT_EQ(found["language"], "ja");
    EXPECT_EQ(found["playerId"], longId.substr(0, 511));
    EXPECT_EQ(found["execGame"], "1");
    EXPECT_EQ(found["execOnTray"], "1");
    EXPECT_EQ(found["exitToTray"], "0");
    EXPECT_EQ(slurp(folder.path("Tidemark.ini")), before);
}

TEST(SettingsFileOnWindows, LoadWithoutAFileReadsDefaultsAndCreatesNone) {
    TempFolder folder;
    auto found = runProbeAs(folder, "Tidemark.exe");
    EXPECT_EQ(found["settingsPath"], folder.path("Tidemark.ini"));
    EXPECT_EQ(found["language"], "");
    EXPECT_EQ(found["playerId"], "");
    EXPECT_EQ(found["execGame"], "0");
    EXPECT_EQ(found["execOnTray"], "0");
    EXPECT_EQ(found["exitToTray"], "0");
    EXPECT_FALSE(folder.exists("Tidemark.ini"));
}

TEST(IniSettingsStore, AWriteChangesItsLineOnlyAndTheNextRunReadsIt) {
    TempFolder folder;
    const std::string file = folder.path("Tidemark.ini");
    spill(file, "; kept\r\n[general]\r\nlanguage=en\r\nExecGame=0\r\n[window]\r\npos_x=5\r\n");
    IniSettingsStore store(file);
    ASSERT_TRUE(store.writeText("general", "execgame", "1"));
    ASSERT_TRUE(store.writeText("window", "pos_y", "-8"));
    const std::string text = slurp(file);
    EXPECT_NE(text.find("; kept"), std::string::npos);
    EXPECT_NE(text.find("language=en"), std::string::npos);
    EXPECT_EQ(text.find("ExecGame=0"), std::string::npos);
    IniSettingsStore nextRun(file);
    EXPECT_EQ(nextRun.readInt("general", "ExecGame", 0), 1);
    EXPECT_EQ(nextRun.readInt("window", "pos_x", 0), 5);
    EXPECT_EQ(nextRun.readInt("window", "pos_y", 0), -8);
}

// The server's "aid" goes into the file as "wader": a hostile one must not
// add keys or sections, and the next ordinary one is saved.
TEST(IniSettingsStore, APlayerIdFromTheServerNeverRewritesTheFile) {
    TempFolder folder;
    const std::string file = folder.path("Tidemark.ini");
    const std::string before = "[general]\r\nwader=ab12\r\n[window]\r\npos_x=5\r\n";
    spill(file, before);
    IniSettingsStore store(file);
    CaptureSession session;
    session.setPlayerId("ab12");
    ServerIdentifiers identifiers;
    LogRecord record;
    ReportAnswer answer;
    answer.outcome = ReportAnswer::Outcome::Object;

    answer.aid = "cd34\r\n[window]\r\npos_x=-32000\r\n[evil]\r\nkey=1";
    applyReportAnswer(answer, record, session.resetGeneration(), session, identifiers, &store);
    EXPECT_EQ(slurp(file), before);
    EXPECT_EQ(IniSettingsStore(file).readText("general", "wader", ""), "ab12");

    answer.aid = "ef56";
    applyReportAnswer(answer, record, session.resetGeneration(), session, identifiers, &store);
    EXPECT_EQ(IniSettingsStore(file).readText("general", "wader", ""), "ef56");
    EXPECT_EQ(IniSettingsStore(file).readInt("window", "pos_x", 0), 5);
    EXPECT_EQ(slurp(file).find("evil"), std::string::npos);
}

TEST(IniSettingsStore, WithoutAPathItNeitherReadsNorWritesAnyFile) {
    const std::string saved = settingsPath;
    settingsPath.clear();
    IniSettingsStore store;
    EXPECT_FALSE(store.writeText("general", "wader", "x"));
    EXPECT_EQ(store.readText("general", "wader", "none", 512), "none");
    EXPECT_EQ(store.readInt("general", "ExecGame", 3), 3);
    settingsPath = saved;
}

TEST(IniSettingsStore, FollowsTheProcessWideSettingsPath) {
    TempFolder folder;
    const std::string saved = settingsPath;
    IniSettingsStore store;
    settingsPath = folder.path("first.ini");
    store.writeText("general", "wader", "one");
    settingsPath = folder.path("second.ini");
    EXPECT_EQ(store.readText("general", "wader", "", 512), "");
    settingsPath = folder.path("first.ini");
    EXPECT_EQ(store.readText("general", "wader", "", 512), "one");
    settingsPath = saved;
}

}  // namespace
}  // namespace tidemark
