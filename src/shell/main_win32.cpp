// Entry point of Tidemark.exe. For now the program creates its session,
// loads the settings file beside the executable and ends: the main window,
// the single-instance guard and the capture arrive with the window code.
#include <windows.h>

#include "capture/capture_session.h"
#include "shell/ini_settings_store_win32.h"
#include "shell/settings.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    using namespace tidemark;
    IniSettingsStore settings;
    SessionServices services;
    services.settings = &settings;
    CaptureSession session(std::move(services));
    loadSettings(session, settings);
    return 0;
}
