#pragma once
#include <windows.h>

namespace tidemark {

// An invisible dialog that holds the single-instance mutex "Tidemark" while
// the main window runs inside its creation. A second instance finds the
// name taken and ends at once, showing nothing.
INT_PTR CALLBACK InstanceGuardDialog(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Runs the guard (and through it the main window); returns the program's
// exit code when it is to end: 0, or 1 when the main window could not start.
int runInstanceGuard();

}  // namespace tidemark
