#include <windows.h>
#include <uxtheme.h>

#include "shell/main_dialog_win32.h"
#include "dialog_ids.h"
#include "shell/ui_resources_win32.h"

namespace tidemark {

HWND CreateTabPage(HWND tabControl, int index) {
    HWND page = nullptr;
    if (index == 0) page = createDialog(IDD_LOG_PAGE, tabControl, LogPage);
    if (index == 1) page = createDialog(IDD_CONFIG_PAGE, tabControl, ConfigPage);
    currentPage = page;
    return page;
}

void PlaceTabPage(HWND page) {
    RECT onScreen;
    GetWindowRect(page, &onScreen);
    HWND window = GetParent(GetParent(page));
    SetParent(page, window);
    POINT corner{onScreen.left, onScreen.top};
    ScreenToClient(window, &corner);
    // Right after the tabs in the window's order, which is the order of Tab.
    SetWindowPos(page, GetDlgItem(window, IDC_TAB), corner.x, corner.y, 0, 0, SWP_NOSIZE);
    EnableThemeDialogTexture(page, ETDT_ENABLETAB);
}

}  // namespace tidemark
