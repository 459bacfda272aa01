#pragma once
// The main window: a tab control with the Log and Config pages, the status
// line the capture worker writes into, and the notification-area icon it
// hides into. Everything here belongs to the user-interface thread.

#include <windows.h>

#include "shell/language_list.h"

namespace tidemark {

class CaptureSession;
class CaptureWorker;
class SettingsStore;
class UserNotice;
class WindowExchanges;

// The one session of the run, created by the entry point before the main
// window and destroyed after it.
extern CaptureSession* captureSession;

// What the window works with besides the session; set up by the entry point
// before the main window and torn down after it.
struct WindowServices {
    CaptureWorker* worker = nullptr;
    WindowExchanges* exchanges = nullptr;
    SettingsStore* settings = nullptr;
    UserNotice* notice = nullptr;
};
extern WindowServices windowServices;

// The main window's result when it ended because the report server could
// not give the language list at start; the program then exits non-zero.
constexpr INT_PTR kMainDialogStartFailed = 2;

extern HWND mainWindow;           // owner of message boxes and of the game launch
extern LanguageList languageList;  // the server's language list, fetched once at start
extern int currentTab;             // 0 Log, 1 Config
extern HWND currentPage;           // the one page that exists now
extern int startHidden;            // 1 while the window keeps itself hidden after a start on tray

INT_PTR CALLBACK MainDialog(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// "Jump to mypage": the page token is requested off this thread; the
// answer opens the page when it comes. Allowed once the player is known and
// while no earlier request runs.
bool PlayerPageRequestAllowed();
void RequestPlayerPage();

void AddTrayIcon(HWND window);
void RemoveTrayIcon(HWND window);

// Creates page `index` (0 Log, 1 Config) in the tab control and stores it in
// `currentPage`; null for any other index.
HWND CreateTabPage(HWND tabControl, int index);
// First step of each page's creation: the page moves from the tab control to
// the main window, keeping its place, and takes the themed tab background.
void PlaceTabPage(HWND page);

INT_PTR CALLBACK LogPage(HWND page, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK ConfigPage(HWND page, UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace tidemark
