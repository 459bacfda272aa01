#pragma once
// Resources (string-table blocks, dialog templates, menus) from the set of
// the user-interface language. Wine does not choose the Japanese set by UI
// language as Windows does, so the set is chosen here and resources are
// loaded from it explicitly; a resource missing from that set comes from the
// other one.

#include <windows.h>

#include "platform/unique_handle.h"

namespace tidemark {

// The Japanese set (0x0411) for a Japanese UI, else the neutral English set (0x0400).
WORD uiResourceSet();
WORD otherResourceSet(WORD set);

// The bytes of a resource of exactly `set`, and their size; null when missing.
const void* lockResourceIn(LPCWSTR type, LPCWSTR name, WORD set, DWORD* size = nullptr);

// Runs the dialog modally; the result of EndDialog, or -1 when the template
// is missing or the dialog cannot be created.
INT_PTR runDialog(int templateId, HWND owner, DLGPROC procedure);

// Creates the dialog modeless as a child or owned window of `parent`.
HWND createDialog(int templateId, HWND parent, DLGPROC procedure);

// The menu, owned by the caller; empty when missing.
UniqueMenu loadMenuResource(int menuId);

}  // namespace tidemark
