#include "shell/page_switch_keys_win32.h"

#include <commctrl.h>

namespace tidemark {

namespace {

// A message filter takes no context; there is one main window per run.
HWND filteredWindow = nullptr;
HWND filteredTabs = nullptr;

bool isDown(int key) { return (GetKeyState(key) & 0x8000) != 0; }

void switchPage(bool backwards) {
    const auto count = static_cast<int>(SendMessageW(filteredTabs, TCM_GETITEMCOUNT, 0, 0));
    if (count < 2) return;
    const auto current = static_cast<int>(SendMessageW(filteredTabs, TCM_GETCURSEL, 0, 0));
    const int next = (current + (backwards ? count - 1 : 1)) % count;
    // Focus first: the page holding it is about to be destroyed.
    SetFocus(filteredTabs);
    // Selects the item and notifies the window, as a click on it does.
    SendMessageW(filteredTabs, TCM_SETCURFOCUS, static_cast<WPARAM>(next), 0);
}

}  // namespace

void PageSwitchKeys::install(HWND window, HWND tabControl) {
    remove();
    filteredWindow = window;
    filteredTabs = tabControl;
    hook_ = SetWindowsHookExW(WH_MSGFILTER, filter, nullptr, GetCurrentThreadId());
}

void PageSwitchKeys::remove() {
    if (hook_) UnhookWindowsHookEx(hook_);
    hook_ = nullptr;
    filteredWindow = nullptr;
    filteredTabs = nullptr;
}

LRESULT CALLBACK PageSwitchKeys::filter(int code, WPARAM wParam, LPARAM lParam) {
    auto* message = reinterpret_cast<MSG*>(lParam);
    if (code == MSGF_DIALOGBOX && message && message->message == WM_KEYDOWN && message->wParam == VK_TAB &&
        isDown(VK_CONTROL) && filteredWindow &&
        (message->hwnd == filteredWindow || IsChild(filteredWindow, message->hwnd))) {
        switchPage(isDown(VK_SHIFT));
        return TRUE;
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

}  // namespace tidemark
