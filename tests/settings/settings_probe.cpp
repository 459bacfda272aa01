// Loads the settings as the program does at start and writes what it got to
// the file named by its argument, one "name=value" line each. Copied under
// other names by the settings tests, since the settings file's name comes
// from the running executable's own name.
#include <fstream>

#include "session/capture_session.h"
#include "shell/ini_settings_store_win32.h"
#include "shell/settings.h"

int main(int argc, char** argv) {
    using namespace tidemark;
    if (argc < 2) return 2;
    CaptureSession session;
    IniSettingsStore store;
    loadSettings(session, store);
    std::ofstream out(argv[1], std::ios::binary);
    out << "settingsPath=" << settingsPath << "\n"
        << "language=" << session.language() << "\n"
        << "playerId=" << session.playerId() << "\n"
        << "execGame=" << session.execGame() << "\n"
        << "execOnTray=" << execOnTray << "\n"
        << "exitToTray=" << exitToTray << "\n";
    return out ? 0 : 1;
}
