#include "texts/resource_set_win32.h"

namespace tidemark {

namespace {
constexpr WORD kJapaneseSet = MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT);
constexpr WORD kNeutralSet = MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT);
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

}  // namespace tidemark
