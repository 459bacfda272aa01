#pragma once
#include <windows.h>

namespace tidemark {

// An invisible dialog that holds the single-instance mutex "Tidemark" while
// the main window runs inside its creation. A second instance finds the
// name taken and ends at once, showing nothing.
INT_PTR CALLBACK InstanceGuardDialog(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Runs the guard (and through it the main window); returns when the
// program is to end.
void runInstanceGuard();

}  // namespace tidemark
