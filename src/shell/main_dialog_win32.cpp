// The main window's procedure: creation, the message table and destruction.
// Each message goes to a small handler named after what it does.
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include "capture/capture_worker.h"
#include "dialog_ids.h"
#include "report/user_notice.h"
#include "session/capture_session.h"
#include "shell/background_call_win32.h"
#include "shell/main_dialog_win32.h"
#include "shell/page_address.h"
#include "shell/page_switch_keys_win32.h"
#include "shell/settings.h"
#include "shell/start_failure.h"
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
constexpr UINT kLanguagesArrived = WM_APP + 2;
constexpr UINT kPageTokenArrived = WM_APP + 3;

// Outlives the session: a worker that outlasts the stop bound may still
// write to it while the session waits for it at the end of the run.
StatusLine statusLine;

// The window's two requests to the report server, each on a thread of its
// own; joined when the window is destroyed.
BackgroundCall<LanguageListAnswer> languageRequest;
BackgroundCall<PageTokenAnswer> pageTokenRequest;

PageSwitchKeys pageSwitchKeys;

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

// Creation up to the language list, which comes from the report server.
// The request runs off this thread, so the window answers the user (and can
// be closed) however long the server takes; nothing else is created before
// the list has come.
INT_PTR onCreate(HWND window) {
    // Kept hidden from the first moment, not shown until the list has come.
    if (execOnTray) startHidden = 1;
    restorePosition(window);
    SetClassLongPtrW(window, GCLP_HICON,
                     reinterpret_cast<LONG_PTR>(LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_TIDEMARK_ICON))));
    mainWindow = window;
    pageSwitchKeys.install(window, GetDlgItem(window, IDC_TAB));
    languageRequest.start([] { return windowServices.exchanges->fetchLanguageList(); }, window, kLanguagesArrived);
    return FALSE;
}

// A player who sees no window must be told why: the connection-failed
// text, or the certificate's reason, then the program ends with a non-zero
// exit code.
void endForMissingLanguageList(HWND window, std::optional<CertificateRefusal> refusal) {
    if (windowServices.notice) windowServices.notice->showInformation(startFailureText(refusal));
    EndDialog(window, kMainDialogStartFailed);
}

// The rest of the creation, once the language list has come.
void onLanguagesArrived(HWND window) {
    auto answer = languageRequest.take();
    if (!answer) return;
    if (!parseLanguageList(answer->text, languageList)) {
        endForMissingLanguageList(window, answer->refusal);
        return;
    }
    HWND tabControl = GetDlgItem(window, IDC_TAB);
    insertTab(tabControl, 0, kTextLogTab);
    insertTab(tabControl, 1, kTextConfigTab);
    currentTab = captureSession->language().empty() ? 1 : 0;
    SendMessageW(tabControl, TCM_SETCURSEL, static_cast<WPARAM>(currentTab), 0);
    CreateTabPage(tabControl, currentTab);
    statusLine.attach(window, GetDlgItem(window, IDC_STATUS), kStatusChanged);
    windowServices.worker->start(&statusLine);
    if (execOnTray) hideToTray(window);
}

void showPageButtonState() {
    if (currentTab != 1 || !currentPage) return;
    EnableWindow(GetDlgItem(currentPage, IDC_MYPAGE), PlayerPageRequestAllowed());
}

// The answer to "Jump to mypage": its notice first (shown by this thread, as
// every message box of the window), then the page.
void onPageTokenArrived() {
    auto answer = pageTokenRequest.take();
    if (answer && answer->notice && windowServices.notice) windowServices.notice->showInformation(*answer->notice);
    if (answer && !answer->token.empty()) {
        const WindowExchanges& server = *windowServices.exchanges;
        std::string address = playerPageAddress(server.host(), server.port(), server.secure(), answer->token);
        ShellExecuteA(mainWindow, nullptr, address.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    }
    showPageButtonState();
}

void onDestroy(HWND window) {
    pageSwitchKeys.remove();
    windowServices.worker->stop();
    statusLine.detach();
    languageRequest.join();
    pageTokenRequest.join();
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

bool PlayerPageRequestAllowed() { return !pageTokenRequest.busy() && !captureSession->playerId().empty(); }

void RequestPlayerPage() {
    if (!PlayerPageRequestAllowed()) return;
    const std::string player = captureSession->playerId();
    pageTokenRequest.start([player] { return windowServices.exchanges->fetchPageToken(player); }, mainWindow,
                           kPageTokenArrived);
    showPageButtonState();
}

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
    case kLanguagesArrived: onLanguagesArrived(window); return TRUE;
    case kPageTokenArrived: onPageTokenArrived(); return TRUE;
    case WM_DESTROY: onDestroy(window); return FALSE;
    default:
        if (message == taskbarCreated && taskbarCreated != 0) onShellRestarted(window);
        return FALSE;
    }
}

}  // namespace tidemark
