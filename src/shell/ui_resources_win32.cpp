#include "shell/ui_resources_win32.h"

namespace tidemark {

namespace {

constexpr WORD kJapaneseSet = MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT);
constexpr WORD kNeutralSet = MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT);

WORD chosenSet() {
    return PRIMARYLANGID(GetUserDefaultUILanguage()) == LANG_JAPANESE ? kJapaneseSet : kNeutralSet;
}

const void* findResource(int id, LPCWSTR type) {
    HMODULE module = GetModuleHandleW(nullptr);
    const WORD chosen = chosenSet();
    HRSRC found = FindResourceExW(module, type, MAKEINTRESOURCEW(id), chosen);
    if (!found) found = FindResourceExW(module, type, MAKEINTRESOURCEW(id), chosen == kJapaneseSet ? kNeutralSet : kJapaneseSet);
    if (!found) return nullptr;
    HGLOBAL loaded = LoadResource(module, found);
    return loaded ? LockResource(loaded) : nullptr;
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
