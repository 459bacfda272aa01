#pragma once
// Ctrl+Tab and Ctrl+Shift+Tab switch the main window's pages, as in every
// tabbed dialog. The main window runs in the dialog manager's modal loop,
// whose keyboard handling knows Tab but not Ctrl+Tab; a message filter of
// the window's thread sees the keys before that loop does.

#include <windows.h>

namespace tidemark {

class PageSwitchKeys {
public:
    PageSwitchKeys() = default;
    PageSwitchKeys(const PageSwitchKeys&) = delete;
    PageSwitchKeys& operator=(const PageSwitchKeys&) = delete;
    ~PageSwitchKeys() { remove(); }

    // User-interface thread: keys pressed in `window` switch `tabControl`.
    void install(HWND window, HWND tabControl);
    void remove();

private:
    static LRESULT CALLBACK filter(int code, WPARAM wParam, LPARAM lParam);

    HHOOK hook_ = nullptr;
};

}  // namespace tidemark
