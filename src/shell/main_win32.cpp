// Tidemark's entry point: the one capture session, the settings, the common
// controls, then the main window under the single-instance guard. The exit
// code is 0, also for a second instance, unless the main window could not
// start (no language list from the report server).
#include <windows.h>
#include <commctrl.h>

#include "capture/capture_worker.h"
#include "capture/game_processes_win32.h"
#include "http/http_client_win32.h"
#include "session/capture_session.h"
#include "shell/ini_settings_store_win32.h"
#include "shell/instance_guard_win32.h"
#include "shell/main_dialog_win32.h"
#include "shell/message_box_notice_win32.h"
#include "shell/settings.h"
#include "shell/window_exchanges.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    using namespace tidemark;

    // Declared in the order they are needed, so that they go in reverse: the
    // worker (which may still be finishing after the window's stop bound) is
    // joined before the session and the platform services it uses.
    IniSettingsStore settings;
    Win32ProcessSystem processes([] { return mainWindow; });
    MessageBoxNotice notice;
    CaptureSession session;
    loadSettings(session, settings);

    WorkerServices workerServices;
    workerServices.settings = &settings;
    workerServices.processes = &processes;
    workerServices.httpClientFactory = winInetClientFactory();
    workerServices.journalPath = journalPathFor(executableFile());
    workerServices.knownLogPath = knownLogPathFor(executableFile());
    CaptureWorker worker(session, std::move(workerServices));
    WindowExchanges exchanges(winInetClientFactory(), TIDEMARK_SERVER_HOST, TIDEMARK_SERVER_PORT,
                              TIDEMARK_SERVER_TLS != 0);

    captureSession = &session;
    windowServices = WindowServices{&worker, &exchanges, &settings, &notice};
    InitCommonControls();
    const int exitCode = runInstanceGuard();
    windowServices = WindowServices{};
    captureSession = nullptr;
    return exitCode;
}
