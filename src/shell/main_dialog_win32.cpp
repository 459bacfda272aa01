// The main window's procedure: creation, the message table and destruction.
// Each message goes to a small handler named after what it does.
#include <windows.h>
#include <commctrl.h>

#include "capture/capture_worker.h"
#include "dialog_ids.h"
#include "shell/main_dialog_win32.h"
#include "shell/settings.h"
#include "shell/window_exchanges.h"
#include "shell/status_line_win32.h"
#include "texts/texts.h"
#include "shell/ui_resources_win32.h"
#include "shell/window_position.h"

namespace tidemark {

CaptureSession* captureSession = nullptr;
WindowServices windowServices;
HWND mainWindow = nullptr;
LanguageList languageList;
int currentTab = 0;
HWND currentPage = nullptr;
int startHidden = 0;

namespace {

constexpr UINT kTrayCallback = WM_USER;
constexpr UINT kStatusChanged = WM_APP + 1;

// Outlives the session: a worker that outlasts the stop bound may still
// write to it while the session waits for it at the end of the run.
StatusLine statusLine;

// Sent to every top-level window when the shell (re)starts; a restarted
// shell has forgotten our icon.
const UINT taskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");

SettingsStore& settings() { return *windowServices.settings; }

void restorePosition(HWND window) {
    if (auto position = loadWindowPosition(settings()))
        SetWindowPos(window, nullptr, position->x, position->y, 0, 0, SWP_NOSIZE | SWP_SHOWWINDOW);
}

void savePosition(HWND window) {
    RECT rect;
    if (GetWindowRect(window, &rect)) saveWindowPosition(settings(), {rect.left, rect.top, rect.right, rect.bottom});
}

bool loadLanguageList() {
    return parseLanguageList(windowServices.exchanges->fetchLanguageList(), languageList);
}

void insertTab(HWND tabControl, int index, int textId) {
    std::u16string text = LoadTextW(textId);
    TCITEMW item{};
    item.mask = TCIF_TEXT;
    item.pszText = reinterpret_cast<wchar_t*>(text.data());
    item.iImage = -1;
    SendMessageW(tabControl, TCM_INSERTITEMW, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&item));
}

void hideToTray(HWND window) {
    AddTrayIcon(window);
    ShowWindow(window, SW_HIDE);
}

void showFromTray(HWND window) {
    startHidden = 0;
    RemoveTrayIcon(window);
    ShowWindow(window, SW_SHOW);
    SetWindowPos(window, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_SHOWWINDOW);
}

void showTrayMenu(HWND window) {
    POINT cursor;
    GetCursorPos(&cursor);
    // Foreground first, or the menu stays open when the user clicks elsewhere.
    SetForegroundWindow(window);
    UniqueMenu menu = loadMenuResource(IDM_TRAY);
    if (!menu) return;
    TrackPopupMenu(GetSubMenu(menu.get(), 0), TPM_RIGHTBUTTON | TPM_LEFTALIGN | TPM_TOPALIGN, cursor.x, cursor.y, 0,
                   window, nullptr);
    PostMessageW(window, WM_NULL, 0, 0);
}

INT_PTR onCreate(HWND window) {
    restorePosition(window);
    SetClassLongPtrW(window, GCLP_HICON,
                     reinterpret_cast<LONG_PTR>(LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_TIDEMARK_ICON))));
    mainWindow = window;
    if (!loadLanguageList()) {
        EndDialog(window, 1);
        return TRUE;
    }
    HWND tabControl = GetDlgItem(window, IDC_TAB);
    insertTab(tabControl, 0, kTextLogTab);
    insertTab(tabControl, 1, kTextConfigTab);
    currentTab = captureSession->language().empty() ? 1 : 0;
    SendMessageW(tabControl, TCM_SETCURSEL, static_cast<WPARAM>(currentTab), 0);
    CreateTabPage(tabControl, currentTab);
    statusLine.attach(window, GetDlgItem(window, IDC_STATUS), kStatusChanged);
    windowServices.worker->start(&statusLine);
    if (execOnTray) {
        hideToTray(window);
        startHidden = 1;
    }
    return FALSE;
}

void onDestroy(HWND window) {
    windowServices.worker->stop();
    statusLine.detach();
    RemoveTrayIcon(window);
    savePosition(window);
}

void onTabChanged(HWND window) {
    if (currentPage) DestroyWindow(currentPage);
    currentPage = nullptr;
    HWND tabControl = GetDlgItem(window, IDC_TAB);
    currentTab = static_cast<int>(SendMessageW(tabControl, TCM_GETCURSEL, 0, 0));
    CreateTabPage(tabControl, currentTab);
}

INT_PTR onNotify(HWND window, const NMHDR& header) {
    if (header.idFrom == IDC_TAB && header.code == TCN_SELCHANGE) onTabChanged(window);
    return FALSE;
}

INT_PTR onCommand(HWND window, int command) {
    switch (command) {
    case IDCANCEL: PostMessageW(window, WM_CLOSE, 0, 0); return FALSE;
    case IDM_OPEN: showFromTray(window); return FALSE;
    case IDM_EXIT: EndDialog(window, 1); return FALSE;
    default: return TRUE;
    }
}

INT_PTR onSystemCommand(HWND window, WPARAM command) {
    if ((command & 0xFFF0) != SC_MINIMIZE) return FALSE;
    hideToTray(window);
    return TRUE;
}

INT_PTR onClose(HWND window) {
    if (exitToTray) {
        hideToTray(window);
        return TRUE;
    }
    EndDialog(window, 1);
    return FALSE;
}

INT_PTR onWindowPosChanging(HWND window, WPARAM wParam, LPARAM lParam) {
    if (startHidden) reinterpret_cast<WINDOWPOS*>(lParam)->flags &= ~SWP_SHOWWINDOW;
    DefWindowProcW(window, WM_WINDOWPOSCHANGING, wParam, lParam);
    return TRUE;
}

INT_PTR onTrayCallback(HWND window, LPARAM mouseMessage) {
    if (mouseMessage == WM_LBUTTONDBLCLK) PostMessageW(window, WM_COMMAND, IDM_OPEN, 0);
    if (mouseMessage == WM_RBUTTONDOWN) showTrayMenu(window);
    return FALSE;
}

void onShellRestarted(HWND window) {
    if (!IsWindowVisible(window)) AddTrayIcon(window);
}

}  // namespace

INT_PTR CALLBACK MainDialog(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG: return onCreate(window);
    case WM_NOTIFY: return onNotify(window, *reinterpret_cast<const NMHDR*>(lParam));
    case WM_COMMAND: return onCommand(window, LOWORD(wParam));
    case WM_SYSCOMMAND: return onSystemCommand(window, wParam);
    case WM_CLOSE: return onClose(window);
    case WM_WINDOWPOSCHANGING: return onWindowPosChanging(window, wParam, lParam);
    case kTrayCallback: return onTrayCallback(window, lParam);
    case kStatusChanged: statusLine.showLatest(); return TRUE;
    case WM_DESTROY: onDestroy(window); return FALSE;
    default:
        if (message == taskbarCreated && taskbarCreated != 0) onShellRestarted(window);
        return FALSE;
    }
}

}  // namespace tidemark
