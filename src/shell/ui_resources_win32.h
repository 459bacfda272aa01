#pragma once
// Dialog templates and menus from the resource set of the user-interface
// language; a resource missing from that set comes from the other one.

#include <windows.h>

#include "platform/unique_handle.h"
#include "texts/resource_set_win32.h"

namespace tidemark {

// Runs the dialog modally; the result of EndDialog, or -1 when the template
// is missing or the dialog cannot be created.
INT_PTR runDialog(int templateId, HWND owner, DLGPROC procedure);

// Creates the dialog modeless as a child or owned window of `parent`.
HWND createDialog(int templateId, HWND parent, DLGPROC procedure);

// The menu, owned by the caller; empty when missing.
UniqueMenu loadMenuResource(int menuId);

}  // namespace tidemark
