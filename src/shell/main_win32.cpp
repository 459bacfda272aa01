// Tidemark's entry point: the one capture session, the settings, the common
// controls, then the main window under the single-instance guard. The exit
// code is 0 however the run ends.
#include <windows.h>
#include <commctrl.h>

#include <memory>

#include "capture/capture_session.h"
#include "capture/game_processes_win32.h"
#include "http/http_client_win32.h"
#include "shell/ini_settings_store_win32.h"
#include "shell/instance_guard_win32.h"
#include "shell/main_dialog_win32.h"
#include "shell/message_box_notice_win32.h"
#include "shell/settings.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    using namespace tidemark;

    // The platform services outlive the session, which may still be waiting
    // for its worker when it is destroyed.
    IniSettingsStore settings;
    Win32ProcessSystem processes([] { return mainWindow; });
    MessageBoxNotice notice;
    SessionServices services;
    services.settings = &settings;
    services.processes = &processes;
    services.notice = &notice;
    services.httpClientFactory = winInetClientFactory();

    auto session = std::make_unique<CaptureSession>(std::move(services));
    captureSession = session.get();
    loadSettings(*session, settings);
    InitCommonControls();
    runInstanceGuard();
    // Joins a worker that outlasted the stop bound before anything it uses goes.
    session.reset();
    captureSession = nullptr;
    return 0;
}
