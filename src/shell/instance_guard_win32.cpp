#include "shell/instance_guard_win32.h"

#include "dialog_ids.h"
#include "platform/unique_handle.h"
#include "shell/main_dialog_win32.h"
#include "shell/ui_resources_win32.h"

namespace tidemark {

UniqueKernelHandle instanceMutex;

namespace {

INT_PTR onCreate(HWND window) {
    instanceMutex.reset(CreateMutexA(nullptr, TRUE, "Tidemark"));
    INT_PTR result = 0;
    if (GetLastError() != ERROR_ALREADY_EXISTS) result = runDialog(IDD_MAIN, nullptr, MainDialog);
    // Ended inside its own creation, the guard is never shown.
    EndDialog(window, result == kMainDialogStartFailed || result == -1 ? 1 : 0);
    return TRUE;
}

void onDestroy() {
    if (instanceMutex) ReleaseMutex(instanceMutex.get());
}

}  // namespace

INT_PTR CALLBACK InstanceGuardDialog(HWND window, UINT message, WPARAM, LPARAM) {
    switch (message) {
    case WM_INITDIALOG: return onCreate(window);
    case WM_DESTROY: onDestroy(); return FALSE;
    default: return FALSE;
    }
}

int runInstanceGuard() { return runDialog(IDD_INSTANCE_GUARD, nullptr, InstanceGuardDialog) == 1 ? 1 : 0; }

}  // namespace tidemark
