// The notification-area icon of the main window: id 0, callback WM_USER,
// icon 105, tip "Tidemark".
#include <windows.h>
#include <shellapi.h>

#include <cstring>

#include "shell/main_dialog_win32.h"
#include "dialog_ids.h"

namespace tidemark {

namespace {
NOTIFYICONDATAA iconRecord(HWND window) {
    NOTIFYICONDATAA record;
    std::memset(&record, 0, sizeof record);
    record.cbSize = sizeof record;
    record.hWnd = window;
    record.uID = 0;
    return record;
}
}  // namespace

void AddTrayIcon(HWND window) {
    NOTIFYICONDATAA record = iconRecord(window);
    record.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    record.uCallbackMessage = WM_USER;
    // Shared: the system keeps the image for the life of the module.
    record.hIcon = static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_TIDEMARK_ICON), IMAGE_ICON,
                                                 GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON),
                                                 LR_SHARED));
    lstrcpynA(record.szTip, "Tidemark", sizeof record.szTip);
    Shell_NotifyIconA(NIM_ADD, &record);
}

void RemoveTrayIcon(HWND window) {
    NOTIFYICONDATAA record = iconRecord(window);
    Shell_NotifyIconA(NIM_DELETE, &record);
}

}  // namespace tidemark
