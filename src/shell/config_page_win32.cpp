// The Config page: the three options, the language of the patterns, the
// player's page, the version and the link to the report server's home page.
#include <windows.h>
#include <shellapi.h>

#include "session/capture_session.h"
#include "dialog_ids.h"
#include "shell/config_options.h"
#include "shell/main_dialog_win32.h"
#include "shell/page_address.h"
#include "shell/settings.h"
#include "shell/window_exchanges.h"

namespace tidemark {

namespace {

constexpr COLORREF kLinkColour = RGB(0, 0, 255);
constexpr std::size_t kLinkCapacity = 2048;
// The player id comes with a line report's answer, on the worker's thread:
// the page looks for it this often, so the button is enabled soon after.
constexpr UINT_PTR kPageButtonTimer = 1;
constexpr UINT kPageButtonPeriodMs = 250;

bool isChecked(HWND page, int id) { return IsDlgButtonChecked(page, id) == BST_CHECKED; }

void showOptions(HWND page) {
    CheckDlgButton(page, IDC_EXEC_GAME, captureSession->execGame() ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(page, IDC_EXEC_ON_TRAY, execOnTray ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(page, IDC_EXIT_TO_TRAY, exitToTray ? BST_CHECKED : BST_UNCHECKED);
}

void fillLanguages(HWND page) {
    LanguageChoices choices = languageChoices(languageList, captureSession->language());
    for (const std::u16string& name : choices.names)
        SendDlgItemMessageW(page, IDC_LANGUAGE, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name.c_str()));
    if (choices.selected >= 0) SendDlgItemMessageW(page, IDC_LANGUAGE, CB_SETCURSEL, static_cast<WPARAM>(choices.selected), 0);
}

void showHomeLink(HWND page) {
    std::string address = homePageAddress(windowServices.exchanges->host(), windowServices.exchanges->port(),
                                          windowServices.exchanges->secure());
    SetDlgItemTextA(page, IDC_HOME_LINK, address.c_str());
}

void showPageButton(HWND page) {
    HWND button = GetDlgItem(page, IDC_MYPAGE);
    const BOOL allowed = PlayerPageRequestAllowed() ? TRUE : FALSE;
    if ((IsWindowEnabled(button) ? TRUE : FALSE) != allowed) EnableWindow(button, allowed);
}

INT_PTR onCreate(HWND page) {
    PlaceTabPage(page);
    showOptions(page);
    showPageButton(page);
    SetTimer(page, kPageButtonTimer, kPageButtonPeriodMs, nullptr);
    fillLanguages(page);
    showHomeLink(page);
    return TRUE;
}

// The texts and check boxes stand on the page's themed background: a box
// of the 3-D face colour behind each would show as grey patches on it.
INT_PTR onColourStatic(HDC dc, HWND control) {
    SetBkMode(dc, TRANSPARENT);
    if (GetDlgCtrlID(control) == IDC_HOME_LINK) SetTextColor(dc, kLinkColour);
    return reinterpret_cast<INT_PTR>(GetStockObject(NULL_BRUSH));
}

void openHomeLink(HWND page) {
    char address[kLinkCapacity] = {};
    GetDlgItemTextA(page, IDC_HOME_LINK, address, static_cast<int>(kLinkCapacity));
    ShellExecuteA(mainWindow, "open", address, nullptr, nullptr, SW_SHOWNORMAL);
}

void onLanguageChosen(HWND page) {
    auto index = static_cast<int>(SendDlgItemMessageW(page, IDC_LANGUAGE, CB_GETCURSEL, 0, 0));
    chooseLanguage(*captureSession, *windowServices.settings, languageList, index);
}

INT_PTR onCommand(HWND page, int id, int notification) {
    SettingsStore& settings = *windowServices.settings;
    switch (id) {
    case IDC_MYPAGE: RequestPlayerPage(); break;
    case IDC_EXEC_GAME: chooseExecGame(*captureSession, settings, isChecked(page, id)); break;
    case IDC_EXIT_TO_TRAY: chooseExitToTray(settings, isChecked(page, id)); break;
    case IDC_EXEC_ON_TRAY: chooseExecOnTray(settings, isChecked(page, id)); break;
    case IDC_HOME_LINK: openHomeLink(page); break;
    case IDC_LANGUAGE:
        if (notification == CBN_SELCHANGE) onLanguageChosen(page);
        break;
    default: break;
    }
    return TRUE;
}

}  // namespace

INT_PTR CALLBACK ConfigPage(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG: return onCreate(page);
    case WM_CTLCOLORSTATIC: return onColourStatic(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam));
    case WM_COMMAND: return onCommand(page, LOWORD(wParam), HIWORD(wParam));
    case WM_TIMER: showPageButton(page); return TRUE;
    default: return FALSE;
    }
}

}  // namespace tidemark
