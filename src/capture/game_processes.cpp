#include "capture/game_processes.h"


namespace tidemark {

namespace {

// The boot program's place below the install location. Both backslashes are
// part of the joint: nothing is added or removed where the location ends.
constexpr const char* kBootFolderBelowInstall = "\\FINAL FANTASY XIV - A Realm Reborn\\boot\\";
constexpr const char* kBootProgram = "ffxivboot.exe";

char foldAsciiCase(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Executable names are compared the way the shell compares file names; the
// game's names are plain ASCII, so folding ASCII letters is enough.
bool sameExeName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (foldAsciiCase(a[i]) != foldAsciiCase(b[i])) return false;
    return true;
}

}  // namespace

std::unique_ptr<ProcessMemory> openProcessByName(ProcessSystem& processes, const std::string& exeName,
                                                 const std::function<bool()>& stopRequested) {
    for (const ProcessEntry& entry : processes.listProcesses()) {
        if (stopRequested && stopRequested()) return nullptr;
        // Only the first process of that name counts: when it refuses to be
        // opened, the game is treated as not running rather than attaching to
        // some other process that happens to share the name.
        if (sameExeName(entry.exeFile, exeName)) return processes.openForReading(entry.processId);
    }
    return nullptr;
}

bool isProcessRunning(ProcessSystem& processes, const std::string& exeName) {
    for (const ProcessEntry& entry : processes.listProcesses())
        if (sameExeName(entry.exeFile, exeName)) return true;
    return false;
}

bool launchGame(ProcessSystem& processes) {
    std::optional<std::string> installLocation = processes.readInstallLocation();
    if (!installLocation) return false;
    const std::string bootFolder = *installLocation + kBootFolderBelowInstall;
    processes.startProgram(bootFolder + kBootProgram, bootFolder);
    return true;
}

}  // namespace tidemark
