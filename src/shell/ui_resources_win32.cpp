#include "shell/ui_resources_win32.h"

namespace tidemark {

namespace {

const void* findResource(int id, LPCWSTR type) {
    const WORD chosen = uiResourceSet();
    const void* found = lockResourceIn(type, MAKEINTRESOURCEW(id), chosen);
    return found ? found : lockResourceIn(type, MAKEINTRESOURCEW(id), otherResourceSet(chosen));
}

}  // namespace

INT_PTR runDialog(int templateId, HWND owner, DLGPROC procedure) {
    const auto* dialogTemplate = static_cast<const DLGTEMPLATE*>(findResource(templateId, RT_DIALOG));
    if (!dialogTemplate) return -1;
    return DialogBoxIndirectParamW(GetModuleHandleW(nullptr), dialogTemplate, owner, procedure, 0);
}

HWND createDialog(int templateId, HWND parent, DLGPROC procedure) {
    const auto* dialogTemplate = static_cast<const DLGTEMPLATE*>(findResource(templateId, RT_DIALOG));
    if (!dialogTemplate) return nullptr;
    return CreateDialogIndirectParamW(GetModuleHandleW(nullptr), dialogTemplate, parent, procedure, 0);
}

UniqueMenu loadMenuResource(int menuId) {
    const void* menuTemplate = findResource(menuId, RT_MENU);
    if (!menuTemplate) return UniqueMenu();
    return UniqueMenu(LoadMenuIndirectW(menuTemplate));
}

}  // namespace tidemark
