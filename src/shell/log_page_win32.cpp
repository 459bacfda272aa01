// The Log page: the session's message log, re-rendered by a 100 ms timer
// whenever it changed, always scrolled to its newest line.
#include <windows.h>

#include "session/capture_session.h"
#include "dialog_ids.h"
#include "shell/log_text.h"
#include "shell/main_dialog_win32.h"

namespace tidemark {

// Set when a Log page is created, so that its first tick renders the log
// even when nothing new has arrived.
int logRefreshPending = 0;

namespace {

constexpr UINT_PTR kRefreshTimer = 1;
constexpr UINT kRefreshPeriodMs = 100;

INT_PTR onCreate(HWND page) {
    PlaceTabPage(page);
    logRefreshPending = 1;
    SetTimer(page, kRefreshTimer, kRefreshPeriodMs, nullptr);
    return FALSE;
}

void showText(HWND page, const std::u16string& text) {
    HWND edit = GetDlgItem(page, IDC_LOG_TEXT);
    SetWindowTextW(edit, reinterpret_cast<const wchar_t*>(text.c_str()));
    SendMessageW(edit, EM_SETSEL, static_cast<WPARAM>(text.size()), -1);
    SendMessageW(edit, EM_SCROLLCARET, 0, 0);
}

INT_PTR onTimer(HWND page) {
    auto messages = captureSession->takeMessagesIfChanged(logRefreshPending != 0);
    if (!messages) return TRUE;
    showText(page, renderLogText(*messages));
    logRefreshPending = 0;
    return TRUE;
}

}  // namespace

INT_PTR CALLBACK LogPage(HWND page, UINT message, WPARAM, LPARAM) {
    switch (message) {
    case WM_INITDIALOG: return onCreate(page);
    case WM_TIMER: return onTimer(page);
    default: return FALSE;
    }
}

}  // namespace tidemark
