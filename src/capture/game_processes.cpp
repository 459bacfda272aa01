#include "capture/game_processes.h"

#include "capture/capture_session.h"

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

std::unique_ptr<ProcessMemory> CaptureSession::openProcessByName(const std::string& exeName) {
    if (services.processes == nullptr) return nullptr;
    for (const ProcessEntry& entry : services.processes->listProcesses()) {
        if (stopRequested) return nullptr;
        // Only the first process of that name counts: when it refuses to be
        // opened, the game is treated as not running rather than attaching to
        // some other process that happens to share the name.
        if (sameExeName(entry.exeFile, exeName)) return services.processes->openForReading(entry.processId);
    }
    return nullptr;
}

bool CaptureSession::launchGame() {
    if (services.processes == nullptr) return false;
    std::optional<std::string> installLocation = services.processes->readInstallLocation();
    if (!installLocation) return false;
    const std::string bootFolder = *installLocation + kBootFolderBelowInstall;
    services.processes->startProgram(bootFolder + kBootProgram, bootFolder);
    return true;
}

}  // namespace tidemark
