#include "shell/ui_resources_win32.h"

namespace tidemark {

namespace {

constexpr WORD kJapaneseSet = MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT);
constexpr WORD kNeutralSet = MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT);

const void* findResource(int id, LPCWSTR type) {
    const WORD chosen = uiResourceSet();
    const void* found = lockResourceIn(type, MAKEINTRESOURCEW(id), chosen);
    return found ? found : lockResourceIn(type, MAKEINTRESOURCEW(id), otherResourceSet(chosen));
}

}  // namespace

WORD uiResourceSet() {
    return PRIMARYLANGID(GetUserDefaultUILanguage()) == LANG_JAPANESE ? kJapaneseSet : kNeutralSet;
}

WORD otherResourceSet(WORD set) { return set == kJapaneseSet ? kNeutralSet : kJapaneseSet; }

const void* lockResourceIn(LPCWSTR type, LPCWSTR name, WORD set, DWORD* size) {
    HMODULE module = GetModuleHandleW(nullptr);
    HRSRC found = FindResourceExW(module, type, name, set);
    if (!found) return nullptr;
    HGLOBAL loaded = LoadResource(module, found);
    const void* bytes = loaded ? LockResource(loaded) : nullptr;
    if (bytes && size) *size = SizeofResource(module, found);
    return bytes;
}

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
